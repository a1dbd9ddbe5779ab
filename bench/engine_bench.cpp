// The engine's calls on a database of 100,000 records with 1,000,000 history
// values: batch reads MRDBVALS of 500 doubles of 500 records and of 50
// records x 10 fields, the single-item calls RECTYPEOK, DEFINID and
// NAME2RECID (answered from the catalog cache; DEFINID also over every
// record, with the cache's memory), a
// history read RHIS21DATA of 10,000 values, and a batch write MWDBVALS of
// 500 doubles, committed to disk. The baseline "Raw" of the batch reads is
// a bare LMDB read transaction with 500 gets of 24-byte values over 500
// records. CPU time per item; the write also in wall time (its flush waits
// for the disk of the data folder, beside this program).
#include <lmdb.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
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

constexpr int kRecords = 100'000;
constexpr int kBatchItems = 500;
constexpr int kFieldRecords = 50;
constexpr int kHistoryValues = 10'000;
constexpr int32_t kRawRequest = 4;
constexpr int16_t kTextCapacity = kSyntheticDescriptionLength + static_cast<int16_t>(api::kTextCapacityExtra);

int32_t FieldTagOf(const std::string& name) {
  int32_t tag = 0;
  ERRBLOCK error{};
  DECODFT(name.c_str(), static_cast<int16_t>(name.size()), &tag, &error);
  return tag;
}

int32_t IdOf(int32_t index) {
  const std::string name = SyntheticRecordName(index);
  return NAME2RECID(name.c_str(), static_cast<int16_t>(name.size()));
}

// The database, opened once: every record's id, and the history of record 0
// (1,000 values a record, so 10 records' worth is not in one series; the
// history read uses a series of its own below).
struct Plant {
  std::vector<int32_t> ids;
  int32_t valueTag = 0;
  int64_t cacheBytes = 0;  // heap grown while every record was looked up by name once
};

// The process's anonymous resident memory (heap, not the mapped database).
int64_t AnonymousResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("RssAnon:", 0) == 0) return std::stoll(line.substr(8)) * 1024;
  }
  return 0;
}

const Plant& BenchPlant() {
  static const Plant plant = [] {
    OpenSynthetic(SyntheticShape{kRecords, 1'000'000, 100});
    SetTlsData("VNT", "vntsystem");
    Plant result;
    result.ids.reserve(kRecords);
    const int64_t before = AnonymousResidentBytes();
    for (int i = 0; i < kRecords; ++i) result.ids.push_back(IdOf(i));
    result.cacheBytes = AnonymousResidentBytes() - before;
    result.valueTag = FieldTagOf("VALUE");
    return result;
  }();
  return plant;
}

// n records spread over the database, one every 200.
std::vector<IDANDFT> SpreadItems(int32_t tag, int n = kBatchItems) {
  const Plant& plant = BenchPlant();
  std::vector<IDANDFT> items;
  for (int i = 0; i < n; ++i) items.push_back(IDANDFT{plant.ids[static_cast<std::size_t>(i) * 200], tag});
  return items;
}

// --- The bare LMDB baseline --------------------------------------------------------

class RawStore {
 public:
  RawStore() {
    path_ = fmt::format("{}/raw_{}", BenchDataFolder(), ::getpid());
    std::filesystem::create_directories(path_);
    mdb_env_create(&env_);
    mdb_env_set_mapsize(env_, std::size_t{1} << 30);
    mdb_env_open(env_, path_.c_str(), MDB_NOTLS, 0644);
    MDB_txn* txn = nullptr;
    mdb_txn_begin(env_, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, 0, &dbi_);
    const std::array<std::byte, 24> value{};
    for (int i = 0; i < kRecords; ++i) {
      const auto key = Key(i);
      MDB_val k{key.size(), const_cast<std::byte*>(key.data())}, v{value.size(), const_cast<std::byte*>(value.data())};
      mdb_put(txn, dbi_, &k, &v, 0);
    }
    mdb_txn_commit(txn);
  }
  ~RawStore() {
    mdb_env_close(env_);
    std::filesystem::remove_all(path_);
  }
  static std::array<std::byte, 4> Key(int i) {
    const auto id = static_cast<uint32_t>(1000 + i);
    return {std::byte(id >> 24), std::byte(id >> 16), std::byte(id >> 8), std::byte(id)};
  }
  MDB_env* env() const { return env_; }
  MDB_dbi dbi() const { return dbi_; }

 private:
  std::string path_;
  MDB_env* env_ = nullptr;
  MDB_dbi dbi_ = 0;
};

void ReadRaw(benchmark::State& state) {
  static RawStore raw;
  std::vector<std::array<std::byte, 4>> keys;
  for (int i = 0; i < kBatchItems; ++i) keys.push_back(RawStore::Key(i * 200));
  std::vector<std::byte> out(kBatchItems * 24);
  for (auto _ : state) {
    MDB_txn* txn = nullptr;
    mdb_txn_begin(raw.env(), nullptr, MDB_RDONLY, &txn);
    for (int i = 0; i < kBatchItems; ++i) {
      MDB_val key{4, keys[static_cast<std::size_t>(i)].data()}, value;
      if (mdb_get(txn, raw.dbi(), &key, &value) == 0) std::memcpy(out.data() + i * 24, value.mv_data, 24);
    }
    mdb_txn_abort(txn);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kBatchItems);
}

// --- Reads -------------------------------------------------------------------------

// n doubles with quality of n records (n: the argument).
void ReadDoubles(benchmark::State& state, int n) {
  const std::vector<IDANDFT> items = SpreadItems(BenchPlant().valueTag, n);
  const std::vector<int16_t> types(static_cast<std::size_t>(n), api::kTypeDoubleQuality);
  std::vector<DVANDQU> values(static_cast<std::size_t>(n));
  std::vector<ERRBLOCK> errors(static_cast<std::size_t>(n));
  for (auto _ : state) {
    int16_t done = 0;
    MRDBVALS(static_cast<int16_t>(n), items.data(), types.data(), values.data(), &done, errors.data());
    if (done != n) state.SkipWithError("MRDBVALS failed");
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// 50 records x their 10 fields, each field as its own type (texts fixed-width).
void ReadFields(benchmark::State& state) {
  const std::pair<const char*, int16_t> fields[] = {
      {"VALUE", api::kTypeDoubleQuality}, {"HI_LIMIT", api::kTypeDouble}, {"LO_LIMIT", api::kTypeDouble},
      {"UNITS", 12},                      {"DESCRIPTION", kSyntheticDescriptionLength},
      {"MODE", api::kTypeInt16},          {"COUNTER", api::kTypeInt32Quality},
      {"LAST_CHANGE", api::kTypeTime},    {"UPSTREAM_TAG", api::kTypeRecordId},
      {"STATE", api::kTypeInt16}};
  static_assert(std::size(fields) == kSyntheticFieldCount);
  std::vector<IDANDFT> items;
  std::vector<int16_t> types;
  std::size_t bytes = 0;
  for (int r = 0; r < kFieldRecords; ++r) {
    for (const auto& [name, type] : fields) {
      items.push_back(IDANDFT{BenchPlant().ids[static_cast<std::size_t>(r) * 2000], FieldTagOf(name)});
      types.push_back(type);
      bytes += type > 0 ? static_cast<std::size_t>(type)
               : type == api::kTypeDoubleQuality ? sizeof(DVANDQU)
               : type == api::kTypeInt32Quality  ? sizeof(LVANDQU)
               : type == api::kTypeTime          ? sizeof(XUSTS)
               : type == api::kTypeDouble        ? sizeof(double)
               : type == api::kTypeRecordId      ? sizeof(int32_t)
                                                 : sizeof(int16_t);
    }
  }
  const auto n = static_cast<int16_t>(items.size());
  std::vector<std::byte> buffer(bytes);
  std::vector<ERRBLOCK> errors(items.size());
  for (auto _ : state) {
    int16_t done = 0;
    MRDBVALS(n, items.data(), types.data(), buffer.data(), &done, errors.data());
    if (done != n) state.SkipWithError("MRDBVALS failed");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void RecordKind(benchmark::State& state) {
  const int32_t id = BenchPlant().ids[kRecords / 2];
  for (auto _ : state) benchmark::DoNotOptimize(RECTYPEOK(id, api::kKind3));
  state.SetItemsProcessed(state.iterations());
}

void DefinitionOf(benchmark::State& state) {
  const int32_t id = BenchPlant().ids[kRecords / 3];
  for (auto _ : state) benchmark::DoNotOptimize(DEFINID(id));
  state.SetItemsProcessed(state.iterations());
}

void IdOfName(benchmark::State& state) {
  const std::string name = SyntheticRecordName(kRecords / 4);
  BenchPlant();
  for (auto _ : state) benchmark::DoNotOptimize(NAME2RECID(name.c_str(), static_cast<int16_t>(name.size())));
  state.SetItemsProcessed(state.iterations());
}

// DEFINID over every record in turn: the catalog cache holding all 100,000,
// and what it costs in memory (the name lookups that fill it at set-up).
void DefinitionOfEach(benchmark::State& state) {
  const Plant& plant = BenchPlant();
  std::size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(DEFINID(plant.ids[next]));
    if (++next == plant.ids.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
  const dorvik::CatalogCacheState cache = dorvik::CatalogCacheInfo();
  state.counters["cached_ids"] = static_cast<double>(cache.records);
  state.counters["cached_names"] = static_cast<double>(cache.names);
  state.counters["heap_MB"] = static_cast<double>(plant.cacheBytes) / 1e6;
}

// The first n of the 10,000 values of record 0's VALUE history (one a minute).
void ReadHistory(benchmark::State& state, int n) {
  const Plant& plant = BenchPlant();
  std::vector<int16_t> levels(static_cast<std::size_t>(n));
  std::vector<XUSTS> times(static_cast<std::size_t>(n));
  std::vector<double> values(static_cast<std::size_t>(n));
  const int64_t lastSeconds = kSyntheticStartSeconds + (n - 1) * kSyntheticHistoryStepSeconds;
  const XUSTS first{static_cast<int32_t>(kSyntheticStartSeconds), 0};
  const XUSTS last{static_cast<int32_t>(lastSeconds), 0};
  const int32_t fieldTag = plant.valueTag;
  const int16_t type = api::kTypeDouble;
  void* const buffers[] = {values.data()};
  for (auto _ : state) {
    int32_t returned = 0;
    int16_t fieldsDone = 0;
    ERRBLOCK error{};
    RHIS21DATA(kRawRequest, 0, 0, plant.ids[0], fieldTag + 1, &first, &last, 1, &fieldTag, &type, n, levels.data(),
               times.data(), buffers, &returned, &fieldsDone, &error);
    if (error.ERRCODE != 0 || returned != n) state.SkipWithError("history read failed");
    benchmark::DoNotOptimize(values.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// --- Writes ----------------------------------------------------------------------------

void WriteDoubles(benchmark::State& state, int n) {
  const std::vector<IDANDFT> items = SpreadItems(FieldTagOf("HI_LIMIT"), n);
  const std::vector<int16_t> types(static_cast<std::size_t>(n), api::kTypeDoubleQuality);
  std::vector<DVANDQU> values(static_cast<std::size_t>(n));
  std::vector<ERRBLOCK> errors(static_cast<std::size_t>(n));
  double next = 0;
  for (auto _ : state) {
    for (DVANDQU& value : values) value = DVANDQU{next += 0.25, 0, 0, XUSTS{1'700'000'000, 0}, 0};
    int16_t done = 0;
    MWDBVALS(static_cast<int16_t>(n), items.data(), types.data(), values.data(), &done, errors.data());
    if (done != n) state.SkipWithError("MWDBVALS failed");
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void Register() {
  benchmark::RegisterBenchmark(fmt::format("MRDBVALS/Double/Raw/{}", kBatchItems).c_str(), ReadRaw);
  // The same call at a tenth of the items: the cost per item stays (no step grows faster).
  for (const int n : {kBatchItems / 10, kBatchItems}) {
    benchmark::RegisterBenchmark(fmt::format("MRDBVALS/Double/Engine/{}", n).c_str(), ReadDoubles, n);
  }
  benchmark::RegisterBenchmark(fmt::format("MRDBVALS/Fields/Engine/{}", kFieldRecords * kSyntheticFieldCount).c_str(),
                               ReadFields);
  benchmark::RegisterBenchmark("RECTYPEOK/One/Engine/1", RecordKind);
  benchmark::RegisterBenchmark("DEFINID/One/Engine/1", DefinitionOf);
  benchmark::RegisterBenchmark("NAME2RECID/One/Engine/1", IdOfName);
  benchmark::RegisterBenchmark(fmt::format("DEFINID/Each/Engine/{}", kRecords).c_str(), DefinitionOfEach);
  for (const int n : {kHistoryValues / 10, kHistoryValues}) {
    benchmark::RegisterBenchmark(fmt::format("RHIS21DATA/Double/Engine/{}", n).c_str(), ReadHistory, n)
        ->Unit(benchmark::kMicrosecond);
  }
  for (const int n : {kBatchItems / 10, kBatchItems}) {
    benchmark::RegisterBenchmark(fmt::format("MWDBVALS/Double/Engine/{}", n).c_str(), WriteDoubles, n)
        ->Unit(benchmark::kMillisecond)
        ->MeasureProcessCPUTime()
        ->UseRealTime();
  }
}

}  // namespace
}  // namespace vantrel::bench

int main(int argc, char** argv) {
  vantrel::bench::Register();
  return vantrel::bench::RunWithRatios(argc, argv);
}
