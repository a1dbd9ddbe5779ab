// Signals between processes: shutdown (every attached process runs its
// callbacks) and external-task waiting. SIGNALS.md describes the design.
#include <algorithm>
#include <exception>
#include <thread>

#include "engine/database_error.h"
#include "engine/engine.h"

namespace dorvik {

void Engine::Shutdown(uint32_t code) {
  std::shared_ptr<storage::Signals> page;
  {
    std::shared_lock lock(storeMutex_);
    Store* current = store();
    if (current == nullptr) throw DatabaseError("no database is open");
    if (current->readOnly()) throw DatabaseError("database is read-only");
    page = current->signals();
  }
  uint32_t count = 0;
  if (!page->BeginShutdown(code, count)) throw DatabaseError("database is read-only");
  // This process's callbacks run on its watcher thread; wait for them.
  std::unique_lock lock(watchMutex_);
  if (!watcherStarted_ || callbacks_.empty()) return;
  watchChanged_.wait(lock, [&] { return watchPage_ != page || static_cast<int32_t>(watchedCount_ - count) >= 0; });
}

void Engine::Restart() {
  std::shared_lock lock(storeMutex_);
  Store* current = store();
  if (current == nullptr) return;
  if (!current->signals()->EndShutdown()) throw DatabaseError("database is read-only");
}

bool Engine::ShuttingDown() {
  std::shared_lock lock(storeMutex_);
  const Store* current = store();
  return current != nullptr && current->signals()->ShuttingDown();
}

void Engine::RegisterCallback(VantrelShutdownCallback callback) {
  std::lock_guard lock(watchMutex_);
  if (std::find(callbacks_.begin(), callbacks_.end(), callback) == callbacks_.end()) callbacks_.push_back(callback);
  if (watcherStarted_) return;
  // Detached: exit never waits for it, and the Engine it uses is never destroyed.
  std::thread([this] { WatchShutdowns(); }).detach();
  watcherStarted_ = true;
}

void Engine::BindTask(int32_t task) {
  {
    std::lock_guard lock(bindMutex_);
    ++bindings_;
    boundTask.store(task);
  }
  NudgeWaiters();
}

void Engine::UnbindTask() {
  {
    std::lock_guard lock(bindMutex_);
    if (bindings_ > 0) --bindings_;
    if (bindings_ == 0) boundTask.store(0);
  }
  NudgeWaiters();
}

void Engine::ClearTaskBindings() {
  std::lock_guard lock(bindMutex_);
  bindings_ = 0;
  boundTask.store(0);
}

void Engine::ClearCallbacks() {
  std::lock_guard lock(watchMutex_);
  callbacks_.clear();
}

void Engine::RunCallbacks(uint32_t code) {
  std::vector<VantrelShutdownCallback> registered;
  {
    std::lock_guard lock(watchMutex_);
    registered = callbacks_;
  }
  for (VantrelShutdownCallback callback : registered) {
    try {
      callback(code);
    } catch (...) {
      // A callback that throws does not end the watcher or the others.
    }
  }
}

// The watcher: sleeps on the current store's shutdown word and runs the
// callbacks once per shutdown that any process began.
void Engine::WatchShutdowns() {
  for (;;) {
    std::shared_ptr<storage::Signals> page;
    {
      std::unique_lock lock(watchMutex_);
      watchChanged_.wait(lock, [&] { return watchPage_ != nullptr; });
      page = watchPage_;
    }
    const uint32_t seen = page->ShutdownSeq();
    const uint32_t count = page->ShutdownCount();
    std::optional<uint32_t> code;
    {
      std::lock_guard lock(watchMutex_);
      if (page == watchPage_ && count != watchedCount_) code = page->ShutdownCode();
    }
    if (code.has_value()) {
      RunCallbacks(*code);
      {
        std::lock_guard lock(watchMutex_);
        if (page == watchPage_) watchedCount_ = count;
      }
      watchChanged_.notify_all();
      continue;
    }
    PassSyncPoint("watcher:waiting");
    if (!page->retired()) page->WaitShutdown(seen);
  }
}

void Engine::WaitForActivation() {
  for (;;) {
    std::shared_ptr<storage::Signals> page;
    {
      std::shared_lock lock(storeMutex_);
      const Store* current = store();
      if (current == nullptr) return;
      page = current->signals();
    }
    // The word is read before the store is looked at: a write that commits
    // after the look has moved the word, and the sleep returns at once.
    const uint32_t seen = page->WakeSeq();
    {
      ReadAccess access;
      if (access.store == nullptr) return;
      if (access.store->signals() != page) continue;  // replaced meanwhile
      if (page->ShuttingDown()) return;
      const int32_t task = boundTask.load();
      if (task == 0 || !access.view->Activations(task, 1).empty()) return;
    }
    PassSyncPoint("EXTSKWAI:waiting");
    if (!page->retired()) page->WaitWake(seen);
  }
}

void Engine::NudgeWaiters() {
  std::shared_lock lock(storeMutex_);
  if (const Store* current = store()) current->signals()->Wake();
}

}  // namespace dorvik
