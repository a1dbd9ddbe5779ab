// Link, error texts, user context, environment and shutdown registration.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "engine/api/guard.h"
#include "engine/engine.h"

using dorvik::ApiFunction;
using dorvik::CallScope;
using dorvik::Engine;
using dorvik::Guarded;
using dorvik::GuardedValue;
using dorvik::ReadAccess;
using dorvik::SetError;

namespace {

// Longest text read from a zero-terminated argument: a name buffer's size.
constexpr std::size_t kMaxArgumentText = 4096;

std::string BoundedText(const char* text) {
  return text != nullptr ? std::string(text, strnlen(text, kMaxArgumentText)) : std::string();
}

// Opens $DORVIK_DATABASE when no database is open; why not in
// lastOpenError. Called under linkMutex.
bool EnsureOpen(Engine& engine) {
  {
    std::shared_lock lock(engine.storeMutex());
    if (engine.store() != nullptr) return true;
  }
  const char* path = std::getenv("DORVIK_DATABASE");
  if (path == nullptr || *path == '\0') {
    engine.lastOpenError = "no database: DORVIK_DATABASE is not set";
    return false;
  }
  try {
    engine.Replace(dorvik::Store::Open(path, {}));
    engine.lastOpenError.clear();
    return true;
  } catch (const std::exception& error) {
    // DatabaseError says why; anything else is still a reason to give.
    engine.lastOpenError = error.what();
    std::fprintf(stderr, "dorvik: %s\n", error.what());
    return false;
  }
}

// Attaches the calling process; false with lastOpenError set when it
// cannot. Called under linkMutex.
bool Attach(Engine& engine) {
  if (!EnsureOpen(engine)) return false;
  if (engine.ShuttingDown()) {
    std::shared_lock lock(engine.storeMutex());
    const dorvik::Store* store = engine.store();
    engine.lastOpenError =
        fmt::format("{}: the database is shutting down", store != nullptr ? store->path().string() : "");
    return false;
  }
  engine.lastOpenError.clear();
  return true;
}

std::optional<std::string> Environment(const std::string& name) {
  ReadAccess access;
  if (access.view == nullptr) return std::nullopt;
  return dorvik::LookupEnvironment(*access.store, *access.view, name);
}

}  // namespace

extern "C" {

int32_t DORVIK_CALL INIDORV(void) noexcept {
  return GuardedValue<int32_t>(0, [] {
    CallScope call(ApiFunction::kINIDORV);
    if (call.FailsAt(0)) return 0;
    Engine& engine = Engine::Instance();
    std::lock_guard link(engine.linkMutex);
    try {
      if (!Attach(engine)) return 0;
    } catch (const std::exception& error) {
      engine.lastOpenError = fmt::format("cannot attach: {}", error.what());
      return 0;
    }
    ++engine.attachments;
    engine.mapped.store(true);
    return 1;
  });
}

void DORVIK_CALL ENDDORV(void) noexcept {
  Guarded(ApiFunction::kENDDORV, nullptr, [] {
    CallScope call(ApiFunction::kENDDORV);
    Engine& engine = Engine::Instance();
    std::lock_guard link(engine.linkMutex);
    if (engine.attachments == 0 || --engine.attachments > 0) return;
    engine.mapped.store(false);
  });
}

int32_t DORVIK_CALL DBMAPPED(void) noexcept {
  return GuardedValue<int32_t>(0, [] {
    CallScope call(ApiFunction::kDBMAPPED);
    return Engine::Instance().mapped.load() ? 1 : 0;
  });
}

void DORVIK_CALL ERRMESS(const ERRBLOCK* error, char* text, int16_t* length) noexcept {
  if (length != nullptr) *length = 0;
  Guarded(ApiFunction::kERRMESS, nullptr, [&] {
    CallScope call(ApiFunction::kERRMESS, [&] { return fmt::format("code={}", error ? error->ERRCODE : 0); });
    if (length == nullptr || error == nullptr || text == nullptr) return;
    *length = static_cast<int16_t>(dorvik::FormatMessage(*error, text));
  });
}

void DORVIK_CALL VantrelRegisterShutdownCallback(int32_t reserved, VantrelShutdownCallback callback,
                                                 uint32_t threadId) noexcept {
  Guarded(ApiFunction::kVantrelRegisterShutdownCallback, nullptr, [&] {
    CallScope call(ApiFunction::kVantrelRegisterShutdownCallback, [&] { return fmt::format("thread={}", threadId); });
    if (reserved != 0 || callback == nullptr) return;
    Engine::Instance().RegisterCallback(callback);
  });
}

void DORVIK_CALL SetTlsData(const char* domain, const char* user) noexcept {
  Guarded(ApiFunction::kSetTlsData, nullptr, [&] {
    dorvik::UserContext& context = dorvik::CurrentUser();
    context.set = true;
    context.account = BoundedText(domain) + "\\" + BoundedText(user);
    context.epoch = 0;
    CallScope call(ApiFunction::kSetTlsData, [&] { return context.account; });
    ReadAccess access;
    if (access.view != nullptr) dorvik::SnapshotRights(*access.view, context);
  });
}

void DORVIK_CALL REFRESHUSERCONTEXT(int32_t reserved, ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kREFRESHUSERCONTEXT, error, [&] {
    CallScope call(ApiFunction::kREFRESHUSERCONTEXT);
    if (call.FailsAt(0)) return SetError(error, call.function(), call.FaultCode());
    if (reserved != 0) return SetError(error, call.function(), dorvik::kErrBadArgument, 1);
    dorvik::UserContext& context = dorvik::CurrentUser();
    ReadAccess access;
    if (access.view == nullptr) return SetError(error, call.function(), dorvik::kErrNotLoaded);
    if (context.set) dorvik::SnapshotRights(*access.view, context);
    SetError(error, call.function(), dorvik::kOk);
  });
}

int32_t DORVIK_CALL GetVntEnvironmentVariable(const char* name, char* value, int32_t capacity) noexcept {
  return GuardedValue<int32_t>(0, [&] {
    const std::string variable = BoundedText(name);
    CallScope call(ApiFunction::kGetVntEnvironmentVariable, [&] { return variable; });
    if (name == nullptr || value == nullptr || capacity <= 0) return 0;
    value[0] = '\0';
    if (call.FailsAt(0)) return 0;
    const std::optional<std::string> found = Environment(variable);
    if (!found.has_value() || found->empty()) return 0;
    const std::size_t count = std::min(found->size(), static_cast<std::size_t>(capacity));
    std::memcpy(value, found->data(), count);
    if (count < static_cast<std::size_t>(capacity)) value[count] = '\0';
    return static_cast<int32_t>(count);
  });
}

const char* DORVIK_CALL c21_getenv(const char* name) noexcept {
  return GuardedValue<const char*>(nullptr, [&]() -> const char* {
    const std::string variable = BoundedText(name);
    CallScope call(ApiFunction::kc21_getenv, [&] { return variable; });
    if (name == nullptr || call.FailsAt(0)) return nullptr;
    thread_local std::string result;
    std::optional<std::string> found = Environment(variable);
    if (!found.has_value()) return nullptr;
    result = std::move(*found);
    return result.c_str();
  });
}

}  // extern "C"
