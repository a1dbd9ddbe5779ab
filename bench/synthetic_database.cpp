#include "bench/synthetic_database.h"

#include <algorithm>
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

}  // namespace vantrel::bench
