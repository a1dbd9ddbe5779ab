// The reduction of a history to a chart's pixel columns: every extreme, gap,
// status change and outsider of the raw series survives, and the result is
// small whatever the series' length.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host/live/chart_decimation.h"
#include "platform/exceptions.h"

namespace vantrel::host::live {
namespace {

using contracts::DateTime;
using contracts::TagValue;
using contracts::TagValues;
using ::testing::ElementsAre;

const DateTime kStart(2024, 3, 6, 0, 0, 0, 0, contracts::DateTimeKind::Utc);

DateTime At(int64_t seconds) { return kStart.AddTicks(seconds * DateTime::kTicksPerSecond); }
TagValue Number(int64_t seconds, double value, int32_t status = 0) { return {value, At(seconds), status, 0}; }

// One hour at one value a second, a sine wave.
TagValues Wave(int64_t seconds) {
  TagValues series;
  for (int64_t s = 0; s < seconds; ++s) series.push_back(Number(s, std::sin(static_cast<double>(s) / 60.0)));
  return series;
}

double Lowest(const TagValues& values) {
  double low = std::numeric_limits<double>::infinity();
  for (const TagValue& value : values) low = std::min(low, std::get<double>(value.Value));
  return low;
}
double Highest(const TagValues& values) {
  double high = -std::numeric_limits<double>::infinity();
  for (const TagValue& value : values) high = std::max(high, std::get<double>(value.Value));
  return high;
}

TEST(ChartDecimationTest, KeepsEachColumnsFirstLastAndExtremesInOrder) {
  const TagValues series = Wave(3600);
  const ChartWindow window{At(0), At(3600), 100};
  const std::vector<std::size_t> kept = DecimateForChart(series, window);
  EXPECT_LE(kept.size(), 400U);
  EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
  EXPECT_EQ(std::adjacent_find(kept.begin(), kept.end()), kept.end()) << "a value kept twice";
  EXPECT_EQ(kept.front(), 0U);
  EXPECT_EQ(kept.back(), series.size() - 1);

  // Per column of 36 seconds: the kept values hold the column's own extremes.
  const TagValues shown = DecimateSeries(series, window);
  for (int64_t column = 0; column < 100; ++column) {
    TagValues raw, reduced;
    for (const TagValue& v : series) {
      if (v.Timestamp >= At(column * 36) && v.Timestamp < At(column * 36 + 36)) raw.push_back(v);
    }
    for (const TagValue& v : shown) {
      if (v.Timestamp >= At(column * 36) && v.Timestamp < At(column * 36 + 36)) reduced.push_back(v);
    }
    ASSERT_FALSE(reduced.empty()) << "column " << column;
    EXPECT_EQ(Lowest(reduced), Lowest(raw)) << "column " << column;
    EXPECT_EQ(Highest(reduced), Highest(raw)) << "column " << column;
    EXPECT_EQ(reduced.front(), raw.front());
    EXPECT_EQ(reduced.back(), raw.back());
  }
}

TEST(ChartDecimationTest, ASingleSpikeAmongAMillionValuesSurvives) {
  TagValues series;
  series.reserve(1'000'000);
  for (int64_t i = 0; i < 1'000'000; ++i) series.push_back({50.0, kStart.AddTicks(i * 1000), 0, 0});
  series[777'777].Value = 1e6;
  series[123'456].Value = -1e6;
  const TagValues shown = DecimateSeries(series, {kStart, series.back().Timestamp, 800});
  EXPECT_LE(shown.size(), 3200U);
  EXPECT_EQ(Highest(shown), 1e6);
  EXPECT_EQ(Lowest(shown), -1e6);
}

TEST(ChartDecimationTest, GapsAndStatusChangesAreKeptOnBothSides) {
  TagValues series;
  for (int64_t s = 0; s < 10; ++s) series.push_back(Number(s, 1.0 + s));  // 0..9: numbers, status 0
  for (int64_t s = 10; s < 15; ++s) series.push_back({std::monostate{}, At(s), 0, 0});  // a gap
  for (int64_t s = 15; s < 20; ++s) series.push_back(Number(s, 5.0, 4));  // a bad status
  for (int64_t s = 20; s < 30; ++s) series.push_back(Number(s, 5.0));
  series.push_back({std::numeric_limits<double>::quiet_NaN(), At(30), 0, 0});  // not a number: a gap too
  series.push_back(Number(31, 5.0));
  // One column for the whole interval: only runs can keep these values.
  const std::vector<std::size_t> kept = DecimateForChart(series, {At(0), At(31), 1});
  EXPECT_THAT(kept, ElementsAre(0, 9,          // first and last (also min and max) before the gap
                                10, 14,        // the gap's edges
                                15, 19,        // the bad status's edges
                                20, 29,        // good again
                                30, 31));
}

TEST(ChartDecimationTest, OutsidersStayAndNewestFirstSeriesWork) {
  TagValues series{Number(-100, 7.0)};  // the value before the interval
  for (int64_t s = 0; s <= 1000; ++s) series.push_back(Number(s, static_cast<double>(s % 7)));
  series.push_back(Number(2000, 9.0));  // the value after it
  const TagValues shown = DecimateSeries(series, {At(0), At(1000), 10});
  ASSERT_GE(shown.size(), 3U);
  EXPECT_EQ(shown.front(), series.front());
  EXPECT_EQ(shown.back(), series.back());
  EXPECT_LE(shown.size(), 2 + 10 * 4U);

  // The same series newest first, interval given newest first: the same values, reversed.
  TagValues reversed(series.rbegin(), series.rend());
  TagValues shownReversed = DecimateSeries(reversed, {At(1000), At(0), 10});
  ASSERT_EQ(shownReversed.size(), shown.size());
  EXPECT_EQ(shownReversed.front(), series.back());
  EXPECT_EQ(Highest(shownReversed), Highest(shown));
  EXPECT_EQ(Lowest(shownReversed), Lowest(shown));
}

// The host reduces a long history page by page: what earlier pages kept
// plus the next page, reduced again. That must keep exactly the values a
// reduction of the whole series keeps, with ties, gaps, texts, status runs
// across page edges and outsiders on both sides.
TEST(ChartDecimationTest, ReducingPageByPageKeepsWhatTheWholeKeeps) {
  std::mt19937 random(7);
  TagValues series{Number(-50, 3.0)};  // an outsider before
  int32_t status = 0;
  for (int64_t s = 0; s < 20'000; ++s) {
    if (random() % 500 == 0) status = status == 0 ? 4 : 0;
    const uint32_t kind = random() % 1000;
    if (kind == 0) {
      series.push_back({std::monostate{}, At(s), status, 0});
    } else if (kind == 1) {
      series.push_back({std::string("text"), At(s), status, 0});
    } else {
      series.push_back(Number(s, static_cast<double>(random() % 50), status));  // many ties
    }
  }
  series.push_back(Number(30'000, 1.0));  // an outsider after
  auto times = [](const TagValues& values) {
    std::vector<DateTime> out;
    for (const TagValue& value : values) out.push_back(value.Timestamp);
    return out;
  };
  for (const int32_t columns : {1, 7, 300, 4000}) {
    const ChartWindow window{At(0), At(20'000), columns};
    for (const std::size_t pageSize : {1'000U, 997U, 29U}) {
      TagValues kept;
      for (std::size_t start = 0; start < series.size(); start += pageSize) {
        const std::size_t end = std::min(series.size(), start + pageSize);
        kept.insert(kept.end(), series.begin() + static_cast<std::ptrdiff_t>(start),
                    series.begin() + static_cast<std::ptrdiff_t>(end));
        kept = DecimateSeries(kept, window);
      }
      EXPECT_EQ(times(kept), times(DecimateSeries(series, window))) << columns << " columns, pages of " << pageSize;
    }
  }
}

TEST(ChartDecimationTest, EdgeCasesAndBadWidths) {
  EXPECT_TRUE(DecimateForChart({}, {At(0), At(10), 5}).empty());
  const TagValues one{Number(3, 1.0)};
  EXPECT_THAT(DecimateForChart(one, {At(0), At(10), 5}), ElementsAre(0));
  // An empty interval: every value at that instant is in the one column.
  const TagValues instant{Number(5, 1.0), Number(5, 3.0), Number(5, 2.0), Number(5, 0.5), Number(5, 2.5)};
  EXPECT_THAT(DecimateForChart(instant, {At(5), At(5), 100}), ElementsAre(0, 1, 3, 4));
  // Texts are not numbers: kept as a gap's edges.
  const TagValues texts{
      {std::string("a"), At(1), 0, 0}, {std::string("b"), At(2), 0, 0}, {std::string("c"), At(3), 0, 0}};
  EXPECT_THAT(DecimateForChart(texts, {At(0), At(10), 1}), ElementsAre(0, 2));
  EXPECT_THROW(DecimateForChart(one, {At(0), At(10), 0}), platform::ArgumentException);
  EXPECT_THROW(DecimateForChart(one, {At(0), At(10), ChartWindow::kMaxColumns + 1}), platform::ArgumentException);
}

}  // namespace
}  // namespace vantrel::host::live
