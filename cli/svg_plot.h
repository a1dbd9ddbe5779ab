// Pictures of a history: an SVG trend chart for a file, and a one-line
// sparkline for a terminal. Both are pure functions of the points.
//
// The chart has a time axis (local time, or UTC) and a value axis labelled
// with the units; the values inside the interval are joined by a line,
// values outside it (outsiders) are hollow circles joined by dashes, and
// each change of quality level is a dashed vertical marker with the new
// level, values of a level other than 0 drawn in a warning colour.
#ifndef VANTREL_CLI_SVG_PLOT_H_
#define VANTREL_CLI_SVG_PLOT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/date_time.h"

namespace vantrel::cli {

struct TrendPoint {
  contracts::DateTime time;  // UTC
  double value = 0;
  int32_t level = 0;
  bool outsider = false;
};

struct TrendChart {
  std::string title;  // "TI101 VALUE"
  std::string units;  // "degC", may be empty
  contracts::DateTime from;
  contracts::DateTime to;
  std::vector<TrendPoint> points;  // in any order
  bool utc = false;
};

std::string TrendSvg(const TrendChart& chart);

// Block characters from lowest to highest value, at most width of them
// (later values when there are more); empty for fewer than two values.
std::string Sparkline(const std::vector<double>& values, std::size_t width);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_SVG_PLOT_H_
