// The three service contracts through which callers reach the library. A
// host holds an implementation behind these interfaces and calls one
// operation per call; failures arrive as service faults carrying a
// ServiceException. Implementations are not shared between threads.
#ifndef VANTREL_CONTRACTS_SERVICES_H_
#define VANTREL_CONTRACTS_SERVICES_H_

#include <cstdint>
#include <string>

#include "contracts/collections.h"
#include "contracts/enums.h"
#include "contracts/records.h"

namespace vantrel::contracts {

// Current values and history of tags.
class IAccessService {
 public:
  virtual ~IAccessService() = default;

  virtual TagValuesByIds GetTagValues(const TagsById& tagList) = 0;
  virtual TagValuesByNames GetTagValues(const Tags& tagList) = 0;
  virtual void SetTagValues(const TagValuesByIds& tagValuesByIds) = 0;
  virtual void SetTagValues(const TagValuesByNames& tagValueList) = 0;
  virtual TagValuesByIds GetHistoryValuesByIds(const HistoryRequests& request) = 0;
};

// Configuration: definitions, tags, field metadata and references.
class IManagementService {
 public:
  virtual ~IManagementService() = default;

  virtual Fields GetDefinedFields() = 0;
  virtual FieldDefinitionsByTagName GetFieldDefinitions(const TagNames& definitionTags) = 0;
  virtual int32_t GetTagID(const std::string& tagName) = 0;
  virtual int32_t GetFieldID(const std::string& fieldName) = 0;
  virtual std::string GetTagName(int32_t tagId) = 0;
  virtual std::string GetFieldName(int32_t tagId, int32_t fieldId) = 0;
  virtual TagNames FindNonexistingTags(const TagNames& tagNames) = 0;
  virtual TagNames GetAllDefinitionTags() = 0;
  virtual TagNamesByDefinitionTag GetTagNamesByDefinition(const TagNames& definitonTags) = 0;
  virtual void MakeTagsUsable(const TagNames& tagNames, bool usable) = 0;
  virtual TagNames CreateTags(const TagNamesByDefinitionTag& tagsByDefinition) = 0;
  virtual TagTypeEnum GetTagTypeByName(const std::string& name) = 0;
  virtual TagIdentifiersByDefinitionTag GetTagIdentifiersByDefinition(
      const TagNames& definitonTags) = 0;
  virtual Version GetServerVersion() = 0;
  virtual TagIdentifiers GetProcessTagDefinitions() = 0;
  virtual TagIdentifiers GetTagIdentifiersWithSameDefinition(int32_t startingRecordID,
                                                             int32_t maxReturn) = 0;
  virtual TagNamesByDefinitionTag GetMapRecordsByDefinitionTags(const TagNames& definitionRecords,
                                                                bool defaultOrFirst) = 0;
  virtual DefinitionIdentifierByTagName GetDefinitionIdentifierByTagName(
      const TagNames& tagNames) = 0;

  virtual SelectorsByTagId GetSelectors(const TagsById& tagsByIds) = 0;
  virtual UsableByTagId AreTagsUsable(const TagIds& tagIds) = 0;
  virtual FieldAccessRightsByTagId AreFieldsReadOnly(const TagsById& tagsByIds,
                                                     bool ignoreOperatorChangeability) = 0;
  virtual HistoryInfoByTagId GetHistoryInfo(const TagsById& tagsByIds) = 0;
  virtual DefinitionIdByTagId GetDefinitionIDs(const TagIds& tagIds) = 0;

  virtual TagReferences FindReferences(const TagNames& tagNames) = 0;
  virtual TagReferences FindReferencesBySource(const TagNames& tagNames,
                                               ReferenceSourceTypeEnum source) = 0;
};

// Server-level values and the calling thread's user context.
class IServerManagementService {
 public:
  virtual ~IServerManagementService() = default;

  virtual std::string GetVntGroup200FolderPath() = 0;
  virtual std::string GetVntEnvironmentVariable(const std::string& variableName) = 0;
  virtual int32_t GetMaxHistorySizePerCall() = 0;
  virtual void SetTLSData(const std::string& key, const std::string& userContext) = 0;
};

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_SERVICES_H_
