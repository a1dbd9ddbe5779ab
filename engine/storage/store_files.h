// The files of a store folder as the engine checks and makes them around
// LMDB. LMDB opens data.mdb and lock.mdb by name, follows links, creates
// lock.mdb sparse with the process's umask and maps whatever it finds; the
// functions here look first, so that a planted link, a device, a file cut
// short or a full disk is refused with a reason instead of written through,
// hung on or answered with SIGBUS.
//
// Presence: every process that opens a store holds an open-file-description
// read lock on byte 0 of data.mdb for as long as it has it open, a process
// that may write also on byte 1, one that reads without a lock table on
// byte 2. Nobody takes a write lock there, so presence never blocks anyone;
// it only answers "is anyone else attached" (F_OFD_GETLK), even when
// lock.mdb and signals were deleted.
//
// Stateless functions; a Presence is an owner, like a UniqueFd.
#ifndef VANTREL_ENGINE_STORAGE_STORE_FILES_H_
#define VANTREL_ENGINE_STORAGE_STORE_FILES_H_

#include <lmdb.h>
#include <sys/types.h>

#include <filesystem>
#include <string>

#include "engine/unique_fd.h"

namespace dorvik::storage {

// Modes and group of the files of one database. A new database is private
// (folder 0700, files 0600); shared with a group, the folder is 2750 (new
// files inherit its group) and a group reader can take an LMDB reader slot
// (lock.mdb 0660) and map the signals page read-only (0640).
struct FileModes {
  mode_t folder = 0700;
  mode_t data = 0600;
  mode_t lock = 0600;
  mode_t signals = 0600;
  gid_t group = static_cast<gid_t>(-1);  // -1: the process's own

  static FileModes Private() { return FileModes{}; }
  static FileModes Shared(gid_t group) { return FileModes{02750, 0640, 0660, 0640, group}; }
  // The modes an existing database keeps for a file it makes again (a
  // deleted lock.mdb or signals): shared when data.mdb is group-readable.
  static FileModes Of(const std::filesystem::path& data);
};

// The id of a group by name; throws DatabaseError when there is none.
gid_t GroupNamed(const std::string& group);

// Gives an open file its mode and group, whatever the umask. Throws
// StorageError when the system refuses.
void SetModes(int fd, mode_t mode, gid_t group, const char* what);

// Throws StorageError (kErrIo, ELOOP or EINVAL) when data.mdb, lock.mdb or
// signals in folder is a symbolic link or anything but a regular file. An
// absent file passes. The folder itself may be a link.
void RefuseUnsafeFiles(const std::filesystem::path& folder);

// Checks, before LMDB maps it, that data.mdb holds its two meta pages.
// Throws StorageError kErrCorrupted with the sizes.
void CheckDataHead(const std::filesystem::path& data);
// Bytes of LMDB's lock file for maxReaders reader slots (this build of LMDB
// on this platform: a 192-byte header and one 64-byte line per slot).
std::size_t LockFileSize(unsigned maxReaders);
// Makes lock.mdb (never through a link) with every block allocated, so that
// a full disk refuses it here (kErrDatabaseFull) rather than with SIGBUS
// when a reader slot is first touched. A lock.mdb made meanwhile by another
// process is kept.
void CreateLockFile(const std::filesystem::path& file, unsigned maxReaders, const FileModes& modes);
// Opens the lock.mdb LMDB opened and allocates all its blocks (fallocate). The
// descriptor must stay open until the environment closes: closing any
// descriptor of lock.mdb would drop LMDB's own fcntl lock on it.
UniqueFd AllocateLockFile(const std::filesystem::path& file);
// The pid of another process that has the lock table open (LMDB's shared
// fcntl lock on byte 0 of lock.mdb), 0 when none.
pid_t LockTableUser(int lockFd);

// True when the file system holding fd has (almost) no space left: a write
// that failed there with EIO was a short write on a full disk.
bool FileSystemFull(int fd);

// The presence of this process in a store (see above).
class Presence {
 public:
  enum class Kind { kAttached, kWriter, kLockFreeReader };
  Presence() = default;
  // Takes the presence locks on data.mdb (never through a link): kAttached
  // always, and kind's own.
  static Presence Take(const std::filesystem::path& data, Kind kind);
  int fd() const { return fd_.get(); }
  // The pid of another process attached to the store as kind (kAttached:
  // any), -1 when one is but its pid is unknown, 0 when none is. Taking
  // presence first and asking after closes the race of two processes that
  // each look before the other is there.
  pid_t Other(Kind kind) const;

 private:
  UniqueFd fd_;
};

// The pid of a process holding an open-file-description lock on byte of
// the file fd names (from /proc/locks, else another process that has the
// file open), -1 when unknown. For messages: it reads /proc.
pid_t OfdLockHolder(int fd, off_t byte);
// Another process that has the file (device, inode) open, -1 when none is
// found (or this process may not look at the others).
pid_t ProcessWithFileOpen(dev_t device, ino_t inode);

}  // namespace dorvik::storage

#endif  // VANTREL_ENGINE_STORAGE_STORE_FILES_H_
