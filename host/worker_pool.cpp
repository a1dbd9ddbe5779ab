#include "host/worker_pool.h"

#include <algorithm>
#include <utility>

namespace vantrel::host {

WorkerPool::WorkerPool(std::size_t threads, std::size_t queueCapacity, std::function<void()> onStart)
    : capacity_(queueCapacity) {
  threads = std::max<std::size_t>(threads, 1);
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this, onStart] { Work(onStart); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) thread.join();
}

bool WorkerPool::TrySubmit(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= capacity_) return false;
    queue_.push_back(std::move(job));
    ++pending_;
  }
  wake_.notify_one();
  return true;
}

std::size_t WorkerPool::Pending() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

bool WorkerPool::WaitIdle(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return idle_.wait_until(lock, deadline, [this] { return pending_ == 0; });
}

void WorkerPool::Work(const std::function<void()>& onStart) {
  if (onStart) onStart();
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and every queued job ran
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
    std::lock_guard lock(mutex_);
    if (--pending_ == 0) idle_.notify_all();
  }
}

}  // namespace vantrel::host
