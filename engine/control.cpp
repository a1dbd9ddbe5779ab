#include "engine/control.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <shared_mutex>
#include <thread>

#include <fmt/format.h>

#include "engine/access.h"
#include "engine/check.h"
#include "engine/database_plan.h"
#include "engine/engine.h"
#include "engine/file_audit.h"
#include "engine/group_commit.h"
#include "engine/json/json_files.h"
#include "engine/store_builder.h"

namespace dorvik {
namespace {

[[noreturn]] void Refused(int16_t refusal) {
  throw DatabaseError(refusal == kErrReadOnly ? "database is read-only" : "no database is loaded");
}

// Runs change in one write transaction of the current database, committed
// before it returns.
template <typename Change>
void Modify(Change change) {
  int16_t refusal = kOk;
  const Outcome committed = Write([&](WriteAccess& access) {
    refusal = access.refusal();
    if (access.view == nullptr) return false;
    change(*access.view);
    return true;
  });
  if (refusal != kOk) Refused(refusal);
  if (!committed.ok()) {
    throw DatabaseError(fmt::format("the change is not saved: {}", ShortMessage(committed.code)));
  }
}

RecordRef RecordNamed(const View& view, std::string_view name) {
  const std::optional<RecordRef> record = view.FindRecordByName(name);
  if (!record) throw DatabaseError(fmt::format("no record is named \"{}\"", name));
  return *record;
}

// Resolves "NAME" or "N NAME" of a record; false when unknown.
bool ResolveNamed(const View& view, std::string_view record, std::string_view field, FieldAccess& access) {
  const std::optional<RecordRef> target = view.FindRecordByName(record);
  int32_t occurrence = 0;
  if (const std::size_t blank = field.find(' '); blank != std::string_view::npos) {
    occurrence = std::atoi(std::string(field.substr(0, blank)).c_str());
    field = field.substr(blank + 1);
  }
  const GlobalField* global = view.FindFieldByName(field);
  int32_t detail = 0;
  return target && global != nullptr &&
         Resolve(view, target->id, dorvik::api::FieldTag(global->number, occurrence), access, detail) == kOk;
}

// Builds plan into a new store in one transaction.
void BuildInto(Store& store, const DatabasePlan& plan) {
  storage::Txn txn = storage::Txn::Begin(store.env(), true);
  WriteView view(txn.get(), store.tables(), store.catalog());
  StoreBuilder builder("database builder");
  builder.Bind(view);
  builder.Build(plan);
  if (const Outcome committed = txn.Commit(); !committed.ok()) {
    throw DatabaseError(fmt::format("{}: the database is not saved: {}", store.path().string(),
                                    ShortMessage(committed.code)));
  }
}

// Runs body with storage errors turned into DatabaseError.
template <typename Body>
auto Storing(Body body) {
  try {
    return body();
  } catch (const storage::StorageError& error) {
    throw DatabaseError(fmt::format("{}: {}", ShortMessage(error.outcome().code), error.what()));
  }
}

// Checks the current store: first its file's pages, then, when LMDB can walk
// them, every table.
CheckReport CheckOpenStore(const ReadAccess& access) {
  CheckReport report;
  report.faults = AuditDataFile(access.store->path() / "data.mdb");
  return report.ok() ? CheckStore(*access.view) : report;
}

// The refusal of a damaged database: its first faults and how many there are.
std::string DamagedDatabase(const CheckReport& report) {
  constexpr std::size_t kShown = 3;
  std::string text = fmt::format("the database is damaged ({} faults; vntaccess check lists them)",
                                 report.faults.size());
  for (std::size_t i = 0; i < report.faults.size() && i < kShown; ++i) text += fmt::format("; {}", report.faults[i]);
  return text;
}

}  // namespace

Timestamp Timestamp::Parse(std::string_view text) {
  Micros micros = 0;
  if (!ParseTime(text, micros)) throw DatabaseError(fmt::format("\"{}\" is not a time", text));
  return Timestamp{micros};
}

void Install(const DatabaseBuilder& builder, const OpenOptions& options) {
  Storing([&] {
    std::unique_ptr<Store> store = Store::CreateTemporary(options);
    BuildInto(*store, builder.Plan());
    Engine::Instance().Replace(std::move(store));
  });
}

void CreateDatabase(const DatabaseBuilder& builder, const std::string& path, const OpenOptions& options) {
  Storing([&] {
    std::unique_ptr<Store> store = Store::Create(path, options);
    try {
      BuildInto(*store, builder.Plan());
    } catch (...) {
      store.reset();
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
      throw;
    }
  });
}

void Open(const std::string& path, const OpenOptions& options) {
  // LMDB's locks are the process's: one database is never open twice in it,
  // so the current one closes first when it is the same.
  std::error_code error;
  if (const std::string current = DatabasePath();
      !current.empty() && std::filesystem::equivalent(current, path, error)) {
    Engine::Instance().Replace(nullptr);
  }
  Storing([&] { Engine::Instance().Replace(Store::Open(path, options)); });
}

void ImportDatabase(const std::string& jsonPath, const std::string& storePath, const OpenOptions& options) {
  Storing([&] { ImportJsonFile(jsonPath, storePath, options); });
}

void ExportDatabase(const std::string& jsonPath) {
  Storing([&] {
    ReadAccess access;
    if (access.view == nullptr) throw DatabaseError("no database is loaded");
    // A damaged database would export as much as could be read and pass for
    // whole: it is refused instead, with what the check found first.
    if (const CheckReport report = CheckOpenStore(access); !report.ok()) {
      throw DatabaseError(DamagedDatabase(report));
    }
    ExportJsonFile(*access.view, jsonPath);
  });
}

void WriteDatabaseFile(const DatabaseBuilder& builder, const std::string& path) {
  Storing([&] {
    std::unique_ptr<Store> store = Store::CreateTemporary({});
    BuildInto(*store, builder.Plan());
    storage::Txn txn = storage::Txn::Begin(store->env(), false);
    const View view(txn.get(), store->tables(), store->catalog());
    ExportJsonFile(view, path);
  });
}

CheckReport CheckDatabase() {
  return Storing([&] {
    ReadAccess access;
    if (access.view == nullptr) throw DatabaseError("no database is loaded");
    return CheckOpenStore(access);
  });
}

void Reset() {
  Engine& engine = Engine::Instance();
  {
    std::lock_guard link(engine.linkMutex);
    engine.attachments = 0;
    engine.mapped.store(false);
    engine.lastOpenError.clear();
  }
  engine.Replace(nullptr);
  engine.ClearCallbacks();
  engine.ClearTaskBindings();
  EnableCallLog(false);
  ClearCallLog();
  ClearFaults();
  ClearSyncPoints();
  CurrentUser() = UserContext{};
}

bool IsLoaded() {
  ReadAccess access;
  return access.view != nullptr;
}

std::string DatabasePath() {
  ReadAccess access;
  return access.store != nullptr ? access.store->path().string() : std::string();
}

bool IsReadOnly() {
  ReadAccess access;
  return access.store != nullptr && access.store->readOnly();
}

std::string LastOpenError() {
  Engine& engine = Engine::Instance();
  std::lock_guard link(engine.linkMutex);
  return engine.lastOpenError;
}

int32_t Attachments() {
  Engine& engine = Engine::Instance();
  std::lock_guard link(engine.linkMutex);
  return engine.attachments;
}

void EnableCallLog(bool enabled) { Engine::Instance().logEnabled.store(enabled); }

void ClearCallLog() {
  Engine& engine = Engine::Instance();
  std::lock_guard lock(engine.logMutex);
  engine.log.clear();
}

std::vector<LoggedCall> CallLog() {
  Engine& engine = Engine::Instance();
  std::lock_guard lock(engine.logMutex);
  std::vector<LoggedCall> calls;
  for (const CallEntry& entry : engine.log) calls.push_back(LoggedCall{entry.function, entry.arguments});
  return calls;
}

int32_t CallCount(std::string_view function) {
  Engine& engine = Engine::Instance();
  std::lock_guard lock(engine.logMutex);
  return static_cast<int32_t>(
      std::count_if(engine.log.begin(), engine.log.end(), [&](const CallEntry& e) { return e.function == function; }));
}

void InjectFault(std::string_view function, int16_t code, int32_t item, int32_t calls) {
  const ApiFunction target = FunctionByName(function);
  if (target == ApiFunction::kNone) throw DatabaseError(fmt::format("no API function is named \"{}\"", function));
  if (calls <= 0) return;
  Engine& engine = Engine::Instance();
  std::lock_guard lock(engine.faultMutex);
  engine.faults.push_back(FaultRule{target, code, item, calls});
  engine.faultsArmed.store(true);
}

void ClearFaults() {
  Engine& engine = Engine::Instance();
  {
    std::lock_guard lock(engine.faultMutex);
    engine.faults.clear();
    engine.faultsArmed.store(false);
  }
  storage::ClearStorageFaults();
}

void InjectStorageFault(StorageOp op, int code, int32_t times) { storage::ArmStorageFault(op, code, times); }

void Shutdown(uint32_t code) { Engine::Instance().Shutdown(code); }

void Restart() { Engine::Instance().Restart(); }

bool IsShuttingDown() { return Engine::Instance().ShuttingDown(); }

void ActivateTask(std::string_view task, std::string_view record, int32_t fieldTag, int16_t priority, int16_t code,
                  int8_t tail) {
  Storing([&] {
    Modify([&](WriteView& view) {
      const RecordRef taskRecord = RecordNamed(view, task);
      if (!taskRecord.definition->HasKind(dorvik::api::kKindExternalTask)) {
        throw DatabaseError(fmt::format("\"{}\" is not an external task record", task));
      }
      const int32_t recordId = RecordNamed(view, record).id;
      view.QueueActivation(taskRecord.id, PendingActivation{recordId, fieldTag, priority, code, tail});
    });
  });
}

namespace {
std::shared_ptr<storage::Signals> CurrentSignals() {
  Engine& engine = Engine::Instance();
  std::shared_lock lock(engine.storeMutex());
  const Store* current = engine.store();
  return current != nullptr ? current->signals() : nullptr;
}
}  // namespace

uint32_t ValueChangeSeq() {
  const std::shared_ptr<storage::Signals> page = CurrentSignals();
  return page != nullptr ? page->ValueSeq() : 0;
}

CatalogCacheState CatalogCacheInfo() {
  Engine& engine = Engine::Instance();
  std::shared_lock lock(engine.storeMutex());
  const Store* current = engine.store();
  if (current == nullptr) return {};
  const CatalogCache& cache = current->catalog().records();
  return CatalogCacheState{current->signals()->CatalogGeneration(), cache.records(), cache.names()};
}

void WaitValueChange(uint32_t seen, int timeoutMs) {
  const std::shared_ptr<storage::Signals> page = CurrentSignals();
  if (page == nullptr) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, timeoutMs)));  // nothing to wake it
  } else if (!page->retired()) {
    page->WaitValues(seen, timeoutMs);
  }
}

uint32_t TaskChangeSeq() {
  const std::shared_ptr<storage::Signals> page = CurrentSignals();
  return page != nullptr ? page->WakeSeq() : 0;
}

int32_t PendingActivations(std::string_view task) {
  return Storing([&] {
    ReadAccess access;
    if (access.view == nullptr) return 0;
    return access.view->CountActivations(RecordNamed(*access.view, task).id);
  });
}

void SetPermission(std::string_view account, std::string_view target, int16_t level) {
  if (account.empty() || level < 1 || level > 3) throw DatabaseError("a grant needs an account and a level 1 to 3");
  Storing([&] {
    Modify([&](WriteView& view) {
      const int32_t id = RecordNamed(view, target).id;
      std::vector<Grant> grants = view.Grants();
      auto it = std::find_if(grants.begin(), grants.end(),
                             [&](const Grant& g) { return g.targetId == id && EqualsIgnoreCase(g.account, account); });
      if (it != grants.end()) {
        it->level = level;
      } else {
        grants.push_back(Grant{std::string(account), id, level});
      }
      view.PutGrants(grants);
    });
  });
}

void RevokePermission(std::string_view account, std::string_view target) {
  Storing([&] {
    Modify([&](WriteView& view) {
      const int32_t id = RecordNamed(view, target).id;
      std::vector<Grant> grants = view.Grants();
      std::erase_if(grants, [&](const Grant& g) { return g.targetId == id && EqualsIgnoreCase(g.account, account); });
      view.PutGrants(grants);
    });
  });
}

void SetSystemAccount(std::string_view account) {
  Storing([&] { Modify([&](WriteView& view) { view.PutMeta("systemAccount", account); }); });
}

void SetEnvironment(std::string_view name, std::optional<std::string> value, bool folder) {
  Storing([&] {
    Modify([&](WriteView& view) {
      std::vector<EnvironmentEntry> entries = view.Environment();
      auto it = std::find_if(entries.begin(), entries.end(),
                             [&](const EnvironmentEntry& e) { return EqualsIgnoreCase(e.name, name); });
      if (!value.has_value()) {
        if (it != entries.end()) entries.erase(it);
      } else if (it != entries.end()) {
        it->value = std::move(*value);
        it->folder = folder;
      } else {
        entries.push_back(EnvironmentEntry{std::string(name), std::move(*value), folder});
      }
      view.PutEnvironment(entries);
    });
  });
}

std::optional<std::string> CurrentText(std::string_view record, std::string_view field) {
  return Storing([&]() -> std::optional<std::string> {
    ReadAccess access;
    FieldAccess resolved;
    if (access.view == nullptr || !ResolveNamed(*access.view, record, field, resolved)) return std::nullopt;
    Scalar value;
    Quality quality;
    if (ReadValue(*access.view, resolved, resolved.occurrence, value, quality) != kOk) return std::nullopt;
    char scratch[kScratchSize];
    return std::string(ToText(*access.view, value, scratch));
  });
}

int32_t HistoryCount(std::string_view record, std::string_view field) {
  return Storing([&] {
    ReadAccess access;
    FieldAccess resolved;
    if (access.view == nullptr || !ResolveNamed(*access.view, record, field, resolved)) return 0;
    return static_cast<int32_t>(CountSamples(*access.view, resolved.record.id, resolved.Tag()));
  });
}

}  // namespace dorvik
