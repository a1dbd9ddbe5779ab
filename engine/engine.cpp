#include "engine/engine.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <thread>

namespace dorvik {
namespace {

// The engine lives until the process ends and is never destroyed, so that
// threads still inside the API at exit (a task waiting in EXTSKWAI) never
// see a destroyed mutex.
template <typename T>
class NoDestructor {
 public:
  NoDestructor() { new (storage_) T(); }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace

Engine& Engine::Instance() {
  struct Constructible : Engine {};
  static NoDestructor<Constructible> instance;
  return instance.get();
}

void Engine::Install(std::unique_ptr<Database> replacement) {
  std::unique_ptr<Database> previous;
  {
    std::unique_lock lock(dataMutex);
    previous = std::move(database);
    database = std::move(replacement);
    generation.fetch_add(1);
  }
  // previous is destroyed here, outside the lock.
}

void Engine::Shutdown(uint32_t code) {
  shuttingDown.store(true);
  {
    std::lock_guard lock(taskMutex);
  }
  taskSignal.notify_all();
  std::vector<VantrelShutdownCallback> registered;
  {
    std::lock_guard lock(callbackMutex);
    registered = callbacks;
  }
  std::thread notifier([registered, code] {
    for (VantrelShutdownCallback callback : registered) callback(code);
  });
  notifier.join();
}

void Engine::QueueActivation(int32_t task, const PendingActivation& activation) {
  {
    std::lock_guard lock(taskMutex);
    pending[task].push_back(activation);
  }
  taskSignal.notify_all();
}

void Engine::Log(ApiFunction function, std::string arguments) {
  std::lock_guard lock(logMutex);
  log.push_back(CallEntry{std::string(FunctionName(function)), std::move(arguments)});
}

std::optional<FaultRule> Engine::TakeFault(ApiFunction function) {
  std::lock_guard lock(faultMutex);
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->function != function) continue;
    FaultRule taken = *it;
    if (--it->calls <= 0) faults.erase(it);
    if (faults.empty()) faultsArmed.store(false);
    return taken;
  }
  return std::nullopt;
}

UserContext& CurrentUser() {
  thread_local UserContext user;
  return user;
}

void SnapshotRights(const Database& database, UserContext& user) {
  user.generation = Engine::Instance().generation.load();
  user.system = !database.systemAccount.empty() && EqualsIgnoreCase(user.account, database.systemAccount);
  user.levels.clear();
  for (const Grant& grant : database.grants) {
    if (grant.account != "*" && !EqualsIgnoreCase(grant.account, user.account)) continue;
    int16_t& level = user.levels[grant.targetId];
    level = std::max(level, grant.level);
  }
}

int16_t RightsLevel(const Database& database, const Record& record) {
  UserContext& user = CurrentUser();
  if (!user.set) return 1;
  if (user.generation != Engine::Instance().generation.load()) SnapshotRights(database, user);
  if (user.system) return 3;
  int16_t level = 1;
  for (int32_t target : {record.id, record.definitionId}) {
    auto it = user.levels.find(target);
    if (it != user.levels.end()) level = std::max(level, it->second);
  }
  return level;
}

namespace {

// Variables that always name folders, whether or not the file marks them.
bool IsFolderVariable(const EnvironmentEntry& entry) {
  return entry.folder || EqualsIgnoreCase(entry.name, "COMPRESS_SOURCE") ||
         EqualsIgnoreCase(entry.name, "DORVIK_GROUP_FOLDER_NAME");
}

}  // namespace

std::optional<std::string> LookupEnvironment(const Database* database, std::string_view name) {
  if (database != nullptr) {
    for (const EnvironmentEntry& entry : database->environment) {
      if (!EqualsIgnoreCase(entry.name, name)) continue;
      std::filesystem::path value(entry.value);
      if (IsFolderVariable(entry) && !entry.value.empty() && value.is_relative() && !database->folder.empty()) {
        return (std::filesystem::path(database->folder) / value).lexically_normal().string();
      }
      return entry.value;
    }
  }
  if (const char* value = std::getenv(std::string(name).c_str())) return std::string(value);
  return std::nullopt;
}

}  // namespace dorvik
