// Management: constructors and the administration of definitions and tags.
#include "management/management.h"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>
#include <variant>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "data/data_access.h"
#include "data/value_conversion.h"
#include "platform/exceptions.h"
#include "platform/fault.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::DefinitionIdentifierByTagName;
using contracts::FieldDefinitionsByTagName;
using contracts::Fields;
using contracts::TagIdentifiers;
using contracts::TagIdentifiersByDefinitionTag;
using contracts::TagNames;
using contracts::TagNamesByDefinitionTag;
using contracts::TagValuesByNames;
using platform::RunServiceOperation;

constexpr const char* kBranchRecord = "VN_TagsBranch";
constexpr const char* kBranchField = "PE_Branch";

// One page of the database's field list, on the operation's stack.
constexpr int32_t kFieldPage = static_cast<int32_t>(api::kFieldListPage);
constexpr std::size_t kNameSlot = api::kFieldNameBufferSize;
struct FieldListPage {
  std::array<int32_t, kFieldPage> valuesA;  // field description record ids
  std::array<int16_t, kFieldPage> valuesB;  // field numbers
  std::array<char, kFieldPage> flags;       // not read
  std::array<char, kFieldPage * kNameSlot> names;
  std::array<int16_t, kFieldPage> lengths;
};

}  // namespace

Management::Management() : Session() {}
Management::Management(bool enableVntCallback) : Session(enableVntCallback) {}

TagValuesByNames Management::ReadCurrentValues(const contracts::Tags& tags) {
  return DataAccess::ReadWithNewSession(tags);
}

Fields Management::GetDefinedFields() {
  return RunServiceOperation([&] {
    Fields fields;
    FieldListPage page{};
    int32_t cursor = 0;
    while (true) {
      int32_t count = 0;
      GETFLDNAMS_LNAME(&cursor, 0, nullptr, 0, 0, 0, kFieldPage, page.valuesA.data(), page.valuesB.data(),
                       page.flags.data(), page.names.data(), page.lengths.data(), &count);
      if (count <= 0) return fields;
      for (std::size_t i = 0; i < static_cast<std::size_t>(std::min(count, kFieldPage)); ++i) {
        const std::span<const char> slot(page.names.data() + i * kNameSlot, kNameSlot);
        fields.emplace_back(ReturnedText(slot, page.lengths[i]), page.valuesB[i], page.valuesA[i]);
      }
    }
  });
}

FieldDefinitionsByTagName Management::GetFieldDefinitions(const TagNames& definitionTags) {
  return RunServiceOperation([&] {
    FieldDefinitionsByTagName result;
    for (const std::string& name : definitionTags) {
      const int32_t definitionId = GetDefinitionRecordID(name);
      if (definitionId > 0) result[name] = *GetFieldDefinitions(definitionId);
    }
    return result;
  });
}

int32_t Management::GetTagID(const std::string& tagName) {
  return RunServiceOperation([&] { return GetRecordID(tagName); });
}

int32_t Management::GetFieldID(const std::string& fieldName) {
  return RunServiceOperation([&] { return GetAttributeID(fieldName); });
}

std::string Management::GetTagName(int32_t tagId) {
  return RunServiceOperation([&] { return GetRecordName(tagId); });
}

std::string Management::GetFieldName(int32_t tagId, int32_t fieldId) {
  return RunServiceOperation([&] { return GetAttributeName(tagId, fieldId); });
}

TagNames Management::FindNonexistingTags(const TagNames& tagNames) {
  return RunServiceOperation([&] {
    TagNames missing;
    for (const std::string& name : tagNames) {
      if (!IsRecordExist(name)) missing.push_back(name);
    }
    return missing;
  });
}

TagNames Management::GetAllDefinitionTags() {
  return RunServiceOperation([&] { return GetAllDefinitionRecords(); });
}

TagNamesByDefinitionTag Management::GetTagNamesByDefinition(const TagNames& definitonTags) {
  return RunServiceOperation([&] {
    TagNamesByDefinitionTag result;
    for (const std::string& name : definitonTags) result[name] = GetTagNamesByDefinition(name);
    return result;
  });
}

void Management::MakeTagsUsable(const TagNames& tagNames, bool usable) {
  RunServiceOperation([&] {
    for (const std::string& name : tagNames) {
      const int32_t id = GetRecordID(name);
      if (id <= 0) continue;
      ERRBLOCK error{};
      if (usable) {
        MAKUSABL(id, &error);
      } else {
        MAKUNUSA(id, &error);
      }
      if (error.ERRCODE == api::kSuccess) continue;
      LogDorvikError(error, "MakeTagsUsable");
      const std::string pattern = GetResourceString(resource::kMakeTagError).value();
      throw platform::ApplicationException(
          fmt::format(fmt::runtime(pattern), name, usable ? "Usable" : "Unusable", error.ERRCODE));
    }
  });
}

TagNames Management::CreateTags(const TagNamesByDefinitionTag& tagsByDefinition) {
  return RunServiceOperation([&] {
    TagNames created;
    for (const auto& [definition, tags] : tagsByDefinition) {
      for (const std::string& tag : tags) {
        if (CreateRecord(definition, tag)) created.push_back(tag);
      }
    }
    return created;
  });
}

contracts::TagTypeEnum Management::GetTagTypeByName(const std::string& name) {
  return RunServiceOperation([&] { return GetVntItemTypeByName(name); });
}

TagIdentifiersByDefinitionTag Management::GetTagIdentifiersByDefinition(const TagNames& definitonTags) {
  return RunServiceOperation([&] {
    TagIdentifiersByDefinitionTag result;
    for (const std::string& name : definitonTags) result[name] = GetTagIdentifiersByDefinition(name);
    return result;
  });
}

contracts::Version Management::GetServerVersion() {
  return RunServiceOperation([] {
    return contracts::Version{VANTREL_VERSION_MAJOR, VANTREL_VERSION_MINOR, VANTREL_VERSION_BUILD,
                              VANTREL_VERSION_REVISION};
  });
}

TagIdentifiers Management::GetProcessTagDefinitions() {
  return RunServiceOperation([&] {
    TagIdentifiers definitions;
    const TagValuesByNames read = ReadCurrentValues(contracts::Tags{{kBranchRecord, {kBranchField}}});
    const auto branch = read.find(kBranchRecord);
    if (branch == read.end()) return definitions;
    for (const auto& [field, values] : branch->second) {
      for (const contracts::TagValue& value : values) {
        if (!contracts::HasValue(value.Value)) {
          throw platform::ApplicationException(fmt::format(
              "The record {0} has no value in {1}: its occurrences could not be read.", kBranchRecord, field));
        }
        const std::string name = ToText(value.Value);
        definitions.emplace_back(name, GetRecordID(name));
      }
    }
    return definitions;
  });
}

TagIdentifiers Management::GetTagIdentifiersWithSameDefinition(int32_t startingRecordID, int32_t maxReturn) {
  return RunServiceOperation([&] { return GetTagIdsWithSameDefinition(startingRecordID, maxReturn); });
}

TagNamesByDefinitionTag Management::GetMapRecordsByDefinitionTags(const TagNames& definitionRecords,
                                                                  bool defaultOrFirst) {
  return RunServiceOperation([&] { return GetMapRecords(definitionRecords, defaultOrFirst); });
}

DefinitionIdentifierByTagName Management::GetDefinitionIdentifierByTagName(const TagNames& tagNames) {
  return RunServiceOperation([&] {
    DefinitionIdentifierByTagName result;
    for (const std::string& name : tagNames) {
      const int32_t definitionId = GetDefinitionRecordID(name);
      if (definitionId > 0) result[name] = contracts::TagIdentifier(GetRecordName(definitionId), definitionId);
    }
    return result;
  });
}

}  // namespace vantrel::access
