// Process-wide state of the engine: the current database behind one
// reader-writer lock, the link count, the per-thread user context, the
// external-task queues, the shutdown callbacks, the call log and the fault
// injection. The API functions and the control interface share it.
//
// Lock order: linkMutex, then the data lock, then the task or log mutexes.
// No engine lock is held while a shutdown callback runs.
#ifndef VANTREL_ENGINE_ENGINE_H_
#define VANTREL_ENGINE_ENGINE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/dorvik.h"
#include "engine/database.h"
#include "engine/errors.h"

namespace dorvik {

// An activation waiting for its task.
struct PendingActivation {
  int32_t record = 0;
  int32_t fieldTag = 0;
  int16_t priority = 0;
  int16_t code = 0;
  int8_t tail = 0;
};

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
  std::string account;       // "domain\user"
  uint64_t generation = 0;   // database the snapshot belongs to
  bool system = false;       // the database's system account
  std::unordered_map<int32_t, int16_t> levels;  // target id -> rights level
};

class Engine {
 public:
  static Engine& Instance();

  // --- Data --------------------------------------------------------------------
  std::shared_mutex dataMutex;
  std::unique_ptr<Database> database;  // guarded by dataMutex
  std::atomic<uint64_t> generation{1};  // changes whenever another database is installed

  // Replaces the database (the caller holds no data lock).
  void Install(std::unique_ptr<Database> replacement);

  // --- Link ----------------------------------------------------------------------
  std::mutex linkMutex;
  int32_t attachments = 0;  // guarded by linkMutex
  std::string lastSaveError;  // guarded by linkMutex; empty after a good save
  std::atomic<bool> mapped{false};

  // --- Shutdown -------------------------------------------------------------------
  std::atomic<bool> shuttingDown{false};
  std::mutex callbackMutex;
  std::vector<VantrelShutdownCallback> callbacks;  // guarded by callbackMutex
  void Shutdown(uint32_t code);

  // --- External tasks ---------------------------------------------------------------
  std::mutex taskMutex;
  std::condition_variable taskSignal;
  int32_t boundTask = 0;  // guarded by taskMutex
  std::unordered_map<int32_t, std::deque<PendingActivation>> pending;  // by task id
  void QueueActivation(int32_t task, const PendingActivation& activation);

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
  Engine() = default;  // the one instance comes from Instance()
};

// The calling thread's user context.
UserContext& CurrentUser();

// Rights level (1 read, 2 write, 3 all) of the calling thread on a record;
// 1 for a thread that never set a user. Re-snapshots when the database
// changed since the snapshot.
int16_t RightsLevel(const Database& database, const Record& record);

// Takes the rights snapshot of the calling thread's account.
void SnapshotRights(const Database& database, UserContext& user);

// Environment lookup: the database's table first (folder values resolved
// against its folder), then the process environment.
std::optional<std::string> LookupEnvironment(const Database* database, std::string_view name);

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

// Shared access to the current database for one call; database is null when
// none is loaded.
struct ReadAccess {
  std::shared_lock<std::shared_mutex> lock{Engine::Instance().dataMutex};
  const Database* database = Engine::Instance().database.get();
};

struct WriteAccess {
  std::unique_lock<std::shared_mutex> lock{Engine::Instance().dataMutex};
  Database* database = Engine::Instance().database.get();
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_ENGINE_H_
