// RHIS21DATA and RHIS21REV over the history of TAG1 VALUE: values 1..5 at
// seconds 100..500 (level 1 at 200).
#include <algorithm>
#include <random>

#include "engine_test_support.h"

#include <limits>

namespace dorvik::testing {
namespace {

struct HistoryResult {
  std::vector<double> values;
  std::vector<int32_t> seconds;
  std::vector<int16_t> levels;
  ERRBLOCK error{};
};

class HistoryTest : public EngineTest {
 protected:
  HistoryResult Forward(int32_t from, int32_t to, int32_t outsiders, int32_t count, int32_t requestType = 4) {
    return Run(false, from, to, outsiders, count, requestType);
  }
  HistoryResult Reverse(int32_t newest, int32_t oldest, int32_t count) {
    return Run(true, newest, oldest, 0, count, 4);
  }

 private:
  HistoryResult Run(bool reverse, int32_t start, int32_t end, int32_t outsiders, int32_t count, int32_t requestType) {
    const int32_t id = Id("TAG1"), tag = Tag("VALUE");
    const std::size_t room = static_cast<std::size_t>(std::max(count, 0));
    std::vector<double> values(room);
    std::vector<XUSTS> times(room);
    std::vector<int16_t> levels(room);
    void* const buffers[] = {values.data()};
    const int16_t type = -6;
    const XUSTS from{start, 0}, to{end, 0};
    int32_t returned = -1;
    int16_t fieldsDone = 0;
    HistoryResult result;
    if (reverse) {
      RHIS21REV(0, 0, 0, 0, id, tag + 1, &from, &to, 1, &tag, &type, count, levels.data(), times.data(), buffers,
                &returned, &fieldsDone, &result.error);
    } else {
      RHIS21DATA(requestType, 0, outsiders, id, tag + 1, &from, &to, 1, &tag, &type, count, levels.data(),
                 times.data(), buffers, &returned, &fieldsDone, &result.error);
    }
    for (int32_t i = 0; i < returned; ++i) {
      result.values.push_back(values[static_cast<std::size_t>(i)]);
      result.seconds.push_back(times[static_cast<std::size_t>(i)].SECONDS);
      result.levels.push_back(levels[static_cast<std::size_t>(i)]);
    }
    return result;
  }
};

TEST_F(HistoryTest, ForwardReadIncludesBothEnds) {
  const HistoryResult result = Forward(200, 400, 0, 10);
  EXPECT_EQ(result.error.ERRCODE, 0);
  EXPECT_EQ(result.values, (std::vector<double>{2, 3, 4}));
  EXPECT_EQ(result.levels, (std::vector<int16_t>{1, 0, 0}));
  EXPECT_EQ(result.seconds.front(), 200);
}

TEST_F(HistoryTest, OutsidersComeBeforeAndAfterWithinTheCount) {
  EXPECT_EQ(Forward(250, 350, 1, 10).values, (std::vector<double>{2, 3}));
  EXPECT_EQ(Forward(250, 350, 2, 10).values, (std::vector<double>{3, 4}));
  EXPECT_EQ(Forward(250, 350, 3, 10).values, (std::vector<double>{2, 3, 4}));
  EXPECT_EQ(Forward(350, 350, 8, 10).values, (std::vector<double>{2, 3}));
  EXPECT_EQ(Forward(250, 250, 96, 10).values, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(Forward(250, 350, 24, 3).values, (std::vector<double>{1, 2, 3}));
  // Outsiders at the ends of the series: only what exists.
  EXPECT_EQ(Forward(100, 500, 24, 10).values, (std::vector<double>{1, 2, 3, 4, 5}));
}

TEST_F(HistoryTest, ReverseReadIsNewestFirstWithoutOutsiders) {
  const HistoryResult result = Reverse(400, 200, 10);
  EXPECT_EQ(result.values, (std::vector<double>{4, 3, 2}));
  EXPECT_EQ(Reverse(500, 0, 2).values, (std::vector<double>{5, 4}));
}

TEST_F(HistoryTest, UnsupportedRequestsAndCountsReturnNothing) {
  HistoryResult result = Forward(0, 1000, 0, 10, 1);
  EXPECT_EQ(result.error.ERRCODE, -20);
  EXPECT_TRUE(result.values.empty());
  result = Forward(0, 1000, 0, 0);
  EXPECT_EQ(result.error.ERRCODE, 0);
  EXPECT_TRUE(result.values.empty());
}

TEST_F(HistoryTest, TextHistoryFillsTheSlotBuffers) {
  SetTlsData("VNT", "vntsystem");
  ASSERT_EQ(WriteText(Id("TAG1"), Tag("DESCRIPTION"), "first").ERRCODE, 0);
  ASSERT_EQ(WriteText(Id("TAG1"), Tag("DESCRIPTION"), "second").ERRCODE, 0);
  const int32_t tag = Tag("DESCRIPTION");
  std::vector<std::vector<char>> texts(3, std::vector<char>(dorvik::api::kHistoryTextSize));
  std::vector<TVANDQU> slots(3);
  for (std::size_t i = 0; i < 3; ++i) {
    slots[i].TEXT = texts[i].data();
    slots[i].LENGTH = static_cast<int16_t>(dorvik::api::kHistoryTextSize);
  }
  void* const buffers[] = {slots.data()};
  std::vector<XUSTS> times(3);
  std::vector<int16_t> levels(3);
  const int16_t type = -24;
  const XUSTS from{0, 0}, to{2'000'000'000, 0};
  int32_t returned = 0;
  int16_t fieldsDone = 0;
  ERRBLOCK error{};
  RHIS21DATA(4, 0, 0, Id("TAG1"), tag + 1, &from, &to, 1, &tag, &type, 3, levels.data(), times.data(), buffers,
             &returned, &fieldsDone, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  ASSERT_EQ(returned, 2);
  EXPECT_EQ(std::string(slots[1].TEXT, static_cast<std::size_t>(slots[1].LENGTH)), "second");

  // Fixed-width history text uses slots rounded up to an even size.
  char fixed[2 * 8];
  void* const fixedBuffers[] = {fixed};
  const int16_t seven = 7;
  RHIS21DATA(4, 0, 0, Id("TAG1"), tag + 1, &from, &to, 1, &tag, &seven, 2, levels.data(), times.data(),
             fixedBuffers, &returned, &fieldsDone, &error);
  ASSERT_EQ(returned, 2);
  EXPECT_EQ(std::string(fixed + 8, 7), "second ");
}

// Writes in any time order, many of one time, over many chunks: every read
// answers as the series sorted by time (equal times in the order written).
TEST_F(HistoryTest, ReadsOverManyChunksAnswerAsTheSortedSeries) {
  SetTlsData("VNT", "vntsystem");
  std::mt19937 random(7);
  std::vector<std::pair<int32_t, double>> model = {{100, 1}, {200, 2}, {300, 3}, {400, 4}, {500, 5}};
  std::vector<IDANDFT> items(500, IDANDFT{Id("TAG1"), Tag("VALUE")});
  const std::vector<int16_t> types(items.size(), dorvik::api::kTypeDoubleQuality);
  std::vector<DVANDQU> values(items.size());
  for (int batch = 0; batch < 3; ++batch) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      // Mostly later times, some earlier ones, and a run of one time.
      const int32_t seconds = i % 50 == 0 ? static_cast<int32_t>(std::uniform_int_distribution<>(1, 900)(random))
                              : i % 7 == 0 ? 777
                                           : 1000 + batch * 1000 + static_cast<int32_t>(i);
      const double value = batch * 1000 + static_cast<double>(i);
      values[i] = DVANDQU{value, 0, static_cast<int16_t>(i % 3), XUSTS{seconds, 0}, 0};
      model.emplace_back(seconds, value);
    }
    int16_t done = 0;
    std::vector<ERRBLOCK> errors(items.size());
    MWDBVALS(static_cast<int16_t>(items.size()), items.data(), types.data(), values.data(), &done, errors.data());
    ASSERT_EQ(done, static_cast<int16_t>(items.size()));
  }
  std::stable_sort(model.begin(), model.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<int32_t> times;
  std::vector<double> sorted;
  for (const auto& [time, value] : model) times.push_back(time), sorted.push_back(value);
  const int32_t size = static_cast<int32_t>(sorted.size());
  EXPECT_EQ(Forward(0, INT32_MAX, 0, 4000).values, sorted);
  std::vector<double> newestFirst(sorted.rbegin(), sorted.rend());
  EXPECT_EQ(Reverse(INT32_MAX, 0, 4000).values, newestFirst);
  // Windows with outsiders, against the sorted series.
  for (const auto& [from, to] : std::vector<std::pair<int32_t, int32_t>>{
           {777, 777}, {1127, 1130}, {0, 99}, {3500, 9999}, {2400, 2100}, {450, 1500}}) {
    for (const int32_t outsiders : {0, 1, 2, 3, 24}) {
      const int before = (outsiders & 8) != 0 ? 2 : outsiders & 1,
                after = (outsiders & 16) != 0 ? 2 : (outsiders & 2) / 2;
      const auto lo = std::lower_bound(times.begin(), times.end(), from) - times.begin();
      const auto hi = std::max(lo, std::upper_bound(times.begin(), times.end(), to) - times.begin());
      const std::vector<double> expected(sorted.begin() + std::max<std::ptrdiff_t>(0, lo - before),
                                         sorted.begin() + std::min<std::ptrdiff_t>(size, hi + after));
      EXPECT_EQ(Forward(from, to, outsiders, 4000).values, expected) << from << ".." << to << " " << outsiders;
    }
    if (from > to) continue;
    const auto lo = std::lower_bound(times.begin(), times.end(), from) - times.begin();
    const auto hi = std::upper_bound(times.begin(), times.end(), to) - times.begin();
    EXPECT_EQ(Reverse(to, from, 4000).values, std::vector<double>(newestFirst.begin() + (size - hi),
                                                                 newestFirst.begin() + (size - lo)));
  }
  EXPECT_TRUE(CheckDatabase().ok());
}

TEST_F(HistoryTest, FieldsWithoutHistoryAndUnknownRecordsAreErrors) {
  const int32_t tag = Tag("UNITS");
  double value = 0;
  void* const buffers[] = {&value};
  XUSTS time{};
  int16_t level = 0;
  const int16_t type = -6;
  const XUSTS from{0, 0}, to{1000, 0};
  int32_t returned = 0;
  int16_t fieldsDone = 0;
  ERRBLOCK error{};
  RHIS21DATA(4, 0, 0, Id("TAG1"), tag + 1, &from, &to, 1, &tag, &type, 1, &level, &time, buffers, &returned,
             &fieldsDone, &error);
  EXPECT_EQ(error.ERRCODE, -19);
  RHIS21DATA(4, 0, 0, 99999, tag + 1, &from, &to, 1, &tag, &type, 1, &level, &time, buffers, &returned, &fieldsDone,
             &error);
  EXPECT_EQ(error.ERRCODE, -3);
  RHIS21DATA(4, 0, 0, Id("TAG1"), tag + 1, nullptr, &to, 1, &tag, &type, 1, &level, &time, buffers, &returned,
             &fieldsDone, &error);
  EXPECT_EQ(error.ERRCODE, -2);
  // The lowest tag names no field: an error, not an overflow (found by fuzzing).
  const int32_t lowest = std::numeric_limits<int32_t>::min();
  for (const bool reverse : {false, true}) {
    error = ERRBLOCK{};
    if (reverse) {
      RHIS21REV(0, 0, 0, 0, Id("TAG1"), lowest, &to, &from, 1, &tag, &type, 1, &level, &time, buffers, &returned,
                &fieldsDone, &error);
    } else {
      RHIS21DATA(4, 0, 0, Id("TAG1"), lowest, &from, &to, 1, &tag, &type, 1, &level, &time, buffers, &returned,
                 &fieldsDone, &error);
    }
    EXPECT_NE(error.ERRCODE, 0);
    EXPECT_EQ(returned, 0);
  }
}

}  // namespace
}  // namespace dorvik::testing
