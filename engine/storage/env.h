// Owners of LMDB handles and the one translation of storage codes.
//
// LMDB rules these types encode (see lmdb.h):
// - One Env per store folder per process; never opened twice in a process,
//   never used after fork() (the engine forgets an inherited one).
// - A transaction and its cursors belong to the thread that began it. The
//   environment is opened with MDB_NOTLS, so a thread may hold a reset read
//   transaction and begin a write transaction.
// - Commits are durable: the environment is never opened with MDB_NOSYNC,
//   MDB_NOMETASYNC or MDB_MAPASYNC; a commit that returns success is on disk.
// - A cursor is closed before its transaction ends (Cursor does it).
//
// Inside the engine a storage failure is a StorageError (code and detail of
// an engine error block); the API guard turns it into the caller's block.
// Every LMDB call goes through this file, which also applies the storage
// faults a test injected (InjectStorageFault).
#ifndef VANTREL_ENGINE_STORAGE_ENV_H_
#define VANTREL_ENGINE_STORAGE_ENV_H_

#include <lmdb.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "engine/errors.h"
#include "engine/storage_op.h"
#include "engine/unique_fd.h"

namespace dorvik::storage {

// A failed storage operation: the engine code (kErrDatabaseFull ...) and
// its detail (the LMDB or errno code).
class StorageError : public std::runtime_error {
 public:
  StorageError(Outcome outcome, const std::string& what) : std::runtime_error(what), outcome_(outcome) {}
  Outcome outcome() const { return outcome_; }

 private:
  Outcome outcome_;
};

// The one place an LMDB (or errno) return code becomes an engine code.
Outcome FromStorage(int rc);
// Throws a StorageError for rc != 0; context names the operation.
void Check(int rc, std::string_view context);
// Throws the StorageError of a malformed stored entry.
[[noreturn]] void ThrowCorrupted(std::string_view what);

// Arms the next `times` operations of kind op to fail with rc.
void ArmStorageFault(StorageOp op, int rc, int32_t times);
void ClearStorageFaults();
// The code an armed fault gives the next op, or 0 (and consumes it).
int TakeStorageFault(StorageOp op);

struct EnvOptions {
  std::size_t mapSize = std::size_t{16} << 30;  // address space reserved, not disk
  bool readOnly = false;
  // No lock table (MDB_NOLOCK, with readOnly only): for a database nobody
  // can write and no writer has open.
  bool noLock = false;
  mode_t dataMode = 0600;  // LMDB's mode for a new data.mdb (the caller sets it exactly after)
  unsigned maxReaders = 1024;
  unsigned maxTables = 16;
};

// Env: the one MDB_env of a store folder in this process. Thread-safe.
class Env {
 public:
  // Opens folder (holding data.mdb and, unless noLock, a lock.mdb the
  // caller checked or made). Allocates every block of lock.mdb. On failure
  // the half-made handle is closed, not leaked, and a StorageError is thrown.
  static Env Open(const std::filesystem::path& folder, const EnvOptions& options);
  Env() = default;
  Env(Env&&) noexcept = default;
  Env& operator=(Env&& other) noexcept {
    env_.reset();  // closes the environment before its lock file descriptor
    lockFd_ = std::move(other.lockFd_);
    env_ = std::move(other.env_);
    readOnly_ = other.readOnly_;
    return *this;
  }

  MDB_env* get() const { return env_.get(); }
  bool readOnly() const { return readOnly_; }
  // lock.mdb as this process holds it open (-1 without a lock table).
  int lockFd() const { return lockFd_.get(); }
  // data.mdb as LMDB opened it.
  int dataFd() const;
  // Forgets the handle without closing it (a handle inherited through fork).
  void Abandon() { (void)env_.release(); }
  // Adopts a map size another process set (MDB_MAP_RESIZED); no
  // transaction of this process may be active.
  void AdoptMapSize() const;
  // Unmaps the data file's pages this process has read, so that they no
  // longer count as its resident memory; the next read maps them again from
  // the page cache. Reading a large store through once (an import's lookups)
  // would otherwise leave all of it resident. Nothing is lost: the map is
  // read-only (never MDB_WRITEMAP) and a write transaction's pages are its
  // own copies, so any thread may call it at any time.
  void DropMappedPages() const;

 private:
  struct Close {
    void operator()(MDB_env* env) const noexcept;
  };
  // Declared before env_, so closed after it: closing a descriptor of
  // lock.mdb drops every fcntl lock of the process on it, LMDB's included.
  UniqueFd lockFd_;
  std::unique_ptr<MDB_env, Close> env_;
  bool readOnly_ = false;
};

// Txn: one transaction, used only by the thread that began it. Aborts in its
// destructor unless Commit() ran; the handle is gone after either.
class Txn {
 public:
  Txn() = default;
  explicit Txn(MDB_txn* begun) noexcept : txn_(begun) {}
  Txn(Txn&& other) noexcept : txn_(std::exchange(other.txn_, nullptr)) {}
  Txn& operator=(Txn&& other) noexcept {
    if (this != &other) {
      if (txn_ != nullptr) mdb_txn_abort(txn_);
      txn_ = std::exchange(other.txn_, nullptr);
    }
    return *this;
  }
  ~Txn() {
    if (txn_ != nullptr) mdb_txn_abort(txn_);
  }
  // Begins a transaction; MDB_MAP_RESIZED comes back as a StorageError
  // with that detail for the caller to adopt the size and retry.
  static Txn Begin(const Env& env, bool write);
  // Begins a transaction nested in the write transaction parent (a
  // savepoint): its writes reach parent only when CommitNested succeeds,
  // and an abort takes back nothing but its own. The storage faults of
  // kBegin and kCommit apply to top-level transactions only.
  static Txn BeginNested(MDB_txn* parent);
  MDB_txn* get() const { return txn_; }
  // Hands the handle to a new owner (a thread's reusable read transaction).
  MDB_txn* Release() noexcept { return std::exchange(txn_, nullptr); }
  [[nodiscard]] Outcome Commit() noexcept;
  // Merges a nested transaction into its parent; nothing reaches the disk.
  [[nodiscard]] Outcome CommitNested() noexcept;

 private:
  MDB_txn* txn_ = nullptr;
};

// Renews a reset read transaction (a thread's reusable one); the kBegin
// storage faults apply. Throws a StorageError.
void Renew(MDB_txn* txn);

// Key and value helpers.
inline MDB_val Bytes(const void* data, std::size_t size) { return MDB_val{size, const_cast<void*>(data)}; }
inline MDB_val Bytes(std::string_view text) { return Bytes(text.data(), text.size()); }
inline std::string_view View(const MDB_val& value) {
  return std::string_view(static_cast<const char*>(value.mv_data), value.mv_size);
}

// Reads key; false when it is not there.
bool Get(MDB_txn* txn, MDB_dbi table, MDB_val key, MDB_val& value);
void Put(MDB_txn* txn, MDB_dbi table, MDB_val key, MDB_val value, unsigned flags = 0);
// Deletes key; false when it was not there.
bool Delete(MDB_txn* txn, MDB_dbi table, MDB_val key);

// Cursor: a cursor over one table, closed when it goes; it must not outlive
// its transaction.
class Cursor {
 public:
  Cursor(MDB_txn* txn, MDB_dbi table);
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  ~Cursor() { mdb_cursor_close(cursor_); }
  // Moves the cursor; false at the end (MDB_NOTFOUND).
  bool Move(MDB_val& key, MDB_val& value, MDB_cursor_op op);
  // Moves the cursor onto key itself (MDB_SET); false when there is no such
  // key. A lookup like Get: an injected get fault fails it the same way.
  bool Seek(MDB_val key, MDB_val& value);
  // Seek for a key that sorts after the one the cursor stands on: steps
  // forward first, at most `steps` entries, and searches when the key lies
  // further on or is passed (absent). Keys asked for in order mostly come
  // next on the same leaf page, where a step costs a fraction of a search.
  // Answers as Seek wherever the cursor stands.
  bool SeekForward(MDB_val key, MDB_val& value, int steps);
  // Moves to the last entry at or before key (found: its key); false when
  // there is none. When the cursor already stands at or before key it steps
  // forward first, at most `steps` entries, as SeekForward does; a search
  // lands after key and steps back.
  bool SeekAtOrBefore(const MDB_val& key, MDB_val& found, MDB_val& value, int steps);
  // Replaces the value at the cursor (write transactions).
  void Put(MDB_val key, MDB_val value, unsigned flags);
  void Delete();

 private:
  MDB_cursor* cursor_ = nullptr;
};

}  // namespace dorvik::storage

#endif  // VANTREL_ENGINE_STORAGE_ENV_H_
