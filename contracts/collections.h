// The named collections of the contracts: each is a list or a map of the
// given element types and adds nothing else. Maps keep insertion order,
// which is the order their operations enumerate.
#ifndef VANTREL_CONTRACTS_COLLECTIONS_H_
#define VANTREL_CONTRACTS_COLLECTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/ordered_map.h"
#include "contracts/records.h"
#include "contracts/selectors.h"
#include "contracts/tag_value.h"

namespace vantrel::contracts {

using TagNames = std::vector<std::string>;
using FieldNames = std::vector<std::string>;
using FieldIds = std::vector<int32_t>;
using Tags = OrderedMap<std::string, FieldNames>;
using TagsById = OrderedMap<int32_t, FieldIds>;
using TagValuesById = OrderedMap<int32_t, TagValues>;
using TagValuesByIds = OrderedMap<int32_t, TagValuesById>;
using TagValuesByName = OrderedMap<std::string, TagValues>;
using TagValuesByNames = OrderedMap<std::string, TagValuesByName>;
using TagNamesByDefinitionTag = OrderedMap<std::string, TagNames>;
using TagIdentifiersByDefinitionTag = OrderedMap<std::string, TagIdentifiers>;
using DefinitionIdentifierByTagName = OrderedMap<std::string, TagIdentifier>;
using Fields = std::vector<Field>;
using FieldDefinitions = std::vector<FieldDefinition>;
using FieldDefinitionsByTagName = OrderedMap<std::string, FieldDefinitions>;
using HistoryRequests = std::vector<HistoryRequestById>;
using TagReference = OrderedMap<std::string, ReferenceInfo>;
using TagReferences = OrderedMap<std::string, TagReference>;

// The plain maps that operations take and return.
using UsableByTagId = OrderedMap<int32_t, bool>;
using DefinitionIdByTagId = OrderedMap<int32_t, int32_t>;
using SelectorsByTagId = OrderedMap<int32_t, SelectorsByIds>;
using FieldAccessRightsByTagId = OrderedMap<int32_t, OrderedMap<int32_t, FieldAccessRights>>;
using HistoryInfoByTagId = OrderedMap<int32_t, OrderedMap<int32_t, TagHistoryInfo>>;
using TagIds = std::vector<int32_t>;

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_COLLECTIONS_H_
