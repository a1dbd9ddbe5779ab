#include "cli/replacing_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "platform/exceptions.h"

namespace vantrel::cli {
namespace {

// The file being written, for the signal handler: a fixed buffer, since a
// handler may only call async-signal-safe functions (unlink).
std::array<char, 4096> g_unfinished{};
struct sigaction g_previousInt {};
struct sigaction g_previousTerm {};

void RemoveUnfinished(int signal) {
  if (g_unfinished[0] != '\0') ::unlink(g_unfinished.data());
  g_unfinished[0] = '\0';
  // What was there before decides what the signal does now (end the
  // process, or the shell's own handling); it runs once this returns.
  ::sigaction(SIGINT, &g_previousInt, nullptr);
  ::sigaction(SIGTERM, &g_previousTerm, nullptr);
  ::raise(signal);
}

void Guard(const std::string& temporary) {
  if (temporary.size() >= g_unfinished.size()) return;  // no handler: the folder keeps a hidden leftover at worst
  std::memcpy(g_unfinished.data(), temporary.c_str(), temporary.size() + 1);
  struct sigaction action {};
  action.sa_handler = RemoveUnfinished;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &g_previousInt);
  ::sigaction(SIGTERM, &action, &g_previousTerm);
}

void Unguard() {
  if (g_unfinished[0] == '\0') return;
  ::sigaction(SIGINT, &g_previousInt, nullptr);
  ::sigaction(SIGTERM, &g_previousTerm, nullptr);
  g_unfinished[0] = '\0';
}

}  // namespace

ReplacingFile::ReplacingFile(std::string path, std::string what) : path_(std::move(path)), what_(std::move(what)) {
  const std::filesystem::path target(path_);
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  temporary_ = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
  if (fd_ < 0) Fail("");
  Guard(temporary_);
}

ReplacingFile::~ReplacingFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temporary_.c_str());
  Unguard();
}

void ReplacingFile::Fail(std::string_view what) const {
  const int error = errno;
  throw platform::IOException(fmt::format("cannot write {} to {}{}: {}", what_, path_,
                                          what.empty() ? "" : fmt::format(" ({})", what), std::strerror(error)));
}

void ReplacingFile::Commit(std::string_view contents) {
  while (!contents.empty()) {
    const ssize_t written = ::write(fd_, contents.data(), contents.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) Fail("writing");
    contents.remove_prefix(static_cast<std::size_t>(written));
  }
  if (::fsync(fd_) != 0) Fail("flushing");
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) Fail("closing");
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) Fail("renaming");
  committed_ = true;
  Unguard();
}

}  // namespace vantrel::cli
