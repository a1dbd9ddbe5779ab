// Summaries of a history over equal intervals (history --every 1h --agg
// min,avg,max,count) and a history's values on a regular grid (history
// --align 1m), computed from the samples the database returned. Pure
// functions of their arguments; thread-safe.
//
// A sample's value holds from its time until the next sample. So the value
// in force at an interval's start is the last sample at or before it (an
// outsider before the read interval serves the first interval), and:
//
//   min, max  the lowest and highest value in force during the interval
//             (the value carried in at its start and every sample inside)
//   avg       the time-weighted average: each value weighted by how long it
//             holds inside the interval
//   count     the samples whose time lies inside the interval
//
// A value that is not a number (NaN, infinity) holds like any other but
// takes no part in min, avg and max; its time is left out of the weights.
//
//   samples 10:00 = 1, 10:30 = 3; interval [10:00, 11:00): avg 2, min 1, max 3, count 2
#ifndef VANTREL_VIEWS_AGGREGATES_H_
#define VANTREL_VIEWS_AGGREGATES_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "contracts/date_time.h"

namespace vantrel::cli {

struct Sample {
  contracts::DateTime time;  // UTC
  double value = 0;          // may be NaN or infinite: not a number
};

enum class AggregateKind { kMin, kAvg, kMax, kCount };

// "min,avg,max,count" (any order and case, each once); throws UsageError.
std::vector<AggregateKind> ParseAggregates(std::string_view text);
std::string_view AggregateName(AggregateKind kind);  // "min"

struct IntervalSummary {
  contracts::DateTime start;  // the interval is [start, end)
  contracts::DateTime end;
  std::optional<double> min;  // none: no number was in force
  std::optional<double> avg;
  std::optional<double> max;
  int64_t count = 0;

  std::optional<double> Get(AggregateKind kind) const;
};

// The most intervals (or grid points) one command makes.
inline constexpr int64_t kMaxIntervals = 100'000;

// The intervals [from + k * step, from + (k + 1) * step) that begin before
// to, the last one cut at to. samples are in time order and may begin
// before from. Throws UsageError for more than kMaxIntervals intervals.
std::vector<IntervalSummary> Summarize(const std::vector<Sample>& samples, contracts::DateTime from,
                                       contracts::DateTime to, int64_t stepTicks);

// How a value on a grid is taken from the samples around it.
enum class Hold {
  kStep,    // the last sample at or before the grid time
  kLinear,  // on the line between the samples on either side (the last sample after the last one)
};

// The grid times from, from + step, ... before to; throws UsageError for
// more than kMaxIntervals of them.
std::vector<contracts::DateTime> GridTimes(contracts::DateTime from, contracts::DateTime to, int64_t stepTicks);

// samples' values at the grid times (in time order); none before the first
// sample, and none where the value in force is not a number.
std::vector<std::optional<double>> ValuesOnGrid(const std::vector<Sample>& samples,
                                                const std::vector<contracts::DateTime>& grid, Hold hold);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_AGGREGATES_H_
