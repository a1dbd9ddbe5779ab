#include "views/aggregates.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include <fmt/format.h>

#include "views/errors.h"
#include "views/text_compare.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;

struct NamedKind {
  std::string_view name;
  AggregateKind kind;
};

constexpr std::array<NamedKind, 4> kKinds{{{"min", AggregateKind::kMin},
                                           {"avg", AggregateKind::kAvg},
                                           {"max", AggregateKind::kMax},
                                           {"count", AggregateKind::kCount}}};

int64_t IntervalCount(DateTime from, DateTime to, int64_t stepTicks) {
  if (to <= from) return 0;
  const int64_t span = to.Ticks() - from.Ticks();
  const int64_t count = span / stepTicks + (span % stepTicks != 0 ? 1 : 0);
  if (count > kMaxIntervals) {
    throw UsageError(
        fmt::format("{} intervals of that length fit between --from and --to; at most {} are made; "
                    "choose a longer step",
                    count, kMaxIntervals));
  }
  return count;
}

// The index of the first sample later than time.
std::size_t FirstAfter(const std::vector<Sample>& samples, DateTime time) {
  return static_cast<std::size_t>(
      std::upper_bound(samples.begin(), samples.end(), time, [](DateTime t, const Sample& s) { return t < s.time; }) -
      samples.begin());
}

// Adds a value that holds for ticks to the summary being built.
class Accumulator {
 public:
  void Hold(double value, int64_t ticks) {
    if (!std::isfinite(value)) return;
    min_ = min_ ? std::min(*min_, value) : value;
    max_ = max_ ? std::max(*max_, value) : value;
    weighted_ += value * static_cast<double>(ticks);
    weight_ += ticks;
  }
  void Fill(IntervalSummary& summary) const {
    summary.min = min_;
    summary.max = max_;
    if (weight_ > 0) summary.avg = weighted_ / static_cast<double>(weight_);
  }

 private:
  std::optional<double> min_, max_;
  double weighted_ = 0;
  int64_t weight_ = 0;
};

IntervalSummary SummarizeOne(const std::vector<Sample>& samples, DateTime start, DateTime end) {
  IntervalSummary summary{start, end, {}, {}, {}, 0};
  Accumulator accumulator;
  std::size_t next = FirstAfter(samples, start);
  // The value carried in: the last sample at or before the start.
  std::optional<double> current;
  DateTime since = start;
  if (next > 0) current = samples[next - 1].value;
  if (next > 0 && samples[next - 1].time == start) ++summary.count;
  for (; next < samples.size() && samples[next].time < end; ++next) {
    if (current) accumulator.Hold(*current, samples[next].time.Ticks() - since.Ticks());
    current = samples[next].value;
    since = samples[next].time;
    ++summary.count;
  }
  if (current) accumulator.Hold(*current, end.Ticks() - since.Ticks());
  accumulator.Fill(summary);
  return summary;
}

}  // namespace

std::vector<AggregateKind> ParseAggregates(std::string_view text) {
  std::vector<AggregateKind> kinds;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view word = text.substr(start, comma - start);
    const auto known = std::find_if(kKinds.begin(), kKinds.end(),
                                    [&](const NamedKind& named) { return EqualsIgnoringCase(named.name, word); });
    if (known == kKinds.end()) {
      throw UsageError(fmt::format("--agg: '{}' is not an aggregate; aggregates: min, avg, max, count", word));
    }
    if (std::find(kinds.begin(), kinds.end(), known->kind) != kinds.end()) {
      throw UsageError(fmt::format("--agg: {} is named twice", known->name));
    }
    kinds.push_back(known->kind);
    start = comma + 1;
  }
  return kinds;
}

std::string_view AggregateName(AggregateKind kind) {
  for (const NamedKind& named : kKinds) {
    if (named.kind == kind) return named.name;
  }
  return "?";
}

std::optional<double> IntervalSummary::Get(AggregateKind kind) const {
  switch (kind) {
    case AggregateKind::kMin:
      return min;
    case AggregateKind::kAvg:
      return avg;
    case AggregateKind::kMax:
      return max;
    case AggregateKind::kCount:
      return static_cast<double>(count);
  }
  return std::nullopt;
}

std::vector<IntervalSummary> Summarize(const std::vector<Sample>& samples, DateTime from, DateTime to,
                                       int64_t stepTicks) {
  std::vector<IntervalSummary> summaries;
  const int64_t count = IntervalCount(from, to, stepTicks);
  for (int64_t k = 0; k < count; ++k) {
    const DateTime start = from.AddTicks(k * stepTicks);
    const DateTime end = k + 1 == count ? to : start.AddTicks(stepTicks);
    summaries.push_back(SummarizeOne(samples, start, end));
  }
  return summaries;
}

std::vector<DateTime> GridTimes(DateTime from, DateTime to, int64_t stepTicks) {
  std::vector<DateTime> grid;
  const int64_t count = IntervalCount(from, to, stepTicks);
  for (int64_t k = 0; k < count; ++k) grid.push_back(from.AddTicks(k * stepTicks));
  return grid;
}

std::vector<std::optional<double>> ValuesOnGrid(const std::vector<Sample>& samples, const std::vector<DateTime>& grid,
                                                Hold hold) {
  std::vector<std::optional<double>> values;
  for (const DateTime& time : grid) {
    const std::size_t next = FirstAfter(samples, time);
    if (next == 0) {
      values.emplace_back();
      continue;
    }
    const Sample& before = samples[next - 1];
    double value = before.value;
    if (hold == Hold::kLinear && next < samples.size() && before.time < time) {
      const Sample& after = samples[next];
      const double share = static_cast<double>(time.Ticks() - before.time.Ticks()) /
                           static_cast<double>(after.time.Ticks() - before.time.Ticks());
      value = before.value + (after.value - before.value) * share;
    }
    values.push_back(std::isfinite(value) ? std::optional<double>(value) : std::nullopt);
  }
  return values;
}

}  // namespace vantrel::cli
