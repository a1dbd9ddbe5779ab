// Current value reads and writes through DataAccess, by ids and by names,
// next to the same items through raw MRDBVALS/MWDBVALS calls in batches of
// 500 (the baseline "Raw"). Items are one field of each of n records: a
// double with quality, or a text of 40 characters.
#include <string>
#include <utility>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "bench/current_value_plant.h"
#include "bench/ratio_reporter.h"
#include "data/data_access.h"

namespace vantrel::bench {
namespace {

using access::DataAccess;

void RawRead(benchmark::State& state, Kind kind) {
  RawBatches raw(BenchPlant(), kind, static_cast<int>(state.range(0)));
  for (auto _ : state) raw.Read();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void RawWrite(benchmark::State& state, Kind kind) {
  RawBatches raw(BenchPlant(), kind, static_cast<int>(state.range(0)));
  for (auto _ : state) raw.Write();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Runs one library read or write of request per iteration.
template <typename Request>
void ReadAll(benchmark::State& state, const Request& request) {
  DataAccess access;
  for (auto _ : state) benchmark::DoNotOptimize(access.GetTagValues(request));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

template <typename Request>
void WriteAll(benchmark::State& state, const Request& request) {
  DataAccess access;
  for (auto _ : state) access.SetTagValues(request);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void ReadById(benchmark::State& state, Kind kind) {
  ReadAll(state, RequestByIds(BenchPlant(), kind, static_cast<int>(state.range(0))));
}

void ReadByName(benchmark::State& state, Kind kind) {
  ReadAll(state, RequestByNames(BenchPlant(), kind, static_cast<int>(state.range(0))));
}

void WriteById(benchmark::State& state, Kind kind) {
  WriteAll(state, WriteRequestByIds(BenchPlant(), kind, static_cast<int>(state.range(0))));
}

void WriteByName(benchmark::State& state, Kind kind) {
  WriteAll(state, WriteRequestByNames(BenchPlant(), kind, static_cast<int>(state.range(0))));
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Arg(500)->Arg(5'000)->Arg(50'000)->Unit(benchmark::kMicrosecond);
}

void Register() {
  using Runner = void (*)(benchmark::State&, Kind);
  const struct {
    const char* operation;
    const char* role;
    Runner run;
  } runners[] = {{"Read", "Raw", RawRead},   {"Read", "ById", ReadById},   {"Read", "ByName", ReadByName},
                 {"Write", "Raw", RawWrite}, {"Write", "ById", WriteById}, {"Write", "ByName", WriteByName}};
  for (const auto& runner : runners) {
    for (const auto& [kind, kindName] : {std::pair{Kind::Double, "Double"}, std::pair{Kind::Text, "Text"}}) {
      benchmark::RegisterBenchmark(fmt::format("{}/{}/{}", runner.operation, kindName, runner.role).c_str(),
                                   runner.run, kind)
          ->Apply(Sizes);
    }
  }
}

}  // namespace
}  // namespace vantrel::bench

int main(int argc, char** argv) {
  vantrel::bench::Register();
  return vantrel::bench::RunWithRatios(argc, argv);
}
