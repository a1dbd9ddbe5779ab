#include "bench/synthetic_database.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

namespace vantrel::bench {
namespace {

using dorvik::FieldSpec;
using dorvik::Sample;
using dorvik::Timestamp;

constexpr const char* kModeSelector = "VN_SyntheticModeSel";
constexpr const char* kUnits[] = {"degC", "bar", "m3/h", "%", "kW"};

// kSyntheticFieldCount fields.
std::vector<FieldSpec> SyntheticFields() {
  return {FieldSpec::Real("VALUE").WithQuality().WithHistory(),
          FieldSpec::Real("HI_LIMIT"),
          FieldSpec::Real("LO_LIMIT"),
          FieldSpec::Text("UNITS", 12),
          FieldSpec::Text("DESCRIPTION", kSyntheticDescriptionLength),
          FieldSpec::Integer("MODE").WithSelector(kModeSelector),
          FieldSpec::Integer("COUNTER", 31).WithQuality(),
          FieldSpec::Time("LAST_CHANGE"),
          FieldSpec::RecordPointer("UPSTREAM_TAG"),
          FieldSpec::Integer("STATE")};
}

void AddRecord(dorvik::DatabaseBuilder& builder, int32_t index) {
  const std::string name = SyntheticRecordName(index);
  const Timestamp changed = Timestamp::FromSeconds(kSyntheticStartSeconds + index);
  builder.Record(name, kSyntheticDefinition)
      .Set(name, "VALUE", Sample(index * 0.5, 0, 0, changed))
      .Set(name, "HI_LIMIT", 100.0 + index % 7)
      .Set(name, "LO_LIMIT", -1.0 - index % 5)
      .Set(name, "UNITS", kUnits[index % std::size(kUnits)])
      .Set(name, "DESCRIPTION", fmt::format("Synthetic measurement {}", index))
      .Set(name, "MODE", index % 3)
      .Set(name, "COUNTER", Sample(index * 3, 0, 1, changed))
      .Set(name, "LAST_CHANGE", changed)
      .Set(name, "STATE", 1 + index % 2);
  // Each record points at the one before it (the first at none).
  if (index > 0) builder.Set(name, "UPSTREAM_TAG", dorvik::RecordLink{SyntheticRecordName(index - 1), 0});
}

void AddHistory(dorvik::DatabaseBuilder& builder, const SyntheticShape& shape) {
  const int64_t series = std::min<int64_t>(shape.historyRecords, shape.records);
  if (series <= 0 || shape.historyValues <= 0) return;
  for (int64_t s = 0; s < series; ++s) {
    // The first historyValues % series series take one value more.
    const int64_t count = shape.historyValues / series + (s < shape.historyValues % series ? 1 : 0);
    std::vector<dorvik::HistoryPoint> points;
    points.reserve(static_cast<std::size_t>(count));
    for (int64_t k = 0; k < count; ++k) {
      const auto level = static_cast<int16_t>(k % 97 == 0 ? 2 : 0);
      const Timestamp time = Timestamp::FromSeconds(kSyntheticStartSeconds + k * kSyntheticHistoryStepSeconds);
      points.push_back({time, 0.25 * static_cast<double>(k % 400), level});
    }
    builder.History(SyntheticRecordName(static_cast<int32_t>(s)), "VALUE", std::move(points));
  }
}

}  // namespace

std::string SyntheticRecordName(int32_t index) { return fmt::format("SYN{:07}", index); }

dorvik::DatabaseBuilder SyntheticDatabase(const SyntheticShape& shape) {
  dorvik::DatabaseBuilder builder;
  builder.SystemAccount("VNT\\vntsystem")
      .Environment("DORVIK_GROUP_NAME", "SYNTHETIC")
      .Selector(kModeSelector, 7, {"OFF", "ON", "AUTO"})
      .Definition(kSyntheticDefinition, SyntheticFields(), dorvik::DefinitionOptions{0, {-3}, 0})
      .Grant("*", kSyntheticDefinition, 2);
  for (int32_t i = 0; i < shape.records; ++i) AddRecord(builder, i);
  AddHistory(builder, shape);
  return builder;
}

void WriteSyntheticDatabase(const SyntheticShape& shape, const std::string& path) {
  dorvik::WriteDatabaseFile(SyntheticDatabase(shape), path);
}

std::string BenchDataFolder() {
  namespace fs = std::filesystem;
  static const std::string folder = [] {
    const fs::path path = fs::read_symlink("/proc/self/exe").parent_path() / "bench_data";
    fs::create_directories(path);
    return path.string();
  }();
  return folder;
}

std::string SyntheticFile(const SyntheticShape& shape) {
  const std::string path = fmt::format("{}/synthetic_{}_{}_{}.json", BenchDataFolder(), shape.records,
                                       shape.historyValues, shape.historyRecords);
  if (std::filesystem::exists(path)) return path;
  const std::string partial = path + ".partial";
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    int code = EXIT_SUCCESS;
    try {
      WriteSyntheticDatabase(shape, partial);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "writing %s: %s\n", path.c_str(), error.what());
      code = EXIT_FAILURE;
    }
    std::_Exit(code);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != EXIT_SUCCESS) {
    throw std::runtime_error("could not write " + path);
  }
  std::filesystem::rename(partial, path);
  return path;
}

void OpenSynthetic(const SyntheticShape& shape) {
  const std::string json = SyntheticFile(shape);
  const std::string store = fmt::format("{}/synthetic_{}_{}.db", BenchDataFolder(), shape.records, ::getpid());
  std::filesystem::remove_all(store);
  dorvik::ImportDatabase(json, store);
  dorvik::Open(store);
  // The folder goes with the process; the open database stays usable.
  std::filesystem::remove_all(store);
}

}  // namespace vantrel::bench
