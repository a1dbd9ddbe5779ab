// LiveSubscriber: the outgoing queue of one client of the live values hub
// (one WebSocket, one test). The hub pushes; the client's sender takes.
// Thread-safe.
//
// The queue is bounded: past `limit` updates waiting, a new update of a
// field that already has one waiting replaces that one's values and adds
// the replaced change to its missed count, so a client that cannot keep up
// gets the latest value of each field and how many changes it missed. At
// most limit + (fields watched) updates wait; a push never blocks.
//
//   auto subscriber = hub.Connect("VNT\\operator", [&] { PostSend(); });
//   for (LiveUpdate& update : subscriber->Take()) Send(update);
#ifndef VANTREL_HOST_LIVE_LIVE_SUBSCRIBER_H_
#define VANTREL_HOST_LIVE_LIVE_SUBSCRIBER_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/live/live_update.h"

namespace vantrel::host::live {

class LiveSubscriber {
 public:
  // onReady runs (on the pushing thread, outside any lock) when the queue
  // stops being empty; it must not block.
  LiveSubscriber(std::string account, std::size_t limit, std::function<void()> onReady);
  LiveSubscriber(const LiveSubscriber&) = delete;
  LiveSubscriber& operator=(const LiveSubscriber&) = delete;

  // The account whose rights every read for this subscriber uses.
  const std::string& account() const { return account_; }

  // Every waiting update, oldest first; the queue is empty afterwards.
  std::vector<LiveUpdate> Take();
  // As Take, after waiting up to limit for an update to arrive.
  std::vector<LiveUpdate> WaitAndTake(std::chrono::milliseconds limit);

  void Push(LiveUpdate update);
  std::size_t waiting() const;
  // Changes dropped (coalesced) since the subscriber connected.
  uint64_t missedTotal() const;

 private:
  const std::string account_;
  const std::size_t limit_;
  const std::function<void()> onReady_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<LiveUpdate> queue_;  // guarded by mutex_
  uint64_t missedTotal_ = 0;      // guarded by mutex_
};

}  // namespace vantrel::host::live

#endif  // VANTREL_HOST_LIVE_LIVE_SUBSCRIBER_H_
