// The process-wide field definition cache and the repeat-area questions
// answered on top of it.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "session/session.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::FieldDefinition;
using contracts::FieldDefinitions;
using contracts::FieldReferenceTypeEnum;
using contracts::TypeCode;

constexpr std::string_view kLoadOperation = "GetFieldDefinitions";
constexpr std::size_t kNameSlotSize = api::kFieldNameBufferSize;
constexpr int16_t kNameReadType = static_cast<int16_t>(kNameSlotSize);
// Field lists longer than this find a field given twice through an index.
constexpr std::size_t kWalkedFieldIds = 16;

// Definition data types (column 2) and length-word bits.
constexpr int16_t kDataTypePointer = 0;
constexpr int16_t kDataTypeInteger = 1;
constexpr int16_t kDataTypeTime = 2;
constexpr int16_t kDataTypeReal = 3;
constexpr int16_t kDataTypeCharacter = 4;
constexpr int16_t kDataTypeCharacter5 = 5;
constexpr int16_t kDataTypeCount = 6;
constexpr int16_t kLengthFlagged = 0x400;
constexpr int16_t kLengthSigned = 0x40;
constexpr int16_t kLengthBitsMask = 0x3F;
constexpr int16_t kRealSingleLength = 4;

// The nine columns of a definition's field list, in the order they are read.
enum Column { kDescription, kDataType, kRepeatArea, kLengthWord, kQuality, kTimestamp, kHistory, kSelector, kProtection, kColumnCount };
constexpr std::array<int32_t, kColumnCount> kColumnTags{
    api::kFieldDescription, api::kFieldDataType, api::kFieldRepeatArea,     api::kFieldLengthWord,
    api::kFieldQuality,     api::kFieldTimestamp, api::kFieldHistoryPointer, api::kFieldSelectorRecord,
    api::kFieldWriteProtection};
constexpr std::array<int16_t, kColumnCount> kColumnTypes{
    api::kTypeRecordId, api::kTypeInt16, api::kTypeInt16, api::kTypeInt16, api::kTypeInt16,
    api::kTypeInt16,    api::kTypeInt16, api::kTypeRecordId, api::kTypeInt16};

// The native arrays of one load, n entries each; they live for the load only.
struct DefinitionColumns {
  explicit DefinitionColumns(std::size_t n)
      : description(n), selector(n), small(kColumnCount, std::vector<int16_t>(n)), numbers(n), items(n),
        types(n), errors(std::max<std::size_t>(n, 1)), names(n * kNameSlotSize, '\0') {}

  int16_t Small(Column column, std::size_t i) const { return small[column][i]; }

  std::vector<int32_t> description;               // column 1
  std::vector<int32_t> selector;                  // column 8
  std::vector<std::vector<int16_t>> small;        // the int16 columns, by Column
  std::vector<int16_t> numbers;                   // field numbers
  std::vector<IDANDFT> items;
  std::vector<int16_t> types;
  std::vector<ERRBLOCK> errors;                   // one per item; [0] is the call's summary
  std::vector<char> names;                        // n names of 256 bytes
};

// Whether a selector column names the description record of a field of the
// same definition: the selector is then chosen per record, in that field,
// and the definition itself has no value set to read.
bool NamesOwnField(const DefinitionColumns& columns, int32_t selectorId) {
  return selectorId > 0 && std::ranges::find(columns.description, selectorId) != columns.description.end();
}

// Write protection code -> (read-only while usable, read-only while unusable).
void ApplyWriteProtection(int16_t code, FieldDefinition& definition) {
  switch (code) {
    case 0: definition.ReadOnlyUsable = true; definition.ReadOnlyUnusable = true; break;
    case 1: definition.ReadOnlyUsable = true; definition.ReadOnlyUnusable = false; break;
    case 2: definition.ReadOnlyUsable = false; definition.ReadOnlyUnusable = true; break;
    case 3: definition.ReadOnlyUsable = false; definition.ReadOnlyUnusable = false; break;
    default: break;  // unknown codes leave the record's defaults
  }
}

// The name in a 256-byte slot: up to the first zero byte, trimmed.
std::string SlotName(const std::vector<char>& names, std::size_t i) {
  const char* slot = names.data() + i * kNameSlotSize;
  return platform::FromAsciiTrimmed(std::string_view(slot, ::strnlen(slot, kNameSlotSize)));
}

}  // namespace

int16_t Session::TranslateToTypeCodeAndFieldReferenceType(int16_t dataType, int16_t fieldLength, int32_t selectorId,
                                                          FieldReferenceTypeEnum& fieldReference) {
  auto code = TypeCode::String;
  fieldReference = FieldReferenceTypeEnum::None;
  switch (dataType) {
    case kDataTypePointer:
      code = TypeCode::Int32;
      fieldReference = FieldReferenceTypeEnum::Record;
      break;
    case kDataTypeInteger:
      if ((fieldLength & kLengthFlagged) != 0) {
        code = TypeCode::Int32;
        fieldReference = FieldReferenceTypeEnum::Flagged;
      } else {
        const int bits = fieldLength & kLengthBitsMask;
        const bool isSigned = (fieldLength & kLengthSigned) != 0;
        code = (!isSigned && bits <= 16) || (isSigned && bits <= 15) ? TypeCode::Int16 : TypeCode::Int32;
        fieldReference = selectorId > 0 ? FieldReferenceTypeEnum::Selector : FieldReferenceTypeEnum::None;
      }
      break;
    case kDataTypeTime: code = TypeCode::DateTime; break;
    case kDataTypeReal: code = fieldLength == kRealSingleLength ? TypeCode::Single : TypeCode::Double; break;
    case kDataTypeCharacter: code = TypeCode::String; break;
    case kDataTypeCharacter5:
      code = TypeCode::String;
      fieldReference = FieldReferenceTypeEnum::DataType5;
      break;
    case kDataTypeCount:
      code = TypeCode::Int16;
      fieldReference = FieldReferenceTypeEnum::DataType6;
      break;
    default: break;
  }
  return static_cast<int16_t>(code);
}

FieldDefinitionsPtr Session::GetFieldDefinitions(int32_t definitionId) {
  return LookUpFieldDefinitions(definitionId).first;
}

std::pair<FieldDefinitionsPtr, bool> Session::LookUpFieldDefinitions(int32_t definitionId) {
  auto& statics = Statics();
  std::lock_guard lock(statics.s_StaticMembersLock);
  if (auto cached = statics.s_fieldDefintionByDefId.find(definitionId);
      cached != statics.s_fieldDefintionByDefId.end()) {
    return {cached->second, true};
  }
  if (definitionId <= 0) return {std::make_shared<const FieldDefinitions>(), true};

  const auto [definitions, whole] = LoadFieldDefinitions(definitionId);
  if (!whole) return {definitions, false};  // a transient refusal must not stay cached
  auto& byFieldId = statics.s_fieldDefByFieldIdByDefId[definitionId];
  byFieldId.clear();
  for (const auto& definition : *definitions) {
    byFieldId[definition.Number] = FieldDefinitionPtr(definitions, &definition);
  }
  statics.s_fieldDefintionByDefId[definitionId] = definitions;
  return {definitions, true};
}

const FieldDefinitionMemo::Definition& Session::LookUpFieldDefinitions(int32_t definitionId,
                                                                      FieldDefinitionMemo& memo) {
  auto [definitions, lasting] = LookUpFieldDefinitions(definitionId);
  return lasting ? memo.Remember(definitionId, std::move(definitions)) : memo.Hold(std::move(definitions));
}

std::pair<FieldDefinitionsPtr, bool> Session::LoadFieldDefinitions(int32_t definitionId) {
  // Logs an error block under the loading operation's name and raises its text.
  auto fail = [&](const ERRBLOCK& error) -> std::pair<FieldDefinitionsPtr, bool> {
    LogDorvikError(error, kLoadOperation);
    throw platform::ApplicationException(GenerateVntErrorMessage(error));
  };

  ERRBLOCK error{};
  const std::array<int32_t, 2> headerTags{api::kFieldCount, api::kFieldDefinitionFlags};
  const std::array<int16_t, 2> headerTypes{api::kTypeInt16, api::kTypeInt16};
  std::array<int16_t, 2> header{};
  int16_t done = 0;
  RDBVALS(definitionId, 2, headerTags.data(), headerTypes.data(), header.data(), &done, &error);
  if (error.ERRCODE != api::kSuccess) return fail(error);
  const int16_t n = header[0];
  if (n < 0) {
    throw platform::ApplicationException(
        fmt::format("Definition record {0} reports {1} fields.", definitionId, n));
  }
  const auto count = static_cast<std::size_t>(n);
  DefinitionColumns columns(count);

  // Columns: one occurrence read of the nine fields for all n fields.
  std::array<void*, kColumnCount> buffers{};
  for (int c = 0; c < kColumnCount; ++c) buffers[c] = columns.small[c].data();
  buffers[kDescription] = columns.description.data();
  buffers[kSelector] = columns.selector.data();
  int16_t occurrencesRead = 0;
  int16_t fieldsDone = 0;
  MRDBOCCS(definitionId, kColumnCount, kColumnTags.data(), kColumnTypes.data(), 1, n, buffers.data(),
           &occurrencesRead, &fieldsDone, &error);
  if (error.ERRCODE != api::kSuccess) return fail(error);

  // Field numbers from each field's description record.
  for (std::size_t i = 0; i < count; ++i) columns.items[i] = IDANDFT{columns.description[i], api::kFieldNumber};
  std::fill(columns.types.begin(), columns.types.end(), api::kTypeInt16);
  done = 0;
  MRDBVALS(n, columns.items.data(), columns.types.data(), columns.numbers.data(), &done, columns.errors.data());
  const ERRBLOCK& numbersError = columns.errors[0];
  if (numbersError.ERRCODE != api::kSuccess && done != n) {
    throw platform::ApplicationException(
        fmt::format("Failed to read all field information, expected {0}, got {1}", n, done));
  }
  if (numbersError.ERRCODE != api::kSuccess || done != n) return fail(numbersError);

  // Names, 256 bytes each.
  for (auto& item : columns.items) item.FT = api::kFieldName;
  std::fill(columns.types.begin(), columns.types.end(), kNameReadType);
  MRDBVALS(n, columns.items.data(), columns.types.data(), columns.names.data(), &done, columns.errors.data());
  if (columns.errors[0].ERRCODE != api::kSuccess) return fail(columns.errors[0]);

  auto definitions = std::make_shared<FieldDefinitions>();
  definitions->reserve(count);
  bool whole = true;
  for (std::size_t i = 0; i < count; ++i) {
    try {
      FieldDefinition definition;
      definition.Id = columns.description[i];
      definition.Name = SlotName(columns.names, i);
      definition.RepeatArea = columns.Small(kRepeatArea, i);
      FieldReferenceTypeEnum reference{};
      definition.DataType = static_cast<TypeCode>(TranslateToTypeCodeAndFieldReferenceType(
          columns.Small(kDataType, i), columns.Small(kLengthWord, i), columns.selector[i], reference));
      definition.FieldReferenceType = reference;
      definition.SelectorRecordId = reference == FieldReferenceTypeEnum::Selector ? columns.selector[i] : 0;
      definition.Length = columns.Small(kLengthWord, i);
      definition.QualityField = columns.Small(kQuality, i);
      definition.TimestampField = columns.Small(kTimestamp, i);
      definition.HistoryPointer = columns.Small(kHistory, i);
      definition.Number = api::FieldTag(columns.numbers[i]);
      auto selectors = ReadSelectors(columns.selector[i]);
      whole = whole && (selectors.has_value() || NamesOwnField(columns, columns.selector[i]));
      definition.FormattedStrings = std::move(selectors).value_or(contracts::Selectors{});
      ApplyWriteProtection(columns.Small(kProtection, i), definition);
      definitions->push_back(std::move(definition));
    } catch (...) {
      LogError({fmt::format("Failed to get field definition of fieldId:{0}", i)});
      throw;
    }
  }
  return {definitions, whole};
}

FieldDefinitionPtr Session::GetFieldDefinitionByFieldId(int32_t definitionId, int32_t fieldId) {
  auto& statics = Statics();
  std::lock_guard lock(statics.s_StaticMembersLock);
  auto byDefinition = statics.s_fieldDefByFieldIdByDefId.find(definitionId);
  if (byDefinition == statics.s_fieldDefByFieldIdByDefId.end()) {
    const FieldDefinitionsPtr definitions = GetFieldDefinitions(definitionId);
    byDefinition = statics.s_fieldDefByFieldIdByDefId.find(definitionId);
    // Not cached: no definition (an id of 0 or less), or one read in part.
    if (byDefinition == statics.s_fieldDefByFieldIdByDefId.end()) return FindFieldDefinition(definitions, fieldId);
  }
  const auto found = byDefinition->second.find(api::BaseTag(fieldId));
  return found == byDefinition->second.end() ? nullptr : found->second;
}

FieldDefinitionPtr Session::FindFieldDefinition(const FieldDefinitionsPtr& definitions, int32_t fieldId) {
  const auto found = std::find_if(definitions->rbegin(), definitions->rend(), [&](const FieldDefinition& definition) {
    return definition.Number == api::BaseTag(fieldId);
  });
  return found == definitions->rend() ? nullptr : FieldDefinitionPtr(definitions, &*found);
}

int32_t Session::GetRepeatAreaIndex(int32_t definitionId, int32_t fieldId) {
  FieldDefinitionMemo memo;
  return GetRepeatAreaIndex(definitionId, fieldId, memo);
}

int32_t Session::GetRepeatAreaIndex(int32_t definitionId, int32_t fieldId, FieldDefinitionMemo& memo) {
  if (definitionId <= 0) return 0;
  // The list is looked up (and loaded) first: a field tag with an occurrence
  // matches no field, but the definition is read all the same.
  const FieldDefinitionMemo::Definition& definition = FieldDefinitionsFor(definitionId, memo);
  if (api::OccurrenceOf(fieldId) != 0) return 0;
  const FieldDefinition* field = definition.Find(fieldId);
  return field == nullptr ? 0 : field->RepeatArea;
}

std::string Session::GetAttributeName(int32_t recid, int32_t fldid) {
  FieldDefinitionMemo memo;
  return GetAttributeName(recid, fldid, memo);
}

std::string Session::GetAttributeName(int32_t recid, int32_t fldid, FieldDefinitionMemo& memo) {
  const bool repeated = GetRepeatAreaIndex(DEFINID(recid), fldid, memo) > 0;
  std::array<char, api::kFieldNameBufferSize> buffer{};
  int16_t length = 0;
  GETFTDB_LNAME(recid, repeated ? fldid + 1 : fldid, buffer.data(), &length);
  const auto count = std::min<std::size_t>(length < 0 ? 0 : static_cast<std::size_t>(length), buffer.size());
  if (!repeated) return platform::FromAsciiTrimmed(std::string_view(buffer.data(), count));
  std::string text = platform::FromAscii(std::string_view(buffer.data(), count));
  // "N NAME" names occurrence N; the field's own name follows the blank.
  if (const auto blank = text.find(' '); blank != std::string::npos) text.erase(0, blank);
  return std::string(platform::Trim(text));
}

bool Session::IsRepeatAreaCount(int32_t tagId, int32_t fieldId) {
  const auto definition = GetFieldDefinitionByFieldId(DefinitionOf(tagId), fieldId);
  return definition != nullptr && definition->FieldReferenceType == FieldReferenceTypeEnum::DataType6;
}

MaxOcurrenceInfoByFieldId Session::GetMaximumOcurrences(int32_t tagId, const contracts::FieldIds& fieldIds) {
  FieldDefinitionMemo memo;
  MaxOcurrenceInfoList list;
  ListMaximumOcurrences(tagId, fieldIds, memo, list);
  MaxOcurrenceInfoByFieldId result;
  result.reserve(list.size());
  for (const auto& [fieldId, info] : list) result.emplace(fieldId, info);
  return result;
}

void Session::ListMaximumOcurrences(int32_t tagId, std::span<const int32_t> fieldIds, FieldDefinitionMemo& memo,
                                    MaxOcurrenceInfoList& result) {
  result.clear();
  const FieldDefinitionMemo::Definition* definition = DefinitionOfRecord(tagId, memo);
  // A field given twice keeps its first place (and is asked for again).
  // Long lists find repeats through an index, short ones by a walk.
  std::optional<std::unordered_map<int32_t, std::size_t>> positions;
  if (fieldIds.size() > kWalkedFieldIds) positions.emplace().reserve(fieldIds.size());
  for (const int32_t fieldId : fieldIds) {
    std::size_t position = result.size();
    if (positions) {
      position = positions->try_emplace(fieldId, result.size()).first->second;
    } else if (!result.empty()) {
      const auto given =
          std::find_if(result.begin(), result.end(), [&](const auto& e) { return e.fieldId == fieldId; });
      position = static_cast<std::size_t>(given - result.begin());
    }
    if (position == result.size()) result.push_back({fieldId, {}});
    result[position].info = OcurrencesOf(tagId, fieldId, definition);
  }
  if (result.empty()) {
    throw platform::ApplicationException(fmt::format(
        "Failed to find the maximum occurences for fields of record ID '{0}' because field list is empty.", tagId));
  }
}

MaxOcurrenceInfo Session::MaximumOcurrencesOf(int32_t tagId, int32_t fieldId, FieldDefinitionMemo& memo) {
  return OcurrencesOf(tagId, fieldId, DefinitionOfRecord(tagId, memo));
}

MaxOcurrenceInfo Session::RepeatAreaOcurrences(int32_t tagId, const FieldDefinition& field,
                                               const FieldDefinitionMemo::Definition& definition) {
  const auto countPosition = static_cast<std::size_t>(field.RepeatArea - 1);
  if (countPosition >= definition.List().size()) {
    return {false, 1, MaxOccurrenceError::CountReadFailed};  // the definition names no such count field
  }
  ERRBLOCK error{};
  int16_t count = 0;
  DB2SHRT(tagId, definition.List()[countPosition].Number, &count, &error);
  if (error.ERRCODE == api::kSuccess && count >= 0) return {true, count, MaxOccurrenceError::NoError};
  LogDorvikError(error, "GetMaximumOcurrences");
  return {false, 1, MaxOccurrenceError::CountReadFailed};
}

int32_t Session::GetMaximumOcurrences(const std::string& tagName, const std::string& fieldName) {
  const int32_t tagId = GetRecordID(tagName);
  const int32_t fieldId = GetAttributeID(fieldName);
  return GetMaximumOcurrences(tagId, contracts::FieldIds{fieldId}).at(fieldId).Occurrences;
}

void Session::RefreshAll() {
  auto& statics = Statics();
  std::lock_guard lock(statics.s_StaticMembersLock);
  statics.s_fieldDefintionByDefId.clear();
  statics.s_mapRecordByDefId.clear();
  statics.s_fieldDefByFieldIdByDefId.clear();
}

}  // namespace vantrel::access
