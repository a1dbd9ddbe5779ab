// The reduction of a history to a chart's pixel columns: the CPU time for a
// million values (the goal is 50 ms) into a chart 1,000 and 4,000 columns
// wide, on a noisy wave with a status change every 10,000 values.
#include <benchmark/benchmark.h>

#include <cmath>

#include "host/live/chart_decimation.h"

namespace {

using vantrel::contracts::DateTime;
using vantrel::contracts::TagValue;
using vantrel::contracts::TagValues;

const DateTime kStart(2024, 3, 6, 0, 0, 0, 0, vantrel::contracts::DateTimeKind::Utc);

TagValues MillionValues() {
  TagValues series;
  series.reserve(1'000'000);
  for (int64_t i = 0; i < 1'000'000; ++i) {
    const double value = 50.0 + 20.0 * std::sin(static_cast<double>(i) / 5000.0) + static_cast<double>(i * 7919 % 13);
    const int32_t status = (i / 10'000) % 10 == 9 ? 4 : 0;
    series.emplace_back(value, kStart.AddTicks(i * DateTime::kTicksPerSecond / 10), status, 0);
  }
  return series;
}

void BM_DecimateMillionValues(benchmark::State& state) {
  static const TagValues series = MillionValues();
  const vantrel::host::live::ChartWindow window{series.front().Timestamp, series.back().Timestamp,
                                                static_cast<int32_t>(state.range(0))};
  std::size_t kept = 0;
  for (auto _ : state) {
    kept = vantrel::host::live::DecimateForChart(series, window).size();
    benchmark::DoNotOptimize(kept);
  }
  state.counters["kept"] = static_cast<double>(kept);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(series.size()));
}
BENCHMARK(BM_DecimateMillionValues)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
