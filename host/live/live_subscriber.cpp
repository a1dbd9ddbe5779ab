#include "host/live/live_subscriber.h"

#include <algorithm>
#include <utility>

namespace vantrel::host::live {

LiveSubscriber::LiveSubscriber(std::string account, std::size_t limit, std::function<void()> onReady)
    : account_(std::move(account)), limit_(std::max<std::size_t>(limit, 1)), onReady_(std::move(onReady)) {}

std::vector<LiveUpdate> LiveSubscriber::Take() {
  std::lock_guard lock(mutex_);
  std::vector<LiveUpdate> taken(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
  queue_.clear();
  return taken;
}

std::vector<LiveUpdate> LiveSubscriber::WaitAndTake(std::chrono::milliseconds limit) {
  {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return !queue_.empty(); });
  }
  return Take();
}

void LiveSubscriber::Push(LiveUpdate update) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    wasEmpty = queue_.empty();
    if (queue_.size() >= limit_) {
      // Full: the newest waiting update of the same subject takes the new
      // values, so each subject's order stays and the queue stops growing.
      const auto same = std::find_if(queue_.rbegin(), queue_.rend(),
                                     [&](const LiveUpdate& waiting) { return waiting.SameSubject(update); });
      if (same != queue_.rend()) {
        same->missed += 1 + update.missed;
        missedTotal_ += 1 + update.missed;
        same->values = std::move(update.values);
        same->pending = update.pending;
        same->reason = std::move(update.reason);
        return;
      }
    }
    queue_.push_back(std::move(update));
  }
  arrived_.notify_all();
  if (wasEmpty && onReady_) onReady_();
}

std::size_t LiveSubscriber::waiting() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

uint64_t LiveSubscriber::missedTotal() const {
  std::lock_guard lock(mutex_);
  return missedTotal_;
}

}  // namespace vantrel::host::live
