// Map records and the classification of names. A map record is a record of
// "AtMapDef" whose "MAP_DefinitionRecord" names a definition and whose
// "MAP_IsDefault" marks the default map record of that definition. Map
// records are read with one current-value read by names; which definitions
// have one is cached process-wide in s_mapRecordByDefId.
#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <variant>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "session/session.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::FieldNames;
using contracts::TagNames;
using contracts::TagNamesByDefinitionTag;
using contracts::TagTypeEnum;
using contracts::TagValuesByName;
using contracts::TagValuesByNames;
using contracts::Value;

constexpr const char* kMapDefinition = "AtMapDef";
constexpr const char* kDefinitionField = "MAP_DefinitionRecord";
constexpr const char* kIsDefaultField = "MAP_IsDefault";
// The spelling HasMapRecordNotFromCache asks with; field names match
// without regard to case.
constexpr const char* kIsDefaultFieldUncached = "Map_IsDefault";

// The first value of a field of a map record as the read gave it. Every map
// record carries the fields asked for; one without a value is an error.
const Value& FirstValue(const std::string& mapRecord, const TagValuesByName& fields, const char* field) {
  const auto found = fields.find(field);
  if (found == fields.end() || found->second.empty()) {
    throw platform::KeyNotFoundException(
        fmt::format("The map record {0} has no value of the field {1}.", mapRecord, field));
  }
  return found->second.front().Value;
}

// The definition name a map record holds. The field is a text or a record
// pointer (whose value is the record's name); a value of another kind names
// no record.
std::string DefinitionNameOf(const Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return {};
}

bool EqualsIgnoringCase(std::string_view text, std::string_view word) {
  return std::ranges::equal(text, word, [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

// "MAP_IsDefault" as a truth value: no value is false, a number is true when
// not 0, a text must be true or false in any letter case.
bool IsDefault(const std::string& mapRecord, const Value& value) {
  return std::visit(
      [&](const auto& v) -> bool {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return false;
        } else if constexpr (std::is_arithmetic_v<T>) {
          return v != 0;
        } else if constexpr (std::is_same_v<T, std::string>) {
          const std::string_view word = platform::Trim(v);
          if (EqualsIgnoringCase(word, "true")) return true;
          if (EqualsIgnoringCase(word, "false")) return false;
          throw platform::FormatException(fmt::format(
              "The {0} value '{1}' of the map record {2} is neither true nor false.", kIsDefaultField, v, mapRecord));
        } else {
          throw platform::InvalidCastException(
              fmt::format("The {0} value of the map record {1} is not a truth value.", kIsDefaultField, mapRecord));
        }
      },
      value);
}

}  // namespace

TagValuesByNames Session::ReadCurrentValues(const contracts::Tags&) {
  throw platform::InvalidOperationException(
      "This session cannot read current values: map records are read through DataAccess or Management.");
}

TagValuesByNames Session::ReadMapRecords(const FieldNames& fields) {
  contracts::Tags tags;
  for (std::string& name : GetTagNamesByDefinition(kMapDefinition)) tags[std::move(name)] = fields;
  return ReadCurrentValues(tags);
}

bool Session::HasMapRecord(const std::string& name) {
  StaticMembers& statics = Statics();
  std::lock_guard lock(statics.s_StaticMembersLock);
  const int32_t definitionId = GetDefinitionRecordID(name);
  if (statics.s_mapRecordByDefId.contains(definitionId)) return true;

  bool found = false;
  const TagValuesByNames read = ReadMapRecords({kDefinitionField});
  for (const auto& [mapRecord, fields] : read) {
    const int32_t mapped = GetDefinitionRecordID(DefinitionNameOf(FirstValue(mapRecord, fields, kDefinitionField)));
    // A map record that names no definition answers for none, not for
    // every unknown name.
    if (mapped <= 0) continue;
    statics.s_mapRecordByDefId[mapped] = mapRecord;
    if (mapped == definitionId) found = true;
  }
  return found;
}

bool Session::HasMapRecordNotFromCache(const std::string& name) {
  const int32_t definitionId = DefinitionOf(GetRecordID(name));
  bool found = false;
  const TagValuesByNames read = ReadMapRecords({kDefinitionField, kIsDefaultFieldUncached});
  for (const auto& [mapRecord, fields] : read) {
    const int32_t mapped = GetDefinitionRecordID(DefinitionNameOf(FirstValue(mapRecord, fields, kDefinitionField)));
    if (mapped > 0 && mapped == definitionId) found = true;
  }
  return found;
}

TagNamesByDefinitionTag Session::GetMapRecords(const TagNames& definitionRecords, bool defaultOrFirst) {
  std::unordered_set<int32_t> wanted;
  for (const std::string& name : definitionRecords) {
    if (const int32_t definitionId = GetDefinitionRecordID(name); definitionId > 0) wanted.insert(definitionId);
  }

  TagNamesByDefinitionTag result;
  TagNamesByDefinitionTag met;  // with defaultOrFirst: every map record met, per definition name
  const TagValuesByNames read = ReadMapRecords({kDefinitionField, kIsDefaultField});
  for (const auto& [mapRecord, fields] : read) {
    const std::string definitionName = DefinitionNameOf(FirstValue(mapRecord, fields, kDefinitionField));
    const bool isDefault = IsDefault(mapRecord, FirstValue(mapRecord, fields, kIsDefaultField));
    if (!wanted.contains(GetDefinitionRecordID(definitionName))) continue;
    if (!defaultOrFirst) {
      result[definitionName].push_back(mapRecord);
      continue;
    }
    met[definitionName].push_back(mapRecord);
    TagNames& chosen = result[definitionName];
    if (isDefault && chosen.empty()) chosen.push_back(mapRecord);
  }
  if (defaultOrFirst) {
    for (auto entry = result.begin(); entry != result.end(); ++entry) {
      if (entry->second.empty()) entry.value().push_back(met.at(entry->first).front());
    }
  }
  return result;
}

TagTypeEnum Session::GetVntItemTypeByName(const std::string& name) {
  const int32_t id = GetRecordID(name);
  if (RECTYPEOK(id, api::kKindDefinition) != 0) return TagTypeEnum::Definition;
  if (HasMapRecord(name)) return TagTypeEnum::WithMapRecord;
  if (RECTYPEOK(id, api::kKind3) != 0) return TagTypeEnum::RecordKind3;
  if (RECTYPEOK(id, api::kKind5) != 0) return TagTypeEnum::RecordKind5;
  if (RECTYPEOK(id, api::kKindExternalTask) != 0) return TagTypeEnum::RecordKind19;
  return TagTypeEnum::Other;
}

}  // namespace vantrel::access
