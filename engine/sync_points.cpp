// Named sync points: a test orders threads (OrderSyncPoints) or ends the
// process at a named place (KillAtSyncPoint). Unarmed, a point costs one
// relaxed load.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/control.h"
#include "engine/engine.h"

namespace dorvik {
namespace {

struct SyncPoints {
  std::atomic<bool> armed{false};
  std::mutex mutex;
  std::condition_variable passed;
  std::map<std::string, std::vector<std::string>, std::less<>> predecessors;  // guarded by mutex: after -> befores
  std::set<std::string, std::less<>> reached;                                  // guarded by mutex
  std::map<std::string, int32_t, std::less<>> kills;                           // guarded by mutex: point -> passes left
  uint64_t generation = 0;  // guarded by mutex: a clear releases every waiting thread
};

SyncPoints*& PointsSlot() {
  static SyncPoints* points = new SyncPoints();  // outlives threads still passing points at exit
  return points;
}

SyncPoints& Points() { return *PointsSlot(); }

}  // namespace

void PassSyncPoint(std::string_view name) {
  SyncPoints& points = Points();
  if (!points.armed.load(std::memory_order_relaxed)) return;
  std::unique_lock lock(points.mutex);
  if (auto kill = points.kills.find(name); kill != points.kills.end() && --kill->second == 0) ::raise(SIGKILL);
  if (auto it = points.predecessors.find(name); it != points.predecessors.end()) {
    const std::vector<std::string> befores = it->second;
    const uint64_t generation = points.generation;
    points.passed.wait(lock, [&] {
      return points.generation != generation ||
             std::all_of(befores.begin(), befores.end(),
                         [&](const std::string& before) { return points.reached.count(before) != 0; });
    });
  }
  points.reached.emplace(name);
  points.passed.notify_all();
}

void ResetSyncPointsAfterFork() { PointsSlot() = new SyncPoints(); }

bool SyncPointsArmed() { return Points().armed.load(std::memory_order_relaxed); }

void OrderSyncPoints(std::vector<std::pair<std::string, std::string>> beforeAfter) {
  SyncPoints& points = Points();
  std::lock_guard lock(points.mutex);
  for (auto& [before, after] : beforeAfter) points.predecessors[std::move(after)].push_back(std::move(before));
  points.armed.store(true);
}

void SyncPoint(std::string_view name) { PassSyncPoint(name); }

void KillAtSyncPoint(std::string point, int32_t n) {
  SyncPoints& points = Points();
  std::lock_guard lock(points.mutex);
  points.kills[std::move(point)] = std::max(n, 1);
  points.armed.store(true);
}

void ClearSyncPoints() {
  SyncPoints& points = Points();
  std::lock_guard lock(points.mutex);
  points.predecessors.clear();
  points.reached.clear();
  points.kills.clear();
  ++points.generation;
  points.armed.store(false);
  points.passed.notify_all();
}

}  // namespace dorvik
