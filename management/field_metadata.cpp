// Management: field metadata of many tags in one call (selectors, usable
// records, write rights, history flags, definitions).
#include <algorithm>
#include <optional>
#include <unordered_map>
#include <vector>

#include "api/dorvik.h"
#include "management/management.h"
#include "platform/exceptions.h"
#include "platform/fault.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::FieldAccessRights;
using contracts::FieldAccessRightsByTagId;
using contracts::FieldDefinition;
using contracts::FieldDefinitions;
using contracts::Selectors;
using contracts::TagIds;
using contracts::TagsById;
using platform::RunServiceOperation;

constexpr int32_t kWriteAccess = 2;  // the access kind GETFLDPERMIS is asked about
constexpr int32_t kHistoryKept = 0x1;
constexpr int32_t kHistoryArchived = 0x2;

// Whether the field's definition forbids writing it in the record's
// present state; false when the database cannot say.
bool DefinitionForbidsWriting(int32_t recordId, int32_t fieldId, bool usable, bool ignoreOperatorChangeability) {
  FIELDDEFN definition{};
  int16_t dataType = 0;
  ERRBLOCK error{};
  FIELDDEFNINFO(recordId, fieldId, 0, &definition, &dataType, &error);
  if (error.ERRCODE != api::kSuccess) return false;
  bool readOnly = usable ? definition.CHGUSABLE == 0 : definition.CHGUNUSABLE == 0;
  // A strict operator rule holds even when the caller asks to ignore it.
  if (definition.OPERSTRICT == 1 && definition.OPERCHANGE == 0) readOnly = true;
  if (!ignoreOperatorChangeability && definition.OPERCHANGE == 0) readOnly = true;
  return readOnly;
}

// Whether the caller lacks the right to write the field; false when the
// database cannot say.
bool CallerMayNotWrite(int32_t recordId, int32_t fieldId) {
  int32_t permission = 0;
  int32_t level = 0;
  ERRBLOCK error{};
  GETFLDPERMIS(recordId, fieldId, kWriteAccess, &permission, &level, &error);
  return error.ERRCODE == api::kSuccess && permission == 0;
}

}  // namespace

std::optional<Selectors> Management::FieldSelectors(int32_t recordId, const FieldDefinition& field,
                                                    const FieldDefinitions& definitions) {
  if (!field.FormattedStrings.empty()) return field.FormattedStrings;
  if (field.SelectorRecordId <= 0) return std::nullopt;
  // A per-record selector: the definition names the description record of
  // the field in which each record keeps its own selector record.
  const auto holder = std::ranges::find(definitions, field.SelectorRecordId, &FieldDefinition::Id);
  if (holder == definitions.end()) return std::nullopt;
  const int32_t holderTag = holder->Number;
  const int16_t type = api::kTypeRecordId;
  int32_t selectorId = 0;
  int16_t done = 0;
  ERRBLOCK error{};
  RDBVALS(recordId, 1, &holderTag, &type, &selectorId, &done, &error);
  if (error.ERRCODE != api::kSuccess) return std::nullopt;
  try {
    Selectors selectors = GetSelectors(selectorId);
    if (selectors.empty()) return std::nullopt;
    return selectors;
  } catch (const platform::Exception&) {
    return std::nullopt;  // an unreadable selector leaves the field out
  }
}

contracts::SelectorsByTagId Management::GetSelectors(const TagsById& tagsByIds) {
  return RunServiceOperation([&] {
    contracts::SelectorsByTagId result;
    // Each definition's fields are fetched once per call.
    std::unordered_map<int32_t, FieldDefinitionsPtr> definitionsById;
    for (const auto& [recordId, fieldIds] : tagsByIds) {
      const int32_t definitionId = GetDefinitionID(recordId);
      if (definitionId <= 0) continue;
      FieldDefinitionsPtr& definitions = definitionsById[definitionId];
      if (!definitions) definitions = GetFieldDefinitions(definitionId);
      for (const int32_t fieldId : fieldIds) {
        for (const FieldDefinition& field : *definitions) {
          if (field.Number != fieldId) continue;
          if (auto selectors = FieldSelectors(recordId, field, *definitions)) {
            result[recordId][fieldId] = std::move(*selectors);
          }
        }
      }
    }
    return result;
  });
}

contracts::UsableByTagId Management::AreTagsUsable(const TagIds& tagIds) {
  return RunServiceOperation([&] {
    contracts::UsableByTagId result;
    for (const int32_t id : tagIds) result[id] = VALIDUSA(id) != 0;
    return result;
  });
}

FieldAccessRightsByTagId Management::AreFieldsReadOnly(const TagsById& tagsByIds, bool ignoreOperatorChangeability) {
  return RunServiceOperation([&] {
    // The permission questions below are answered for the caller as the
    // database knows the caller now. Its error block is not examined.
    ERRBLOCK refresh{};
    REFRESHUSERCONTEXT(0, &refresh);
    FieldAccessRightsByTagId result;
    for (const auto& [recordId, fieldIds] : tagsByIds) {
      const bool usable = VALIDUSA(recordId) != 0;
      auto& rights = result[recordId] = {};
      for (const int32_t fieldId : fieldIds) {
        FieldAccessRights access;
        access.ReadOnly = DefinitionForbidsWriting(recordId, fieldId, usable, ignoreOperatorChangeability);
        access.UserReadOnly = access.ReadOnly || CallerMayNotWrite(recordId, fieldId);
        rights[fieldId] = access;
      }
    }
    return result;
  });
}

contracts::HistoryInfoByTagId Management::GetHistoryInfo(const TagsById& tagsByIds) {
  return RunServiceOperation([&] {
    std::vector<IDANDFT> items;
    for (const auto& [recordId, fieldIds] : tagsByIds) {
      for (const int32_t fieldId : fieldIds) items.push_back(IDANDFT{recordId, fieldId});
    }
    std::vector<int32_t> flags(items.size(), 0);  // flag word i answers window entry i

    contracts::HistoryInfoByTagId result;
    std::size_t start = 0;
    auto count = static_cast<int32_t>(items.size());
    while (true) {
      int32_t processed = 0;
      ERRBLOCK error{};
      FieldHistoryInfo(count, items.data() + start, &processed, flags.data(), &error);
      const int32_t answered = std::clamp(processed, 0, count);
      for (std::size_t i = 0; i < static_cast<std::size_t>(answered); ++i) {
        const IDANDFT& item = items[start + i];
        result[item.ID][item.FT] =
            contracts::TagHistoryInfo((flags[i] & kHistoryKept) != 0, (flags[i] & kHistoryArchived) != 0);
      }
      if (answered == count) return result;
      // The entry at `answered` failed: ask again for the ones after it.
      start += static_cast<std::size_t>(answered) + 1;
      count -= answered + 1;
    }
  });
}

contracts::DefinitionIdByTagId Management::GetDefinitionIDs(const TagIds& tagIds) {
  return RunServiceOperation([&] {
    contracts::DefinitionIdByTagId result;
    for (const int32_t id : tagIds) result[id] = GetDefinitionID(id);
    return result;
  });
}

}  // namespace vantrel::access
