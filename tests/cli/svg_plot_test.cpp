#include "cli/svg_plot.h"

#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;
using ::testing::HasSubstr;

DateTime Hour(int hour) { return DateTime(2024, 3, 5, hour, 0, 0, 0, DateTimeKind::Utc); }

std::size_t Count(const std::string& text, const std::string& pattern) {
  const std::regex expression(pattern);
  return static_cast<std::size_t>(
      std::distance(std::sregex_iterator(text.begin(), text.end(), expression), std::sregex_iterator()));
}

TEST(SvgPlotTest, ChartMarksOutsidersAndQualityChanges) {
  TrendChart chart{"PI201 <VALUE>", "bar", Hour(6), Hour(9), {}, true};
  chart.points = {{Hour(10), 3.9, 0, true}, {Hour(5), 4.0, 0, true},  {Hour(6), 3.8, 0, false},
                  {Hour(7), 3.7, 2, false}, {Hour(8), 3.7, 2, false}, {Hour(9), 3.8, 0, false}};
  const std::string svg = TrendSvg(chart);
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_THAT(svg, HasSubstr("</svg>"));
  EXPECT_THAT(svg, HasSubstr("PI201 &lt;VALUE&gt;"));  // texts are escaped
  EXPECT_THAT(svg, HasSubstr(">bar</text>"));          // the value axis carries the units
  EXPECT_THAT(svg, HasSubstr("time (UTC)"));
  EXPECT_THAT(svg, HasSubstr(">07:00</text>"));  // ticks on whole hours
  // One hollow circle per outsider (and one in the legend), dashed lines to them.
  EXPECT_EQ(Count(svg, "<circle[^>]*fill=\"white\""), 3u);
  EXPECT_EQ(Count(svg, "<line[^>]*stroke-width=\"2\" stroke-dasharray"), 2u);
  // The level goes to 2 and back to 0: two markers.
  EXPECT_EQ(Count(svg, ">level 2</text>"), 1u);
  EXPECT_EQ(Count(svg, ">level 0</text>"), 2u);  // the marker and the legend
  // No points at all still makes a chart of the interval.
  EXPECT_THAT(TrendSvg(TrendChart{"T", "", Hour(6), Hour(6), {}, false}), HasSubstr("time (local)"));
}

TEST(SvgPlotTest, SparklineSpansLowestToHighest) {
  EXPECT_EQ(Sparkline({1, 2, 3, 4, 5, 6, 7, 8}, 60), "\u2581\u2582\u2583\u2584\u2585\u2586\u2587\u2588");
  EXPECT_EQ(Sparkline({5, 5}, 60), "\u2585\u2585");
  EXPECT_EQ(Sparkline({0, 100, 50}, 2), "\u2588\u2581");  // the last values when there are more
  EXPECT_EQ(Sparkline({1}, 60), "");
}

}  // namespace
}  // namespace vantrel::cli
