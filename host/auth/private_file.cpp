#include "host/auth/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/auth/users_file.h"

namespace vantrel::host::auth {
namespace {

// Owns one file descriptor; closes it at the end of its scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the kernel accepted the last writes.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

[[noreturn]] void Fail(const std::filesystem::path& path, const std::string& what) {
  throw UsersFileError(path.string() + ": " + what);
}

[[noreturn]] void FailErrno(const std::filesystem::path& path, const std::string& what) {
  Fail(path, what + ": " + std::strerror(errno));
}

// The owner and kind checks shared by reading and replacing.
void CheckOwnedRegular(const std::filesystem::path& path, const struct stat& info) {
  if (!S_ISREG(info.st_mode)) Fail(path, "not a regular file");
  if (info.st_uid != ::geteuid()) Fail(path, "owned by another user (uid " + std::to_string(info.st_uid) + ")");
}

void WriteAll(const std::filesystem::path& path, int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) FailErrno(path, "cannot write");
    text.remove_prefix(static_cast<size_t>(written));
  }
}

// Makes the rename durable: flushes the folder that holds path.
void SyncFolder(const std::filesystem::path& path) {
  std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
  FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

}  // namespace

std::string ReadPrivateFile(const std::filesystem::path& path, size_t maxBytes) {
  // O_NONBLOCK: a FIFO put in the file's place must not hang the reader.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) {
    if (errno == ELOOP) Fail(path, "is a symbolic link; refused");
    FailErrno(path, "cannot open");
  }
  struct stat info;
  if (::fstat(file.get(), &info) != 0) FailErrno(path, "cannot stat");
  CheckOwnedRegular(path, info);
  if ((info.st_mode & 077) != 0) Fail(path, "readable or writable by group or others; make it private (chmod 600)");
  if (static_cast<uint64_t>(info.st_size) > maxBytes) {
    Fail(path, "larger than the limit of " + std::to_string(maxBytes) + " bytes");
  }
  std::string text;
  char buffer[16384];
  for (;;) {
    ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) FailErrno(path, "cannot read");
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > maxBytes) Fail(path, "larger than the limit of " + std::to_string(maxBytes) + " bytes");
  }
  return text;
}

void ReplacePrivateFile(const std::filesystem::path& path, std::string_view text) {
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0) {
    if (S_ISLNK(info.st_mode)) Fail(path, "is a symbolic link; refused");
    CheckOwnedRegular(path, info);
  } else if (errno != ENOENT) {
    FailErrno(path, "cannot stat");
  }
  std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
  std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
  // mkstemp creates the file exclusively with mode 0600.
  FileDescriptor file(::mkstemp(temporary.data()));
  if (file.get() < 0) FailErrno(path, "cannot create a temporary file beside it");
  try {
    if (::fchmod(file.get(), 0600) != 0) FailErrno(temporary, "cannot set mode 0600");
    WriteAll(temporary, file.get(), text);
    if (::fsync(file.get()) != 0) FailErrno(temporary, "cannot flush to disk");
    if (!file.Close()) FailErrno(temporary, "cannot close");
    if (::rename(temporary.c_str(), path.c_str()) != 0) FailErrno(path, "cannot replace");
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  SyncFolder(path);
}

}  // namespace vantrel::host::auth
