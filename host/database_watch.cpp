#include "host/database_watch.h"

#include <utility>

#include "api/dorvik.h"
#include "data/data_access.h"

namespace vantrel::host {

DatabaseWatch::DatabaseWatch(std::function<void(bool down)> onChange, std::chrono::milliseconds probe)
    : onChange_(std::move(onChange)), probe_(probe), thread_([this](std::stop_token stop) { Watch(stop); }) {}

DatabaseWatch::~DatabaseWatch() {
  thread_.request_stop();
  wake_.notify_all();
}

void DatabaseWatch::Watch(std::stop_token stop) {
  // The session registers the shutdown callback for this thread and keeps
  // it for as long as it lives.
  access::DataAccess session(true);
  session.VntShutdownEvents += [this](access::Session*, const access::EventReason&) {
    {
      std::lock_guard lock(mutex_);
      down_ = true;
    }
    onChange_(true);
    wake_.notify_all();
  };
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    wake_.wait_for(lock, stop, probe_, [] { return false; });
    if (!down_ || stop.stop_requested()) continue;
    if (INIDORV() != 0) {
      ENDDORV();
      down_ = false;
      lock.unlock();
      onChange_(false);
      lock.lock();
    }
  }
}

}  // namespace vantrel::host
