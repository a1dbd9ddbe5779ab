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
      TagValuesByName& byName = result[NameOfRecord(record->first)];
      for (auto field = record.value().begin(); field != record.value().end(); ++field) {
        if (auto fieldName = NameOfField(record->first, field->first)) byName[*fieldName] = std::move(field.value());
      }
    }
    return result;
  });
}

TagValuesByNames DataAccess::ReadWithNewSession(const contracts::Tags& tags) {
  DataAccess reader;
  return reader.GetTagValues(tags);
}

TagValuesByNames DataAccess::ReadCurrentValues(const contracts::Tags& tags) { return ReadWithNewSession(tags); }

// The names a read by names files its values under. A record that was read,
// and a field of its definition, have a name: an empty one means the
// database failed to give it, and filing under it would merge records (or
// fields) under one key.
std::string DataAccess::NameOfRecord(int32_t recordId) {
  std::string name = GetRecordName(recordId);
  if (name.empty()) {
    throw platform::ApplicationException(fmt::format("Failed to get the name of record {0}.", recordId));
  }
  return name;
}

// A field that the record's definition lacks has no name there: its
// placeholder is left out, as a field name that resolves to nothing is.
std::optional<std::string> DataAccess::NameOfField(int32_t recordId, int32_t fieldId) {
  std::string name = GetAttributeName(recordId, fieldId);
  if (!name.empty()) return name;
  const int32_t definitionId = DefinitionOf(recordId);
  if (definitionId > 0 && FindFieldDefinition(GetFieldDefinitions(definitionId), fieldId) == nullptr) {
    return std::nullopt;
  }
  throw platform::ApplicationException(fmt::format("Failed to get the name of field 0x{0:X} of record {1}.",
                                                   static_cast<uint32_t>(fieldId), recordId));
}

BatchLayout DataAccess::LayOut(std::span<const IDANDFT> items, std::vector<ERRBLOCK>& typeErrors) {
  std::vector<int16_t> types(items.size());
  typeErrors.assign(std::max<std::size_t>(items.size(), 1), ERRBLOCK{});
  GETDATATYPES(static_cast<int32_t>(items.size()), items.data(), types.data(), typeErrors.data());
  // Consecutive items mostly belong to one record: its definition is asked
  // once, and its field list taken once (also when it is not cached).
  std::optional<int32_t> lastRecord;
  FieldDefinitionsPtr definitions;
  return BatchLayout(items, types, std::span(typeErrors.data(), items.size()), [&](const IDANDFT& item) {
    if (lastRecord != item.ID) {
      lastRecord = item.ID;
      definitions = GetFieldDefinitions(GetDefinitionID(item.ID));
    }
    return FormatOf(FindFieldDefinition(definitions, item.FT).get(), item.ID, item.FT);
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

std::vector<std::size_t> DataAccess::ExpandItems(const FieldBatch& batch, int32_t maxcount,
                                                 std::vector<IDANDFT>& items) {
  items.clear();
  items.reserve(static_cast<std::size_t>(std::max(maxcount, 0)));
  std::vector<std::size_t> fieldOf;
  fieldOf.reserve(items.capacity());
  for (std::size_t f = 0; f < batch.size(); ++f) {
    const BatchField& field = batch[f];
    const MaxOcurrenceInfo& info = field.occurrences;
    if (info.IsRepeatArea) {
      for (int32_t k = 1; k <= info.Occurrences; ++k) items.push_back(IDANDFT{field.recordId, field.fieldId + k});
    } else {
      items.push_back(IDANDFT{field.recordId, field.fieldId});
    }
    fieldOf.resize(items.size(), f);
  }
  return fieldOf;
}

void DataAccess::GetTagValues(int32_t maxcount, TagValuesByIds& tagValuesByIds, const FieldBatch& batch) {
  FieldBatch known;
  for (const BatchField& field : batch) {
    if (field.occurrences.ErrorType == MaxOccurrenceError::NoError) {
      known.push_back(field);
    } else {
      tagValuesByIds[field.recordId][field.fieldId].push_back(OccurrenceErrorValue());
    }
  }
  // Per item, its field of the batch: an expanded occurrence files its value
  // under its whole field, and only that item does (the same tag asked for
  // by itself, or in another record, keeps its own key).
  std::vector<IDANDFT> items;
  const std::vector<std::size_t> fieldOf = ExpandItems(known, maxcount, items);

  std::vector<ERRBLOCK> typeErrors;
  BatchLayout layout = LayOut(items, typeErrors);
  if (layout.Empty()) return;
  // A field with an item the database would not type is left out whole: the
  // rest of a repeat area's list would stand at the wrong occurrences.
  const std::vector<bool> sent = layout.Sent();
  std::vector<bool> whole(known.size(), true);
  for (std::size_t i = 0; i < items.size(); ++i) whole[fieldOf[i]] = whole[fieldOf[i]] && sent[i];

  std::vector<ERRBLOCK> errors(std::max<std::size_t>(layout.Entries().size(), 1));
  int16_t done = 0;
  MRDBVALS(layout.CallCount(), layout.CallItems().data(), layout.CallTypes().data(), layout.Buffer(), &done,
           errors.data());

  const auto read = std::clamp<int16_t>(done, 0, layout.CallCount());
  for (int16_t k = 0; k < read; ++k) {
    const BatchLayout::Entry& entry = layout.Entries()[static_cast<std::size_t>(k)];
    const std::size_t field = fieldOf[entry.index];
    if (!whole[field]) continue;
    tagValuesByIds[entry.item.ID][known[field].fieldId].push_back(
        ConvertDataBufferToTagValue(entry.format.type, layout.Buffer() + entry.offset, entry.text));
  }
  if (done < layout.CallCount()) {
    RaiseBatchFailure("Failed to get value for {0}, {1} with error {2}, {3}", "GetTagValues", layout, read, errors);
  }
}

// --- Writes -----------------------------------------------------------------

void DataAccess::RequireWholeWrite(const FieldBatch& batch, std::span<const IDANDFT> items, const BatchLayout& layout,
                                   std::span<const ERRBLOCK> typeErrors) {
  // Without its occurrences a repeat-area field would be written as one
  // item, occurrence 1 only.
  for (const BatchField& field : batch) {
    if (field.occurrences.ErrorType != MaxOccurrenceError::NoError) {
      throw platform::ApplicationException(
          fmt::format("Failed to find the number of occurrences of field 0x{0:X} of record {1}.",
                      static_cast<uint32_t>(field.fieldId), field.recordId));
    }
  }
  const std::vector<bool> sent = layout.Sent();
  const auto refused = static_cast<std::size_t>(std::find(sent.begin(), sent.end(), false) - sent.begin());
  if (refused == items.size()) return;
  const IDANDFT& item = items[refused];
  LogDorvikError(typeErrors[refused], "SetTagValues");
  throw platform::ApplicationException(fmt::format("Failed to set value for {0}, {1} with error {2}",
                                                   GetRecordName(item.ID), GetAttributeName(item.ID, item.FT),
                                                   platform::Trim(GenerateVntErrorMessage(typeErrors[refused]))));
}

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
  ExpandItems(batch, maxcount, items);
  std::vector<ERRBLOCK> typeErrors;
  BatchLayout layout = LayOut(items, typeErrors);
  RequireWholeWrite(batch, items, layout, typeErrors);
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
