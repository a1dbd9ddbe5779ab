#include "engine/store.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

#include <fmt/format.h>

#include "engine/database_error.h"

namespace dorvik {
namespace {

namespace fs = std::filesystem;

// Temporary database folders of this process, removed at exit when their
// Store is still open then (the engine never closes its last one).
class TemporaryFolders {
 public:
  static TemporaryFolders& Instance() {
    static TemporaryFolders folders;
    return folders;
  }
  void Add(const fs::path& folder) {
    std::lock_guard lock(mutex_);
    folders_.insert(folder);
  }
  void Remove(const fs::path& folder) {
    std::lock_guard lock(mutex_);
    if (folders_.erase(folder) == 0 || ::getpid() != owner_) return;
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  ~TemporaryFolders() {
    // A forked child leaves its parent's folders alone.
    if (::getpid() != owner_) return;
    std::lock_guard lock(mutex_);
    for (const fs::path& folder : folders_) {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
  }

 private:
  TemporaryFolders() = default;
  const pid_t owner_ = ::getpid();
  std::mutex mutex_;
  std::set<fs::path> folders_;  // guarded by mutex_
};

bool LooksLikeJson(const fs::path& path) {
  if (path.extension() == ".json") return true;
  std::ifstream file(path, std::ios::binary);
  char c = 0;
  while (file.get(c) && (c == ' ' || c == '\n' || c == '\r' || c == '\t')) {
  }
  return file && c == '{';
}

[[noreturn]] void Fail(const fs::path& path, std::string_view what) {
  throw DatabaseError(fmt::format("{}: {}", path.string(), what));
}

// Explains why a path is not a database; returns when it looks like one.
void CheckIsDatabase(const fs::path& path) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) Fail(path, "no such database");
  if (error) Fail(path, error.message());
  if (status.type() == fs::file_type::regular) {
    if (LooksLikeJson(path)) {
      throw DatabaseError(fmt::format("{} is a JSON file, not a database: run vntaccess import {} DATABASE",
                                      path.string(), path.string()));
    }
    Fail(path, "not a database (a database is a folder made by vntaccess import)");
  }
  if (status.type() != fs::file_type::directory) Fail(path, "not a database");
  // A data.mdb that is there but is a link or no regular file is refused
  // with its own reason when the folder is opened.
  if (fs::symlink_status(path / kDataFileName, error).type() == fs::file_type::not_found) {
    Fail(path, "a folder, but not a database: it holds no data.mdb");
  }
}

// The longest wait for a lock of the store: the option, else
// $DORVIK_LOCK_TIMEOUT (seconds), else 30 s.
std::chrono::milliseconds LockTimeout(const OpenOptions& options) {
  if (options.lockTimeout.count() > 0) return options.lockTimeout;
  if (const char* text = std::getenv("DORVIK_LOCK_TIMEOUT"); text != nullptr && *text != '\0') {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end != text && *end == '\0' && seconds > 0 && seconds < 86'400) {
      return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
    }
  }
  return std::chrono::seconds(30);
}

// Whether this process may write lock.mdb (or make it): LMDB's readers
// record themselves there.
bool LockTableWritable(const fs::path& folder) {
  const fs::path lock = folder / kLockFileName;
  if (::access(lock.c_str(), F_OK) == 0) return ::access(lock.c_str(), W_OK) == 0;
  return ::access(folder.c_str(), W_OK) == 0;
}

// The modes of a new database: private, or shared with options.group.
storage::FileModes ModesFor(const OpenOptions& options) {
  if (options.group.empty()) return storage::FileModes::Private();
  return storage::FileModes::Shared(storage::GroupNamed(options.group));
}

std::string ProcessName(pid_t pid) { return pid > 0 ? fmt::format("process {}", pid) : "another process"; }

// A database this process cannot record itself in as a reader is read
// without a lock table, which is safe only while nobody writes it: neither
// a writer already there nor one coming later (RefuseWhileReadLockFree).
void RefuseWhileWritten(const fs::path& folder, const storage::Presence& presence) {
  const pid_t writer = presence.Other(storage::Presence::Kind::kWriter);
  if (writer == 0) return;
  Fail(folder, fmt::format("{} has the database open to write, and reading beside it needs write access to "
                           "lock.mdb",
                           ProcessName(writer)));
}

void RefuseWhileReadLockFree(const fs::path& folder, const storage::Presence& presence) {
  const pid_t reader = presence.Other(storage::Presence::Kind::kLockFreeReader);
  if (reader == 0) return;
  Fail(folder, fmt::format("{} reads the database without a lock table (it may not write lock.mdb): open it "
                           "read-only, or once that process has ended",
                           ProcessName(reader)));
}

// A new database's folder gets its mode and group, whatever the umask.
void SetFolderModes(const fs::path& folder, const storage::FileModes& modes) {
  const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) Fail(folder, std::strerror(errno));
  storage::SetModes(fd.get(), modes.folder, modes.group, "the folder");
}

// Makes lock.mdb when it is missing; never while another process has the
// database open: it would make a second lock table beside the one in use
// (which a deleted lock.mdb still is for them), and two writers at once.
void PrepareLockFile(const fs::path& folder, const storage::FileModes& modes, const storage::EnvOptions& env,
                     const storage::Presence& presence) {
  const fs::path lock = folder / kLockFileName;
  if (::access(lock.c_str(), F_OK) == 0) return;
  pid_t other = presence.Other(storage::Presence::Kind::kAttached);
  if (other == 0 && storage::Signals::InUse(folder / kSignalsFileName)) other = -1;
  if (other != 0) {
    Fail(folder, fmt::format("lock.mdb is missing while {} has the database open: it was deleted; close every "
                             "process of the database first",
                             ProcessName(other)));
  }
  storage::CreateLockFile(lock, env.maxReaders, modes);
}

}  // namespace

std::unique_ptr<Store> Store::Open(const fs::path& path, const OpenOptions& options) {
  CheckIsDatabase(path);
  return OpenFolder(path, options, false);
}

std::unique_ptr<Store> Store::Create(const fs::path& path, const OpenOptions& options) {
  std::error_code error;
  const bool made = fs::create_directory(path, error);
  if (!made && (error || !fs::is_empty(path, error))) Fail(path, error ? error.message() : "already exists");
  try {
    return OpenFolder(path, options, true);
  } catch (...) {
    if (made) fs::remove_all(path, error);  // nothing half-made is left behind
    throw;
  }
}

std::unique_ptr<Store> Store::CreateTemporary(const OpenOptions& options) {
  std::error_code error;
  const fs::path shm = "/dev/shm";
  const fs::path base =
      fs::is_directory(shm, error) && ::access(shm.c_str(), W_OK) == 0 ? shm : fs::temp_directory_path();
  std::string pattern = (base / "dorvik-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) Fail(base, std::strerror(errno));
  TemporaryFolders::Instance().Add(pattern);
  try {
    std::unique_ptr<Store> store = OpenFolder(pattern, options, true);
    store->temporary_ = true;
    return store;
  } catch (...) {
    TemporaryFolders::Instance().Remove(pattern);
    throw;
  }
}

std::unique_ptr<Store> Store::OpenFolder(const fs::path& path, const OpenOptions& options, bool create) {
  std::unique_ptr<Store> store(new Store());
  std::error_code error;
  store->path_ = fs::absolute(path, error);
  store->lockTimeout_ = LockTimeout(options);
  const fs::path data = path / kDataFileName;
  storage::EnvOptions envOptions;
  if (options.mapSize != 0) envOptions.mapSize = options.mapSize;
  envOptions.readOnly = !create && (options.readOnly || ::access(data.c_str(), W_OK) != 0);
  try {
    storage::RefuseUnsafeFiles(path);
    const storage::FileModes modes = create ? ModesFor(options) : storage::FileModes::Of(data);
    envOptions.dataMode = modes.data;
    if (create) SetFolderModes(path, modes);
    if (!create) storage::CheckDataHead(data);
    envOptions.noLock = envOptions.readOnly && !LockTableWritable(path);
    using Kind = storage::Presence::Kind;
    const Kind kind = envOptions.noLock ? Kind::kLockFreeReader : envOptions.readOnly ? Kind::kAttached : Kind::kWriter;
    if (!create) store->presence_ = storage::Presence::Take(data, kind);
    if (envOptions.noLock) {
      RefuseWhileWritten(path, store->presence_);
    } else {
      if (!envOptions.readOnly) RefuseWhileReadLockFree(path, store->presence_);
      PrepareLockFile(path, modes, envOptions, store->presence_);
    }
    store->env_ = storage::Env::Open(path, envOptions);
    if (create) {
      storage::SetModes(store->env_.dataFd(), modes.data, modes.group, "data.mdb");
      store->presence_ = storage::Presence::Take(data, kind);
    }
    store->tables_ = Tables::Open(store->env_, create);
    if (create) {
      storage::Txn txn = storage::Txn::Begin(store->env_, true);
      storage::Put(txn.get(), store->tables_[Table::kMeta], storage::Bytes("format"), storage::Bytes(kStoreFormat));
      if (const Outcome committed = txn.Commit(); !committed.ok()) storage::Check(committed.detail, "commit");
    } else {
      storage::Txn txn = storage::Txn::Begin(store->env_, false);
      MDB_val format;
      if (!storage::Get(txn.get(), store->tables_[Table::kMeta], storage::Bytes("format"), format)) {
        Fail(path, "not a dorvik database");
      }
      if (storage::View(format) != kStoreFormat) {
        Fail(path, fmt::format("made by another version of dorvik (\"{}\")", storage::View(format)));
      }
    }
    storage::SignalsOptions signalsOptions;
    signalsOptions.readOnly = envOptions.readOnly;
    signalsOptions.lockTimeout = store->lockTimeout_;
    signalsOptions.mode = modes.signals;
    signalsOptions.group = modes.group;
    signalsOptions.lockTableFd = store->env_.lockFd();
    store->signals_ = storage::Signals::Open(path / kSignalsFileName, signalsOptions);
  } catch (const storage::StorageError& failure) {
    if (failure.outcome().detail == MDB_NOTFOUND) Fail(path, "not a dorvik database");
    if (failure.outcome().code == kErrCorrupted) {
      Fail(path, fmt::format("database is corrupted ({}): {}", kErrCorrupted, failure.what()));
    }
    if (failure.outcome().code == kErrDatabaseFull) {
      Fail(path, fmt::format("database is full ({}): {}", kErrDatabaseFull, failure.what()));
    }
    Fail(path, failure.what());
  }
  store->catalog_ = std::make_unique<Catalog>();
  return store;
}

Store::~Store() {
  if (temporary_) TemporaryFolders::Instance().Remove(path_);
}

std::string Store::BaseFolder(const View& view) const {
  std::string folder = view.Folder();
  return folder.empty() ? path_.parent_path().string() : folder;
}

void Store::Abandon() {
  env_.Abandon();
  temporary_ = false;
}

}  // namespace dorvik
