// Link, error texts, user context, environment, shutdown registration and
// external tasks.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "engine/database_file.h"
#include "engine/engine.h"

using dorvik::ApiFunction;
using dorvik::CallScope;
using dorvik::Engine;
using dorvik::ReadAccess;
using dorvik::SetError;

namespace {

// Longest text read from a zero-terminated argument: a name buffer's size.
constexpr std::size_t kMaxArgumentText = 4096;

std::string BoundedText(const char* text) {
  return text != nullptr ? std::string(text, strnlen(text, kMaxArgumentText)) : std::string();
}

// Loads $DORVIK_DATABASE when no database is loaded. Called under linkMutex.
bool EnsureLoaded(Engine& engine) {
  {
    ReadAccess access;
    if (access.database != nullptr) return true;
  }
  const char* path = std::getenv("DORVIK_DATABASE");
  if (path == nullptr || *path == '\0') return false;
  try {
    engine.Install(dorvik::LoadDatabaseFile(path));
    return true;
  } catch (const dorvik::DatabaseError& error) {
    std::fprintf(stderr, "dorvik: %s\n", error.what());
    return false;
  }
}

// Saves the database at the last detach when it changed and has a file.
void SaveIfChanged(Engine& engine) {
  dorvik::WriteAccess access;
  dorvik::Database* database = access.database;
  if (database == nullptr || !database->dirty || database->path.empty()) return;
  try {
    dorvik::SaveDatabaseFile(*database, database->path);
    database->dirty = false;
    engine.lastSaveError.clear();
  } catch (const dorvik::DatabaseError& error) {
    // The database stays marked as changed, so the next detach tries again.
    engine.lastSaveError = error.what();
    std::fprintf(stderr, "dorvik: %s\n", error.what());
  }
}

}  // namespace

extern "C" {

int32_t DORVIK_CALL INIDORV(void) {
  CallScope call(ApiFunction::kINIDORV);
  if (call.FailsAt(0)) return 0;
  Engine& engine = Engine::Instance();
  std::lock_guard link(engine.linkMutex);
  if (engine.shuttingDown.load() || !EnsureLoaded(engine)) return 0;
  ++engine.attachments;
  engine.mapped.store(true);
  return 1;
}

void DORVIK_CALL ENDDORV(void) {
  CallScope call(ApiFunction::kENDDORV);
  Engine& engine = Engine::Instance();
  std::lock_guard link(engine.linkMutex);
  if (engine.attachments == 0 || --engine.attachments > 0) return;
  engine.mapped.store(false);
  SaveIfChanged(engine);
}

int32_t DORVIK_CALL DBMAPPED(void) {
  CallScope call(ApiFunction::kDBMAPPED);
  return Engine::Instance().mapped.load() ? 1 : 0;
}

void DORVIK_CALL ERRMESS(const ERRBLOCK* error, char* text, int16_t* length) {
  CallScope call(ApiFunction::kERRMESS, [&] { return fmt::format("code={}", error ? error->ERRCODE : 0); });
  if (length == nullptr) return;
  *length = 0;
  if (error == nullptr || text == nullptr) return;
  *length = static_cast<int16_t>(dorvik::FormatMessage(*error, text));
}

void DORVIK_CALL VantrelRegisterShutdownCallback(int32_t reserved, VantrelShutdownCallback callback,
                                                 uint32_t threadId) {
  CallScope call(ApiFunction::kVantrelRegisterShutdownCallback,
                 [&] { return fmt::format("thread={}", threadId); });
  if (reserved != 0 || callback == nullptr) return;
  Engine& engine = Engine::Instance();
  std::lock_guard lock(engine.callbackMutex);
  engine.callbacks.push_back(callback);
}

void DORVIK_CALL SetTlsData(const char* domain, const char* user) {
  dorvik::UserContext& context = dorvik::CurrentUser();
  context.set = true;
  context.account = BoundedText(domain) + "\\" + BoundedText(user);
  context.generation = 0;
  CallScope call(ApiFunction::kSetTlsData, [&] { return context.account; });
  ReadAccess access;
  if (access.database != nullptr) dorvik::SnapshotRights(*access.database, context);
}

void DORVIK_CALL REFRESHUSERCONTEXT(int32_t reserved, ERRBLOCK* error) {
  CallScope call(ApiFunction::kREFRESHUSERCONTEXT);
  if (call.FailsAt(0)) return SetError(error, call.function(), call.FaultCode());
  if (reserved != 0) return SetError(error, call.function(), dorvik::kErrBadArgument, 1);
  dorvik::UserContext& context = dorvik::CurrentUser();
  ReadAccess access;
  if (access.database == nullptr) return SetError(error, call.function(), dorvik::kErrNotLoaded);
  if (context.set) dorvik::SnapshotRights(*access.database, context);
  SetError(error, call.function(), dorvik::kOk);
}

int32_t DORVIK_CALL GetVntEnvironmentVariable(const char* name, char* value, int32_t capacity) {
  const std::string variable = BoundedText(name);
  CallScope call(ApiFunction::kGetVntEnvironmentVariable, [&] { return variable; });
  if (name == nullptr || value == nullptr || capacity <= 0) return 0;
  value[0] = '\0';
  if (call.FailsAt(0)) return 0;
  std::optional<std::string> found;
  {
    ReadAccess access;
    found = dorvik::LookupEnvironment(access.database, variable);
  }
  if (!found.has_value() || found->empty()) return 0;
  const std::size_t count = std::min(found->size(), static_cast<std::size_t>(capacity));
  std::memcpy(value, found->data(), count);
  if (count < static_cast<std::size_t>(capacity)) value[count] = '\0';
  return static_cast<int32_t>(count);
}

const char* DORVIK_CALL c21_getenv(const char* name) {
  const std::string variable = BoundedText(name);
  CallScope call(ApiFunction::kc21_getenv, [&] { return variable; });
  if (name == nullptr || call.FailsAt(0)) return nullptr;
  thread_local std::string result;
  std::optional<std::string> found;
  {
    ReadAccess access;
    found = dorvik::LookupEnvironment(access.database, variable);
  }
  if (!found.has_value()) return nullptr;
  result = std::move(*found);
  return result.c_str();
}

// --- External tasks ---------------------------------------------------------

void DORVIK_CALL EXTSKINI(int32_t* task, ERRBLOCK* error) {
  CallScope call(ApiFunction::kEXTSKINI);
  const ApiFunction function = call.function();
  if (call.FailsAt(0)) return SetError(error, function, call.FaultCode());
  if (task == nullptr) return SetError(error, function, dorvik::kErrBadArgument, 1);
  Engine& engine = Engine::Instance();
  if (engine.shuttingDown.load()) return SetError(error, function, dorvik::kErrShuttingDown);
  const char* taskName = std::getenv("DORVIK_TASK_NAME");
  if (taskName == nullptr || *taskName == '\0') return SetError(error, function, dorvik::kErrTaskNameUnset);
  int32_t taskId = 0;
  {
    ReadAccess access;
    if (access.database == nullptr) return SetError(error, function, dorvik::kErrNotLoaded);
    const dorvik::Record* record = access.database->FindRecordByName(BoundedText(taskName));
    if (record == nullptr) return SetError(error, function, dorvik::kErrNotTaskRecord, 0);
    if (!record->definition->HasKind(dorvik::api::kKindExternalTask)) {
      return SetError(error, function, dorvik::kErrNotTaskRecord, record->id);
    }
    taskId = record->id;
  }
  {
    std::lock_guard lock(engine.taskMutex);
    engine.boundTask = taskId;
  }
  engine.taskSignal.notify_all();
  *task = taskId;
  SetError(error, function, dorvik::kOk);
}

void DORVIK_CALL EXTASKCHK(int32_t* record, int32_t* fieldTag, int16_t* priority, int16_t* activationCode,
                           int8_t* tail, ERRBLOCK* error) {
  CallScope call(ApiFunction::kEXTASKCHK);
  const ApiFunction function = call.function();
  Engine& engine = Engine::Instance();
  if (engine.shuttingDown.load()) return SetError(error, function, dorvik::kErrShuttingDown);
  if (call.FailsAt(0)) return SetError(error, function, call.FaultCode());
  std::lock_guard lock(engine.taskMutex);
  if (engine.boundTask == 0) return SetError(error, function, dorvik::kErrNoTaskBound);
  auto it = engine.pending.find(engine.boundTask);
  if (it != engine.pending.end() && !it->second.empty()) {
    const dorvik::PendingActivation activation = it->second.front();
    it->second.pop_front();
    if (record != nullptr) *record = activation.record;
    if (fieldTag != nullptr) *fieldTag = activation.fieldTag;
    if (priority != nullptr) *priority = activation.priority;
    if (activationCode != nullptr) *activationCode = activation.code;
    if (tail != nullptr) *tail = activation.tail;
  }
  SetError(error, function, dorvik::kOk);
}

void DORVIK_CALL EXTSKWAI(void) {
  CallScope call(ApiFunction::kEXTSKWAI);
  Engine& engine = Engine::Instance();
  std::unique_lock lock(engine.taskMutex);
  engine.taskSignal.wait(lock, [&engine] {
    if (engine.shuttingDown.load() || engine.boundTask == 0) return true;
    auto it = engine.pending.find(engine.boundTask);
    return it != engine.pending.end() && !it->second.empty();
  });
}

void DORVIK_CALL EXTSKEND(void) {
  CallScope call(ApiFunction::kEXTSKEND);
  Engine& engine = Engine::Instance();
  {
    std::lock_guard lock(engine.taskMutex);
    engine.boundTask = 0;
  }
  engine.taskSignal.notify_all();
}

}  // extern "C"
