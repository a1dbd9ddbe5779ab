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

// Files a read's values by record and field. Consecutive values mostly
// belong to one record: its map is kept at hand. A new record's map is sized
// to the record's fields, a new list to the field's values.
class ResultFiler {
 public:
  explicit ResultFiler(TagValuesByIds& result) : result_(result) {}

  TagValues& ListOf(int32_t recordId, int32_t fieldId, std::size_t recordFields, std::size_t values) {
    // Only this filer adds records while it is used, so the map at hand
    // has not moved.
    if (record_ == nullptr || recordId_ != recordId) {
      auto [record, added] = result_.try_emplace(recordId);
      record_ = &record.value();
      recordId_ = recordId;
      if (added) record_->reserve(recordFields);
    }
    auto [field, added] = record_->try_emplace(fieldId);
    if (added) field.value().reserve(values);
    return field.value();
  }

 private:
  TagValuesByIds& result_;
  int32_t recordId_ = 0;
  TagValuesById* record_ = nullptr;
};

// How many values a field of a batch reads or writes.
std::size_t ValueCount(const MaxOcurrenceInfo& info) {
  return info.IsRepeatArea ? static_cast<std::size_t>(std::max(info.Occurrences, 0)) : 1;
}

// The values a write batch gives for field tag `tag` of the record of
// batch[own]; that record's fields stand together around it.
template <typename FieldBatch>
const TagValues* GivenInBatch(const FieldBatch& batch, std::size_t own, int32_t tag) {
  if (batch[own].fieldId == tag) return batch[own].values;
  const int32_t recordId = batch[own].recordId;
  for (std::size_t f = own; f-- > 0 && batch[f].recordId == recordId;) {
    if (batch[f].fieldId == tag) return batch[f].values;
  }
  for (std::size_t f = own + 1; f < batch.size() && batch[f].recordId == recordId; ++f) {
    if (batch[f].fieldId == tag) return batch[f].values;
  }
  return nullptr;
}

}  // namespace

DataAccess::DataAccess() : Session() {}
DataAccess::DataAccess(bool enableVntCallback) : Session(enableVntCallback) {}

// --- Reads ------------------------------------------------------------------

TagValuesByIds DataAccess::GetTagValues(const TagsById& tagList) {
  return platform::RunServiceOperation([&] {
    std::vector<RecordFields> request;
    request.reserve(tagList.size());
    for (const auto& [recordId, fieldIds] : tagList) request.push_back({recordId, fieldIds});
    FieldDefinitionMemo memo;
    return ReadByIds(request, memo);
  });
}

TagValuesByIds DataAccess::ReadByIds(std::span<const RecordFields> request, FieldDefinitionMemo& memo) {
  TagValuesByIds result;
  result.reserve(request.size());
  MaxOcurrenceInfoList occurrences;
  FieldBatch batch;
  Batcher batcher(kBatchSize);
  for (const RecordFields& record : request) {
    ListMaximumOcurrences(record.recordId, record.fieldIds, memo, occurrences);
    const auto recordFields = static_cast<uint32_t>(occurrences.size());
    for (const auto& [fieldId, info] : occurrences) {
      if (batcher.MustFlushBefore(info.Occurrences)) {
        GetTagValues(batcher.Limit(), result, batch, memo);
        batch.clear();
        batcher.Restart(info.Occurrences);
      } else {
        batcher.Add(info.Occurrences);
      }
      batch.push_back(BatchField{record.recordId, fieldId, info, nullptr, recordFields});
    }
  }
  if (!batch.empty()) GetTagValues(batcher.Pending(), result, batch, memo);
  return result;
}

DataAccess::ResolvedNames DataAccess::ResolveNames(const contracts::Tags& tagList) {
  // Each record gets a slot in the order first named; its field tags are
  // then gathered slot by slot, each slot's in the order given.
  contracts::OrderedMap<int32_t, uint32_t> slotOf;
  slotOf.reserve(tagList.size());
  std::vector<std::pair<uint32_t, int32_t>> resolved;  // (slot, field tag)
  std::vector<uint32_t> fieldsOfSlot;
  for (const auto& [recordName, fieldNames] : tagList) {
    const int32_t recordId = GetRecordID(recordName);
    if (recordId <= 0) continue;
    const uint32_t slot = slotOf.try_emplace(recordId, static_cast<uint32_t>(slotOf.size())).first->second;
    if (slot == fieldsOfSlot.size()) fieldsOfSlot.push_back(0);
    for (const auto& fieldName : fieldNames) {
      if (const int32_t fieldId = GetAttributeID(fieldName); fieldId > 0) {
        resolved.emplace_back(slot, fieldId);
        ++fieldsOfSlot[slot];
      }
    }
  }
  ResolvedNames names;
  names.fieldIds.resize(resolved.size());
  names.records.reserve(slotOf.size());
  std::vector<std::size_t> next(fieldsOfSlot.size());
  std::size_t start = 0;
  for (const auto& [recordId, slot] : slotOf) {
    names.records.push_back({recordId, std::span<const int32_t>(names.fieldIds.data() + start, fieldsOfSlot[slot])});
    next[slot] = start;
    start += fieldsOfSlot[slot];
  }
  for (const auto& [slot, fieldId] : resolved) names.fieldIds[next[slot]++] = fieldId;
  return names;
}

TagValuesByNames DataAccess::GetTagValues(const contracts::Tags& tagList) {
  return platform::RunServiceOperation([&] {
    const ResolvedNames names = ResolveNames(tagList);
    TagValuesByNames result;
    if (names.records.empty()) return result;
    FieldDefinitionMemo memo;
    TagValuesByIds read = ReadByIds(names.records, memo);
    result.reserve(read.size());
    for (auto record = read.begin(); record != read.end(); ++record) {
      auto [named, added] = result.try_emplace(NameOfRecord(record->first));
      TagValuesByName& byName = named.value();
      if (added) byName.reserve(record->second.size());
      for (auto field = record.value().begin(); field != record.value().end(); ++field) {
        if (auto fieldName = NameOfField(record->first, field->first, memo)) {
          byName[std::move(*fieldName)] = std::move(field.value());
        }
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
std::optional<std::string> DataAccess::NameOfField(int32_t recordId, int32_t fieldId, FieldDefinitionMemo& memo) {
  std::string name = GetAttributeName(recordId, fieldId, memo);
  if (!name.empty()) return name;
  const int32_t definitionId = DefinitionOf(recordId);
  if (definitionId > 0 && FieldDefinitionsFor(definitionId, memo).Find(fieldId) == nullptr) return std::nullopt;
  throw platform::ApplicationException(fmt::format("Failed to get the name of field 0x{0:X} of record {1}.",
                                                   static_cast<uint32_t>(fieldId), recordId));
}

BatchLayout DataAccess::LayOut(std::span<const IDANDFT> items, std::vector<ERRBLOCK>& typeErrors) {
  FieldDefinitionMemo memo;
  return LayOut(items, typeErrors, memo);
}

BatchLayout DataAccess::LayOut(std::span<const IDANDFT> items, std::vector<ERRBLOCK>& typeErrors,
                               FieldDefinitionMemo& memo) {
  std::vector<int16_t> types(items.size());
  typeErrors.assign(std::max<std::size_t>(items.size(), 1), ERRBLOCK{});
  GETDATATYPES(static_cast<int32_t>(items.size()), items.data(), types.data(), typeErrors.data());
  // Consecutive items mostly belong to one record: its definition is asked
  // once for them.
  std::optional<int32_t> lastRecord;
  const FieldDefinitionMemo::Definition* definition = nullptr;
  return BatchLayout(items, types, std::span(typeErrors.data(), items.size()), [&](const IDANDFT& item) {
    if (lastRecord != item.ID) {
      lastRecord = item.ID;
      definition = &FieldDefinitionsFor(GetDefinitionID(item.ID), memo);
    }
    return FormatOf(definition->Find(item.FT), item.ID, item.FT);
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

std::vector<std::size_t> DataAccess::ExpandItems(const FieldBatch& batch, int32_t maxcount, bool knownOnly,
                                                 std::vector<IDANDFT>& items) {
  items.clear();
  items.reserve(static_cast<std::size_t>(std::max(maxcount, 0)));
  std::vector<std::size_t> fieldOf;
  fieldOf.reserve(items.capacity());
  for (std::size_t f = 0; f < batch.size(); ++f) {
    const BatchField& field = batch[f];
    const MaxOcurrenceInfo& info = field.occurrences;
    if (knownOnly && info.ErrorType != MaxOccurrenceError::NoError) continue;
    if (info.IsRepeatArea) {
      for (int32_t k = 1; k <= info.Occurrences; ++k) items.push_back(IDANDFT{field.recordId, field.fieldId + k});
    } else {
      items.push_back(IDANDFT{field.recordId, field.fieldId});
    }
    fieldOf.resize(items.size(), f);
  }
  return fieldOf;
}

void DataAccess::GetTagValues(int32_t maxcount, TagValuesByIds& tagValuesByIds, const FieldBatch& batch,
                              FieldDefinitionMemo& memo) {
  ResultFiler filer(tagValuesByIds);
  for (const BatchField& field : batch) {
    if (field.occurrences.ErrorType != MaxOccurrenceError::NoError) {
      filer.ListOf(field.recordId, field.fieldId, field.recordFields, 1).push_back(OccurrenceErrorValue());
    }
  }
  // Per item, its field of the batch: an expanded occurrence files its value
  // under its whole field, and only that item does (the same tag asked for
  // by itself, or in another record, keeps its own key).
  std::vector<IDANDFT> items;
  const std::vector<std::size_t> fieldOf = ExpandItems(batch, maxcount, true, items);

  std::vector<ERRBLOCK> typeErrors;
  BatchLayout layout = LayOut(items, typeErrors, memo);
  if (layout.Empty()) return;
  // A field with an item the database would not type is left out whole: the
  // rest of a repeat area's list would stand at the wrong occurrences.
  std::vector<bool> whole;
  if (layout.Entries().size() < items.size()) {
    const std::vector<bool> sent = layout.Sent();
    whole.assign(batch.size(), true);
    for (std::size_t i = 0; i < items.size(); ++i) whole[fieldOf[i]] = whole[fieldOf[i]] && sent[i];
  }

  std::vector<ERRBLOCK> errors(std::max<std::size_t>(layout.Entries().size(), 1));
  int16_t done = 0;
  MRDBVALS(layout.CallCount(), layout.CallItems().data(), layout.CallTypes().data(), layout.Buffer(), &done,
           errors.data());

  const auto read = std::clamp<int16_t>(done, 0, layout.CallCount());
  for (int16_t k = 0; k < read; ++k) {
    const BatchLayout::Entry& entry = layout.Entries()[static_cast<std::size_t>(k)];
    const std::size_t f = fieldOf[entry.index];
    if (!whole.empty() && !whole[f]) continue;
    const BatchField& field = batch[f];
    filer.ListOf(entry.item.ID, field.fieldId, field.recordFields, ValueCount(field.occurrences))
        .push_back(ConvertDataBufferToTagValue(entry.format.type, layout.Buffer() + entry.offset, entry.text));
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
  if (layout.Entries().size() == items.size()) return;
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
  FieldDefinitionMemo memo;
  MaxOcurrenceInfoList occurrences;
  FieldBatch batch;
  Batcher batcher(kBatchSize);
  FieldIds fieldIds;
  for (const auto& [recordId, fields] : tagValuesByIds) {
    fieldIds.clear();
    for (const auto& entry : fields) fieldIds.push_back(entry.first);
    ListMaximumOcurrences(recordId, fieldIds, memo, occurrences);
    // The record's field tags are distinct: one entry each, in their order.
    auto occurrence = occurrences.begin();
    for (const auto& [fieldId, values] : fields) {
      MaxOcurrenceInfo info = (occurrence++)->info;
      if (info.IsRepeatArea && static_cast<int32_t>(values.size()) < info.Occurrences) {
        info.Occurrences = static_cast<int32_t>(values.size());  // write only the occurrences given
      }
      const int32_t count = info.IsRepeatArea ? info.Occurrences : 1;
      if (batcher.MustFlushBefore(count)) {
        SetTagValues(batcher.Limit(), batch, memo);
        batch.clear();
        batcher.Restart(count);
      } else {
        batcher.Add(count);
      }
      batch.push_back(BatchField{recordId, fieldId, info, &values});
    }
  }
  if (!batch.empty()) SetTagValues(batcher.Pending(), batch, memo);
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

void DataAccess::SetTagValues(int32_t maxcount, const FieldBatch& batch, FieldDefinitionMemo& memo) {
  std::vector<IDANDFT> items;
  const std::vector<std::size_t> fieldOf = ExpandItems(batch, maxcount, false, items);
  std::vector<ERRBLOCK> typeErrors;
  BatchLayout layout = LayOut(items, typeErrors, memo);
  RequireWholeWrite(batch, items, layout, typeErrors);
  if (layout.Empty()) return;
  for (const auto& entry : layout.Entries()) {
    const std::size_t own = fieldOf[entry.index];
    const TagValue& chosen = ValueFor(entry.item, [&](int32_t tag) { return GivenInBatch(batch, own, tag); });
    UpdateDataBufferWithTagValue(layout.Buffer() + entry.offset, entry.format.type, chosen, entry.text);
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
