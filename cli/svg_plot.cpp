#include "cli/svg_plot.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <fmt/format.h>

#include "cli/output.h"
#include "platform/time_zone.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;

constexpr double kWidth = 960;
constexpr double kHeight = 480;
constexpr double kLeft = 90;
constexpr double kRight = 30;
constexpr double kTop = 60;
constexpr double kBottom = 80;
constexpr int kMaxTimeTicks = 8;
constexpr int kValueTicks = 5;
constexpr const char* kLineColour = "#1f5fa8";
constexpr const char* kWarningColour = "#d9480f";
constexpr const char* kGridColour = "#e3e6ea";

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// 1, 2 or 5 times a power of ten, at least span / count.
double NiceStep(double span, int count) {
  const double raw = span / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (factor * power >= raw) return factor * power;
  }
  return 10 * power;
}

// Steps of the time axis, in seconds.
constexpr std::array<int64_t, 22> kTimeSteps{1,     2,     5,      10,     15,      30,     60,    120,
                                             300,   600,   900,    1800,   3600,    7200,   10800, 21600,
                                             43200, 86400, 172800, 604800, 1209600, 2592000};

int64_t TimeStepSeconds(int64_t spanSeconds) {
  for (int64_t step : kTimeSteps) {
    if (spanSeconds / step <= kMaxTimeTicks) return step;
  }
  return kTimeSteps.back();
}

std::string FormatNumber(double value) {
  std::string text = fmt::format("{:.6g}", value);
  return text == "-0" ? "0" : text;
}

class Canvas {
 public:
  Canvas(double t0, double t1, double v0, double v1) : t0_(t0), t1_(t1), v0_(v0), v1_(v1) {}
  double X(double t) const { return kLeft + (t - t0_) / (t1_ - t0_) * (kWidth - kLeft - kRight); }
  double Y(double v) const { return kHeight - kBottom - (v - v0_) / (v1_ - v0_) * (kHeight - kTop - kBottom); }

 private:
  double t0_, t1_, v0_, v1_;
};

double Seconds(const DateTime& time) {
  return static_cast<double>(time.Ticks() - DateTime::kUnixEpochTicks) / DateTime::kTicksPerSecond;
}

// The wall-clock time shown for an instant: local, or UTC.
DateTime Shown(const DateTime& time, bool utc) {
  const DateTime instant = time.WithKind(DateTimeKind::Utc);
  return utc ? instant : platform::ToLocalTime(instant);
}

std::string TickLabel(const DateTime& shown, int64_t step, bool withDate) {
  if (step >= 86400) return fmt::format("{:04}-{:02}-{:02}", shown.Year(), shown.Month(), shown.Day());
  const std::string clock = step < 60 ? fmt::format("{:02}:{:02}:{:02}", shown.Hour(), shown.Minute(), shown.Second())
                                      : fmt::format("{:02}:{:02}", shown.Hour(), shown.Minute());
  return withDate ? fmt::format("{:02}-{:02} {}", shown.Month(), shown.Day(), clock) : clock;
}

void TimeAxis(std::string& svg, const Canvas& canvas, double t0, double t1, bool utc) {
  const int64_t step = TimeStepSeconds(static_cast<int64_t>(t1 - t0));
  // Ticks fall on whole steps of the shown (local or UTC) wall-clock time.
  const DateTime first = DateTime::UnixEpoch().AddSeconds(t0);
  const int64_t offset = (Shown(first, utc).Ticks() - first.Ticks()) / DateTime::kTicksPerSecond;
  double tick = std::ceil((t0 + static_cast<double>(offset)) / static_cast<double>(step)) * static_cast<double>(step) -
                static_cast<double>(offset);
  int lastDay = -1;
  for (; tick <= t1; tick += static_cast<double>(step)) {
    const double x = canvas.X(tick);
    const DateTime shown = Shown(DateTime::UnixEpoch().AddSeconds(tick), utc);
    svg += fmt::format(R"(<line x1="{0:.1f}" y1="{1}" x2="{0:.1f}" y2="{2}" stroke="{3}"/>)", x, kTop,
                       kHeight - kBottom, kGridColour);
    svg += fmt::format(R"(<text x="{:.1f}" y="{}" text-anchor="middle">{}</text>)", x, kHeight - kBottom + 18,
                       Escape(TickLabel(shown, step, shown.Day() != lastDay)));
    lastDay = shown.Day();
    svg += "\n";
  }
  svg += fmt::format(R"(<text x="{}" y="{}" text-anchor="middle" class="axis">time ({})</text>)",
                     kLeft + (kWidth - kLeft - kRight) / 2, kHeight - kBottom + 40, utc ? "UTC" : "local");
  svg += "\n";
}

void ValueAxis(std::string& svg, const Canvas& canvas, double v0, double v1, double step, const std::string& units) {
  for (double v = v0; v <= v1 + step / 2; v += step) {
    const double y = canvas.Y(v);
    svg += fmt::format(R"(<line x1="{0}" y1="{1:.1f}" x2="{2}" y2="{1:.1f}" stroke="{3}"/>)", kLeft, y, kWidth - kRight,
                       kGridColour);
    svg += fmt::format(R"(<text x="{}" y="{:.1f}" text-anchor="end">{}</text>)", kLeft - 8, y + 4,
                       Escape(FormatNumber(v)));
    svg += "\n";
  }
  const double middle = kTop + (kHeight - kTop - kBottom) / 2;
  svg += fmt::format(
      R"svg(<text x="20" y="{0}" text-anchor="middle" class="axis" transform="rotate(-90 20 {0})">{1}</text>)svg",
      middle, Escape(units.empty() ? "value" : units));
  svg += "\n";
}

// The ranges a chart shows: the interval and every point in time, every
// value with some room, on whole steps of the value axis.
struct Ranges {
  double t0, t1;         // seconds since 1970
  double v0, v1, vStep;  // value axis
};

Ranges RangesOf(const TrendChart& chart, const std::vector<TrendPoint>& sorted) {
  double t0 = std::min(Seconds(chart.from), Seconds(chart.to));
  double t1 = std::max(Seconds(chart.from), Seconds(chart.to));
  double low = 0;
  double high = 1;
  if (!sorted.empty()) {
    t0 = std::min(t0, Seconds(sorted.front().time));
    t1 = std::max(t1, Seconds(sorted.back().time));
    const auto [min, max] = std::minmax_element(sorted.begin(), sorted.end(),
                                                [](const auto& a, const auto& b) { return a.value < b.value; });
    low = min->value;
    high = max->value;
  }
  if (t1 - t0 < 1) t1 = t0 + 1;
  if (!(high > low)) {
    const double margin = std::max(1.0, std::fabs(low) * 0.05);
    low -= margin;
    high += margin;
  }
  const double step = NiceStep(high - low, kValueTicks);
  return {t0, t1, std::floor(low / step) * step, std::ceil(high / step) * step, step};
}

// The frame: title, interval, the band of the interval, both axes.
void Frame(std::string& svg, const TrendChart& chart, const Canvas& canvas, const Ranges& ranges) {
  svg += fmt::format(
      R"(<svg xmlns="http://www.w3.org/2000/svg" width="{0}" height="{1}" viewBox="0 0 {0} {1}")"
      R"( font-family="sans-serif" font-size="12">)"
      "\n<style>.axis {{ font-size: 13px; fill: #333; }} .title {{ font-size: 16px; font-weight: bold; }}</style>\n"
      R"(<rect width="{0}" height="{1}" fill="white"/>)"
      "\n",
      kWidth, kHeight);
  const DateTime start = std::min(chart.from, chart.to);
  const DateTime end = std::max(chart.from, chart.to);
  svg += fmt::format(R"(<text x="{}" y="28" class="title">{}</text>)", kLeft, Escape(chart.title));
  svg += fmt::format(R"(<text x="{}" y="46" fill="#555">{} to {}</text>)", kLeft, TextTime(start, chart.utc),
                     TextTime(end, chart.utc));
  svg += "\n";
  // The interval asked for; outsiders lie outside this band.
  const double bandStart = canvas.X(Seconds(start));
  svg += fmt::format(R"(<rect x="{:.1f}" y="{}" width="{:.1f}" height="{}" fill="#f3f7fc"/>)", bandStart, kTop,
                     std::max(canvas.X(Seconds(end)) - bandStart, 1.0), kHeight - kTop - kBottom);
  svg += "\n";
  TimeAxis(svg, canvas, ranges.t0, ranges.t1, chart.utc);
  ValueAxis(svg, canvas, ranges.v0, ranges.v1, ranges.vStep, chart.units);
  svg += fmt::format(R"(<rect x="{}" y="{}" width="{}" height="{}" fill="none" stroke="#888"/>)", kLeft, kTop,
                     kWidth - kLeft - kRight, kHeight - kTop - kBottom);
  svg += "\n";
}

// The values: lines (dashed to outsiders), a marker at each change of
// level, and the points (hollow outsiders, other levels in warning colour).
void Values(std::string& svg, const Canvas& canvas, const std::vector<TrendPoint>& points) {
  for (std::size_t i = 1; i < points.size(); ++i) {
    const auto& a = points[i - 1];
    const auto& b = points[i];
    svg += fmt::format(R"(<line x1="{:.1f}" y1="{:.1f}" x2="{:.1f}" y2="{:.1f}" stroke="{}" stroke-width="2"{}/>)",
                       canvas.X(Seconds(a.time)), canvas.Y(a.value), canvas.X(Seconds(b.time)), canvas.Y(b.value),
                       kLineColour, a.outsider || b.outsider ? R"( stroke-dasharray="5 4")" : "");
    svg += "\n";
  }
  for (std::size_t i = 1; i < points.size(); ++i) {
    if (points[i].level == points[i - 1].level) continue;
    const double x = (canvas.X(Seconds(points[i - 1].time)) + canvas.X(Seconds(points[i].time))) / 2;
    svg += fmt::format(
        R"(<line x1="{0:.1f}" y1="{1}" x2="{0:.1f}" y2="{2}" stroke="{3}" stroke-dasharray="3 3"/>)"
        R"(<text x="{4:.1f}" y="{5}" fill="{3}">level {6}</text>)",
        x, kTop, kHeight - kBottom, kWarningColour, x + 4, kTop + 14, points[i].level);
    svg += "\n";
  }
  for (const auto& point : points) {
    const char* colour = point.level == 0 ? kLineColour : kWarningColour;
    svg += fmt::format(R"(<circle cx="{:.1f}" cy="{:.1f}" r="4" fill="{}" stroke="{}" stroke-width="2"/>)",
                       canvas.X(Seconds(point.time)), canvas.Y(point.value), point.outsider ? "white" : colour, colour);
    svg += "\n";
  }
}

void Legend(std::string& svg) {
  const double y = kHeight - 18;
  svg += fmt::format(
      R"(<circle cx="{0}" cy="{1}" r="4" fill="{2}"/><text x="{3}" y="{4}">level 0</text>)"
      R"(<circle cx="{5}" cy="{1}" r="4" fill="{6}"/><text x="{7}" y="{4}">other level</text>)"
      R"(<circle cx="{8}" cy="{1}" r="4" fill="white" stroke="{2}" stroke-width="2"/>)"
      R"(<text x="{9}" y="{4}">outside the interval</text>)",
      kLeft, y, kLineColour, kLeft + 10, y + 4, kLeft + 90, kWarningColour, kLeft + 100, kLeft + 200, kLeft + 210);
  svg += "\n";
}

}  // namespace

std::string TrendSvg(const TrendChart& chart) {
  std::vector<TrendPoint> points = chart.points;
  std::sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.time < b.time; });
  const Ranges ranges = RangesOf(chart, points);
  const Canvas canvas(ranges.t0, ranges.t1, ranges.v0, ranges.v1);
  std::string svg;
  Frame(svg, chart, canvas, ranges);
  Values(svg, canvas, points);
  Legend(svg);
  return svg + "</svg>\n";
}

std::string Sparkline(const std::vector<double>& values, std::size_t width) {
  static constexpr std::array<const char*, 8> kBlocks{"\u2581", "\u2582", "\u2583", "\u2584",
                                                      "\u2585", "\u2586", "\u2587", "\u2588"};
  if (values.size() < 2 || width == 0) return {};
  const auto first = values.size() > width ? values.end() - static_cast<std::ptrdiff_t>(width) : values.begin();
  const auto [low, high] = std::minmax_element(first, values.end());
  std::string line;
  for (auto it = first; it != values.end(); ++it) {
    const double share = *high > *low ? (*it - *low) / (*high - *low) : 0.5;
    line += kBlocks[static_cast<std::size_t>(std::lround(share * (kBlocks.size() - 1)))];
  }
  return line;
}

}  // namespace vantrel::cli
