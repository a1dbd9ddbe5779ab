#include "data/data_access.h"

#include <algorithm>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/fault.h"
#include "platform/time_zone.h"
#include "session/log.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::FieldIds;
using contracts::TagsById;
using contracts::TagValue;
using contracts::TagValues;
using contracts::TagValuesByIds;
using contracts::TagValuesById;
using contracts::TagValuesByName;
using contracts::TagValuesByNames;

// The value that stands for a field whose occurrences are unknown.
TagValue OccurrenceErrorValue() {
  constexpr int32_t kStatus = 2;
  constexpr int32_t kLevel = -6;
  return TagValue(contracts::Value(), platform::Now(), kStatus, kLevel);
}

// Cuts a request into batches of at most kBatchSize items: a field adds
// `count` items to the pending batch, and a batch that would overflow is
// flushed first. A field that alone needs more than kBatchSize items gets a
// batch of its own sized to it.
class Batcher {
 public:
  explicit Batcher(int32_t batchSize) : batchSize_(batchSize) {}

  // True when the pending batch must be flushed (with Limit()) before the
  // field of `count` items is added.
  bool MustFlushBefore(int32_t count) const { return pending_ + count > Limit(); }
  int32_t Limit() const { return std::max(pending_, batchSize_); }
  int32_t Pending() const { return pending_; }
  void Add(int32_t count) { pending_ += count; }
  void Restart(int32_t count) { pending_ = count; }

 private:
  int32_t batchSize_;
  int32_t pending_ = 0;
};

}  // namespace

DataAccess::DataAccess() : Session() {}
DataAccess::DataAccess(bool enableVntCallback) : Session(enableVntCallback) {}

// --- Reads ------------------------------------------------------------------

TagValuesByIds DataAccess::GetTagValues(const TagsById& tagList) {
  return platform::RunServiceOperation([&] { return ReadByIds(tagList); });
}

TagValuesByIds DataAccess::ReadByIds(const TagsById& tagList) {
  TagValuesByIds result;
  FieldBatch batch;
  Batcher batcher(kBatchSize);
  for (const auto& [recordId, fieldIds] : tagList) {
    for (const auto& [fieldId, info] : GetMaximumOcurrences(recordId, fieldIds)) {
      if (batcher.MustFlushBefore(info.Occurrences)) {
        GetTagValues(batcher.Limit(), result, batch);
        batch.clear();
        batcher.Restart(info.Occurrences);
      } else {
        batcher.Add(info.Occurrences);
      }
      batch.push_back(BatchField{recordId, fieldId, info, nullptr});
    }
  }
  if (!batch.empty()) GetTagValues(batcher.Pending(), result, batch);
  return result;
}

TagValuesByNames DataAccess::GetTagValues(const contracts::Tags& tagList) {
  return platform::RunServiceOperation([&] {
    TagsById byIds;
    for (const auto& [recordName, fieldNames] : tagList) {
      const int32_t recordId = GetRecordID(recordName);
      if (recordId <= 0) continue;
      // Two spellings of one record add their fields up.
      FieldIds& fieldIds = byIds[recordId];
      for (const auto& fieldName : fieldNames) {
        if (const int32_t fieldId = GetAttributeID(fieldName); fieldId > 0) fieldIds.push_back(fieldId);
      }
    }
    TagValuesByNames result;
    if (byIds.empty()) return result;
    TagValuesByIds read = ReadByIds(byIds);
    for (auto record = read.begin(); record != read.end(); ++record) {
      TagValuesByName& byName = result[GetRecordName(record->first)];
      for (auto field = record.value().begin(); field != record.value().end(); ++field) {
        byName[GetAttributeName(record->first, field->first)] = std::move(field.value());
      }
    }
    return result;
  });
}

BatchLayout DataAccess::LayOut(std::span<const IDANDFT> items) {
  std::vector<int16_t> types(items.size());
  std::vector<ERRBLOCK> errors(std::max<std::size_t>(items.size(), 1));
  GETDATATYPES(static_cast<int32_t>(items.size()), items.data(), types.data(), errors.data());
  // Consecutive items mostly belong to one record: its definition is asked once.
  std::optional<int32_t> lastRecord;
  int32_t lastDefinition = 0;
  return BatchLayout(items, types, std::span(errors.data(), items.size()), [&](const IDANDFT& item) {
    if (lastRecord != item.ID) {
      lastRecord = item.ID;
      lastDefinition = GetDefinitionID(item.ID);
    }
    return FormatOf(lastDefinition, item.ID, item.FT);
  });
}

void DataAccess::RaiseBatchFailure(std::string_view pattern, std::string_view operation, const BatchLayout& layout,
                                   int16_t done, std::span<const ERRBLOCK> errors) {
  LogDorvikError(errors[0], operation);
  const IDANDFT& failed = layout.CallItems().at(static_cast<std::size_t>(done));
  throw platform::ApplicationException(fmt::format(
      fmt::runtime(pattern), GetRecordName(failed.ID), GetAttributeName(failed.ID, failed.FT),
      platform::Trim(GenerateVntErrorMessage(errors[0])),
      platform::Trim(GenerateVntErrorMessage(errors[static_cast<std::size_t>(done)]))));
}

void DataAccess::GetTagValues(int32_t maxcount, TagValuesByIds& tagValuesByIds, const FieldBatch& batch) {
  std::vector<IDANDFT> items;
  items.reserve(static_cast<std::size_t>(std::max(maxcount, 0)));
  // Per item, the field tag the caller gave: an expanded occurrence files
  // its value under its whole field, and only that item does (the same tag
  // asked for by itself, or in another record, keeps its own key).
  std::vector<int32_t> callerTags;
  callerTags.reserve(items.capacity());
  for (const BatchField& field : batch) {
    const MaxOcurrenceInfo& info = field.occurrences;
    if (info.ErrorType != MaxOccurrenceError::NoError) {
      tagValuesByIds[field.recordId][field.fieldId].push_back(OccurrenceErrorValue());
    } else if (info.IsRepeatArea) {
      for (int32_t k = 1; k <= info.Occurrences; ++k) {
        items.push_back(IDANDFT{field.recordId, field.fieldId + k});
        callerTags.push_back(field.fieldId);
      }
    } else {
      items.push_back(IDANDFT{field.recordId, field.fieldId});
      callerTags.push_back(field.fieldId);
    }
  }

  BatchLayout layout = LayOut(items);
  if (layout.Empty()) return;
  std::vector<ERRBLOCK> errors(std::max<std::size_t>(layout.Entries().size(), 1));
  int16_t done = 0;
  MRDBVALS(layout.CallCount(), layout.CallItems().data(), layout.CallTypes().data(), layout.Buffer(), &done,
           errors.data());

  const auto read = std::clamp<int16_t>(done, 0, layout.CallCount());
  for (int16_t k = 0; k < read; ++k) {
    const BatchLayout::Entry& entry = layout.Entries()[static_cast<std::size_t>(k)];
    tagValuesByIds[entry.item.ID][callerTags[entry.index]].push_back(
        ConvertDataBufferToTagValue(entry.format.type, layout.Buffer() + entry.offset, entry.text));
  }
  if (done < layout.CallCount()) {
    RaiseBatchFailure("Failed to get value for {0}, {1} with error {2}, {3}", "GetTagValues", layout, read, errors);
  }
}

// --- Writes -----------------------------------------------------------------

void DataAccess::SetTagValues(const TagValuesByIds& tagValuesByIds) {
  platform::RunServiceOperation([&] { WriteByIds(tagValuesByIds); });
}

void DataAccess::WriteByIds(const TagValuesByIds& tagValuesByIds) {
  FieldBatch batch;
  Batcher batcher(kBatchSize);
  FieldIds fieldIds;
  for (const auto& [recordId, fields] : tagValuesByIds) {
    fieldIds.clear();
    for (const auto& entry : fields) fieldIds.push_back(entry.first);
    const MaxOcurrenceInfoByFieldId occurrences = GetMaximumOcurrences(recordId, fieldIds);
    for (const auto& [fieldId, values] : fields) {
      MaxOcurrenceInfo info = occurrences.at(fieldId);
      if (info.IsRepeatArea && static_cast<int32_t>(values.size()) < info.Occurrences) {
        info.Occurrences = static_cast<int32_t>(values.size());  // write only the occurrences given
      }
      const int32_t count = info.IsRepeatArea ? info.Occurrences : 1;
      if (batcher.MustFlushBefore(count)) {
        SetTagValues(batcher.Limit(), batch);
        batch.clear();
        batcher.Restart(count);
      } else {
        batcher.Add(count);
      }
      batch.push_back(BatchField{recordId, fieldId, info, &values});
    }
  }
  if (!batch.empty()) SetTagValues(batcher.Pending(), batch);
}

void DataAccess::SetTagValues(const TagValuesByNames& tagValueList) {
  platform::RunServiceOperation([&] {
    // Values gathered by record id and field tag, so that two names of one
    // field, and two spellings of one record, add up.
    TagValuesByIds byIds;
    for (const auto& [recordName, fields] : tagValueList) {
      const int32_t recordId = GetRecordID(recordName);
      for (const auto& [fieldName, values] : fields) {
        const int32_t fieldId = GetAttributeID(fieldName);
        if (recordId > 0 && fieldId > 0) {
          auto& gathered = byIds[recordId][fieldId];
          gathered.insert(gathered.end(), values.begin(), values.end());
          continue;
        }
        std::string message = "Failed because";
        if (recordId <= 0) message = fmt::format("{0} record name {1} is invalid", message, recordName);
        if (fieldId <= 0) message = fmt::format("{0} and field name {1} is invalid", message, fieldName);
        ProcessLog::Instance().WriteLine(message, false);
      }
    }
    if (!byIds.empty()) WriteByIds(byIds);
  });
}

void DataAccess::SetTagValues(int32_t maxcount, const FieldBatch& batch) {
  std::vector<IDANDFT> items;
  items.reserve(static_cast<std::size_t>(std::max(maxcount, 0)));
  for (const BatchField& field : batch) {
    if (field.occurrences.IsRepeatArea) {
      for (int32_t k = 1; k <= field.occurrences.Occurrences; ++k) {
        items.push_back(IDANDFT{field.recordId, field.fieldId + k});
      }
    } else {
      items.push_back(IDANDFT{field.recordId, field.fieldId});
    }
  }

  BatchLayout layout = LayOut(items);
  if (layout.Empty()) return;
  ValueBatch values;
  for (const BatchField& field : batch) values[field.recordId][field.fieldId] = field.values;
  for (const auto& entry : layout.Entries()) {
    SetDataBufferWithTagValue(layout.Buffer() + entry.offset, entry.item, entry.format.type, values, entry.text);
  }
  std::vector<ERRBLOCK> errors(std::max<std::size_t>(layout.Entries().size(), 1));
  int16_t done = 0;
  MWDBVALS(layout.CallCount(), layout.CallItems().data(), layout.CallTypes().data(), layout.Buffer(), &done,
           errors.data());
  if (done < layout.CallCount()) {
    RaiseBatchFailure("Failed to set value for {0}, {1} with error {2}, {3}", "SetTagValues", layout,
                      std::max<int16_t>(done, 0), errors);
  }
}

}  // namespace vantrel::access
