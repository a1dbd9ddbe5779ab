#include "engine/store.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

#include <fmt/format.h>

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
  if (fs::status(path / kDataFileName, error).type() != fs::file_type::regular) {
    Fail(path, "a folder, but not a database: it holds no data.mdb");
  }
}

}  // namespace

std::unique_ptr<Store> Store::Open(const fs::path& path, const OpenOptions& options) {
  CheckIsDatabase(path);
  return OpenFolder(path, options, false);
}

std::unique_ptr<Store> Store::Create(const fs::path& path, const OpenOptions& options) {
  std::error_code error;
  if (!fs::create_directory(path, error) && (error || !fs::is_empty(path, error))) {
    Fail(path, error ? error.message() : "already exists");
  }
  return OpenFolder(path, options, true);
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
  const fs::path data = path / kDataFileName;
  storage::EnvOptions envOptions;
  if (options.mapSize != 0) envOptions.mapSize = options.mapSize;
  envOptions.readOnly = !create && (options.readOnly || ::access(data.c_str(), W_OK) != 0);
  try {
    store->env_ = storage::Env::Open(path, envOptions);
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
    store->signals_ = storage::Signals::Open(path / kSignalsFileName, envOptions.readOnly);
  } catch (const storage::StorageError& failure) {
    if (failure.outcome().detail == MDB_NOTFOUND) Fail(path, "not a dorvik database");
    if (failure.outcome().code == kErrReadOnly) {
      Fail(path, fmt::format("{} (a reader needs write access to lock.mdb)", failure.what()));
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
