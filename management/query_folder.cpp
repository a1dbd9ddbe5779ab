#include "management/query_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <system_error>

#include <fmt/format.h>

#include "platform/exceptions.h"

namespace vantrel::access {
namespace {

constexpr std::string_view kExtension = ".sql";
// Never blocks on a FIFO or a device; the file is checked to be regular
// before it is read.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
constexpr int kOpenAttempts = 3;

std::string ErrorText(int error) { return std::generic_category().message(error); }

// Opens name inside the folder, resolving links only while they stay
// beneath it. Where the kernel has no openat2 (or a sandbox refuses it),
// opens name without following a link. -1 with errno on failure.
int OpenBeneath(int folder, const std::string& name) {
  static std::atomic<bool> withoutOpenat2{false};
  if (!withoutOpenat2.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = kOpenFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = -1;
    // The kernel answers EAGAIN when a rename raced with the resolution.
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
      fd = ::syscall(SYS_openat2, folder, name.c_str(), &how, sizeof how);
      if (fd >= 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != ENOSYS && errno != EPERM) return -1;
    if (errno == ENOSYS) withoutOpenat2.store(true, std::memory_order_relaxed);
  }
  return ::openat(folder, name.c_str(), kOpenFlags | O_NOFOLLOW);
}

QueryFolder::File Refused(std::string why) {
  return QueryFolder::File{QueryFolder::Status::kRefused, {}, std::move(why)};
}

[[noreturn]] void ThrowTooLarge(const std::string& path) {
  throw platform::IOException(fmt::format("The query file {0} is larger than {1} bytes and cannot be searched.", path,
                                          QueryFolder::kMaxFileBytes));
}

}  // namespace

void UniqueFd::Close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

QueryFolder::QueryFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const int error = errno;
  folder_ = UniqueFd(fd);
  if (!folder_ && error != ENOENT) {
    problem_ = fmt::format("The query folder {0} cannot be opened: {1}", folder, ErrorText(error));
  }
}

bool QueryFolder::IsPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

QueryFolder::File QueryFolder::Read(std::string_view record, const std::string& path) {
  if (!IsPlainFileName(record)) return Refused("the record name is not a plain file name");
  if (!folder_) return {};
  const std::string name = std::string(record).append(kExtension);
  const int fd = OpenBeneath(folder_.get(), name);
  const int error = errno;
  const UniqueFd file(fd);
  if (!file) {
    switch (error) {
      case ENOENT:
      case ENOTDIR:
      case ENAMETOOLONG:  // no file can have that name
        return {};
      case EXDEV:
        return Refused("its query file is a link that leads out of the query folder");
      case ELOOP:
        return Refused("its query file is a link that is not followed");
      default:
        throw platform::IOException(fmt::format("Could not open the query file {0}: {1}", path, ErrorText(error)));
    }
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) {
    throw platform::IOException(fmt::format("Could not read the query file {0}: {1}", path, ErrorText(errno)));
  }
  if (S_ISDIR(status.st_mode)) return {};
  if (!S_ISREG(status.st_mode)) return Refused("its query file is not a regular file");
  if (static_cast<std::size_t>(status.st_size) > kMaxFileBytes) ThrowTooLarge(path);
  ReadAll(file.get(), path, static_cast<std::size_t>(status.st_size));
  return File{Status::kRead, buffer_, {}};
}

void QueryFolder::ReadAll(int file, const std::string& path, std::size_t expected) {
  // One byte more than expected shows a file that grew since it was opened.
  buffer_.resize(expected + 1);
  std::size_t total = 0;
  while (true) {
    if (total == buffer_.size()) {
      if (total > kMaxFileBytes) ThrowTooLarge(path);
      buffer_.resize(std::min(buffer_.size() * 2, kMaxFileBytes + 1));
    }
    const ssize_t got = ::read(file, buffer_.data() + total, buffer_.size() - total);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw platform::IOException(fmt::format("Could not read the query file {0}: {1}", path, ErrorText(errno)));
    }
    total += static_cast<std::size_t>(got);
  }
  buffer_.resize(total);
}

}  // namespace vantrel::access
