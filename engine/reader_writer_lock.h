// ReaderWriterLock: a shared mutex whose readers pay one atomic add to
// enter and one to leave, inline, and nothing else. Every API call takes the
// store's lock shared and the single-item catalog calls take the catalog
// cache's too: with std::shared_mutex (a pthread rwlock) those two pairs
// were about 90 of a cached DEFINID's 300 instructions. Meets the SharedMutex
// requirements, so std::shared_lock and std::unique_lock work with it.
//
// Same policy as the default pthread rwlock it replaces: readers are
// preferred (a reader enters whenever no writer holds the lock, even while a
// writer waits), so a thread may take it shared while another thread of the
// same call holds it shared, and a writer waits until no reader is inside.
// Waiting sleeps on the futex of the state word (std::atomic::wait).
//
//   Invariant: state_ is kWriter while a writer holds the lock (no reader
//   inside), else the number of readers inside plus, for a moment, readers
//   that found kWriter set and are backing out.
//   Invariant: a writer counts itself in waitingWriters_ before it reads
//   state_ to sleep on it, and the last reader out reads waitingWriters_
//   after its decrement (both sequentially consistent), so that reader
//   wakes every writer that may be asleep.
#ifndef VANTREL_ENGINE_READER_WRITER_LOCK_H_
#define VANTREL_ENGINE_READER_WRITER_LOCK_H_

#include <atomic>
#include <cstdint>

namespace dorvik {

class ReaderWriterLock {
 public:
  ReaderWriterLock() = default;
  ReaderWriterLock(const ReaderWriterLock&) = delete;
  ReaderWriterLock& operator=(const ReaderWriterLock&) = delete;

  void lock_shared() {
    if ((state_.fetch_add(1, std::memory_order_acquire) & kWriter) != 0) LockSharedBehindWriter();
  }
  bool try_lock_shared() {
    if ((state_.fetch_add(1, std::memory_order_acquire) & kWriter) == 0) return true;
    LeaveReading();
    return false;
  }
  void unlock_shared() { LeaveReading(); }

  void lock() {
    waitingWriters_.fetch_add(1, std::memory_order_seq_cst);
    uint32_t seen = 0;
    while (!state_.compare_exchange_weak(seen, kWriter, std::memory_order_seq_cst)) {
      if (seen != 0) state_.wait(seen, std::memory_order_seq_cst);
      seen = 0;
    }
    waitingWriters_.fetch_sub(1, std::memory_order_relaxed);
  }
  bool try_lock() {
    uint32_t seen = 0;
    return state_.compare_exchange_strong(seen, kWriter, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void unlock() {
    state_.fetch_and(~kWriter, std::memory_order_release);
    state_.notify_all();  // readers backing out and other writers sleep on the word
  }

  // In the child of a fork(), where only the forking thread lives: the
  // holders the parent's other threads were counted as did not come along,
  // and would keep a writer out for ever. Only while no thread of the child
  // holds or waits for the lock.
  void ResetInForkedChild() {
    state_.store(0, std::memory_order_relaxed);
    waitingWriters_.store(0, std::memory_order_relaxed);
  }

 private:
  static constexpr uint32_t kWriter = 1U << 31;

  void LeaveReading() {
    const uint32_t before = state_.fetch_sub(1, std::memory_order_seq_cst);
    // The last reader out: a writer may sleep on the word.
    if (before == 1 && waitingWriters_.load(std::memory_order_seq_cst) != 0) {
      state_.notify_all();
    }
  }
  // Out of line, so that lock_shared inlines to its one atomic add.
  [[gnu::noinline]] void LockSharedBehindWriter() {
    do {
      LeaveReading();  // a writer holds it: back out, sleep until it leaves
      WaitWhileWriter();
    } while ((state_.fetch_add(1, std::memory_order_acquire) & kWriter) != 0);
  }
  void WaitWhileWriter() {
    uint32_t seen = state_.load(std::memory_order_acquire);
    while ((seen & kWriter) != 0) {
      state_.wait(seen, std::memory_order_acquire);
      seen = state_.load(std::memory_order_acquire);
    }
  }

  std::atomic<uint32_t> state_{0};
  std::atomic<uint32_t> waitingWriters_{0};
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_READER_WRITER_LOCK_H_
