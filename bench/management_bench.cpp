// Record lists: Session::GetTagNamesByDefinition over the records of a
// definition (10,000 and 100,000 records), next to the raw loop of
// GETRECORDLIST_LNAME calls in batches of 500 that it is built on (the
// baseline "Raw"), in two forms: "Names" takes each name as it comes into a
// list of strings, as any user of the names must; "Calls" makes the calls
// alone. Equal time per item at both sizes means linear.
#include <array>
#include <string>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "api/dorvik.h"
#include "bench/ratio_reporter.h"
#include "engine/control.h"
#include "session/session.h"

namespace vantrel::bench {
namespace {

namespace api = dorvik::api;

constexpr int kSmall = 10'000;
constexpr int kLarge = 100'000;
constexpr int32_t kBatch = static_cast<int32_t>(api::kRecordListBatch);

std::string DefinitionOf(int records) { return fmt::format("VN_List{}Def", records); }

// Two definitions of kSmall and kLarge records, installed once.
void InstallLists() {
  static const bool installed = [] {
    dorvik::DatabaseBuilder builder;
    for (int records : {kSmall, kLarge}) {
      const std::string definition = DefinitionOf(records);
      builder.Definition(definition, {dorvik::FieldSpec::Real("VALUE")});
      for (int i = 0; i < records; ++i) builder.Record(fmt::format("R{}_{:07}", records, i), definition);
    }
    dorvik::Install(builder);
    return true;
  }();
  (void)installed;
}

// The native arrays of one list call.
struct ListArrays {
  std::array<int32_t, kBatch> ids{};
  std::array<char, kBatch> flags{};
  std::array<char, kBatch * api::kFieldNameBufferSize> names{};
  std::array<int16_t, kBatch> lengths{};
};

// The raw loop; with collect, each name goes into a list of strings.
void RawList(benchmark::State& state, bool collect) {
  InstallLists();
  const int records = static_cast<int>(state.range(0));
  access::Session session;
  const int32_t definition = session.GetRecordID(DefinitionOf(records));
  static ListArrays arrays;
  for (auto _ : state) {
    contracts::TagNames names;
    int32_t cursor = 0;
    int32_t count = 0;
    int64_t listed = 0;
    do {
      GETRECORDLIST_LNAME(1, definition, 1, 1, 0, nullptr, kBatch, &cursor, arrays.ids.data(), arrays.flags.data(),
                          arrays.names.data(), arrays.lengths.data(), &count);
      listed += count;
      for (int32_t i = 0; collect && i < count; ++i) {
        names.emplace_back(arrays.names.data() + static_cast<std::size_t>(i) * api::kFieldNameBufferSize,
                           static_cast<std::size_t>(arrays.lengths[static_cast<std::size_t>(i)]));
      }
    } while (count == kBatch);
    if (listed != records) state.SkipWithError("the raw loop missed records");
    benchmark::DoNotOptimize(names.data());
    benchmark::DoNotOptimize(arrays.names.data());
  }
  state.SetItemsProcessed(state.iterations() * records);
}

void LibraryList(benchmark::State& state) {
  InstallLists();
  const int records = static_cast<int>(state.range(0));
  access::Session session;
  const std::string definition = DefinitionOf(records);
  for (auto _ : state) {
    const contracts::TagNames names = session.GetTagNamesByDefinition(definition);
    if (static_cast<int>(names.size()) != records) state.SkipWithError("the list missed records");
    benchmark::DoNotOptimize(names.data());
  }
  state.SetItemsProcessed(state.iterations() * records);
}

constexpr auto kMs = benchmark::kMillisecond;
BENCHMARK_CAPTURE(RawList, names, true)->Name("List/Names/Raw")->Arg(kSmall)->Arg(kLarge)->Unit(kMs);
BENCHMARK(LibraryList)->Name("List/Names/ByDefinition")->Arg(kSmall)->Arg(kLarge)->Unit(kMs);
BENCHMARK_CAPTURE(RawList, calls, false)->Name("List/Calls/Raw")->Arg(kSmall)->Arg(kLarge)->Unit(kMs);
BENCHMARK(LibraryList)->Name("List/Calls/ByDefinition")->Arg(kSmall)->Arg(kLarge)->Unit(kMs);

}  // namespace
}  // namespace vantrel::bench

int main(int argc, char** argv) { return vantrel::bench::RunWithRatios(argc, argv); }
