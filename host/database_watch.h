// DatabaseWatch: tells the host when the database shuts down and when it is
// back. The shutdown arrives as the library's shutdown event, through a
// session of the watch's own thread registered for it; while the database
// is down, the thread tries to attach once a second, and the first
// attachment that succeeds means it is back. onChange runs on the watch's
// thread or on the database's notification thread; it must be quick and
// thread-safe.
#ifndef VANTREL_HOST_DATABASE_WATCH_H_
#define VANTREL_HOST_DATABASE_WATCH_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vantrel::host {

class DatabaseWatch {
 public:
  // onChange(true) at a shutdown, onChange(false) when the database is back.
  explicit DatabaseWatch(std::function<void(bool down)> onChange,
                         std::chrono::milliseconds probe = std::chrono::seconds(1));
  ~DatabaseWatch();
  DatabaseWatch(const DatabaseWatch&) = delete;
  DatabaseWatch& operator=(const DatabaseWatch&) = delete;

 private:
  void Watch(std::stop_token stop);

  std::function<void(bool)> onChange_;
  const std::chrono::milliseconds probe_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  bool down_ = false;  // guarded by mutex_
  std::jthread thread_;
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_DATABASE_WATCH_H_
