#include "session/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "platform/exceptions.h"
#include "platform/host.h"

namespace vantrel::access {
namespace {

namespace fs = std::filesystem;

constexpr std::array<std::string_view, 5> kLevelNames{"Off", "Error", "Warning", "Info", "Verbose"};
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

// A file descriptor, closed with its owner.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

enum class LinkRule { kFollow, kRefuse };

[[noreturn]] void ThrowFolderError(const fs::path& folder, int error) {
  throw platform::IOException(fmt::format("Cannot create the log folder {}: {}", folder.string(),
                                          std::generic_category().message(error)));
}

// Whether an open file or folder belongs to the user the process runs as:
// a log in another user's hands could be read or bent by that user.
bool IsOwn(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid();
}

// Opens folder `name` of parent, making it first when missing. No folder
// (-1) when it is a symbolic link that the rule refuses, or (below the base)
// a folder another user owns; throws IOException (naming `shown`, the whole
// log folder) when it cannot be made or opened.
UniqueFd MakeAndOpenFolder(int parent, const fs::path& name, LinkRule rule, const fs::path& shown) {
  if (parent < 0) ThrowFolderError(shown, errno);
  if (::mkdirat(parent, name.c_str(), kFolderMode) != 0 && errno != EEXIST) ThrowFolderError(shown, errno);
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (rule == LinkRule::kRefuse ? O_NOFOLLOW : 0);
  UniqueFd folder(::openat(parent, name.c_str(), flags));
  if (folder.get() >= 0) {
    if (rule == LinkRule::kRefuse && !IsOwn(folder.get())) return UniqueFd(-1);
    return folder;
  }
  const int error = errno;
  struct stat info {};
  const bool isLink = ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
  if (isLink && rule == LinkRule::kRefuse) return folder;
  ThrowFolderError(shown, error);
}

// Opens the log file in folder, making it when missing. No file (-1) when
// the name holds anything but a regular file of the process's user: a FIFO,
// a device, a link, another user's file. Never blocks: a FIFO is refused
// before it is opened, and O_NONBLOCK covers one planted in between.
UniqueFd OpenLogFile(int folder, const std::string& name) {
  struct stat info {};
  if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode)) return UniqueFd(-1);
  UniqueFd file(::openat(folder, name.c_str(),
                         O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, kFileMode));
  if (file.get() < 0) return file;
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) return UniqueFd(-1);
  return file;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

std::optional<TraceLevel> ParseTraceLevel(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  int number = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error == std::errc() && end == text.data() + text.size()) {
    if (number >= 0 && number < static_cast<int>(kLevelNames.size())) return static_cast<TraceLevel>(number);
    return std::nullopt;
  }
  for (std::size_t i = 0; i < kLevelNames.size(); ++i) {
    if (EqualsIgnoringCase(text, kLevelNames[i])) return static_cast<TraceLevel>(i);
  }
  return std::nullopt;
}

TraceSwitch::TraceSwitch(std::string displayName, std::string description)
    : displayName_(std::move(displayName)), description_(std::move(description)), level_(TraceLevel::Off) {
  if (auto setting = platform::HostSetting(displayName_)) {
    level_ = ParseTraceLevel(*setting).value_or(TraceLevel::Off);
  }
}

std::shared_ptr<FileLogSink> FileLogSink::Open(const fs::path& base, const fs::path& folders,
                                               std::string_view fileName) {
  const fs::path folder = base / folders;
  const fs::path path = folder / fileName;
  UniqueFd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The base is the machine's own folder and may be reached through links.
  for (const fs::path& part : fs::absolute(base).relative_path()) {
    current = MakeAndOpenFolder(current.get(), part, LinkRule::kFollow, folder);
  }
  for (const fs::path& part : folders) {
    current = MakeAndOpenFolder(current.get(), part, LinkRule::kRefuse, folder);
    if (current.get() < 0) return std::shared_ptr<FileLogSink>(new FileLogSink(path, -1));
  }
  UniqueFd file = OpenLogFile(current.get(), std::string(fileName));
  return std::shared_ptr<FileLogSink>(new FileLogSink(path, file.release()));
}

FileLogSink::~FileLogSink() {
  if (fd_ >= 0) ::close(fd_);
}

void FileLogSink::Write(std::string_view line) {
  if (fd_ < 0) return;
  std::string whole(line);
  whole += '\n';
  // One append per line; a failed write loses this line only.
  for (std::size_t written = 0; written < whole.size();) {
    const ssize_t n = ::write(fd_, whole.data() + written, whole.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

ProcessLog& ProcessLog::Instance() {
  static ProcessLog log;
  return log;
}

void ProcessLog::AddSink(std::shared_ptr<LogSink> sink) {
  std::lock_guard lock(mutex_);
  sinks_.push_back(std::move(sink));
}

void ProcessLog::RemoveSink(const std::shared_ptr<LogSink>& sink) {
  std::lock_guard lock(mutex_);
  sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

std::size_t ProcessLog::SinkCount() const {
  std::lock_guard lock(mutex_);
  return sinks_.size();
}

void ProcessLog::WriteLine(std::string_view line, bool flush) {
  std::lock_guard lock(mutex_);
  for (const auto& sink : sinks_) {
    sink->Write(line);
    if (flush) sink->Flush();
  }
}

}  // namespace vantrel::access
