// External tasks: binding, taking activations, waiting and leaving. The
// activation queue lives in the store; SIGNALS.md says how a write in one
// process wakes a waiter in another.
#include <cstdlib>
#include <cstring>

#include "api/dorvik.h"
#include "engine/api/guard.h"
#include "engine/engine.h"
#include "engine/group_commit.h"

using dorvik::ApiFunction;
using dorvik::CallScope;
using dorvik::Engine;
using dorvik::Guarded;
using dorvik::SetError;

extern "C" {

void DORVIK_CALL EXTSKINI(int32_t* task, ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kEXTSKINI, error, [&] {
    CallScope call(ApiFunction::kEXTSKINI);
    const ApiFunction function = call.function();
    if (call.FailsAt(0)) return SetError(error, function, call.FaultCode());
    if (task == nullptr) return SetError(error, function, dorvik::kErrBadArgument, 1);
    Engine& engine = Engine::Instance();
    if (engine.ShuttingDown()) return SetError(error, function, dorvik::kErrShuttingDown);
    const char* taskName = std::getenv("DORVIK_TASK_NAME");
    if (taskName == nullptr || *taskName == '\0') return SetError(error, function, dorvik::kErrTaskNameUnset);
    int32_t taskId = 0;
    {
      dorvik::ReadAccess access;
      if (access.view == nullptr) return SetError(error, function, dorvik::kErrNotLoaded);
      const auto record = access.view->FindRecordByName(std::string_view(taskName, strnlen(taskName, 4096)));
      if (!record) return SetError(error, function, dorvik::kErrNotTaskRecord, 0);
      if (!record->definition->HasKind(dorvik::api::kKindExternalTask)) {
        return SetError(error, function, dorvik::kErrNotTaskRecord, record->id);
      }
      taskId = record->id;
    }
    engine.BindTask(taskId);
    *task = taskId;
    SetError(error, function, dorvik::kOk);
  });
}

void DORVIK_CALL EXTASKCHK(int32_t* record, int32_t* fieldTag, int16_t* priority, int16_t* activationCode,
                           int8_t* tail, ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kEXTASKCHK, error, [&] {
    CallScope call(ApiFunction::kEXTASKCHK);
    const ApiFunction function = call.function();
    Engine& engine = Engine::Instance();
    if (engine.ShuttingDown()) return SetError(error, function, dorvik::kErrShuttingDown);
    if (call.FailsAt(0)) return SetError(error, function, call.FaultCode());
    const int32_t task = engine.boundTask.load();
    if (task == 0) return SetError(error, function, dorvik::kErrNoTaskBound);
    {
      // Most checks find nothing: a read answers them without a write.
      dorvik::ReadAccess access;
      if (access.view == nullptr) return SetError(error, function, dorvik::kErrNotLoaded);
      if (access.view->Activations(task, 1).empty()) return SetError(error, function, dorvik::kOk);
    }
    int16_t refusal = dorvik::kOk;
    std::optional<dorvik::PendingActivation> taken;
    const dorvik::Outcome committed = dorvik::Write([&](dorvik::WriteAccess& access) {
      refusal = access.refusal();
      if (access.view == nullptr) return false;
      taken = access.view->TakeActivation(task);
      return taken.has_value();
    });
    if (refusal != dorvik::kOk) return SetError(error, function, refusal);
    if (!committed.ok()) return SetError(error, function, committed.code, committed.detail);
    if (taken.has_value()) {
      if (record != nullptr) *record = taken->record;
      if (fieldTag != nullptr) *fieldTag = taken->fieldTag;
      if (priority != nullptr) *priority = taken->priority;
      if (activationCode != nullptr) *activationCode = taken->code;
      if (tail != nullptr) *tail = taken->tail;
    }
    SetError(error, function, dorvik::kOk);
  });
}

void DORVIK_CALL EXTSKWAI(void) noexcept {
  Guarded(ApiFunction::kEXTSKWAI, nullptr, [] {
    CallScope call(ApiFunction::kEXTSKWAI);
    Engine::Instance().WaitForActivation();
  });
}

void DORVIK_CALL EXTSKEND(void) noexcept {
  Guarded(ApiFunction::kEXTSKEND, nullptr, [] {
    CallScope call(ApiFunction::kEXTSKEND);
    Engine::Instance().UnbindTask();
  });
}

}  // extern "C"
