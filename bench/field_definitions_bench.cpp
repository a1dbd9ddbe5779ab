// The field definition cache: a cold load of a definition with 200 fields
// (time, and the database calls it makes, from the engine's call log) and a
// cached GetFieldDefinitionByFieldId under one and two threads.
#include <chrono>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "engine/control.h"
#include "session/session.h"

namespace vantrel::bench {
namespace {

constexpr int kFieldCount = 200;
constexpr int kSelectorEvery = 10;  // every tenth field has a selector
constexpr int kSelectorFields = kFieldCount / kSelectorEvery;
constexpr int kColdLoadCalls = 4;   // header, columns, field numbers, names

// Reaches the protected operations of the cache.
class DefinitionReader : public access::Session {
 public:
  using Session::GetFieldDefinitionByFieldId;
  using Session::GetSelectors;
};

struct WideDefinition {
  int32_t id = 0;
  int32_t selectorId = 0;
  std::vector<int32_t> fieldTags;
};

// A definition of kFieldCount fields of every kind, installed once.
const WideDefinition& Wide() {
  static const WideDefinition wide = [] {
    std::vector<dorvik::FieldSpec> fields;
    for (int i = 0; i < kFieldCount; ++i) {
      const std::string name = fmt::format("WIDE_{:03}", i);
      switch (i % kSelectorEvery) {
        case 0: fields.push_back(dorvik::FieldSpec::Integer(name).WithSelector("VN_WideModeSel")); break;
        case 1: fields.push_back(dorvik::FieldSpec::Real(name).WithQuality().WithHistory()); break;
        case 2: fields.push_back(dorvik::FieldSpec::Text(name, 24)); break;
        case 3: fields.push_back(dorvik::FieldSpec::Time(name)); break;
        case 4: fields.push_back(dorvik::FieldSpec::RecordPointer(name)); break;
        case 5: fields.push_back(dorvik::FieldSpec::Integer(name, 31).WithQuality()); break;
        case 6: fields.push_back(dorvik::FieldSpec::Real(name, 4).WithWriteProtection(2)); break;
        case 7: fields.push_back(dorvik::FieldSpec::FieldPointer(name)); break;
        default: fields.push_back(dorvik::FieldSpec::Integer(name, 16, false)); break;
      }
    }
    dorvik::DatabaseBuilder builder;
    builder.SystemAccount("VNT\\vntsystem")
        .Selector("VN_WideModeSel", 7, {"OFF", "ON", "AUTO"})
        .Definition("VN_WideDef", std::move(fields));
    dorvik::Install(builder);
    access::Session::RefreshAll();
    DefinitionReader session;
    WideDefinition result;
    result.id = session.GetRecordID("VN_WideDef");
    result.selectorId = session.GetRecordID("VN_WideModeSel");
    const access::FieldDefinitionsPtr definitions = session.GetFieldDefinitions(result.id);
    for (const auto& field : *definitions) result.fieldTags.push_back(field.Number);
    return result;
  }();
  return wide;
}

// The database calls fn makes, from the engine's call log.
template <typename Fn>
int32_t CallsOf(Fn fn) {
  dorvik::EnableCallLog(true);
  dorvik::ClearCallLog();
  fn();
  const auto calls = static_cast<int32_t>(dorvik::CallLog().size());
  dorvik::EnableCallLog(false);
  return calls;
}

void ColdLoad(benchmark::State& state) {
  const WideDefinition& wide = Wide();
  DefinitionReader session;
  const int32_t selectorCalls = CallsOf([&] { session.GetSelectors(wide.selectorId); });
  access::Session::RefreshAll();
  const int32_t loadCalls = CallsOf([&] { session.GetFieldDefinitions(wide.id); });
  for (auto _ : state) {
    access::Session::RefreshAll();
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(session.GetFieldDefinitions(wide.id));
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["db_calls"] = loadCalls;
  state.counters["selector_fields"] = kSelectorFields;
  state.counters["calls_per_selector"] = selectorCalls;
  // 0 when the load makes exactly its four reads and one selector read per
  // field with a selector.
  state.counters["calls_beyond_target"] = loadCalls - (kColdLoadCalls + kSelectorFields * selectorCalls);
  state.SetItemsProcessed(state.iterations() * kFieldCount);
}

void CachedLookup(benchmark::State& state) {
  const WideDefinition& wide = Wide();
  DefinitionReader session;
  session.GetFieldDefinitions(wide.id);
  std::size_t next = static_cast<std::size_t>(state.thread_index()) * 7;
  for (auto _ : state) {
    benchmark::DoNotOptimize(session.GetFieldDefinitionByFieldId(wide.id, wide.fieldTags[next]));
    next = next + 1 == wide.fieldTags.size() ? 0 : next + 1;
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(ColdLoad)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(CachedLookup)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace vantrel::bench

BENCHMARK_MAIN();
