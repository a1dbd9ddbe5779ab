#include "views/aggregates.h"

#include <cmath>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "views/duration.h"
#include "views/errors.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int64_t kMinute = 60 * DateTime::kTicksPerSecond;
constexpr int64_t kHour = 60 * kMinute;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

DateTime At(int hour, int minute) { return DateTime(2024, 3, 5, hour, minute, 0, 0, DateTimeKind::Utc); }

// 09:40 10 (before the read), 10:15 20, 10:45 not a number, 11:00 40, 11:30 30.
std::vector<Sample> Samples() {
  return {{At(9, 40), 10}, {At(10, 15), 20}, {At(10, 45), kNaN}, {At(11, 0), 40}, {At(11, 30), 30}};
}

TEST(AggregatesTest, TimeWeightedIntervalsCarryTheValueInForce) {
  const auto hours = Summarize(Samples(), At(10, 0), At(12, 0), kHour);
  ASSERT_EQ(hours.size(), 2u);
  // 10:00-11:00: 10 carried in holds 15 min, 20 holds 30 min, then 15 min
  // not a number that weighs nothing: (10*15 + 20*30) / 45.
  EXPECT_EQ(hours[0].start, At(10, 0));
  EXPECT_EQ(hours[0].end, At(11, 0));
  EXPECT_NEAR(*hours[0].avg, (10.0 * 15 + 20.0 * 30) / 45, 1e-9);
  EXPECT_EQ(*hours[0].min, 10);
  EXPECT_EQ(*hours[0].max, 20);
  EXPECT_EQ(hours[0].count, 2);  // 10:15 and 10:45; the outsider is not counted
  // 11:00-12:00: the sample at the start counts; 40 for 30 min, 30 for 30 min.
  EXPECT_NEAR(*hours[1].avg, 35, 1e-9);
  EXPECT_EQ(*hours[1].min, 30);
  EXPECT_EQ(*hours[1].max, 40);
  EXPECT_EQ(hours[1].count, 2);
  EXPECT_EQ(hours[1].Get(AggregateKind::kCount), 2.0);
}

TEST(AggregatesTest, IntervalsWithoutAValueBeforeAndTheLastOneCut) {
  // Without the outsider the first interval averages from 10:15 on only.
  std::vector<Sample> samples = Samples();
  samples.erase(samples.begin());
  const auto parts = Summarize(samples, At(10, 0), At(11, 40), kHour);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_NEAR(*parts[0].avg, 20, 1e-9);
  EXPECT_EQ(*parts[0].min, 20);
  EXPECT_EQ(parts[1].end, At(11, 40));  // cut at --to
  // 40 for 30 min and 30 for 10 min.
  EXPECT_NEAR(*parts[1].avg, (40.0 * 30 + 30.0 * 10) / 40, 1e-9);
  // An interval before every sample has no numbers, and counts none.
  const auto early = Summarize(samples, At(8, 0), At(9, 0), 30 * kMinute);
  ASSERT_EQ(early.size(), 2u);
  EXPECT_FALSE(early[0].avg.has_value());
  EXPECT_FALSE(early[1].min.has_value());
  EXPECT_EQ(early[1].count, 0);
  EXPECT_TRUE(Summarize(samples, At(10, 0), At(10, 0), kHour).empty());
  EXPECT_THROW(Summarize(samples, At(0, 0), At(23, 0), DateTime::kTicksPerSecond / 10), UsageError);
}

TEST(AggregatesTest, GridValuesHeldInStepsOrOnTheLine) {
  const auto grid = GridTimes(At(9, 30), At(11, 31), 30 * kMinute);
  ASSERT_EQ(grid.size(), 5u);  // 09:30 ... 11:30
  const auto steps = ValuesOnGrid(Samples(), grid, Hold::kStep);
  // 09:30 before any sample; 10:00 holds 10 from 09:40; 10:30 holds 20; 11:00 the sample; 11:30 the sample.
  EXPECT_THAT(steps, ElementsAre(std::nullopt, 10.0, 20.0, 40.0, 30.0));
  const auto lines = ValuesOnGrid(Samples(), grid, Hold::kLinear);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_FALSE(lines[0]);
  EXPECT_NEAR(*lines[1], 10 + (20.0 - 10) * 20 / 35, 1e-9);  // 20 of the 35 minutes from 09:40 to 10:15
  EXPECT_FALSE(lines[2]);                                    // on the way to a value that is not a number
  EXPECT_EQ(lines[3], 40.0);
  EXPECT_EQ(lines[4], 30.0);  // the last sample holds
}

TEST(AggregatesTest, AggregateListsAndLengthsAreReadStrictly) {
  EXPECT_THAT(ParseAggregates("MAX,avg"), ElementsAre(AggregateKind::kMax, AggregateKind::kAvg));
  EXPECT_THAT([] { ParseAggregates("min,mean"); },
              ::testing::ThrowsMessage<UsageError>(HasSubstr("'mean' is not an aggregate")));
  EXPECT_THAT([] { ParseAggregates("min,min"); }, ::testing::ThrowsMessage<UsageError>(HasSubstr("named twice")));
  EXPECT_THROW(ParseAggregates(""), UsageError);
  constexpr int64_t kSecond = DateTime::kTicksPerSecond;
  EXPECT_EQ(ParseDuration("90s", "--every", kSecond, DateTime::kTicksPerDay), 90 * kSecond);
  EXPECT_EQ(ParseDuration("15min", "--every", kSecond, DateTime::kTicksPerDay), 15 * kMinute);
  EXPECT_EQ(ParseDuration("2H", "--every", kSecond, DateTime::kTicksPerDay), 2 * kHour);
  EXPECT_THAT([] { ParseDuration("5", "--every", DateTime::kTicksPerSecond, kHour); },
              ::testing::ThrowsMessage<UsageError>(HasSubstr("--every: '5' has no unit")));
  EXPECT_THAT([] { ParseDuration("100ms", "--watch", DateTime::kTicksPerSecond, kHour); },
              ::testing::ThrowsMessage<UsageError>(HasSubstr("too short; at least 1s")));
  EXPECT_THROW(ParseDuration("-1h", "--every", kSecond, kHour), UsageError);
  EXPECT_THROW(ParseDuration("2d", "--every", kSecond, kHour), UsageError);
  EXPECT_THROW(ParseDuration("99999999999999999999h", "--every", kSecond, kHour), UsageError);
  EXPECT_EQ(DurationText(90 * kSecond), "90s");
  EXPECT_EQ(DurationText(kHour), "1h");
}

}  // namespace
}  // namespace vantrel::cli
