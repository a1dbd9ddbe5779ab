#include "engine/control.h"

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "engine/access.h"
#include "engine/database_file.h"
#include "engine/engine.h"
#include "engine/database_plan.h"

namespace dorvik {
namespace {

// Runs change on the current database under the exclusive lock.
template <typename Change>
void Modify(Change change) {
  WriteAccess access;
  if (access.database == nullptr) throw DatabaseError("no database is loaded");
  change(*access.database);
  access.database->dirty = true;
}

const Record& RecordNamed(const Database& database, std::string_view name) {
  const Record* record = database.FindRecordByName(name);
  if (record == nullptr) throw DatabaseError(fmt::format("no record is named \"{}\"", name));
  return *record;
}

// Resolves "NAME" or "N NAME" of a record; false when unknown.
bool ResolveNamed(const Database& database, std::string_view record, std::string_view field, FieldAccess& access) {
  const Record* target = database.FindRecordByName(record);
  int32_t occurrence = 0;
  if (const std::size_t blank = field.find(' '); blank != std::string_view::npos) {
    occurrence = std::atoi(std::string(field.substr(0, blank)).c_str());
    field = field.substr(blank + 1);
  }
  const GlobalField* global = database.FindFieldByName(field);
  int32_t detail = 0;
  return target != nullptr && global != nullptr &&
         Resolve(database, target->id, dorvik::api::FieldTag(global->number, occurrence), access, detail) == kOk;
}

}  // namespace

Timestamp Timestamp::Parse(std::string_view text) {
  Micros micros = 0;
  if (!ParseTime(text, micros)) throw DatabaseError(fmt::format("\"{}\" is not a time", text));
  return Timestamp{micros};
}

void Install(const DatabaseBuilder& builder) {
  Engine::Instance().Install(BuildDatabase(builder.Plan(), "database builder"));
}

void Open(const std::string& path) { Engine::Instance().Install(LoadDatabaseFile(path)); }

void Save(const std::string& path) {
  WriteAccess access;
  if (access.database == nullptr) throw DatabaseError("no database is loaded");
  SaveDatabaseFile(*access.database, path);
  const std::filesystem::path absolute = std::filesystem::absolute(path);
  access.database->path = absolute.string();
  if (access.database->folder.empty()) access.database->folder = absolute.parent_path().string();
  access.database->dirty = false;
}

void WriteDatabaseFile(const DatabaseBuilder& builder, const std::string& path) {
  SaveDatabaseFile(*BuildDatabase(builder.Plan(), "database builder"), path);
}

void Reset() {
  Engine& engine = Engine::Instance();
  {
    std::lock_guard link(engine.linkMutex);
    engine.attachments = 0;
    engine.mapped.store(false);
    engine.lastSaveError.clear();
  }
  engine.Install(nullptr);
  engine.shuttingDown.store(false);
  {
    std::lock_guard lock(engine.callbackMutex);
    engine.callbacks.clear();
  }
  {
    std::lock_guard lock(engine.taskMutex);
    engine.boundTask = 0;
    engine.pending.clear();
  }
  engine.taskSignal.notify_all();
  EnableCallLog(false);
  ClearCallLog();
  ClearFaults();
  CurrentUser() = UserContext{};
}

bool IsLoaded() {
  ReadAccess access;
  return access.database != nullptr;
}

bool IsDirty() {
  ReadAccess access;
  return access.database != nullptr && access.database->dirty;
}

std::string LastSaveError() {
  Engine& engine = Engine::Instance();
  std::lock_guard link(engine.linkMutex);
  return engine.lastSaveError;
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
  std::lock_guard lock(engine.faultMutex);
  engine.faults.clear();
  engine.faultsArmed.store(false);
}

void Shutdown(uint32_t code) { Engine::Instance().Shutdown(code); }

void Restart() { Engine::Instance().shuttingDown.store(false); }

bool IsShuttingDown() { return Engine::Instance().shuttingDown.load(); }

void ActivateTask(std::string_view task, std::string_view record, int32_t fieldTag, int16_t priority, int16_t code,
                  int8_t tail) {
  int32_t taskId = 0, recordId = 0;
  {
    ReadAccess access;
    if (access.database == nullptr) throw DatabaseError("no database is loaded");
    const Record& taskRecord = RecordNamed(*access.database, task);
    if (!taskRecord.definition->HasKind(dorvik::api::kKindExternalTask)) {
      throw DatabaseError(fmt::format("\"{}\" is not an external task record", task));
    }
    taskId = taskRecord.id;
    recordId = RecordNamed(*access.database, record).id;
  }
  Engine::Instance().QueueActivation(taskId, PendingActivation{recordId, fieldTag, priority, code, tail});
}

int32_t PendingActivations(std::string_view task) {
  int32_t taskId = 0;
  {
    ReadAccess access;
    if (access.database == nullptr) return 0;
    taskId = RecordNamed(*access.database, task).id;
  }
  Engine& engine = Engine::Instance();
  std::lock_guard lock(engine.taskMutex);
  auto it = engine.pending.find(taskId);
  return it == engine.pending.end() ? 0 : static_cast<int32_t>(it->second.size());
}

void SetPermission(std::string_view account, std::string_view target, int16_t level) {
  if (account.empty() || level < 1 || level > 3) throw DatabaseError("a grant needs an account and a level 1 to 3");
  Modify([&](Database& database) {
    const int32_t id = RecordNamed(database, target).id;
    for (Grant& grant : database.grants) {
      if (grant.targetId == id && EqualsIgnoreCase(grant.account, account)) {
        grant.level = level;
        return;
      }
    }
    database.grants.push_back(Grant{std::string(account), id, level});
  });
}

void RevokePermission(std::string_view account, std::string_view target) {
  Modify([&](Database& database) {
    const int32_t id = RecordNamed(database, target).id;
    std::erase_if(database.grants, [&](const Grant& g) { return g.targetId == id && EqualsIgnoreCase(g.account, account); });
  });
}

void SetSystemAccount(std::string_view account) {
  Modify([&](Database& database) { database.systemAccount = std::string(account); });
}

void SetEnvironment(std::string_view name, std::optional<std::string> value, bool folder) {
  Modify([&](Database& database) {
    auto& entries = database.environment;
    auto it = std::find_if(entries.begin(), entries.end(), [&](const EnvironmentEntry& e) { return EqualsIgnoreCase(e.name, name); });
    if (!value.has_value()) {
      if (it != entries.end()) entries.erase(it);
    } else if (it != entries.end()) {
      it->value = std::move(*value);
      it->folder = folder;
    } else {
      entries.push_back(EnvironmentEntry{std::string(name), std::move(*value), folder});
    }
  });
}

std::optional<std::string> CurrentText(std::string_view record, std::string_view field) {
  ReadAccess access;
  FieldAccess resolved;
  if (access.database == nullptr || !ResolveNamed(*access.database, record, field, resolved)) return std::nullopt;
  Scalar value;
  Quality quality;
  if (ReadValue(*access.database, resolved, resolved.occurrence, value, quality) != kOk) return std::nullopt;
  char scratch[kScratchSize];
  return std::string(ToText(*access.database, value, scratch));
}

int32_t HistoryCount(std::string_view record, std::string_view field) {
  ReadAccess access;
  FieldAccess resolved;
  if (access.database == nullptr || !ResolveNamed(*access.database, record, field, resolved)) return 0;
  const HistorySeries* series = access.database->FindHistory(resolved.record->id, resolved.Tag());
  return series != nullptr ? static_cast<int32_t>(series->size()) : 0;
}

}  // namespace dorvik
