// Pictures of a history: an SVG trend chart for a file, and a one-line
// sparkline for a terminal. Both are pure functions of their arguments.
//
// The chart has one time axis (in the zone named under it, or UTC) and one
// value axis per unit, each labelled with what it shows: the description
// and units of its one series, or the units its series share. Each series
// has its own colour and a line in the legend. Values inside the interval
// are joined by a line, stepped where the value holds until the next sample;
// values outside it (outsiders) are hollow circles joined by dashes; a
// change of quality level is a dashed vertical marker at the sample where it
// happened, values of a level other than 0 drawn in a warning colour; a
// value that is not a number is a cross at the foot of the chart that breaks
// the line; values the read did not reach (cut by --max) lie under a grey
// band saying so. A series of more points than the chart has pixel columns
// is drawn from the first, lowest, highest and last value of each column,
// which keeps its shape and keeps the file small.
#ifndef VANTREL_VIEWS_SVG_PLOT_H_
#define VANTREL_VIEWS_SVG_PLOT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contracts/date_time.h"

namespace vantrel::cli {

struct TrendPoint {
  contracts::DateTime time;  // UTC
  double value = 0;          // NaN or infinite: not a number
  int32_t level = 0;
  bool outsider = false;
};

// The lowest and highest value of an interval [start, end) (history --every).
struct TrendBand {
  contracts::DateTime start;
  contracts::DateTime end;
  double low = 0;
  double high = 0;
};

struct TrendSeries {
  std::string name{};                // "TI101 VALUE", in the legend
  std::string units{};               // "degC", may be empty
  std::string description{};         // "Reactor inlet temperature", may be empty
  std::vector<TrendPoint> points{};  // in any order
  std::vector<TrendBand> bands{};
  bool steps = false;                                // the value holds until the next sample
  std::optional<contracts::DateTime> truncatedAt{};  // nothing was read from here on
};

struct TrendChart {
  std::string title{};  // "TI101 VALUE"
  contracts::DateTime from{};
  contracts::DateTime to{};
  std::vector<TrendSeries> series{};
  bool utc = false;
  std::string zone{};  // the local zone's name for the time axis ("Europe/Berlin"); empty: "local"
  std::string note{};  // after the interval under the title: what the lines show, when not plain values
};

std::string TrendSvg(const TrendChart& chart);

// Block characters from lowest to highest value, at most width of them
// (later values when there are more); empty for fewer than two values.
std::string Sparkline(const std::vector<double>& values, std::size_t width);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_SVG_PLOT_H_
