#include "bench/current_value_plant.h"

#include <algorithm>
#include <cstring>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "api/dorvik.h"
#include "data/data_access.h"
#include "engine/control.h"

namespace vantrel::bench {
namespace {

namespace api = dorvik::api;
using contracts::TagValue;

constexpr std::size_t kTextCapacity = kPlantTextLength + api::kTextCapacityExtra;

int16_t NativeType(Kind kind) { return kind == Kind::Double ? api::kTypeDoubleQuality : api::kTypeTextQuality; }
std::size_t RecordSize(Kind kind) { return kind == Kind::Double ? sizeof(DVANDQU) : sizeof(TVANDQU); }

// A text that fills the field: nothing to trim, no blank at either end.
std::string FullText(const std::string& start) { return fmt::format("{:-<{}}", start, kPlantTextLength); }

TagValue NewValue(Kind kind, int i) {
  if (kind == Kind::Double) return TagValue(i * 0.25, contracts::DateTime::UnixEpoch(), 0, 0);
  return TagValue(FullText(fmt::format("text {}", i)), contracts::DateTime::UnixEpoch(), 0, 0);
}

// Calls body(start, count) for each native batch of n items.
template <typename Body>
void ForEachNativeBatch(int n, Body body) {
  for (int start = 0; start < n; start += kNativeBatch) body(start, std::min(kNativeBatch, n - start));
}

}  // namespace

const Plant& BenchPlant() {
  static const Plant plant = [] {
    dorvik::DatabaseBuilder builder;
    builder.Definition("VN_BenchDef", {dorvik::FieldSpec::Real("VALUE").WithQuality(),
                                       dorvik::FieldSpec::Text("LABEL", kPlantTextLength)});
    for (int i = 0; i < kPlantRecords; ++i) {
      const std::string name = fmt::format("BT{:06}", i);
      builder.Record(name, "VN_BenchDef")
          .Set(name, "VALUE", dorvik::Sample(i * 0.5, 0, 0, dorvik::Timestamp::FromSeconds(1'700'000'000 + i)))
          .Set(name, "LABEL", FullText("label of " + name));
    }
    builder.Grant("*", "VN_BenchDef", 2);
    dorvik::Install(builder);
    access::DataAccess session;
    Plant result;
    for (int i = 0; i < kPlantRecords; ++i) {
      result.names.push_back(fmt::format("BT{:06}", i));
      result.ids.push_back(session.GetRecordID(result.names.back()));
    }
    result.valueTag = session.GetAttributeID("VALUE");
    result.labelTag = session.GetAttributeID("LABEL");
    return result;
  }();
  return plant;
}

contracts::TagsById RequestByIds(const Plant& plant, Kind kind, int n) {
  contracts::TagsById request;
  for (int i = 0; i < n; ++i) request[plant.ids[static_cast<std::size_t>(i)]] = {plant.FieldTag(kind)};
  return request;
}

contracts::Tags RequestByNames(const Plant& plant, Kind kind, int n) {
  contracts::Tags request;
  for (int i = 0; i < n; ++i) request[plant.names[static_cast<std::size_t>(i)]] = {Plant::FieldName(kind)};
  return request;
}

contracts::TagValuesByIds WriteRequestByIds(const Plant& plant, Kind kind, int n) {
  contracts::TagValuesByIds request;
  for (int i = 0; i < n; ++i) {
    request[plant.ids[static_cast<std::size_t>(i)]][plant.FieldTag(kind)] = {NewValue(kind, i)};
  }
  return request;
}

contracts::TagValuesByNames WriteRequestByNames(const Plant& plant, Kind kind, int n) {
  contracts::TagValuesByNames request;
  for (int i = 0; i < n; ++i) {
    request[plant.names[static_cast<std::size_t>(i)]][Plant::FieldName(kind)] = {NewValue(kind, i)};
  }
  return request;
}

RawBatches::RawBatches(const Plant& plant, Kind kind, int n) : kind_(kind) {
  for (int i = 0; i < n; ++i) items_.push_back(IDANDFT{plant.ids[static_cast<std::size_t>(i)], plant.FieldTag(kind)});
  types_.assign(items_.size(), NativeType(kind));
  errors_.resize(kNativeBatch);
  buffer_.assign(kNativeBatch * RecordSize(kind), std::byte{0});
  texts_.assign(kNativeBatch * kTextCapacity, '\0');
}

void RawBatches::PrepareTexts(int count) {
  if (kind_ != Kind::Text) return;
  const auto capacity = static_cast<int16_t>(kTextCapacity);
  for (int i = 0; i < count; ++i) {
    std::byte* record = buffer_.data() + static_cast<std::size_t>(i) * sizeof(TVANDQU);
    char* text = texts_.data() + static_cast<std::size_t>(i) * kTextCapacity;
    std::memcpy(record + offsetof(TVANDQU, TEXT), &text, sizeof(text));
    std::memcpy(record + offsetof(TVANDQU, LENGTH), &capacity, sizeof(capacity));
  }
}

void RawBatches::Read() {
  ForEachNativeBatch(static_cast<int>(items_.size()), [&](int start, int count) {
    PrepareTexts(count);
    int16_t done = 0;
    MRDBVALS(static_cast<int16_t>(count), items_.data() + start, types_.data() + start, buffer_.data(), &done,
             errors_.data());
    benchmark::DoNotOptimize(done);
  });
}

void RawBatches::Write() {
  ForEachNativeBatch(static_cast<int>(items_.size()), [&](int start, int count) {
    PrepareTexts(count);
    for (int i = 0; i < count; ++i) {
      std::byte* record = buffer_.data() + static_cast<std::size_t>(i) * RecordSize(kind_);
      if (kind_ == Kind::Double) {
        const double value = start + i;
        std::memcpy(record + offsetof(DVANDQU, VALUE), &value, sizeof(value));
      } else {
        char* text = nullptr;
        std::memcpy(&text, record + offsetof(TVANDQU, TEXT), sizeof(text));
        std::memset(text, 'x', kPlantTextLength);
        text[kPlantTextLength] = '\0';
        std::memcpy(record + offsetof(TVANDQU, LENGTH), &kPlantTextLength, sizeof(kPlantTextLength));
      }
    }
    int16_t done = 0;
    MWDBVALS(static_cast<int16_t>(count), items_.data() + start, types_.data() + start, buffer_.data(), &done,
             errors_.data());
    benchmark::DoNotOptimize(done);
  });
}

}  // namespace vantrel::bench
