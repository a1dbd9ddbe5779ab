// Shutdown notification types: the event argument EventReason, the
// subscriber callback ServerShutdownHandler, and ShutdownEvents, the
// subscriber list a session raises when the database shuts down. Adding and
// raising may happen on different threads at once.
#ifndef VANTREL_SESSION_SHUTDOWN_EVENTS_H_
#define VANTREL_SESSION_SHUTDOWN_EVENTS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel::access {

class Session;

// Why a notification came: a reason text and a code.
class EventReason {
 public:
  EventReason(std::string reason, int32_t code) : Reason(std::move(reason)), Code(code) {}
  std::string Reason;
  int32_t Code;
};

// sender is the session that registered the callback; it lives until the
// handler returns (destroying a session waits for its notification).
using ServerShutdownHandler = std::function<void(Session* sender, const EventReason& e)>;

class ShutdownEvents {
 public:
  void Add(ServerShutdownHandler handler);
  ShutdownEvents& operator+=(ServerShutdownHandler handler) {
    Add(std::move(handler));
    return *this;
  }
  std::size_t Count() const;
  // Calls every subscriber in the order of subscription, on this thread.
  // Subscribers added meanwhile are called from the next raise on.
  void Raise(Session* sender, const EventReason& e) const;

 private:
  mutable std::mutex mutex_;
  std::vector<ServerShutdownHandler> handlers_;
};

}  // namespace vantrel::access

#endif  // VANTREL_SESSION_SHUTDOWN_EVENTS_H_
