// Store: one database open in this process. A database is a folder:
//
//   data.mdb   the LMDB data file: every table of view.h
//   lock.mdb   LMDB's lock file (its reader table and writer lock)
//   signals    the page of live signals every attached process maps
//
// A Store owns the folder's Env (one per process), its tables, this
// process's catalog cache and the signal page. Opening reads nothing but
// the format mark: its cost does not grow with the database.
//
// Thread-safe for its readers; the engine replaces the current Store only
// while no call uses it (engine.h).
#ifndef VANTREL_ENGINE_STORE_H_
#define VANTREL_ENGINE_STORE_H_

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/open_options.h"
#include "engine/storage/env.h"
#include "engine/storage/signals.h"
#include "engine/storage/store_files.h"
#include "engine/view.h"

namespace dorvik {

inline constexpr const char* kDataFileName = "data.mdb";
inline constexpr const char* kLockFileName = "lock.mdb";
inline constexpr const char* kSignalsFileName = "signals";
inline constexpr std::string_view kStoreFormat = "dorvik-store 1";

class Store {
 public:
  // Opens the database folder at path. Throws DatabaseError with a one-line
  // message: no such database, a JSON file (and what to run instead), not a
  // database, made by a newer version, a file that is a link or not a
  // regular file, a data file cut short ("database is corrupted (-28)"), no
  // room for the lock table ("database is full (-26)"), a lock file or
  // signals page deleted while other processes use them, a lock held past
  // the time-out, or what the system refused. A database the user may only
  // read opens read-only; one whose lock table the user may not write
  // either opens without it while no writer has it (FORMAT.md).
  static std::unique_ptr<Store> Open(const std::filesystem::path& path, const OpenOptions& options);
  // Makes a new database folder at path, which must not exist (its parent
  // must): the tables and the format mark, private (0700, files 0600) or
  // shared with options.group. The caller fills it in one write
  // transaction (the builder) and commits. A folder it made is removed
  // again when it fails.
  static std::unique_ptr<Store> Create(const std::filesystem::path& path, const OpenOptions& options);
  // A new database folder in the temporary folder (/dev/shm when it is
  // there), removed when the Store goes or the process ends.
  static std::unique_ptr<Store> CreateTemporary(const OpenOptions& options);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store();

  const storage::Env& env() const { return env_; }
  const Tables& tables() const { return tables_; }
  Catalog& catalog() const { return *catalog_; }
  const std::shared_ptr<storage::Signals>& signals() const { return signals_; }
  const std::filesystem::path& path() const { return path_; }
  bool readOnly() const { return env_.readOnly(); }
  // The longest wait for the writer lock (OpenOptions::lockTimeout).
  std::chrono::milliseconds lockTimeout() const { return lockTimeout_; }
  // The folder that relative folder variables resolve against: the one the
  // database names (a builder's Folder), else the folder holding the store.
  std::string BaseFolder(const View& view) const;
  // After fork(): the child forgets the handles without closing them.
  void Abandon();

 private:
  Store() = default;
  static std::unique_ptr<Store> OpenFolder(const std::filesystem::path& path, const OpenOptions& options, bool create);

  storage::Presence presence_;  // released after env_ closes
  storage::Env env_;
  Tables tables_;
  std::unique_ptr<Catalog> catalog_;
  std::shared_ptr<storage::Signals> signals_;
  std::filesystem::path path_;
  std::chrono::milliseconds lockTimeout_{30'000};
  bool temporary_ = false;  // remove the folder when closed
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_STORE_H_
