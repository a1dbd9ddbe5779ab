// Concurrent readers and writers of one database, with permissions and
// shutdown callbacks on the way (runs under the thread sanitizer).
#include <atomic>
#include <thread>

#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

std::atomic<int> gShutdownCalls{0};
void CountShutdown(uint32_t) { gShutdownCalls.fetch_add(1); }
void CountShutdownToo(uint32_t) { gShutdownCalls.fetch_add(100); }

class ConcurrencyTest : public EngineTest {};

TEST_F(ConcurrencyTest, ReadersAndWritersSeeWholeValues) {
  const int32_t tag1 = Id("TAG1"), value = Tag("VALUE"), units = Tag("UNITS"), trendCount = Tag("TREND_COUNT");
  constexpr int kRounds = 2000;
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < 2; ++writer) {
    threads.emplace_back([&, writer] {
      SetTlsData("DOM", "writer");
      for (int i = 0; i < kRounds; ++i) {
        if (WriteDouble(tag1, value, writer * 10000 + i, 0, 0, XUSTS{1000 + i, 0}).ERRCODE != 0) failed = true;
        const int16_t count = static_cast<int16_t>(i % 7);
        IDANDFT item{tag1, trendCount};
        const int16_t type = -3;
        int16_t done = 0;
        ERRBLOCK error{};
        MWDBVALS(1, &item, &type, &count, &done, &error);
        if (error.ERRCODE != 0) failed = true;
        if (WriteText(tag1, units, i % 2 == 0 ? "AAAAAAAA" : "BBBB").ERRCODE != 0) failed = true;
      }
    });
  }
  for (int reader = 0; reader < 3; ++reader) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        ERRBLOCK error{};
        const std::string text = ReadText(tag1, units, error);
        if (error.ERRCODE != 0 || (text != "AAAAAAAA" && text != "BBBB" && text != "degC")) failed = true;
        int16_t count = 0;
        DB2SHRT(tag1, trendCount, &count, &error);
        IDANDFT items[8];
        for (int k = 0; k < 8; ++k) items[k] = IDANDFT{tag1, trendCount + 1 + k};
        int16_t types[8];
        ERRBLOCK errors[8];
        GETDATATYPES(8, items, types, errors);
        if (count < 0 || count > 6) failed = true;
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 200; ++i) {
      SetPermission("DOM\\other", "TAG2", 2);
      RevokePermission("DOM\\other", "TAG2");
      ERRBLOCK error{};
      REFRESHUSERCONTEXT(0, &error);
    }
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(HistoryCount("TAG1", "VALUE"), 5 + 2 * kRounds);
}

TEST_F(ConcurrencyTest, ShutdownRunsWhileOtherThreadsCallIn) {
  gShutdownCalls = 0;
  for (int i = 0; i < 4; ++i) VantrelRegisterShutdownCallback(0, CountShutdown, static_cast<uint32_t>(i));
  VantrelRegisterShutdownCallback(0, CountShutdownToo, 5);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      Id("TAG1");
      VantrelRegisterShutdownCallback(0, CountShutdown, 9);
    }
  });
  Shutdown(5);
  stop = true;
  reader.join();
  // One entry per entry point however often it registers: each runs once.
  EXPECT_EQ(gShutdownCalls.load(), 101);
}

}  // namespace
}  // namespace dorvik::testing
