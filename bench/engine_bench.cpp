// The engine's batch read MRDBVALS (500 items: doubles with quality, texts,
// and a mix of both) and its history reads RHIS21DATA and RHIS21REV (10,000
// values), each next to a plain memcpy of the bytes the call hands back
// (the baseline "Raw", the physical limit of moving them).
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "api/dorvik.h"
#include "bench/ratio_reporter.h"
#include "bench/synthetic_database.h"
#include "engine/control.h"

namespace vantrel::bench {
namespace {

namespace api = dorvik::api;

constexpr int kBatchItems = 500;
constexpr int kHistoryValues = 10'000;
constexpr int16_t kTextCapacity = kSyntheticDescriptionLength + static_cast<int16_t>(api::kTextCapacityExtra);
constexpr int32_t kRawRequest = 4;

struct Ids {
  std::vector<int32_t> records;
  int32_t valueTag = 0;
  int32_t descriptionTag = 0;
};

int32_t FieldTagOf(const char* name) {
  int32_t tag = 0;
  ERRBLOCK error{};
  DECODFT(name, static_cast<int16_t>(std::strlen(name)), &tag, &error);
  return tag;
}

// The benchmark database, installed once: kBatchItems records, and
// kHistoryValues history values on the first record's VALUE.
const Ids& BenchDatabase() {
  static const Ids ids = [] {
    dorvik::Install(SyntheticDatabase(SyntheticShape{kBatchItems, kHistoryValues, 1}));
    Ids result;
    for (int i = 0; i < kBatchItems; ++i) {
      const std::string name = SyntheticRecordName(i);
      result.records.push_back(NAME2RECID(name.c_str(), static_cast<int16_t>(name.size())));
    }
    result.valueTag = FieldTagOf("VALUE");
    result.descriptionTag = FieldTagOf("DESCRIPTION");
    return result;
  }();
  return ids;
}

enum class Kind { Double, Text, Mixed };

bool IsText(Kind kind, int item) { return kind == Kind::Text || (kind == Kind::Mixed && item % 2 == 1); }

std::size_t RecordSize(int16_t type) { return type == api::kTypeTextQuality ? sizeof(TVANDQU) : sizeof(DVANDQU); }

// The arrays of one MRDBVALS call over kBatchItems items; the value records
// lie back to back, each the size of its item's type.
struct Batch {
  explicit Batch(Kind kind) : texts(kBatchItems * kTextCapacity), errors(kBatchItems) {
    const Ids& ids = BenchDatabase();
    std::size_t offset = 0;
    for (int i = 0; i < kBatchItems; ++i) {
      const bool text = IsText(kind, i);
      items.push_back(IDANDFT{ids.records[static_cast<std::size_t>(i)], text ? ids.descriptionTag : ids.valueTag});
      types.push_back(text ? api::kTypeTextQuality : api::kTypeDoubleQuality);
      offsets.push_back(offset);
      offset += RecordSize(types.back());
      textItems += text ? 1 : 0;
    }
    buffer.resize(offset);
  }

  // A read takes each text record's buffer and capacity from the caller.
  void PrepareTexts() {
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (types[i] != api::kTypeTextQuality) continue;
      char* text = texts.data() + i * kTextCapacity;
      std::memcpy(buffer.data() + offsets[i] + offsetof(TVANDQU, TEXT), &text, sizeof text);
      std::memcpy(buffer.data() + offsets[i] + offsetof(TVANDQU, LENGTH), &kTextCapacity, sizeof kTextCapacity);
    }
  }

  // The bytes a read hands back: the value records and the text buffers.
  std::size_t Bytes() const { return buffer.size() + static_cast<std::size_t>(textItems) * kTextCapacity; }

  std::vector<IDANDFT> items;
  std::vector<int16_t> types;
  std::vector<std::size_t> offsets;
  std::vector<std::byte> buffer;
  std::vector<char> texts;
  std::vector<ERRBLOCK> errors;
  int textItems = 0;
};

void ReadBatchRaw(benchmark::State& state, Kind kind) {
  const Batch batch(kind);
  const std::vector<std::byte> source(batch.Bytes(), std::byte{1});
  std::vector<std::byte> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBatchItems);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(source.size()));
}

void ReadBatchEngine(benchmark::State& state, Kind kind) {
  Batch batch(kind);
  for (auto _ : state) {
    batch.PrepareTexts();
    int16_t done = 0;
    MRDBVALS(kBatchItems, batch.items.data(), batch.types.data(), batch.buffer.data(), &done, batch.errors.data());
    if (done != kBatchItems) state.SkipWithError("MRDBVALS failed");
    benchmark::DoNotOptimize(batch.buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * kBatchItems);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(batch.Bytes()));
}

// The arrays one history read fills: a level, a time and a double per value.
struct HistoryArrays {
  HistoryArrays() : levels(kHistoryValues), times(kHistoryValues), values(kHistoryValues) {}
  static constexpr std::size_t kBytesPerValue = sizeof(int16_t) + sizeof(XUSTS) + sizeof(double);
  std::vector<int16_t> levels;
  std::vector<XUSTS> times;
  std::vector<double> values;
};

void ReadHistoryRaw(benchmark::State& state) {
  const HistoryArrays source;
  HistoryArrays target;
  for (auto _ : state) {
    std::memcpy(target.levels.data(), source.levels.data(), kHistoryValues * sizeof(int16_t));
    std::memcpy(target.times.data(), source.times.data(), kHistoryValues * sizeof(XUSTS));
    std::memcpy(target.values.data(), source.values.data(), kHistoryValues * sizeof(double));
    benchmark::DoNotOptimize(target.values.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kHistoryValues);
  state.SetBytesProcessed(state.iterations() * kHistoryValues * static_cast<int64_t>(HistoryArrays::kBytesPerValue));
}

// Reads all kHistoryValues values of the first record, forwards (oldest
// first) or in reverse (newest first).
void ReadHistoryEngine(benchmark::State& state, bool reverse) {
  const Ids& ids = BenchDatabase();
  HistoryArrays arrays;
  constexpr int64_t kLastSeconds = kSyntheticStartSeconds + (kHistoryValues - 1) * kSyntheticHistoryStepSeconds;
  const XUSTS first{static_cast<int32_t>(kSyntheticStartSeconds), 0};
  const XUSTS last{static_cast<int32_t>(kLastSeconds), 0};
  const int32_t fieldTag = ids.valueTag;
  const int16_t type = api::kTypeDouble;
  void* const buffers[] = {arrays.values.data()};
  for (auto _ : state) {
    int32_t returned = 0;
    int16_t fieldsDone = 0;
    ERRBLOCK error{};
    if (reverse) {
      RHIS21REV(0, 0, 0, 0, ids.records[0], fieldTag + 1, &last, &first, 1, &fieldTag, &type, kHistoryValues,
                arrays.levels.data(), arrays.times.data(), buffers, &returned, &fieldsDone, &error);
    } else {
      RHIS21DATA(kRawRequest, 0, 0, ids.records[0], fieldTag + 1, &first, &last, 1, &fieldTag, &type, kHistoryValues,
                 arrays.levels.data(), arrays.times.data(), buffers, &returned, &fieldsDone, &error);
    }
    if (error.ERRCODE != 0 || returned != kHistoryValues) state.SkipWithError("history read failed");
    benchmark::DoNotOptimize(arrays.values.data());
  }
  state.SetItemsProcessed(state.iterations() * kHistoryValues);
  state.SetBytesProcessed(state.iterations() * kHistoryValues * static_cast<int64_t>(HistoryArrays::kBytesPerValue));
}

void Register() {
  for (const auto& [kind, name] : {std::pair{Kind::Double, "Double"}, std::pair{Kind::Text, "Text"},
                                   std::pair{Kind::Mixed, "Mixed"}}) {
    benchmark::RegisterBenchmark(fmt::format("MRDBVALS/{}/Raw/{}", name, kBatchItems).c_str(), ReadBatchRaw, kind);
    benchmark::RegisterBenchmark(fmt::format("MRDBVALS/{}/Engine/{}", name, kBatchItems).c_str(), ReadBatchEngine,
                                 kind);
  }
  for (const auto& [operation, reverse] : {std::pair{"RHIS21DATA", false}, std::pair{"RHIS21REV", true}}) {
    benchmark::RegisterBenchmark(fmt::format("{}/Double/Raw/{}", operation, kHistoryValues).c_str(), ReadHistoryRaw)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(fmt::format("{}/Double/Engine/{}", operation, kHistoryValues).c_str(),
                                 ReadHistoryEngine, reverse)
        ->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace
}  // namespace vantrel::bench

int main(int argc, char** argv) {
  vantrel::bench::Register();
  return vantrel::bench::RunWithRatios(argc, argv);
}
