#include "engine/storage/env.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include <fmt/format.h>

#include "engine/file_audit.h"
#include "engine/storage/store_files.h"

namespace dorvik::storage {
namespace {

struct StorageFault {
  StorageOp op;
  int rc;
  int32_t times;
};

// Injected storage faults; the flag keeps the unarmed path to one load.
struct StorageFaults {
  std::atomic<bool> armed{false};
  std::mutex mutex;
  std::vector<StorageFault> faults;  // guarded by mutex
};

StorageFaults& Faults() {
  static StorageFaults* faults = new StorageFaults();  // outlives every thread still in the engine at exit
  return *faults;
}

int Faulted(StorageOp op, int rc) {
  if (rc != 0 || !Faults().armed.load(std::memory_order_relaxed)) return rc;
  return TakeStorageFault(op);
}

// Frees the reader slots of processes that died while reading (a killed
// process cannot give its slot back); answers how many it freed.
int ReclaimDeadReaders(MDB_env* env) {
  int dead = 0;
  return mdb_reader_check(env, &dead) == 0 ? dead : 0;
}

// Counts closed and remapped environments: a new one may get a closed one's
// address, and a resize moves the map, so a window remembered before either
// is not trusted after it.
std::atomic<uint64_t> mapChanges{0};

// Where one environment's data file lies in this process's memory.
struct FileWindow {
  MDB_env* env = nullptr;
  uint64_t changesBefore = 0;
  uintptr_t mapBegin = 0;
  uintptr_t mapEnd = 0;
  uintptr_t fileEnd = 0;  // one past the last page in use when last looked at
};

// Where LMDB mapped the data file of env: the mapping of offset 0 of that
// file in /proc/self/maps (LMDB does not tell), or 0 when not found.
uintptr_t FindMapAddress(MDB_env* env) {
  mdb_filehandle_t fd = -1;
  struct stat file {};
  if (mdb_env_get_fd(env, &fd) != 0 || ::fstat(fd, &file) != 0) return 0;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long start = 0, end = 0, offset = 0, inode = 0;
    char perms[8] = {}, device[32] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %7s %lx %31s %lu", &start, &end, perms, &offset, device, &inode) != 6) {
      continue;
    }
    if (inode == file.st_ino && offset == 0 && inode != 0) return start;
  }
  return 0;
}

FileWindow LookAt(MDB_env* env) {
  MDB_envinfo info{};
  MDB_stat stat{};
  FileWindow window;
  window.changesBefore = mapChanges.load(std::memory_order_acquire);
  // Env::Open keeps the address where the caller's context pointer would be.
  const auto base = reinterpret_cast<uintptr_t>(mdb_env_get_userctx(env));
  if (base == 0 || mdb_env_info(env, &info) != 0 || mdb_env_stat(env, &stat) != 0) return window;
  window.env = env;
  window.mapBegin = base;
  window.mapEnd = window.mapBegin + info.me_mapsize;
  // The meta page's count of pages, and never past the file itself (a
  // damaged meta page may count more than there are).
  uintptr_t used = (static_cast<uintptr_t>(info.me_last_pgno) + 1) * stat.ms_psize;
  mdb_filehandle_t fd = -1;
  struct stat file {};
  if (mdb_env_get_fd(env, &fd) != 0 || ::fstat(fd, &file) != 0) return FileWindow{};
  used = std::min(used, static_cast<uintptr_t>(file.st_size));
  window.fileEnd = window.mapBegin + used;
  return window;
}

// The window each thread looked at last (per thread: read without a lock).
thread_local FileWindow tWindow;

// Whether bytes may be read by a window that is current: they end within the
// pages in use, or lie outside the map (a write transaction's own copies).
bool ReadableIn(const FileWindow& window, const MDB_val& bytes) {
  const auto begin = reinterpret_cast<uintptr_t>(bytes.mv_data);
  const uintptr_t end = begin + bytes.mv_size;
  const bool inside = begin >= window.mapBegin && end >= begin && end <= window.fileEnd;
  return bytes.mv_size == 0 || inside || begin < window.mapBegin || begin >= window.mapEnd;
}

bool CurrentFor(const FileWindow& window, MDB_env* env) {
  return window.env == env && window.changesBefore == mapChanges.load(std::memory_order_acquire);
}

// LMDB trusts the sizes stored in its pages: a damaged one hands out a key
// or value that runs past the end of the data file, where reading it kills
// the process (SIGBUS). Bytes inside the map must end within the pages in
// use; bytes outside it are a write transaction's own copies. The window is
// kept per thread and looked at again only when bytes fall outside it (the
// file grows).
void CheckInFile(MDB_txn* txn, const MDB_val& bytes, std::string_view what) {
  if (bytes.mv_size == 0) return;
  FileWindow& window = tWindow;
  MDB_env* env = mdb_txn_env(txn);
  if (CurrentFor(window, env) && ReadableIn(window, bytes)) return;
  window = LookAt(env);
  const auto begin = reinterpret_cast<uintptr_t>(bytes.mv_data);
  const uintptr_t end = begin + bytes.mv_size;
  if (begin < window.mapBegin || begin >= window.mapEnd) return;
  if (end < begin || end > window.fileEnd) ThrowCorrupted(what);
}

// CheckInFile for the key and the value of one entry, with one look at the
// thread's window: every cursor move checks both.
void CheckEntryInFile(MDB_txn* txn, const MDB_val& key, const MDB_val& value) {
  const FileWindow& window = tWindow;
  if (CurrentFor(window, mdb_txn_env(txn)) && ReadableIn(window, key) && ReadableIn(window, value)) return;
  CheckInFile(txn, key, "a key beyond the end of the data file");
  CheckInFile(txn, value, "a value beyond the end of the data file");
}

// LMDB maps the data file by what its meta pages say: a damaged one makes it
// read past the end of the file while it opens. A new store has no file yet.
void RefuseDamagedMetaPages(const std::filesystem::path& data) {
  std::error_code missing;
  if (std::filesystem::file_size(data, missing) == 0 || missing) return;
  const std::vector<std::string> faults = AuditDataFile(data, AuditDepth::kMetaPages);
  if (!faults.empty()) throw StorageError(Outcome{kErrCorrupted, 0}, faults.front());
}

}  // namespace

void Env::Close::operator()(MDB_env* env) const noexcept {
  mdb_env_close(env);
  mapChanges.fetch_add(1, std::memory_order_release);
}

Outcome FromStorage(int rc) {
  switch (rc) {
    case MDB_SUCCESS: return Outcome{};
    case MDB_MAP_FULL:
    case ENOSPC:
    case EFBIG:
    case EDQUOT: return Outcome{kErrDatabaseFull, rc};
    case MDB_READERS_FULL: return Outcome{kErrReadersFull, rc};
    case EACCES:
    case EROFS:
    case EPERM: return Outcome{kErrReadOnly, rc};
    case ENOMEM: return Outcome{kErrNoMemory, 0};
    case MDB_CORRUPTED:
    case MDB_PAGE_NOTFOUND:
    case MDB_INVALID:
    case MDB_VERSION_MISMATCH:
    case MDB_BAD_DBI:
    case MDB_INCOMPATIBLE: return Outcome{kErrCorrupted, rc};
    default: break;
  }
  // LMDB's own codes are negative (MDB_KEYEXIST and up); the rest are errno.
  return rc > 0 ? Outcome{kErrIo, rc} : Outcome{kErrInternal, rc};
}

void Check(int rc, std::string_view context) {
  if (rc == MDB_SUCCESS) return;
  throw StorageError(FromStorage(rc), fmt::format("{}: {}", context, mdb_strerror(rc)));
}

void ThrowCorrupted(std::string_view what) {
  throw StorageError(Outcome{kErrCorrupted, 0}, fmt::format("malformed entry: {}", what));
}

void ArmStorageFault(StorageOp op, int rc, int32_t times) {
  if (times <= 0 || rc == 0) return;
  StorageFaults& faults = Faults();
  std::lock_guard lock(faults.mutex);
  faults.faults.push_back(StorageFault{op, rc, times});
  faults.armed.store(true);
}

void ClearStorageFaults() {
  StorageFaults& faults = Faults();
  std::lock_guard lock(faults.mutex);
  faults.faults.clear();
  faults.armed.store(false);
}

int TakeStorageFault(StorageOp op) {
  StorageFaults& faults = Faults();
  std::lock_guard lock(faults.mutex);
  for (auto it = faults.faults.begin(); it != faults.faults.end(); ++it) {
    if (it->op != op) continue;
    const int rc = it->rc;
    if (--it->times <= 0) faults.faults.erase(it);
    if (faults.faults.empty()) faults.armed.store(false);
    return rc;
  }
  return 0;
}

Env Env::Open(const std::filesystem::path& folder, const EnvOptions& options) {
  MDB_env* created = nullptr;
  Check(mdb_env_create(&created), "mdb_env_create");
  Env env;
  env.env_.reset(created);  // closed on every failure below
  env.readOnly_ = options.readOnly;
  Check(mdb_env_set_mapsize(created, options.mapSize), "mdb_env_set_mapsize");
  Check(mdb_env_set_maxreaders(created, options.maxReaders), "mdb_env_set_maxreaders");
  Check(mdb_env_set_maxdbs(created, options.maxTables), "mdb_env_set_maxdbs");
  const bool noLock = options.noLock && options.readOnly;
  const unsigned flags = MDB_NOTLS | (options.readOnly ? MDB_RDONLY : 0u) | (noLock ? MDB_NOLOCK : 0u);
  RefuseDamagedMetaPages(folder / "data.mdb");
  Check(mdb_env_open(created, folder.c_str(), flags, options.dataMode), folder.string());
  (void)mdb_env_set_userctx(created, reinterpret_cast<void*>(FindMapAddress(created)));
  if (noLock) return env;
  env.lockFd_ = AllocateLockFile(folder / "lock.mdb");
  ReclaimDeadReaders(created);
  return env;
}

int Env::dataFd() const {
  int fd = -1;
  Check(mdb_env_get_fd(env_.get(), &fd), "mdb_env_get_fd");
  return fd;
}

void Env::AdoptMapSize() const {
  mapChanges.fetch_add(1, std::memory_order_release);
  Check(mdb_env_set_mapsize(env_.get(), 0), "mdb_env_set_mapsize");
  (void)mdb_env_set_userctx(env_.get(), reinterpret_cast<void*>(FindMapAddress(env_.get())));
  mapChanges.fetch_add(1, std::memory_order_release);
}

void Env::DropMappedPages() const {
  const auto base = reinterpret_cast<uintptr_t>(mdb_env_get_userctx(env_.get()));
  mdb_filehandle_t fd = -1;
  struct stat file {};
  if (base == 0 || mdb_env_get_fd(env_.get(), &fd) != 0 || ::fstat(fd, &file) != 0) return;
  MDB_envinfo info{};
  if (mdb_env_info(env_.get(), &info) != 0) return;
  const auto length = std::min(static_cast<std::size_t>(file.st_size), info.me_mapsize);
  // Best effort: a failure only leaves the pages resident.
  if (length > 0) (void)::madvise(reinterpret_cast<void*>(base), length, MADV_DONTNEED);
}

Txn Txn::Begin(const Env& env, bool write) {
  MDB_txn* txn = nullptr;
  const unsigned flags = write ? 0u : MDB_RDONLY;
  int rc = Faulted(StorageOp::kBegin, mdb_txn_begin(env.get(), nullptr, flags, &txn));
  if (rc == MDB_READERS_FULL && txn == nullptr && ReclaimDeadReaders(env.get()) > 0) {
    rc = mdb_txn_begin(env.get(), nullptr, flags, &txn);
  }
  if (rc != 0 && txn != nullptr) mdb_txn_abort(txn);  // only an injected fault leaves one
  Check(rc, write ? "begin write" : "begin read");
  return Txn(txn);
}

Txn Txn::BeginNested(MDB_txn* parent) {
  MDB_txn* txn = nullptr;
  Check(mdb_txn_begin(mdb_txn_env(parent), parent, 0, &txn), "begin nested");
  return Txn(txn);
}

Outcome Txn::CommitNested() noexcept { return FromStorage(mdb_txn_commit(std::exchange(txn_, nullptr))); }

void Renew(MDB_txn* txn) { Check(Faulted(StorageOp::kBegin, mdb_txn_renew(txn)), "renew read"); }

Outcome Txn::Commit() noexcept {
  MDB_txn* txn = std::exchange(txn_, nullptr);
  MDB_env* env = mdb_txn_env(txn);
  int rc = Faults().armed.load(std::memory_order_relaxed) ? TakeStorageFault(StorageOp::kCommit) : 0;
  if (rc != 0) {
    mdb_txn_abort(txn);
  } else {
    rc = mdb_txn_commit(txn);
  }
  // LMDB reports a short write as EIO; on a full disk that is what it was.
  int fd = -1;
  if (rc == EIO && mdb_env_get_fd(env, &fd) == 0 && FileSystemFull(fd)) return Outcome{kErrDatabaseFull, ENOSPC};
  return FromStorage(rc);
}

bool Get(MDB_txn* txn, MDB_dbi table, MDB_val key, MDB_val& value) {
  const int rc = Faulted(StorageOp::kGet, mdb_get(txn, table, &key, &value));
  if (rc == MDB_NOTFOUND) return false;
  Check(rc, "get");
  CheckInFile(txn, value, "a value beyond the end of the data file");
  return true;
}

void Put(MDB_txn* txn, MDB_dbi table, MDB_val key, MDB_val value, unsigned flags) {
  const int injected = Faults().armed.load(std::memory_order_relaxed) ? TakeStorageFault(StorageOp::kPut) : 0;
  Check(injected != 0 ? injected : mdb_put(txn, table, &key, &value, flags), "put");
}

bool Delete(MDB_txn* txn, MDB_dbi table, MDB_val key) {
  const int injected = Faults().armed.load(std::memory_order_relaxed) ? TakeStorageFault(StorageOp::kDelete) : 0;
  const int rc = injected != 0 ? injected : mdb_del(txn, table, &key, nullptr);
  if (rc == MDB_NOTFOUND) return false;
  Check(rc, "delete");
  return true;
}

Cursor::Cursor(MDB_txn* txn, MDB_dbi table) {
  const int injected = Faults().armed.load(std::memory_order_relaxed) ? TakeStorageFault(StorageOp::kCursor) : 0;
  Check(injected != 0 ? injected : mdb_cursor_open(txn, table, &cursor_), "cursor");
}

bool Cursor::Move(MDB_val& key, MDB_val& value, MDB_cursor_op op) {
  const int rc = mdb_cursor_get(cursor_, &key, &value, op);
  if (rc == MDB_NOTFOUND) return false;
  Check(rc, "cursor");
  CheckEntryInFile(mdb_cursor_txn(cursor_), key, value);
  return true;
}

bool Cursor::Seek(MDB_val key, MDB_val& value) {
  const int rc = Faulted(StorageOp::kGet, mdb_cursor_get(cursor_, &key, &value, MDB_SET));
  if (rc == MDB_NOTFOUND) return false;
  Check(rc, "cursor");
  CheckInFile(mdb_cursor_txn(cursor_), value, "a value beyond the end of the data file");
  return true;
}

bool Cursor::SeekForward(MDB_val key, MDB_val& value, int steps) {
  if (const int injected = Faulted(StorageOp::kGet, 0); injected != 0) Check(injected, "cursor");
  MDB_txn* txn = mdb_cursor_txn(cursor_);
  const MDB_dbi table = mdb_cursor_dbi(cursor_);
  for (int step = 0; step < steps; ++step) {
    MDB_val found;
    const int rc = mdb_cursor_get(cursor_, &found, &value, MDB_NEXT);
    if (rc == MDB_NOTFOUND) break;
    Check(rc, "cursor");
    CheckEntryInFile(txn, found, value);
    const int order = mdb_cmp(txn, table, &found, &key);
    if (order == 0) return true;
    // Passing the key (or the table's end) means there is none only if the
    // cursor stood before it: the search below answers wherever it stood.
    if (order > 0) break;
  }
  const int rc = mdb_cursor_get(cursor_, &key, &value, MDB_SET);
  if (rc == MDB_NOTFOUND) return false;
  Check(rc, "cursor");
  CheckInFile(txn, value, "a value beyond the end of the data file");
  return true;
}

bool Cursor::SeekAtOrBefore(const MDB_val& key, MDB_val& found, MDB_val& value, int steps) {
  MDB_txn* txn = mdb_cursor_txn(cursor_);
  const MDB_dbi table = mdb_cursor_dbi(cursor_);
  // The entry the cursor stands on, when it stands on one at or before key
  // (a cursor not yet placed answers an error here: it searches).
  bool standsBefore = steps > 0 && mdb_cursor_get(cursor_, &found, &value, MDB_GET_CURRENT) == MDB_SUCCESS;
  if (standsBefore) {
    CheckEntryInFile(txn, found, value);
    standsBefore = mdb_cmp(txn, table, &found, &key) <= 0;
  }
  for (int step = 0; standsBefore && step < steps; ++step) {
    MDB_val next;
    if (!Move(next, value, MDB_NEXT)) break;  // the table's end: searched below
    const int order = mdb_cmp(txn, table, &next, &key);
    if (order > 0) return Move(found, value, MDB_PREV);
    found = next;
    if (order == 0) return true;
  }
  found = key;
  if (!Move(found, value, MDB_SET_RANGE)) return Move(found, value, MDB_LAST);
  if (mdb_cmp(txn, table, &found, &key) == 0) return true;
  return Move(found, value, MDB_PREV);
}

void Cursor::Put(MDB_val key, MDB_val value, unsigned flags) {
  const int injected = Faults().armed.load(std::memory_order_relaxed) ? TakeStorageFault(StorageOp::kPut) : 0;
  Check(injected != 0 ? injected : mdb_cursor_put(cursor_, &key, &value, flags), "cursor put");
}

void Cursor::Delete() {
  const int injected = Faults().armed.load(std::memory_order_relaxed) ? TakeStorageFault(StorageOp::kDelete) : 0;
  Check(injected != 0 ? injected : mdb_cursor_del(cursor_, 0), "cursor delete");
}

}  // namespace dorvik::storage
