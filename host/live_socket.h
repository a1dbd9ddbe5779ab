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

#include "host/live/live_hub.h"
#include "host/worker_pool.h"

namespace vantrel::host {

class LiveService {
 public:
  LiveService(live::LiveHub& hub, WorkerPool& pool) : hub_(hub), pool_(pool) {}
  LiveService(const LiveService&) = delete;
  LiveService& operator=(const LiveService&) = delete;

  live::LiveHub& hub() { return hub_; }
  WorkerPool& pool() { return pool_; }
  std::atomic<std::size_t>& sessions() { return sessions_; }

  std::chrono::seconds handshakeTimeout{10};
  std::chrono::seconds idleTimeout{30};  // a ping after half of it; dropped without an answer

 private:
  live::LiveHub& hub_;
  WorkerPool& pool_;
  std::atomic<std::size_t> sessions_{0};
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_LIVE_SOCKET_H_
