// Process-wide state of the engine: the current store, the link count, the
// per-thread user context, the bound external task, the shutdown callbacks
// and their watcher thread, the call log and the fault injection. The API
// functions and the control interface share it.
//
// Lock order: linkMutex, then storeMutex (shared by every call for its
// whole length, exclusive only to replace the store; a write call's share is
// held by the thread leading its group commit, the call itself waits in the
// group holding none), then the writer gate of the signals page (this
// process's writer mutex, then the page's writer lock; both waited for at
// most the lock time-out), then LMDB's writer lock (a write transaction,
// never contended: the gate orders writers of every process), then the
// watch, log and fault mutexes, and the catalog's and its cache's (never
// held while another lock is taken). No engine lock is held while a shutdown
// callback runs or while a thread sleeps in EXTSKWAI.
//
// The Engine lives until the process ends and is never destroyed, so that a
// thread still inside the API at exit (a task waiting in EXTSKWAI, the
// shutdown watcher) never sees it go; exit does not wait for such threads.
#ifndef VANTREL_ENGINE_ENGINE_H_
#define VANTREL_ENGINE_ENGINE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/dorvik.h"
#include "engine/catalog_cache.h"
#include "engine/errors.h"
#include "engine/permissions.h"
#include "engine/reader_writer_lock.h"
#include "engine/store.h"
#include "engine/view.h"

namespace dorvik {

// One entry of the call log.
struct CallEntry {
  std::string function;
  std::string arguments;
};

// An injected fault: the next `calls` calls of function fail with code, at
// item `item` of a batch (-1: at once).
struct FaultRule {
  ApiFunction function = ApiFunction::kNone;
  int16_t code = 0;
  int32_t item = -1;
  int32_t calls = 1;
};

// The user context of one thread: the account SetTlsData set and the rights
// snapshot taken then (or at REFRESHUSERCONTEXT).
struct UserContext {
  bool set = false;
  std::string account;   // "domain\user"
  uint64_t epoch = 0;    // the store the snapshot belongs to
  bool system = false;   // the database's system account
  std::unordered_map<int32_t, int16_t> levels;  // target id -> rights level
};

class Engine {
 public:
  static Engine& Instance();

  // --- The store --------------------------------------------------------------
  // Makes replacement current (null: none) once no call uses the old store,
  // and closes the old one. Waiters of this process look again.
  void Replace(std::unique_ptr<Store> replacement);
  // Changes with every replacement (user contexts snapshot per store).
  uint64_t epoch() const { return epoch_.load(); }
  ReaderWriterLock& storeMutex() { return storeMutex_; }
  // The current store; the caller holds storeMutex. Null when none is open
  // (or the one open was inherited through fork()).
  Store* store() const { return forked_.load(std::memory_order_relaxed) ? nullptr : store_.get(); }
  // Adopts a larger map size another process set (MDB_MAP_RESIZED).
  void AdoptMapSize();
  // In the child of a fork(): the store belongs to the parent; calls see no
  // database until the child opens or installs one.
  void MarkForked() {
    storeMutex_.ResetInForkedChild();  // the parent's calls in flight hold it, not this child's
    forked_.store(true);
  }
  bool forked() const { return forked_.load(); }

  // --- Link ----------------------------------------------------------------------
  std::mutex linkMutex;
  int32_t attachments = 0;     // guarded by linkMutex
  std::string lastOpenError;   // guarded by linkMutex
  std::atomic<bool> mapped{false};

  // --- Shutdown -------------------------------------------------------------------
  // Marks the current database as shutting down for every process, and
  // waits until this process's callbacks ran. Throws DatabaseError when no
  // database is open or it is read-only.
  void Shutdown(uint32_t code);
  void Restart();
  bool ShuttingDown();
  // Keeps one entry per distinct entry point; starts the watcher.
  void RegisterCallback(VantrelShutdownCallback callback);
  void ClearCallbacks();

  // --- External tasks ---------------------------------------------------------------
  std::atomic<int32_t> boundTask{0};  // the task this process is bound to, 0 none
  // EXTSKINI and EXTSKEND of this process: the task stays bound until every
  // binding ended, so that a loop that ends after a new one began (a task
  // restarted) does not unbind the new loop.
  void BindTask(int32_t task);
  void UnbindTask();
  // Forgets every binding (Reset).
  void ClearTaskBindings();
  // EXTSKWAI: returns once the bound task has an activation pending, the
  // database shuts down, or no task is bound.
  void WaitForActivation();
  // Wakes this process's waiters so that they look again (EXTSKEND).
  void NudgeWaiters();

  // --- Call log -------------------------------------------------------------------------
  std::atomic<bool> logEnabled{false};
  std::mutex logMutex;
  std::vector<CallEntry> log;  // guarded by logMutex
  void Log(ApiFunction function, std::string arguments);

  // --- Fault injection --------------------------------------------------------------------
  std::atomic<bool> faultsArmed{false};
  std::mutex faultMutex;
  std::vector<FaultRule> faults;  // guarded by faultMutex
  // Consumes one call of the first fault armed for function.
  std::optional<FaultRule> TakeFault(ApiFunction function);

 protected:
  Engine();  // the one instance comes from Instance()

 private:
  void WatchShutdowns();
  void RunCallbacks(uint32_t code);

  ReaderWriterLock storeMutex_;
  std::unique_ptr<Store> store_;  // guarded by storeMutex_
  std::atomic<uint64_t> epoch_{1};
  std::atomic<bool> forked_{false};  // set in a child of fork(): store_ belongs to the parent

  std::mutex watchMutex_;
  std::condition_variable watchChanged_;
  std::shared_ptr<storage::Signals> watchPage_;      // guarded by watchMutex_: the current store's page
  uint32_t watchedCount_ = 0;                        // guarded by watchMutex_: shutdowns whose callbacks ran
  bool watcherStarted_ = false;                      // guarded by watchMutex_
  std::vector<VantrelShutdownCallback> callbacks_;   // guarded by watchMutex_

  std::mutex bindMutex_;
  int32_t bindings_ = 0;  // guarded by bindMutex_: EXTSKINI calls not yet ended by EXTSKEND
};

// The thread a call runs for: its user context and kernel thread id. A
// write call's change may run on another thread (group_commit.h), which
// then acts for the caller.
struct Caller {
  UserContext* user = nullptr;
  int32_t threadId = 0;
  // The calling thread itself (or the caller it acts for).
  static Caller Current();
};

// The calling thread's user context, or that of the caller it acts for.
UserContext& CurrentUser();
// The kernel id (gettid) of the calling thread, or of the caller it acts for.
int32_t CallerThreadId();

// While it lives, the calling thread acts for caller: CurrentUser() and
// CallerThreadId() answer the caller's. Not nested.
class ActingFor {
 public:
  explicit ActingFor(const Caller& caller);
  ActingFor(const ActingFor&) = delete;
  ActingFor& operator=(const ActingFor&) = delete;
  ~ActingFor();
};

// Environment lookup in the database's own table (folder values resolved
// against its folder); never the process environment.
std::optional<std::string> LookupEnvironment(const Store& store, const View& view, std::string_view name);

// Per-call bookkeeping shared by every API function: writes the call log
// entry and takes an injected fault. describe() builds the log's argument
// text and runs only while the log is on.
class CallScope {
 public:
  template <typename Describe>
  CallScope(ApiFunction function, Describe&& describe) : function_(function) {
    Engine& engine = Engine::Instance();
    if (engine.logEnabled.load(std::memory_order_relaxed)) engine.Log(function, describe());
    if (engine.faultsArmed.load(std::memory_order_relaxed)) fault_ = engine.TakeFault(function);
  }
  explicit CallScope(ApiFunction function) : CallScope(function, [] { return std::string(); }) {}

  ApiFunction function() const { return function_; }
  // Whether an injected fault fails the call at this item (0 for a call
  // without items).
  bool FailsAt(int32_t item) const {
    return fault_.has_value() && (fault_->item == item || (fault_->item < 0 && item == 0));
  }
  int16_t FaultCode() const { return fault_.has_value() ? fault_->code : kOk; }

 private:
  ApiFunction function_;
  std::optional<FaultRule> fault_;
};

// Shared access to the current store for one call: a read transaction (the
// calling thread's own, renewed) on a consistent snapshot. view is null when
// no database is open. Never nested on one thread.
class ReadAccess {
 public:
  ReadAccess();
  ReadAccess(const ReadAccess&) = delete;
  ReadAccess& operator=(const ReadAccess&) = delete;
  ~ReadAccess();
  const View* view = nullptr;
  const Store* store = nullptr;

 private:
  std::shared_lock<ReaderWriterLock> lock_;
  std::optional<View> view_;
  MDB_txn* txn_ = nullptr;
};

// One single-item catalog call's look at the current store (DEFINID,
// RECTYPEOK, NAME2RECID, GETNAMDB_LNAME, DECODFT, GETFTDB_LNAME): what this
// process's catalog cache holds under the catalog generation the store's
// signals page shows now, loaded once, and a read transaction begun only
// when the cache cannot answer, whose reads the cache then keeps
// (catalog_cache.h). Holds the store shared like ReadAccess; never nested
// with another access on one thread.
class CatalogAccess {
 public:
  CatalogAccess();
  CatalogAccess(const CatalogAccess&) = delete;
  CatalogAccess& operator=(const CatalogAccess&) = delete;
  ~CatalogAccess();
  // Whether a database is open.
  bool loaded() const { return store_ != nullptr; }
  // Runs use(const RecordIdentity&) on what the store holds for id
  // (definitionId 0: no record). Needs loaded().
  template <typename Use>
  void WithRecord(int32_t id, Use&& use) {
    if (cacheable_ && store_->catalog().records().WithRecord(generation_, id, use)) return;
    const RecordIdentity identity = ReadRecord(id);
    use(identity);
  }
  // The id of the record name names, when that record reads whole (0: none),
  // as FindRecordByName answers. Needs loaded().
  int32_t IdOfName(std::string_view name);
  // A global field by its name or number; null when there is none. Needs loaded().
  const GlobalField* FieldByName(std::string_view name);
  const GlobalField* Field(int32_t number);
  // The read transaction, for what the cache does not hold; begun on first
  // use, then the same for the rest of the call. Null when the store went.
  const View* view();

 private:
  explicit CatalogAccess(Engine& engine);  // the engine looked up once: every catalog call comes here
  RecordIdentity ReadRecord(int32_t id);
  // Whether what was read under generation_ may be kept: the page still shows it.
  bool StillCurrent() const;

  std::shared_lock<ReaderWriterLock> lock_;
  Store* store_ = nullptr;
  uint64_t epoch_ = 0;
  uint32_t generation_ = 0;
  bool cacheable_ = false;  // the generation is even and reaches this process
  std::optional<View> view_;
  MDB_txn* txn_ = nullptr;
};

// Passes a named sync point (sync_points.cpp); no-op unless a test ordered it.
void PassSyncPoint(std::string_view name);
// In the child of a fork(): no sync point ordered, none passed. The parent's
// registry is left as it was (its mutex and condition may be held by
// threads that did not come along).
void ResetSyncPointsAfterFork();
// Whether a test armed any sync point (a point whose name costs a format is
// built only then).
bool SyncPointsArmed();

// Runs begin (a transaction of the current store) under lock; when another
// process grew the map (MDB_MAP_RESIZED), adopts its size without the lock
// and begins once more.
template <typename Begin>
void BeginAdoptingMapSize(std::shared_lock<ReaderWriterLock>& lock, Begin begin) {
  try {
    begin();
  } catch (const storage::StorageError& error) {
    if (error.outcome().detail != MDB_MAP_RESIZED) throw;
    lock.unlock();
    Engine::Instance().AdoptMapSize();
    lock.lock();
    begin();
  }
}

}  // namespace dorvik

#endif  // VANTREL_ENGINE_ENGINE_H_
