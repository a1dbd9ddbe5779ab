// LiveService: what the WebSocket sessions of /v1/live share: the live
// values hub, the worker pool on which their subscriptions read (never on an
// I/O thread), and their timeouts. The listener (HttpServer) hands it each
// request that the dispatch answered 101 for a proven account.
//
// A session sends the hub's updates as they come, one message at a time
// (host/live/live_protocol.h); pings an idle client and drops one that does
// not answer within idleTimeout; ends when the client leaves or the host
// stops. Thread-safe; outlives the listener.
#ifndef VANTREL_HOST_LIVE_SOCKET_H_
#define VANTREL_HOST_LIVE_SOCKET_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>

#include "host/live/live_hub.h"
#include "host/worker_pool.h"

namespace vantrel::host {

// A session as the service knows it: something the host's stop can close.
class LiveSessionHandle {
 public:
  virtual ~LiveSessionHandle() = default;
  // Closes the session's socket on its own executor; its pending operations
  // end and the session goes with its last handler.
  virtual void CloseNow() = 0;
};

class LiveService {
 public:
  LiveService(live::LiveHub& hub, WorkerPool& pool) : hub_(hub), pool_(pool) {}
  LiveService(const LiveService&) = delete;
  LiveService& operator=(const LiveService&) = delete;

  live::LiveHub& hub() { return hub_; }
  WorkerPool& pool() { return pool_; }
  std::atomic<std::size_t>& sessions() { return sessions_; }

  // The sessions open now, for CloseAll; a session ends on its own too.
  void Track(const std::shared_ptr<LiveSessionHandle>& session) {
    std::lock_guard lock(mutex_);
    for (auto it = open_.begin(); it != open_.end();) it = it->expired() ? open_.erase(it) : std::next(it);
    open_.insert(session);
  }
  // Closes every open session (the listener's stop).
  void CloseAll() {
    std::set<std::weak_ptr<LiveSessionHandle>, std::owner_less<>> open;
    {
      std::lock_guard lock(mutex_);
      open.swap(open_);
    }
    for (const auto& weak : open) {
      if (auto session = weak.lock()) session->CloseNow();
    }
  }

  std::chrono::seconds handshakeTimeout{10};
  std::chrono::seconds idleTimeout{30};  // a ping after half of it; dropped without an answer

 private:
  live::LiveHub& hub_;
  WorkerPool& pool_;
  std::atomic<std::size_t> sessions_{0};
  std::mutex mutex_;
  std::set<std::weak_ptr<LiveSessionHandle>, std::owner_less<>> open_;  // guarded by mutex_
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_LIVE_SOCKET_H_
