// RHIS21DATA and RHIS21REV over the history of TAG1 VALUE: values 1..5 at
// seconds 100..500 (level 1 at 200).
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
  HistoryResult Reverse(int32_t newest, int32_t oldest, int32_t count) { return Run(true, newest, oldest, 0, count, 4); }

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
