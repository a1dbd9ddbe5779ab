#include "views/svg_plot.h"

#include <limits>
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
  TrendChart chart{"PI201 <VALUE>", Hour(6), Hour(9), {TrendSeries{"PI201 <VALUE>", "bar"}}, true};
  chart.series[0].points = {{Hour(10), 3.9, 0, true}, {Hour(5), 4.0, 0, true},  {Hour(6), 3.8, 0, false},
                            {Hour(7), 3.7, 2, false}, {Hour(8), 3.7, 2, false}, {Hour(9), 3.8, 0, false}};
  const std::string svg = TrendSvg(chart);
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_THAT(svg, HasSubstr("</svg>"));
  EXPECT_THAT(svg, HasSubstr("PI201 &lt;VALUE&gt;"));                // texts are escaped
  EXPECT_THAT(svg, HasSubstr(">PI201 &lt;VALUE&gt; (bar)</text>"));  // the value axis: the series and its units
  EXPECT_THAT(svg, HasSubstr("time (UTC)"));
  EXPECT_THAT(svg, HasSubstr(">07:00</text>"));  // ticks on whole hours
  // One hollow circle per outsider (and one in the legend), dashed lines to them.
  EXPECT_EQ(Count(svg, "<circle[^>]*fill=\"white\""), 3u);
  EXPECT_EQ(Count(svg, "<line[^>]*stroke-width=\"2\" stroke-dasharray"), 2u);
  // The level goes to 2 and back to 0: two markers.
  EXPECT_EQ(Count(svg, ">level 2</text>"), 1u);
  EXPECT_EQ(Count(svg, ">level 0</text>"), 2u);  // the marker and the legend
  // Each level marker stands at the sample where the level changed (07:00 and 09:00).
  const std::regex marker("<line x1=\"([0-9.]+)\"[^>]*stroke-dasharray=\"3 3\"/>");
  std::vector<std::string> markers;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), marker); it != std::sregex_iterator(); ++it) {
    markers.push_back((*it)[1]);
  }
  ASSERT_EQ(markers.size(), 2u);
  EXPECT_THAT(svg, HasSubstr("<circle cx=\"" + markers[0] + "\""));
  EXPECT_THAT(svg, HasSubstr("<circle cx=\"" + markers[1] + "\""));
  // No points at all still makes a chart of the interval.
  EXPECT_THAT(TrendSvg(TrendChart{"T", Hour(6), Hour(6), {}, false}), HasSubstr("time (local)"));
  EXPECT_THAT(TrendSvg(TrendChart{"T", Hour(6), Hour(6), {}, false, "Europe/Berlin"}),
              HasSubstr("time (Europe/Berlin)"));
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TrendSeries Series(const std::string& name, const std::string& units, const std::string& description,
                   std::vector<TrendPoint> points) {
  TrendSeries series{name, units, description, std::move(points)};
  return series;
}

TEST(SvgPlotTest, SeveralSeriesShareTheTimeAxisWithAnAxisPerUnit) {
  TrendChart chart{"plant", Hour(6), Hour(9), {}, false, "Europe/Berlin"};
  chart.series = {Series("TI101 VALUE", "degC", "Reactor inlet", {{Hour(6), 70}, {Hour(9), 75}}),
                  Series("TI102 VALUE", "degC", "Reactor outlet", {{Hour(6), 80}, {Hour(9), 85}}),
                  Series("PI201 VALUE", "bar", "Reactor pressure", {{Hour(6), 4.1}, {Hour(9), 4.3}})};
  const std::string svg = TrendSvg(chart);
  // Two value axes: the shared unit, and the one series of bar by its description.
  EXPECT_THAT(svg, HasSubstr(">degC</text>"));
  EXPECT_THAT(svg, HasSubstr(">Reactor pressure (bar)</text>"));
  // A legend line per series, each in its own colour.
  for (const char* entry : {">TI101 VALUE (degC)</text>", ">TI102 VALUE (degC)</text>", ">PI201 VALUE (bar)</text>"}) {
    EXPECT_THAT(svg, HasSubstr(entry));
  }
  EXPECT_EQ(Count(svg, "<line[^>]*stroke=\"#1f5fa8\" stroke-width=\"2\"/>"), 1u);
  EXPECT_EQ(Count(svg, "<line[^>]*stroke=\"#2b8a3e\" stroke-width=\"2\"/>"), 1u);
  EXPECT_EQ(Count(svg, "<line[^>]*stroke=\"#862e9c\" stroke-width=\"2\"/>"), 1u);
  EXPECT_THAT(svg, HasSubstr("time (Europe/Berlin)"));
}

TEST(SvgPlotTest, StepsNotANumberAndACutRead) {
  TrendChart chart{"P101 STATE", Hour(6), Hour(10), {}, true};
  chart.series = {Series("P101 STATE", "", "", {{Hour(6), 0}, {Hour(7), 1}, {Hour(8), kNaN}, {Hour(9), 2}})};
  chart.series[0].steps = true;
  chart.series[0].truncatedAt = Hour(9);
  const std::string svg = TrendSvg(chart);
  // Held values are steps: 06-07 only; no line to or from the value that is not a number.
  EXPECT_EQ(Count(svg, "<polyline"), 1u);
  EXPECT_EQ(Count(svg, "<line[^>]*stroke-width=\"2\""), 0u);
  EXPECT_EQ(Count(svg, "<title>P101 STATE not a number</title>"), 1u);
  EXPECT_THAT(svg, HasSubstr("not read: --max reached"));
  // Nothing joins the last value read to one beyond the cut, nor marks a level change across it.
  TrendChart cut{"PI201 VALUE", Hour(6), Hour(9), {}, true};
  cut.series = {Series("PI201 VALUE", "bar", "", {{Hour(6), 3.8, 2}, {Hour(7), 3.7, 2}, {Hour(10), 3.9, 0, true}})};
  cut.series[0].truncatedAt = Hour(8);
  const std::string drawn = TrendSvg(cut);
  EXPECT_EQ(Count(drawn, "<line[^>]*stroke-width=\"2\""), 1u);
  EXPECT_EQ(Count(drawn, ">level 0</text>"), 1u);  // the legend's only
  chart.series[0].steps = false;
  EXPECT_EQ(Count(TrendSvg(chart), "<polyline"), 0u);
}

// Every text that is not turned lies inside the picture, by a generous
// estimate of its width.
void ExpectLabelsInside(const std::string& svg) {
  const std::regex text("<text x=\"([-0-9.]+)\"[^>]*?(text-anchor=\"(start|middle|end)\")?[^>]*>([^<]*)</text>");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), text); it != std::sregex_iterator(); ++it) {
    if ((*it)[0].str().find("rotate") != std::string::npos) continue;
    const double x = std::stod((*it)[1]);
    const double width = static_cast<double>((*it)[4].length()) * 7;
    const std::string anchor = (*it)[3].matched ? (*it)[3].str() : "start";
    const double left = anchor == "start" ? x : anchor == "end" ? x - width : x - width / 2;
    EXPECT_GE(left, 0) << (*it)[0];
    EXPECT_LE(left + width, 960) << (*it)[0];
  }
}

TEST(SvgPlotTest, LabelsAreNotClippedAndLargeSeriesStaySmall) {
  TrendChart wide{"FI301 VALUE", Hour(0), Hour(23), {}, true};
  wide.series = {Series("FI301 VALUE", "m3/h", "Feed flow", {{Hour(0), -1234567.89}, {Hour(23), 98765432.1}})};
  ExpectLabelsInside(TrendSvg(wide));

  // A day of readings every second: 86400 points, one spike.
  TrendChart dense{"FI301 VALUE", Hour(0), Hour(0).AddSeconds(86399), {}, true};
  std::vector<TrendPoint> points;
  for (int i = 0; i < 86400; ++i) points.push_back({Hour(0).AddSeconds(i), i == 43210 ? 500.0 : 10.0 + i % 7});
  dense.series = {Series("FI301 VALUE", "m3/h", "", std::move(points))};
  const std::string svg = TrendSvg(dense);
  EXPECT_LT(svg.size(), 400'000u);       // at most four points per pixel column
  EXPECT_EQ(Count(svg, "<circle"), 3u);  // the legend's only: too many points for circles
  // The spike survives the reduction: the value axis reaches 500.
  EXPECT_THAT(svg, HasSubstr(">500</text>"));
  ExpectLabelsInside(svg);
}

TEST(SvgPlotTest, SparklineSpansLowestToHighest) {
  EXPECT_EQ(Sparkline({1, 2, 3, 4, 5, 6, 7, 8}, 60), "\u2581\u2582\u2583\u2584\u2585\u2586\u2587\u2588");
  EXPECT_EQ(Sparkline({5, 5}, 60), "\u2585\u2585");
  EXPECT_EQ(Sparkline({0, 100, 50}, 2), "\u2588\u2581");  // the last values when there are more
  EXPECT_EQ(Sparkline({1}, 60), "");
}

}  // namespace
}  // namespace vantrel::cli
