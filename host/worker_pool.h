// WorkerPool: a fixed set of threads that run the host's operations, which
// block on the database, so that no I/O thread ever waits for one. The queue
// of waiting jobs is bounded: TrySubmit refuses a job when it is full, and
// the host answers 503 instead of queuing without end.
//
// Thread-safe. The destructor runs the jobs already queued, then joins.
#ifndef VANTREL_HOST_WORKER_POOL_H_
#define VANTREL_HOST_WORKER_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel::host {

class WorkerPool {
 public:
  // threads workers (at least one); onStart runs first on each of them.
  WorkerPool(std::size_t threads, std::size_t queueCapacity, std::function<void()> onStart = {});
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues job; false (job dropped) when queueCapacity jobs wait already or
  // the pool is stopping. A job must not throw.
  bool TrySubmit(std::function<void()> job);
  // Jobs queued or running.
  std::size_t Pending() const;
  // Waits until nothing is queued or running, or until the deadline; true
  // when idle.
  bool WaitIdle(std::chrono::steady_clock::time_point deadline);

 private:
  void Work(const std::function<void()>& onStart);

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;       // a job queued, or stopping_
  std::condition_variable idle_;       // pending_ reached zero
  std::deque<std::function<void()>> queue_;  // guarded by mutex_
  std::size_t pending_ = 0;                  // guarded by mutex_: queued + running
  bool stopping_ = false;                    // guarded by mutex_
  std::vector<std::thread> threads_;
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_WORKER_POOL_H_
