// A console reporter that also compares each benchmark with its baseline in
// the same run. Benchmarks are named "<Operation>/<Kind>/<Role>/<n>"; the
// role "Raw" is the baseline of every other role with the same operation,
// kind and n. After the usual table it prints, per comparison, the time
// per item of both (the least of repeated runs) and their ratio.
#ifndef VANTREL_BENCH_RATIO_REPORTER_H_
#define VANTREL_BENCH_RATIO_REPORTER_H_

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace vantrel::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::string baselineRole = "Raw") : baselineRole_(std::move(baselineRole)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      const auto items = run.counters.find("items_per_second");
      if (items == run.counters.end() || items->second.value <= 0) continue;
      // Of repeated runs the fastest counts: the machine is shared.
      const double ns = 1e9 / items->second.value;
      const auto [entry, first] = perItemNs_.emplace(run.benchmark_name(), ns);
      if (!first) entry->second = std::min(entry->second, ns);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-44s %14s %14s %8s\n", "comparison", "ns/item", "baseline", "ratio");
    for (const auto& [name, ns] : perItemNs_) {
      const std::string baseline = BaselineOf(name);
      if (baseline.empty() || baseline == name) continue;
      const auto found = perItemNs_.find(baseline);
      if (found == perItemNs_.end()) continue;
      std::printf("%-44s %14.1f %14.1f %8.2f\n", name.c_str(), ns, found->second, ns / found->second);
    }
  }

 private:
  // "Read/Double/ById/5000" -> "Read/Double/Raw/5000"; "" when the name has
  // fewer than four parts.
  std::string BaselineOf(const std::string& name) const {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', start)) {
      parts.push_back(name.substr(start, slash - start));
      start = slash + 1;
    }
    parts.push_back(name.substr(start));
    if (parts.size() < 4) return {};
    parts[2] = baselineRole_;
    std::string baseline = parts[0];
    for (std::size_t i = 1; i < parts.size(); ++i) baseline += "/" + parts[i];
    return baseline;
  }

  std::string baselineRole_;
  std::map<std::string, double> perItemNs_;
};

// main() of a benchmark program that reports ratios.
inline int RunWithRatios(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace vantrel::bench

#endif  // VANTREL_BENCH_RATIO_REPORTER_H_
