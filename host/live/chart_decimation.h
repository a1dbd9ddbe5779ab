// ChartDecimation: reduces a history series to what a trend chart of a given
// width can show, so that a million raw values draw at once and the shape
// stays true. Pure functions of their arguments; safe from any thread.
//
// The interval is cut into `columns` equal pixel columns. Inside a column,
// the values fall into runs: a run ends where the status or the level
// changes, or where a value that is a number follows one that is not (a
// gap, a text) or the other way round. Each run keeps its first value, its
// last value and, for numbers, its minimum and its maximum, so every peak,
// every gap and every status change of the raw series is drawn. Values
// outside the interval (the outsiders a history read may add) are kept as
// they are. The kept values keep their order in the series.
//
// A series whose status flips at every value keeps every value: the
// reduction never hides a status change. Otherwise at most four values a
// column and run stay.
//
//   const ChartWindow window{from, to, 1200};
//   const contracts::TagValues shown = DecimateSeries(values, window);
#ifndef VANTREL_HOST_LIVE_CHART_DECIMATION_H_
#define VANTREL_HOST_LIVE_CHART_DECIMATION_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "contracts/date_time.h"
#include "contracts/tag_value.h"

namespace vantrel::host::live {

// The interval shown and the chart's width in pixel columns. from may be
// later than to (a series read newest first): the columns span the same
// interval either way.
struct ChartWindow {
  static constexpr int32_t kMaxColumns = 100'000;

  contracts::DateTime from;
  contracts::DateTime to;
  int32_t columns = 0;  // 1 to kMaxColumns
};

// The positions in series of the values a chart of window keeps, ascending.
// Throws platform::ArgumentException when window.columns is outside
// 1..kMaxColumns.
std::vector<std::size_t> DecimateForChart(std::span<const contracts::TagValue> series, const ChartWindow& window);

// The values of series that DecimateForChart keeps, in their order.
contracts::TagValues DecimateSeries(std::span<const contracts::TagValue> series, const ChartWindow& window);

}  // namespace vantrel::host::live

#endif  // VANTREL_HOST_LIVE_CHART_DECIMATION_H_
