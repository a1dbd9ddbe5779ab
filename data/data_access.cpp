#include "data/data_access.h"

#include <algorithm>
#include <optional>
#include <type_traits>
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

// How many values a field of a batch reads or writes.
std::size_t ValueCount(const MaxOcurrenceInfo& info) {
  return info.IsRepeatArea ? static_cast<std::size_t>(std::max(info.Occurrences, 0)) : 1;
}

// The values a write batch gives for field tag `tag` of the record of
// batch[own]; that record's fields stand together around it.
template <typename Batch>
const TagValues* GivenInBatch(const Batch& batch, std::size_t own, int32_t tag) {
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

// Hands a container the value that make returns where it constructs its
// element (list.emplace_back(MadeInPlace{make})): the value is made there,
// not moved there.
template <typename Make>
struct MadeInPlace {
  Make make;
  operator std::invoke_result_t<Make&>() { return make(); }
};
template <typename Make>
MadeInPlace(Make) -> MadeInPlace<Make>;  // for compilers without deduction from aggregates

}  // namespace

// Files a read's values into a TagValuesByIds. Consecutive values mostly
// belong to one record: its map is kept at hand. A new record's map is
// sized to the record's fields, a new list to the field's values.
class DataAccess::AnswerByIds final : public ValueSink {
 public:
  explicit AnswerByIds(TagValuesByIds& result) : result_(result) {}

  TagValues& ListOf(const BatchField& field) override {
    // Only this filer adds records, so the map at hand has not moved.
    if (record_ == nullptr || recordId_ != field.recordId) {
      record_ = &AddRecord(field);
      recordId_ = field.recordId;
    }
    // A new record of one field holds its list already, first and only.
    TagValues& list = record_->size() == 1 && record_->begin()->first == field.fieldId
                          ? record_->begin().value()
                          : record_->try_emplace(field.fieldId).first.value();
    // A list of one value sizes itself on its first insertion.
    const std::size_t count = ValueCount(field.occurrences);
    if (count > 1 && list.capacity() == 0) list.reserve(count);
    return list;
  }

 private:
  TagValuesById& AddRecord(const BatchField& field) {
    if (field.recordFields > 1) {
      auto [record, added] = result_.try_emplace(field.recordId);
      if (added) record.value().reserve(field.recordFields);
      return record.value();
    }
    // Records of one field mostly ask for the same one: their maps are
    // copies of a map holding it with an empty list, which costs less than
    // growing each from nothing.
    if (oneField_.empty() || oneField_.begin()->first != field.fieldId) {
      oneField_.clear();
      oneField_.try_emplace(field.fieldId);
    }
    return result_.try_emplace(field.recordId, oneField_).first.value();
  }

  TagValuesByIds& result_;
  int32_t recordId_ = 0;
  TagValuesById* record_ = nullptr;
  TagValuesById oneField_;
};

// Keeps the values of a read by names, by field, until the names are asked
// (after the whole read): records in the order their first value came, and
// each record's fields in the same order, as AnswerByIds would hold them.
class DataAccess::CollectedRead final : public ValueSink {
 public:
  struct Field {
    int32_t fieldId = 0;
    TagValues values;
    uint32_t next = kNone;  // the record's next field
    bool filed = false;
  };
  struct Record {
    int32_t recordId = 0;
    uint32_t first = kNone;
    uint32_t last = kNone;
    uint32_t fields = 0;
    bool filed = false;
  };
  static constexpr uint32_t kNone = UINT32_MAX;

  // Room for the ordinals of a read of at most `records` records and `fields` fields.
  CollectedRead(std::size_t records, std::size_t fields) : records_(records), fields_(fields) {
    order_.reserve(records);
  }

  TagValues& ListOf(const BatchField& field) override {
    Field& filed = fields_.at(field.ordinal);
    if (filed.filed) return filed.values;
    filed.filed = true;
    filed.fieldId = field.fieldId;
    if (const std::size_t count = ValueCount(field.occurrences); count > 1) filed.values.reserve(count);
    Record& record = records_.at(field.recordOrdinal);
    if (!record.filed) {
      record.filed = true;
      record.recordId = field.recordId;
      order_.push_back(field.recordOrdinal);
    }
    (record.last == kNone ? record.first : fields_[record.last].next) = field.ordinal;
    record.last = field.ordinal;
    ++record.fields;
    return filed.values;
  }

  // Records in order, and a record's fields by following Field::next from Record::first.
  std::span<const uint32_t> Order() const { return order_; }
  const Record& RecordAt(uint32_t ordinal) const { return records_[ordinal]; }
  Field& FieldAt(uint32_t ordinal) { return fields_[ordinal]; }

 private:
  std::vector<Record> records_;
  std::vector<Field> fields_;
  std::vector<uint32_t> order_;
};

DataAccess::DataAccess() : Session() {}
DataAccess::DataAccess(bool enableVntCallback) : Session(enableVntCallback) {}

// --- Reads ------------------------------------------------------------------

TagValuesByIds DataAccess::GetTagValues(const TagsById& tagList) {
  return platform::RunServiceOperation([&] {
    const auto& records = tagList.values_container();
    TagValuesByIds result;
    result.reserve(records.size());
    AnswerByIds answer(result);
    RequestState state;
    ReadByIds(
        records.size(), [&](std::size_t r) { return RecordFields{records[r].first, records[r].second}; }, state,
        answer);
    return result;
  });
}

template <typename RecordAt>
void DataAccess::ReadByIds(std::size_t count, const RecordAt& recordAt, RequestState& state, ValueSink& answer) {
  MaxOcurrenceInfoList occurrences;
  FieldBatch batch;
  batch.reserve(std::min<std::size_t>(count, kBatchSize));
  Batcher batcher(kBatchSize);
  uint32_t ordinal = 0;
  // Adds a field of the record at position r, which asks for recordFields fields.
  const auto add = [&](const RecordFields& record, int32_t fieldId, const MaxOcurrenceInfo& info,
                       uint32_t recordFields, std::size_t r) {
    if (batcher.MustFlushBefore(info.Occurrences)) {
      GetTagValues(batcher.Limit(), answer, batch, state);
      batch.clear();
      batcher.Restart(info.Occurrences);
    } else {
      batcher.Add(info.Occurrences);
    }
    batch.push_back(
        BatchField{record.recordId, fieldId, info, nullptr, recordFields, ordinal++, static_cast<uint32_t>(r)});
  };
  for (std::size_t r = 0; r < count; ++r) {
    const RecordFields record = recordAt(r);
    if (record.fieldIds.size() == 1) {  // the most common request, without a list
      const int32_t fieldId = record.fieldIds[0];
      add(record, fieldId, MaximumOcurrencesOf(record.recordId, fieldId, state.memo), 1, r);
      continue;
    }
    ListMaximumOcurrences(record.recordId, record.fieldIds, state.memo, occurrences);
    const auto recordFields = static_cast<uint32_t>(occurrences.size());
    for (const auto& [fieldId, info] : occurrences) add(record, fieldId, info, recordFields, r);
  }
  if (!batch.empty()) GetTagValues(batcher.Pending(), answer, batch, state);
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
    RequestState state;
    CollectedRead read(names.records.size(), names.fieldIds.size());
    ReadByIds(names.records.size(), [&](std::size_t r) { return names.records[r]; }, state, read);
    result.reserve(read.Order().size());
    // A later field of the same name takes the place of an earlier one.
    const auto file = [](TagValuesByName& byName, std::string&& fieldName, TagValues& values) {
      auto [filed, added] = byName.try_emplace(std::move(fieldName), std::move(values));
      if (!added) filed.value() = std::move(values);
    };
    TagValuesByName oneField;  // records of one field get copies of it (see AnswerByIds)
    for (const uint32_t r : read.Order()) {
      const CollectedRead::Record& record = read.RecordAt(r);
      std::string recordName = NameOfRecord(record.recordId);
      if (record.fields == 1) {
        CollectedRead::Field& field = read.FieldAt(record.first);
        std::optional<std::string> fieldName = NameOfField(record.recordId, field.fieldId, state.memo);
        if (!fieldName) {
          result.try_emplace(std::move(recordName));
          continue;
        }
        if (oneField.empty() || oneField.begin()->first != *fieldName) {
          oneField.clear();
          oneField.try_emplace(*fieldName);
        }
        auto [named, added] = result.try_emplace(std::move(recordName), oneField);
        if (added) {
          named.value().begin().value() = std::move(field.values);
        } else {
          file(named.value(), std::move(*fieldName), field.values);
        }
        continue;
      }
      auto [named, added] = result.try_emplace(std::move(recordName));
      TagValuesByName& byName = named.value();
      if (added) byName.reserve(record.fields);
      for (uint32_t f = record.first; f != CollectedRead::kNone; f = read.FieldAt(f).next) {
        CollectedRead::Field& field = read.FieldAt(f);
        if (auto fieldName = NameOfField(record.recordId, field.fieldId, state.memo)) {
          file(byName, std::move(*fieldName), field.values);
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
  std::vector<int16_t> types(items.size());
  typeErrors.assign(std::max<std::size_t>(items.size(), 1), ERRBLOCK{});
  GETDATATYPES(static_cast<int32_t>(items.size()), items.data(), types.data(), typeErrors.data());
  FieldDefinitionMemo memo;
  std::vector<SizeAndType> formats;
  ChooseFormats(items, memo, formats);
  return BatchLayout(items, types, std::span(typeErrors.data(), items.size()), formats);
}

void DataAccess::LayOut(RequestState& state) {
  const std::span<const IDANDFT> items = state.items;
  state.reportedTypes.assign(items.size(), 0);
  state.typeErrors.assign(std::max<std::size_t>(items.size(), 1), ERRBLOCK{});
  GETDATATYPES(static_cast<int32_t>(items.size()), items.data(), state.reportedTypes.data(), state.typeErrors.data());
  ChooseFormats(items, state.memo, state.formats);
  state.layout.Assign(items, state.reportedTypes, std::span(state.typeErrors.data(), items.size()), state.formats);
}

void DataAccess::ChooseFormats(std::span<const IDANDFT> items, FieldDefinitionMemo& memo,
                               std::vector<SizeAndType>& formats) {
  formats.resize(items.size());
  // Consecutive items mostly belong to one record: its definition is asked
  // once for them.
  // So do items of one field of one definition, mostly, for their format.
  const FieldDefinitionMemo::Definition* definition = nullptr;
  const FieldDefinitionMemo::Definition* formatDefinition = nullptr;
  int32_t formatTag = 0;
  SizeAndType format;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const IDANDFT& item = items[i];
    if (definition == nullptr || item.ID != items[i - 1].ID) {
      definition = &FieldDefinitionsFor(GetDefinitionID(item.ID), memo);
    }
    if (definition != formatDefinition || item.FT != formatTag) {
      format = FormatOf(definition->Find(item.FT), item.ID, item.FT);
      formatDefinition = definition;
      formatTag = item.FT;
    }
    formats[i] = format;
  }
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

void DataAccess::ExpandItems(const FieldBatch& batch, int32_t maxcount, bool knownOnly, RequestState& state) {
  std::vector<IDANDFT>& items = state.items;
  std::vector<std::size_t>& fieldOf = state.fieldOf;
  items.clear();
  fieldOf.clear();
  items.reserve(static_cast<std::size_t>(std::max(maxcount, 0)));
  fieldOf.reserve(items.capacity());
  for (std::size_t f = 0; f < batch.size(); ++f) {
    const BatchField& field = batch[f];
    const MaxOcurrenceInfo& info = field.occurrences;
    if (knownOnly && info.ErrorType != MaxOccurrenceError::NoError) continue;
    if (!info.IsRepeatArea) {
      items.push_back(IDANDFT{field.recordId, field.fieldId});
      fieldOf.push_back(f);
      continue;
    }
    for (int32_t k = 1; k <= info.Occurrences; ++k) {
      items.push_back(IDANDFT{field.recordId, field.fieldId + k});
      fieldOf.push_back(f);
    }
  }
}

void DataAccess::GetTagValues(int32_t maxcount, ValueSink& tagValuesByIds, const FieldBatch& batch,
                              RequestState& state) {
  for (const BatchField& field : batch) {
    if (field.occurrences.ErrorType != MaxOccurrenceError::NoError) {
      tagValuesByIds.ListOf(field).push_back(OccurrenceErrorValue());
    }
  }
  // Per item, its field of the batch: an expanded occurrence files its value
  // under its whole field, and only that item does (the same tag asked for
  // by itself, or in another record, keeps its own key).
  ExpandItems(batch, maxcount, true, state);
  const std::vector<std::size_t>& fieldOf = state.fieldOf;
  LayOut(state);
  BatchLayout& layout = state.layout;
  if (layout.Empty()) return;
  // A field with an item the database would not type is left out whole: the
  // rest of a repeat area's list would stand at the wrong occurrences.
  std::vector<bool>& whole = state.whole;
  whole.clear();
  if (layout.Entries().size() < state.items.size()) {
    const std::vector<bool> sent = layout.Sent();
    whole.assign(batch.size(), true);
    for (std::size_t i = 0; i < state.items.size(); ++i) whole[fieldOf[i]] = whole[fieldOf[i]] && sent[i];
  }

  std::vector<ERRBLOCK>& errors = state.errors;
  errors.assign(std::max<std::size_t>(layout.Entries().size(), 1), ERRBLOCK{});
  int16_t done = 0;
  MRDBVALS(layout.CallCount(), layout.CallItems().data(), layout.CallTypes().data(), layout.Buffer(), &done,
           errors.data());

  const auto read = std::clamp<int16_t>(done, 0, layout.CallCount());
  for (int16_t k = 0; k < read; ++k) {
    const BatchLayout::Entry& entry = layout.Entries()[static_cast<std::size_t>(k)];
    const std::size_t f = fieldOf[entry.index];
    if (!whole.empty() && !whole[f]) continue;
    tagValuesByIds.ListOf(batch[f]).emplace_back(MadeInPlace{
        [&] { return ConvertDataBufferToTagValue(entry.format.type, layout.Buffer() + entry.offset, entry.text); }});
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
  RequestState state;
  MaxOcurrenceInfoList occurrences;
  FieldBatch batch;
  batch.reserve(std::min<std::size_t>(tagValuesByIds.size(), kBatchSize));
  Batcher batcher(kBatchSize);
  FieldIds fieldIds;
  for (const auto& [recordId, fields] : tagValuesByIds) {
    fieldIds.clear();
    for (const auto& entry : fields) fieldIds.push_back(entry.first);
    ListMaximumOcurrences(recordId, fieldIds, state.memo, occurrences);
    // The record's field tags are distinct: one entry each, in their order.
    auto occurrence = occurrences.begin();
    for (const auto& [fieldId, values] : fields) {
      MaxOcurrenceInfo info = (occurrence++)->info;
      if (info.IsRepeatArea && static_cast<int32_t>(values.size()) < info.Occurrences) {
        info.Occurrences = static_cast<int32_t>(values.size());  // write only the occurrences given
      }
      const int32_t count = info.IsRepeatArea ? info.Occurrences : 1;
      if (batcher.MustFlushBefore(count)) {
        SetTagValues(batcher.Limit(), batch, state);
        batch.clear();
        batcher.Restart(count);
      } else {
        batcher.Add(count);
      }
      batch.push_back(BatchField{recordId, fieldId, info, &values});
    }
  }
  if (!batch.empty()) SetTagValues(batcher.Pending(), batch, state);
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

void DataAccess::SetTagValues(int32_t maxcount, const FieldBatch& batch, RequestState& state) {
  ExpandItems(batch, maxcount, false, state);
  LayOut(state);
  BatchLayout& layout = state.layout;
  RequireWholeWrite(batch, state.items, layout, state.typeErrors);
  if (layout.Empty()) return;
  for (const auto& entry : layout.Entries()) {
    const std::size_t own = state.fieldOf[entry.index];
    const TagValue& chosen = ValueFor(entry.item, [&](int32_t tag) { return GivenInBatch(batch, own, tag); });
    UpdateDataBufferWithTagValue(layout.Buffer() + entry.offset, entry.format.type, chosen, entry.text);
  }
  std::vector<ERRBLOCK>& errors = state.errors;
  errors.assign(std::max<std::size_t>(layout.Entries().size(), 1), ERRBLOCK{});
  int16_t done = 0;
  MWDBVALS(layout.CallCount(), layout.CallItems().data(), layout.CallTypes().data(), layout.Buffer(), &done,
           errors.data());
  if (done < layout.CallCount()) {
    RaiseBatchFailure("Failed to set value for {0}, {1} with error {2}, {3}", "SetTagValues", layout,
                      std::max<int16_t>(done, 0), errors);
  }
}

}  // namespace vantrel::access
