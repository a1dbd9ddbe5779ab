// The lock every engine call takes: readers share it, a writer holds it
// alone, and nobody sleeps past the moment they may enter. Run under TSan
// with the concurrency label, which also sees the plain data it guards.
#include "engine/reader_writer_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace dorvik::testing {
namespace {

// Readers and writers hammer one lock. The guarded pair is plain data a
// writer changes in two steps: a reader that ever sees them differ, or a
// writer that finds a reader or writer inside, means the lock let two in.
TEST(ReaderWriterLockTest, WritersAreAloneAndReadersSeeOnlyWholeWrites) {
  ReaderWriterLock lock;
  long first = 0, second = 0;  // guarded by lock
  std::atomic<int> readersInside{0};
  std::atomic<int> writersInside{0};
  std::atomic<int> violations{0};
  std::atomic<long> reads{0};
  constexpr int kWritesEach = 2'000;

  std::vector<std::thread> threads;
  std::atomic<bool> writing{true};
  for (int r = 0; r < 4; ++r) {
    threads.emplace_back([&] {
      while (writing.load()) {
        std::shared_lock shared(lock);
        readersInside.fetch_add(1);
        if (writersInside.load() != 0 || first != second) violations.fetch_add(1);
        readersInside.fetch_sub(1);
        reads.fetch_add(1);
      }
    });
  }
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&] {
      for (int i = 0; i < kWritesEach; ++i) {
        std::unique_lock alone(lock);
        if (writersInside.fetch_add(1) != 0 || readersInside.load() != 0) violations.fetch_add(1);
        ++first;
        ++second;
        writersInside.fetch_sub(1);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  writing.store(false);
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(first, 3 * kWritesEach);
  EXPECT_EQ(second, first);
  EXPECT_GT(reads.load(), 0);
}

// Readers are preferred, as with the pthread lock it replaced: a reader
// enters while a writer waits, so a call may share the lock with a thread
// that shares it already.
TEST(ReaderWriterLockTest, AReaderEntersWhileAWriterWaitsAndTheWriterEntersWhenItLeaves) {
  ReaderWriterLock lock;
  std::shared_lock first(lock);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    std::unique_lock alone(lock);
    written.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the writer is waiting, or about to
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
  EXPECT_FALSE(lock.try_lock());
  EXPECT_FALSE(written.load());
  first.unlock();
  writer.join();  // woken by the last reader out
  EXPECT_TRUE(written.load());
  EXPECT_TRUE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock_shared());
  lock.unlock();
}

// Readers that arrive while a writer holds the lock sleep, and all enter
// when it leaves.
TEST(ReaderWriterLockTest, ReadersWaitingForAWriterAllEnterWhenItLeaves) {
  ReaderWriterLock lock;
  lock.lock();
  std::atomic<int> entered{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&] {
      std::shared_lock shared(lock);
      entered.fetch_add(1);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(entered.load(), 0);
  lock.unlock();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(entered.load(), 8);
}

// A child forked while another thread of the parent is inside a call
// inherits that thread's share but not the thread: once reset, a writer of
// the child (opening its own database) gets in.
TEST(ReaderWriterLockTest, AForkedChildResetsTheSharesOfThreadsThatStayedBehind) {
  ReaderWriterLock lock;
  std::atomic<bool> holding{false}, release{false};
  std::thread reader([&] {
    std::shared_lock shared(lock);
    holding.store(true);
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!holding.load()) std::this_thread::yield();
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);  // a lock still held would hang the child: fail it instead
    lock.ResetInForkedChild();
    lock.lock();
    lock.unlock();
    ::_exit(0);
  }
  release.store(true);
  reader.join();
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace dorvik::testing
