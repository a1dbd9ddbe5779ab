// Current value reads and writes through DataAccess, by ids and by names,
// next to the same items through raw MRDBVALS/MWDBVALS calls in batches of
// 500 (the baseline "Raw"). Items are one field of each of n records: a
// double with quality, or a text of 24 characters.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "api/dorvik.h"
#include "bench/ratio_reporter.h"
#include "data/data_access.h"
#include "engine/control.h"

namespace vantrel::bench {
namespace {

namespace api = dorvik::api;
using access::DataAccess;
using contracts::TagValue;

constexpr int kMaxRecords = 50'000;
constexpr int kNativeBatch = 500;
constexpr int16_t kTextLength = 24;

struct Plant {
  std::vector<int32_t> ids;
  std::vector<std::string> names;
  int32_t valueTag = 0;
  int32_t labelTag = 0;
};

// The benchmark database, built once: kMaxRecords records of one definition.
const Plant& BenchPlant() {
  static const Plant plant = [] {
    dorvik::DatabaseBuilder builder;
    builder.Definition("VN_BenchDef", {dorvik::FieldSpec::Real("VALUE").WithQuality(),
                                       dorvik::FieldSpec::Text("LABEL", kTextLength)});
    for (int i = 0; i < kMaxRecords; ++i) {
      const std::string name = fmt::format("BT{:06}", i);
      builder.Record(name, "VN_BenchDef")
          .Set(name, "VALUE", dorvik::Sample(i * 0.5, 0, 0, dorvik::Timestamp::FromSeconds(1'700'000'000 + i)))
          .Set(name, "LABEL", fmt::format("label of {}", name));
    }
    builder.Grant("*", "VN_BenchDef", 2);
    dorvik::Install(builder);
    DataAccess session;
    Plant result;
    for (int i = 0; i < kMaxRecords; ++i) {
      result.names.push_back(fmt::format("BT{:06}", i));
      result.ids.push_back(session.GetRecordID(result.names.back()));
    }
    result.valueTag = session.GetAttributeID("VALUE");
    result.labelTag = session.GetAttributeID("LABEL");
    return result;
  }();
  return plant;
}

enum class Kind { Double, Text };

int32_t FieldTag(const Plant& plant, Kind kind) { return kind == Kind::Double ? plant.valueTag : plant.labelTag; }
int16_t NativeType(Kind kind) { return kind == Kind::Double ? api::kTypeDoubleQuality : api::kTypeTextQuality; }
std::size_t RecordSize(Kind kind) { return kind == Kind::Double ? sizeof(DVANDQU) : sizeof(TVANDQU); }

// The native arrays of raw batches over the first n records.
struct RawBatches {
  RawBatches(const Plant& plant, Kind kind, int n) : kind(kind) {
    for (int i = 0; i < n; ++i) items.push_back(IDANDFT{plant.ids[static_cast<std::size_t>(i)], FieldTag(plant, kind)});
    types.assign(items.size(), NativeType(kind));
    errors.resize(kNativeBatch);
    buffer.assign(kNativeBatch * RecordSize(kind), std::byte{0});
    texts.assign(static_cast<std::size_t>(kNativeBatch) * (kTextLength + api::kTextCapacityExtra), '\0');
  }

  // Points every text record at its buffer with its capacity.
  void PrepareTexts(int count) {
    if (kind != Kind::Text) return;
    const auto capacity = static_cast<int16_t>(kTextLength + api::kTextCapacityExtra);
    for (int i = 0; i < count; ++i) {
      std::byte* record = buffer.data() + static_cast<std::size_t>(i) * sizeof(TVANDQU);
      char* text = texts.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(capacity);
      std::memcpy(record + offsetof(TVANDQU, TEXT), &text, sizeof(text));
      std::memcpy(record + offsetof(TVANDQU, LENGTH), &capacity, sizeof(capacity));
    }
  }

  Kind kind;
  std::vector<IDANDFT> items;
  std::vector<int16_t> types;
  std::vector<ERRBLOCK> errors;
  std::vector<std::byte> buffer;
  std::vector<char> texts;
};

// Calls body(start, count) for each native batch of n items.
template <typename Body>
void ForEachNativeBatch(int n, Body body) {
  for (int start = 0; start < n; start += kNativeBatch) body(start, std::min(kNativeBatch, n - start));
}

void RawRead(benchmark::State& state, Kind kind) {
  const int n = static_cast<int>(state.range(0));
  RawBatches raw(BenchPlant(), kind, n);
  for (auto _ : state) {
    ForEachNativeBatch(n, [&](int start, int count) {
      raw.PrepareTexts(count);
      int16_t done = 0;
      MRDBVALS(static_cast<int16_t>(count), raw.items.data() + start, raw.types.data() + start, raw.buffer.data(),
               &done, raw.errors.data());
      benchmark::DoNotOptimize(done);
    });
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void RawWrite(benchmark::State& state, Kind kind) {
  const int n = static_cast<int>(state.range(0));
  RawBatches raw(BenchPlant(), kind, n);
  for (auto _ : state) {
    ForEachNativeBatch(n, [&](int start, int count) {
      raw.PrepareTexts(count);
      for (int i = 0; i < count; ++i) {
        std::byte* record = raw.buffer.data() + static_cast<std::size_t>(i) * RecordSize(kind);
        if (kind == Kind::Double) {
          const double value = start + i;
          std::memcpy(record + offsetof(DVANDQU, VALUE), &value, sizeof(value));
        } else {
          const int16_t length = 5;
          char* text = nullptr;
          std::memcpy(&text, record + offsetof(TVANDQU, TEXT), sizeof(text));
          std::memcpy(text, "value", 6);
          std::memcpy(record + offsetof(TVANDQU, LENGTH), &length, sizeof(length));
        }
      }
      int16_t done = 0;
      MWDBVALS(static_cast<int16_t>(count), raw.items.data() + start, raw.types.data() + start, raw.buffer.data(),
               &done, raw.errors.data());
      benchmark::DoNotOptimize(done);
    });
  }
  state.SetItemsProcessed(state.iterations() * n);
}

contracts::TagsById RequestByIds(const Plant& plant, Kind kind, int n) {
  contracts::TagsById request;
  for (int i = 0; i < n; ++i) request[plant.ids[static_cast<std::size_t>(i)]] = {FieldTag(plant, kind)};
  return request;
}

contracts::Tags RequestByNames(const Plant& plant, Kind kind, int n) {
  contracts::Tags request;
  const std::string field = kind == Kind::Double ? "VALUE" : "LABEL";
  for (int i = 0; i < n; ++i) request[plant.names[static_cast<std::size_t>(i)]] = {field};
  return request;
}

TagValue NewValue(Kind kind, int i) {
  if (kind == Kind::Double) return TagValue(i * 0.25, contracts::DateTime::UnixEpoch(), 0, 0);
  return TagValue(fmt::format("text {}", i), contracts::DateTime::UnixEpoch(), 0, 0);
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
  const Plant& plant = BenchPlant();
  contracts::TagValuesByIds request;
  for (int i = 0; i < state.range(0); ++i) {
    request[plant.ids[static_cast<std::size_t>(i)]][FieldTag(plant, kind)] = {NewValue(kind, i)};
  }
  WriteAll(state, request);
}

void WriteByName(benchmark::State& state, Kind kind) {
  const Plant& plant = BenchPlant();
  const std::string field = kind == Kind::Double ? "VALUE" : "LABEL";
  contracts::TagValuesByNames request;
  for (int i = 0; i < state.range(0); ++i) request[plant.names[static_cast<std::size_t>(i)]][field] = {NewValue(kind, i)};
  WriteAll(state, request);
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
