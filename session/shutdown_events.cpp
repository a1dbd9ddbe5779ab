#include "session/shutdown_events.h"

namespace vantrel::access {

void ShutdownEvents::Add(ServerShutdownHandler handler) {
  if (!handler) return;
  std::lock_guard lock(mutex_);
  handlers_.push_back(std::move(handler));
}

std::size_t ShutdownEvents::Count() const {
  std::lock_guard lock(mutex_);
  return handlers_.size();
}

void ShutdownEvents::Raise(Session* sender, const EventReason& e) const {
  std::vector<ServerShutdownHandler> handlers;
  {
    std::lock_guard lock(mutex_);
    handlers = handlers_;
  }
  for (const auto& handler : handlers) handler(sender, e);
}

}  // namespace vantrel::access
