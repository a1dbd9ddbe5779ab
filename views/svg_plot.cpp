#include "views/svg_plot.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

#include <fmt/format.h>

#include "views/output.h"
#include "platform/time_zone.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;

constexpr double kWidth = 960;
constexpr double kHeight = 480;
constexpr double kEdge = 12;  // room left of the leftmost and right of the rightmost axis
constexpr double kTop = 60;
constexpr double kAxisRoom = 48;      // below the plot: tick labels and the time axis's name
constexpr double kLegendLine = 18;    // one line of legend
constexpr double kCharWidth = 7.2;    // of the 12 px sans-serif text, a little generous
constexpr double kAxisNameRoom = 22;  // the rotated name of a value axis
constexpr int kMaxTimeTicks = 8;
constexpr int kValueTicks = 5;
constexpr std::size_t kMaxCircles = 200;  // more points are drawn as a line only
constexpr const char* kWarningColour = "#d9480f";
constexpr const char* kGridColour = "#e3e6ea";
constexpr std::array<const char*, 8> kColours{"#1f5fa8", "#2b8a3e", "#862e9c", "#e67700",
                                              "#0b7285", "#c2255c", "#5c940d", "#495057"};

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

double TextWidth(std::string_view text) { return static_cast<double>(text.size()) * kCharWidth; }

// text cut to about width pixels, with an ellipsis when cut.
std::string Fit(const std::string& text, double width) {
  const auto chars = static_cast<std::size_t>(std::max(4.0, width / kCharWidth));
  return text.size() <= chars ? text : text.substr(0, chars - 3) + "...";
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

// A value axis: the series of one unit, the range they need and where the
// axis stands (axes alternate left and right of the plot, outwards).
struct ValueAxis {
  std::string units;
  std::vector<std::size_t> series;
  double v0 = 0, v1 = 1, step = 1;
  std::string name;  // rotated beside the axis
  double width = 0;  // tick labels and name
  bool right = false;
  double x = 0;  // the axis line
};

// Where things go: the plot's box and the scales of time and values.
struct Layout {
  double left = 0, right = 0, top = kTop, bottom = 0;
  double t0 = 0, t1 = 1;  // seconds since 1970
  std::vector<ValueAxis> axes;
  std::vector<std::size_t> axisOf;  // by series

  double X(double t) const { return left + (t - t0) / (t1 - t0) * (right - left); }
  double Y(double v, const ValueAxis& axis) const {
    return bottom - (v - axis.v0) / (axis.v1 - axis.v0) * (bottom - top);
  }
};

void Widen(double& low, double& high, double value) {
  if (!std::isfinite(value)) return;
  low = std::min(low, value);
  high = std::max(high, value);
}

void RangeOf(ValueAxis& axis, const std::vector<TrendSeries>& series) {
  double low = INFINITY, high = -INFINITY;
  for (std::size_t index : axis.series) {
    for (const auto& point : series[index].points) Widen(low, high, point.value);
    for (const auto& band : series[index].bands) {
      Widen(low, high, band.low);
      Widen(low, high, band.high);
    }
  }
  if (!std::isfinite(low)) low = 0, high = 1;
  if (!(high > low)) {
    const double margin = std::max(1.0, std::fabs(low) * 0.05);
    low -= margin;
    high += margin;
  }
  axis.step = NiceStep(high - low, kValueTicks);
  axis.v0 = std::floor(low / axis.step) * axis.step;
  axis.v1 = std::ceil(high / axis.step) * axis.step;
}

std::string AxisName(const ValueAxis& axis, const std::vector<TrendSeries>& series) {
  const std::string units = axis.units.empty() ? "" : " (" + axis.units + ")";
  if (axis.series.size() == 1) {
    const TrendSeries& only = series[axis.series.front()];
    return (only.description.empty() ? only.name : only.description) + units;
  }
  return axis.units.empty() ? "value" : axis.units;
}

double LegendHeight(const TrendChart& chart) { return kLegendLine * (chart.series.size() > 1 ? 2 : 1) + 8; }

Layout LayOut(const TrendChart& chart) {
  Layout layout;
  std::map<std::string, std::size_t> byUnits;
  for (std::size_t i = 0; i < chart.series.size(); ++i) {
    const auto [place, added] = byUnits.emplace(chart.series[i].units, layout.axes.size());
    if (added) {
      ValueAxis axis;
      axis.units = chart.series[i].units;
      layout.axes.push_back(std::move(axis));
    }
    layout.axes[place->second].series.push_back(i);
    layout.axisOf.push_back(place->second);
  }
  if (layout.axes.empty()) layout.axes.push_back(ValueAxis{});
  double leftRoom = kEdge, rightRoom = kEdge;
  for (std::size_t i = 0; i < layout.axes.size(); ++i) {
    ValueAxis& axis = layout.axes[i];
    RangeOf(axis, chart.series);
    axis.name = AxisName(axis, chart.series);
    double labels = 0;
    for (double v = axis.v0; v <= axis.v1 + axis.step / 2; v += axis.step) {
      labels = std::max(labels, TextWidth(FormatNumber(v)));
    }
    axis.width = labels + 12 + kAxisNameRoom;
    axis.right = i % 2 == 1;
    (axis.right ? rightRoom : leftRoom) += axis.width;
  }
  layout.left = leftRoom;
  layout.right = kWidth - std::max(rightRoom, 2 * kEdge + 20);  // room for the last time label
  layout.bottom = kHeight - kAxisRoom - LegendHeight(chart) - kLegendLine;
  double leftAt = layout.left, rightAt = layout.right;
  for (ValueAxis& axis : layout.axes) {
    axis.x = axis.right ? rightAt : leftAt;
    (axis.right ? rightAt : leftAt) += axis.right ? axis.width : -axis.width;
  }
  // The interval and every point in time.
  layout.t0 = std::min(Seconds(chart.from), Seconds(chart.to));
  layout.t1 = std::max(Seconds(chart.from), Seconds(chart.to));
  for (const auto& series : chart.series) {
    for (const auto& point : series.points) {
      layout.t0 = std::min(layout.t0, Seconds(point.time));
      layout.t1 = std::max(layout.t1, Seconds(point.time));
    }
  }
  if (layout.t1 - layout.t0 < 1) layout.t1 = layout.t0 + 1;
  return layout;
}

// A label at x that stays inside the picture: centred, or held at an edge.
std::string TimeLabel(double x, double y, const std::string& text) {
  const double half = TextWidth(text) / 2;
  const char* anchor = x - half < 2 ? "start" : x + half > kWidth - 2 ? "end" : "middle";
  const double at = x - half < 2 ? std::max(x - half, 2.0) : x + half > kWidth - 2 ? kWidth - 2 : x;
  return fmt::format(R"(<text x="{:.1f}" y="{}" text-anchor="{}">{}</text>)", at, y, anchor, Escape(text));
}

void TimeAxis(std::string& svg, const Layout& layout, const TrendChart& chart) {
  const double t0 = layout.t0, t1 = layout.t1;
  const int64_t step = TimeStepSeconds(static_cast<int64_t>(t1 - t0));
  // Ticks fall on whole steps of the shown (local or UTC) wall-clock time.
  const DateTime first = DateTime::UnixEpoch().AddSeconds(t0);
  const int64_t offset = (Shown(first, chart.utc).Ticks() - first.Ticks()) / DateTime::kTicksPerSecond;
  double tick = std::ceil((t0 + static_cast<double>(offset)) / static_cast<double>(step)) * static_cast<double>(step) -
                static_cast<double>(offset);
  int lastDay = -1;
  for (; tick <= t1; tick += static_cast<double>(step)) {
    const double x = layout.X(tick);
    const DateTime shown = Shown(DateTime::UnixEpoch().AddSeconds(tick), chart.utc);
    svg += fmt::format(R"(<line x1="{0:.1f}" y1="{1}" x2="{0:.1f}" y2="{2}" stroke="{3}"/>)", x, layout.top,
                       layout.bottom, kGridColour);
    svg += TimeLabel(x, layout.bottom + 18, TickLabel(shown, step, shown.Day() != lastDay)) + "\n";
    lastDay = shown.Day();
  }
  const std::string zone = chart.utc ? "UTC" : chart.zone.empty() ? "local" : chart.zone;
  svg += fmt::format(R"(<text x="{}" y="{}" text-anchor="middle" class="axis">time ({})</text>)",
                     (layout.left + layout.right) / 2, layout.bottom + 38, Escape(zone));
  svg += "\n";
}

void ValueAxes(std::string& svg, const Layout& layout) {
  const double middle = (layout.top + layout.bottom) / 2;
  for (std::size_t i = 0; i < layout.axes.size(); ++i) {
    const ValueAxis& axis = layout.axes[i];
    const double tickEnd = axis.right ? axis.x + 6 : axis.x - 6;
    for (double v = axis.v0; v <= axis.v1 + axis.step / 2; v += axis.step) {
      const double y = layout.Y(v, axis);
      if (i == 0) {
        svg += fmt::format(R"(<line x1="{0}" y1="{1:.1f}" x2="{2}" y2="{1:.1f}" stroke="{3}"/>)", layout.left, y,
                           layout.right, kGridColour);
      }
      svg += fmt::format(R"(<line x1="{0}" y1="{1:.1f}" x2="{2}" y2="{1:.1f}" stroke="#888"/>)", axis.x, y, tickEnd);
      svg +=
          fmt::format(R"(<text x="{}" y="{:.1f}" text-anchor="{}">{}</text>)", axis.right ? tickEnd + 2 : tickEnd - 2,
                      y + 4, axis.right ? "start" : "end", Escape(FormatNumber(v)));
      svg += "\n";
    }
    svg +=
        fmt::format(R"(<line x1="{0}" y1="{1}" x2="{0}" y2="{2}" stroke="#888"/>)", axis.x, layout.top, layout.bottom);
    const double nameX = axis.right ? axis.x + axis.width - 8 : axis.x - axis.width + 14;
    const std::string colour = axis.series.size() == 1 ? kColours[axis.series.front() % kColours.size()] : "#333";
    svg += fmt::format(
        R"svg(<text x="{0}" y="{1}" text-anchor="middle" class="axis" fill="{3}")svg"
        R"svg( transform="rotate(-90 {0} {1})">{2}</text>)svg",
        nameX, middle, Escape(Fit(axis.name, layout.bottom - layout.top)), colour);
    svg += "\n";
  }
}

// The frame: title, interval, the band of the interval, both axes.
void Frame(std::string& svg, const TrendChart& chart, const Layout& layout) {
  svg += fmt::format(R"(<svg xmlns="http://www.w3.org/2000/svg" width="{0}" height="{1}" viewBox="0 0 {0} {1}")"
                     R"( font-family="sans-serif" font-size="12">)"
                     "\n<style>.axis {{ font-size: 13px; }} .title {{ font-size: 16px; font-weight: bold; }}</style>\n"
                     R"(<rect width="{0}" height="{1}" fill="white"/>)"
                     "\n",
                     kWidth, kHeight);
  const DateTime start = std::min(chart.from, chart.to);
  const DateTime end = std::max(chart.from, chart.to);
  svg += fmt::format(R"(<text x="{}" y="28" class="title">{}</text>)", layout.left,
                     Escape(Fit(chart.title, kWidth - layout.left - kEdge)));
  svg += fmt::format(R"(<text x="{}" y="46" fill="#555">{} to {}{}</text>)", layout.left, TextTime(start, chart.utc),
                     TextTime(end, chart.utc), Escape(chart.note.empty() ? "" : "; " + chart.note));
  svg += "\n";
  // The interval asked for; outsiders lie outside this band.
  const double bandStart = layout.X(Seconds(start));
  svg += fmt::format(R"(<rect x="{:.1f}" y="{}" width="{:.1f}" height="{}" fill="#f3f7fc"/>)", bandStart, layout.top,
                     std::max(layout.X(Seconds(end)) - bandStart, 1.0), layout.bottom - layout.top);
  svg += "\n";
  TimeAxis(svg, layout, chart);
  ValueAxes(svg, layout);
  svg += fmt::format(R"(<rect x="{}" y="{}" width="{}" height="{}" fill="none" stroke="#888"/>)", layout.left,
                     layout.top, layout.right - layout.left, layout.bottom - layout.top);
  svg += "\n";
}

// The points drawn for a series of more points than pixel columns: per
// column the first, lowest, highest and last number in time order, and
// every outsider, level change and value that is not a number.
std::vector<TrendPoint> Reduced(const std::vector<TrendPoint>& sorted, const Layout& layout) {
  if (sorted.size() <= 2 * static_cast<std::size_t>(layout.right - layout.left)) return sorted;
  std::vector<TrendPoint> kept;
  std::size_t begin = 0;
  while (begin < sorted.size()) {
    const auto column = static_cast<int64_t>(layout.X(Seconds(sorted[begin].time)));
    std::size_t end = begin;
    std::size_t low = begin, high = begin;
    std::vector<std::size_t> marks;
    for (; end < sorted.size() && static_cast<int64_t>(layout.X(Seconds(sorted[end].time))) == column; ++end) {
      const TrendPoint& point = sorted[end];
      const bool levelChange = end > 0 && sorted[end - 1].level != point.level;
      if (point.outsider || levelChange || !std::isfinite(point.value)) marks.push_back(end);
      if (!(sorted[low].value <= point.value)) low = end;
      if (!(sorted[high].value >= point.value)) high = end;
    }
    std::vector<std::size_t> chosen{begin, low, high, end - 1};
    chosen.insert(chosen.end(), marks.begin(), marks.end());
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    for (std::size_t index : chosen) kept.push_back(sorted[index]);
    begin = end;
  }
  return kept;
}

std::string Segment(double x1, double y1, double x2, double y2, const char* colour, bool dashed, bool steps) {
  const char* dash = dashed ? R"( stroke-dasharray="5 4")" : "";
  if (!steps) {
    return fmt::format(R"(<line x1="{:.1f}" y1="{:.1f}" x2="{:.1f}" y2="{:.1f}" stroke="{}" stroke-width="2"{}/>)", x1,
                       y1, x2, y2, colour, dash);
  }
  return fmt::format(
      R"(<polyline points="{:.1f},{:.1f} {:.1f},{:.1f} {:.1f},{:.1f}" fill="none" stroke="{}" stroke-width="2"{}/>)",
      x1, y1, x2, y1, x2, y2, colour, dash);
}

// Whether a and b lie on either side of where a cut read stopped: the
// values between them were not read, so nothing joins them.
bool Across(const TrendSeries& series, const TrendPoint& a, const TrendPoint& b) {
  return series.truncatedAt && a.time < *series.truncatedAt && b.time >= *series.truncatedAt;
}

// The line of a series: joined numbers, broken at values that are not
// numbers and at a cut read, stepped when the value holds.
void Line(std::string& svg, const Layout& layout, const ValueAxis& axis, const TrendSeries& series,
          const std::vector<TrendPoint>& points, const char* colour) {
  for (std::size_t i = 1; i < points.size(); ++i) {
    const auto& a = points[i - 1];
    const auto& b = points[i];
    if (!std::isfinite(a.value) || !std::isfinite(b.value) || Across(series, a, b)) continue;
    svg += Segment(layout.X(Seconds(a.time)), layout.Y(a.value, axis), layout.X(Seconds(b.time)),
                   layout.Y(b.value, axis), colour, a.outsider || b.outsider, series.steps);
    svg += "\n";
  }
}

// Markers: a level change at the sample where it happened, a cross for a
// value that is not a number, and the points themselves when few.
void Markers(std::string& svg, const Layout& layout, const ValueAxis& axis, const TrendSeries& series,
             const std::vector<TrendPoint>& points, const char* colour, bool named) {
  for (std::size_t i = 1; i < points.size(); ++i) {
    if (points[i].level == points[i - 1].level || Across(series, points[i - 1], points[i])) continue;
    const double x = layout.X(Seconds(points[i].time));
    svg += fmt::format(R"(<line x1="{0:.1f}" y1="{1}" x2="{0:.1f}" y2="{2}" stroke="{3}" stroke-dasharray="3 3"/>)"
                       R"(<text x="{4:.1f}" y="{5}" fill="{3}">{6}level {7}</text>)",
                       x, layout.top, layout.bottom, kWarningColour, x + 4, layout.top + 14,
                       named ? Escape(series.name) + " " : "", points[i].level);
    svg += "\n";
  }
  const bool circles = points.size() <= kMaxCircles;
  for (const auto& point : points) {
    const double x = layout.X(Seconds(point.time));
    if (!std::isfinite(point.value)) {
      const double y = layout.bottom - 8;
      svg += fmt::format(
          R"(<path d="M{0:.1f} {1:.1f} l8 8 m0 -8 l-8 8" stroke="{2}" stroke-width="2">)"
          R"(<title>{3} not a number</title></path>)",
          x - 4, y - 4, kWarningColour, Escape(series.name));
      svg += "\n";
      continue;
    }
    if (!circles && !point.outsider) continue;
    const char* fill = point.level == 0 ? colour : kWarningColour;
    svg += fmt::format(R"(<circle cx="{:.1f}" cy="{:.1f}" r="4" fill="{}" stroke="{}" stroke-width="2"/>)", x,
                       layout.Y(point.value, axis), point.outsider ? "white" : fill, fill);
    svg += "\n";
  }
}

void Bands(std::string& svg, const Layout& layout, const ValueAxis& axis, const TrendSeries& series,
           const char* colour) {
  for (const TrendBand& band : series.bands) {
    const double x = layout.X(Seconds(band.start));
    const double top = layout.Y(band.high, axis);
    svg += fmt::format(R"(<rect x="{:.1f}" y="{:.1f}" width="{:.1f}" height="{:.1f}" fill="{}" fill-opacity="0.15"/>)",
                       x, top, std::max(layout.X(Seconds(band.end)) - x, 1.0),
                       std::max(layout.Y(band.low, axis) - top, 1.0), colour);
    svg += "\n";
  }
}

// Grey over the times a series was not read to (--max), said in words.
void Truncation(std::string& svg, const Layout& layout, const TrendSeries& series, bool named) {
  if (!series.truncatedAt) return;
  const double x = layout.X(Seconds(*series.truncatedAt));
  svg += fmt::format(R"(<rect x="{0:.1f}" y="{1}" width="{2:.1f}" height="{3}" fill="#adb5bd" fill-opacity="0.3"/>)"
                     R"(<text x="{4:.1f}" y="{5}" fill="#495057">{6}not read: --max reached</text>)",
                     x, layout.top, std::max(layout.right - x, 1.0), layout.bottom - layout.top, x + 4,
                     layout.bottom - 20, named ? Escape(series.name) + " " : "");
  svg += "\n";
}

void Legend(std::string& svg, const TrendChart& chart, const Layout& layout) {
  double y = layout.bottom + kAxisRoom + 8;
  if (chart.series.size() > 1) {
    double x = layout.left;
    for (std::size_t i = 0; i < chart.series.size(); ++i) {
      const TrendSeries& series = chart.series[i];
      const std::string text = series.units.empty() ? series.name : fmt::format("{} ({})", series.name, series.units);
      svg += fmt::format(R"(<rect x="{}" y="{}" width="14" height="4" fill="{}"/><text x="{}" y="{}">{}</text>)", x,
                         y - 2, kColours[i % kColours.size()], x + 18, y + 4, Escape(text));
      x += 18 + TextWidth(text) + 16;
    }
    svg += "\n";
    y += kLegendLine;
  }
  const double x = layout.left;
  svg += fmt::format(
      R"(<circle cx="{0}" cy="{1}" r="4" fill="{2}"/><text x="{3}" y="{4}">level 0</text>)"
      R"(<circle cx="{5}" cy="{1}" r="4" fill="{6}"/><text x="{7}" y="{4}">other level</text>)"
      R"(<circle cx="{8}" cy="{1}" r="4" fill="white" stroke="{2}" stroke-width="2"/>)"
      R"(<text x="{9}" y="{4}">outside the interval</text>)"
      R"(<path d="M{10} {11} l8 8 m0 -8 l-8 8" stroke="{6}" stroke-width="2"/>)"
      R"(<text x="{12}" y="{4}">not a number</text>)",
      x, y, kColours[0], x + 10, y + 4, x + 90, kWarningColour, x + 100, x + 200, x + 210, x + 346, y - 4, x + 360);
  svg += "\n";
}

}  // namespace

std::string TrendSvg(const TrendChart& chart) {
  const Layout layout = LayOut(chart);
  std::string svg;
  Frame(svg, chart, layout);
  const bool named = chart.series.size() > 1;
  for (std::size_t i = 0; i < chart.series.size(); ++i) {
    const TrendSeries& series = chart.series[i];
    const ValueAxis& axis = layout.axes[layout.axisOf[i]];
    const char* colour = kColours[i % kColours.size()];
    std::vector<TrendPoint> points = series.points;
    std::stable_sort(points.begin(), points.end(), [](const auto& a, const auto& b) { return a.time < b.time; });
    points = Reduced(points, layout);
    Bands(svg, layout, axis, series, colour);
    Truncation(svg, layout, series, named);
    Line(svg, layout, axis, series, points, colour);
    Markers(svg, layout, axis, series, points, colour, named);
  }
  Legend(svg, chart, layout);
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
