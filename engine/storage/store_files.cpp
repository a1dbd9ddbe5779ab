#include "engine/storage/store_files.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "engine/database_error.h"
#include "engine/storage/env.h"

namespace dorvik::storage {
namespace {

namespace fs = std::filesystem;

// The presence byte of data.mdb for each kind.
off_t PresenceByte(Presence::Kind kind) { return static_cast<off_t>(kind); }

// LMDB's on-disk meta page (lmdb 0.9, 64-bit): a 16-byte page header, then
// magic, version, address, map size, two 48-byte table records (the first
// one's first word is the page size) and the last page number.
constexpr std::size_t kPageHeaderSize = 16;
constexpr std::size_t kMetaPageSizeAt = kPageHeaderSize + 24;
constexpr std::size_t kMetaHeadSize = kPageHeaderSize + 136;
constexpr uint32_t kLmdbMagic = 0xBEEFC0DE;
constexpr std::size_t kLockHeaderSize = 192;
constexpr std::size_t kLockSlotSize = 64;

[[noreturn]] void Throw(int16_t code, int detail, const std::string& what) {
  throw StorageError(Outcome{code, detail}, what);
}

[[noreturn]] void ThrowErrno(const std::string& what) {
  const int error = errno;
  throw StorageError(FromStorage(error), fmt::format("{}: {}", what, std::strerror(error)));
}

[[noreturn]] void ThrowCut(const std::string& what) { Throw(kErrCorrupted, MDB_CORRUPTED, what); }

bool ReadAll(int fd, void* buffer, std::size_t size, off_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = ::pread(fd, bytes, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

// Allocates every block of fd up to size; kErrDatabaseFull when the disk
// cannot. fallocate(2), not posix_fallocate: where the file system cannot,
// glibc's stand-in would read and rewrite bytes of a lock table other
// processes are changing. Such a file system keeps a sparse file.
void Allocate(int fd, off_t size, const fs::path& file) {
  int rc = 0;
  do {
    rc = ::fallocate(fd, 0, 0, size) == 0 ? 0 : errno;
  } while (rc == EINTR);
  if (rc == 0 || rc == EOPNOTSUPP || rc == ENOSYS || rc == EINVAL) return;
  if (rc == ENOSPC || rc == EDQUOT || rc == EFBIG) {
    Throw(kErrDatabaseFull, rc, fmt::format("{}: no room for the lock table: {}", file.string(), std::strerror(rc)));
  }
  Throw(FromStorage(rc).code, rc, fmt::format("{}: {}", file.string(), std::strerror(rc)));
}

bool Conflicts(int fd, off_t byte, struct flock& lock) {
  lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

}  // namespace

FileModes FileModes::Of(const fs::path& data) {
  struct stat status {};
  if (::stat(data.c_str(), &status) != 0 || (status.st_mode & S_IRGRP) == 0) return Private();
  return Shared(status.st_gid);
}

gid_t GroupNamed(const std::string& group) {
  std::vector<char> buffer(16384);
  struct group entry {};
  struct group* found = nullptr;
  if (::getgrnam_r(group.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    throw DatabaseError(fmt::format("no group is named \"{}\"", group));
  }
  return found->gr_gid;
}

void SetModes(int fd, mode_t mode, gid_t group, const char* what) {
  if (group != static_cast<gid_t>(-1) && ::fchown(fd, static_cast<uid_t>(-1), group) != 0) {
    ThrowErrno(fmt::format("{}: cannot give it to group {}", what, group));
  }
  // After fchown, which clears the set-group-id bit.
  if (::fchmod(fd, mode) != 0) ThrowErrno(fmt::format("{}: cannot set its mode", what));
}

void RefuseUnsafeFiles(const fs::path& folder) {
  for (const char* name : {"data.mdb", "lock.mdb", "signals"}) {
    const fs::path file = folder / name;
    struct stat status {};
    if (::lstat(file.c_str(), &status) != 0) {
      if (errno == ENOENT) continue;
      ThrowErrno(file.string());
    }
    if (S_ISLNK(status.st_mode)) {
      Throw(kErrIo, ELOOP, fmt::format("{} is a symbolic link: refused, a database's files are never followed", name));
    }
    if (!S_ISREG(status.st_mode)) Throw(kErrIo, EINVAL, fmt::format("{} is not a regular file: refused", name));
  }
}

void CheckDataHead(const fs::path& data) {
  const UniqueFd fd(::open(data.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) ThrowErrno(data.string());
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) ThrowErrno(data.string());
  std::array<unsigned char, kMetaHeadSize> head{};
  if (!ReadAll(fd.get(), head.data(), head.size(), 0)) {
    ThrowCut(fmt::format("data.mdb is cut short: {} bytes, less than its first meta page", status.st_size));
  }
  uint32_t magic = 0, pageSize = 0;
  std::memcpy(&magic, head.data() + kPageHeaderSize, sizeof magic);
  std::memcpy(&pageSize, head.data() + kMetaPageSizeAt, sizeof pageSize);
  if (magic != kLmdbMagic) ThrowCut("data.mdb is not an LMDB data file (its first meta page is damaged)");
  if (pageSize < 512 || pageSize > (1u << 16) || (pageSize & (pageSize - 1)) != 0) {
    ThrowCut(fmt::format("data.mdb names a page size of {} bytes", pageSize));
  }
  if (status.st_size < static_cast<off_t>(2 * pageSize)) {
    ThrowCut(fmt::format("data.mdb is cut short: {} bytes, less than its two meta pages", status.st_size));
  }
}

std::size_t LockFileSize(unsigned maxReaders) {
  return kLockHeaderSize + (maxReaders > 0 ? maxReaders - 1 : 0) * kLockSlotSize;
}

void CreateLockFile(const fs::path& file, unsigned maxReaders, const FileModes& modes) {
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, modes.lock));
  if (!fd.valid()) {
    if (errno == EEXIST) return;  // another process made it first
    ThrowErrno(file.string());
  }
  try {
    SetModes(fd.get(), modes.lock, modes.group, "lock.mdb");
    Allocate(fd.get(), static_cast<off_t>(LockFileSize(maxReaders)), file);
  } catch (...) {
    ::unlink(file.c_str());  // LMDB would take an empty file for a fresh table and fail the same way
    throw;
  }
}

UniqueFd AllocateLockFile(const fs::path& file) {
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) ThrowErrno(file.string());
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) ThrowErrno(file.string());
  if (!S_ISREG(status.st_mode)) Throw(kErrIo, EINVAL, "lock.mdb is not a regular file: refused");
  Allocate(fd.get(), status.st_size, file);
  return fd;
}

pid_t LockTableUser(int lockFd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  // A process-associated lock test: this process's own LMDB lock never
  // conflicts with it.
  if (lockFd < 0 || ::fcntl(lockFd, F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return 0;
  return lock.l_pid > 0 ? lock.l_pid : -1;
}

bool FileSystemFull(int fd) {
  struct statvfs status {};
  if (::fstatvfs(fd, &status) != 0) return false;
  // Under one megabyte left: LMDB writes a commit's pages and meta in one go.
  return static_cast<unsigned long long>(status.f_bavail) * status.f_frsize < (1ull << 20);
}

Presence Presence::Take(const fs::path& data, Kind kind) {
  Presence presence;
  presence.fd_ = UniqueFd(::open(data.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!presence.fd_.valid()) ThrowErrno(data.string());
  for (const Kind held : {Kind::kAttached, kind}) {
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = PresenceByte(held);
    lock.l_len = 1;
    // Nobody takes a write lock here; one that a foreign process holds
    // only hides this process from the presence test, it blocks nothing.
    (void)::fcntl(presence.fd_.get(), F_OFD_SETLK, &lock);
  }
  return presence;
}

pid_t Presence::Other(Kind kind) const {
  // This description's own locks never conflict with the test.
  struct flock lock {};
  if (!fd_.valid() || !Conflicts(fd_.get(), PresenceByte(kind), lock)) return 0;
  return OfdLockHolder(fd_.get(), PresenceByte(kind));
}

pid_t OfdLockHolder(int fd, off_t byte) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return -1;
  // Lines: "1: OFDLCK  ADVISORY  READ  1234 08:01:5678 0 0" (end EOF for a
  // lock to the end of the file). Many kernels write -1 for the pid of an
  // open-file-description lock; then a process that has the file open is
  // named instead, found in /proc/PID/fd (every holder keeps it open).
  std::ifstream locks("/proc/locks");
  std::string line;
  const std::string inode = fmt::format(":{}", status.st_ino);
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, advisory, type, device, start, end;
    long pid = -1;
    fields >> number >> kind >> advisory >> type >> pid >> device >> start >> end;
    if (!fields || kind != "OFDLCK" || !device.ends_with(inode)) continue;
    const long long first = std::atoll(start.c_str());
    const long long last = end == "EOF" ? byte : std::atoll(end.c_str());
    if (first <= byte && byte <= last && pid > 0) return static_cast<pid_t>(pid);
  }
  return ProcessWithFileOpen(status.st_dev, status.st_ino);
}

pid_t ProcessWithFileOpen(dev_t device, ino_t inode) {
  const pid_t self = ::getpid();
  std::error_code error;
  for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
    const std::string name = process.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = static_cast<pid_t>(std::atol(name.c_str()));
    if (pid == self) continue;
    std::error_code unreadable;  // another user's process, or one that just ended
    for (const fs::directory_entry& fd : fs::directory_iterator(process.path() / "fd", unreadable)) {
      struct stat status {};
      if (::stat(fd.path().c_str(), &status) == 0 && status.st_dev == device && status.st_ino == inode) return pid;
    }
  }
  return -1;
}

}  // namespace dorvik::storage
