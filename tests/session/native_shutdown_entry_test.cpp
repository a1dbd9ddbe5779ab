// Pooled native shutdown entry points, called directly as the client library
// would call them.
#include "session/native_shutdown_entry.h"

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace vantrel::access {
namespace {

TEST(ShutdownEntryLeaseTest, AnEndedLeasesEntryForwardsNothingUntilTheNextLeaseRebindsIt) {
  std::vector<uint32_t> first, second;
  auto lease = std::make_unique<ShutdownEntryLease>([&](uint32_t code) { first.push_back(code); });
  const auto entry = lease->Entry();
  ASSERT_NE(entry, nullptr);
  entry(1);
  lease.reset();
  entry(2);  // still callable: the client library may call it any time

  const std::size_t made = ShutdownEntryLease::EntriesMade();
  ShutdownEntryLease next([&](uint32_t code) { second.push_back(code); });
  EXPECT_EQ(next.Entry(), entry) << "taken from the pool";
  EXPECT_EQ(ShutdownEntryLease::EntriesMade(), made);
  entry(0xFFFFFFFFu);
  EXPECT_EQ(first, std::vector<uint32_t>{1});
  EXPECT_EQ(second, std::vector<uint32_t>{0xFFFFFFFFu});

  // Leases alive together hold entries of their own; a moved lease keeps its entry.
  ShutdownEntryLease other([&](uint32_t code) { first.push_back(code); });
  EXPECT_NE(other.Entry(), next.Entry());
  ShutdownEntryLease moved(std::move(other));
  EXPECT_EQ(other.Entry(), nullptr);
  moved.Entry()(3);
  EXPECT_EQ(first, (std::vector<uint32_t>{1, 3}));
}

TEST(ShutdownEntryLeaseTest, NothingATargetThrowsLeavesTheEntryPoint) {
  ShutdownEntryLease lease([](uint32_t) { throw std::runtime_error("subscriber failed"); });
  EXPECT_NO_THROW(lease.Entry()(1));
}

TEST(ShutdownEntryLeaseTest, EndingALeaseWaitsForACallInProgress) {
  std::atomic<bool> leaseEnded{false};
  std::atomic<bool> endedDuringCall{false};
  std::latch entered(1);
  std::latch release(1);
  auto lease = std::make_unique<ShutdownEntryLease>([&](uint32_t) {
    entered.count_down();
    release.wait();
    endedDuringCall = leaseEnded.load();
  });
  std::thread caller([entry = lease->Entry()] { entry(1); });
  entered.wait();
  std::thread ender([&] {
    lease.reset();
    leaseEnded = true;
  });
  // Give the ender time to reach the lease's end; it must wait there.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(leaseEnded.load());
  release.count_down();
  caller.join();
  ender.join();
  EXPECT_FALSE(endedDuringCall.load());
  EXPECT_TRUE(leaseEnded.load());
}

}  // namespace
}  // namespace vantrel::access
