// Management: the configuration-management service class (contract
// IManagementService). It browses definitions, tags and fields, creates
// tags and makes them usable or unusable, answers field metadata questions
// for many tags at once and finds where tags are referenced. It keeps no
// state between operations. Every public operation reports any failure as
// a service fault whose reason is the first error's message; database
// changes made before a failure stay made. A Management object is used by
// the thread that constructed it (the database user context is that
// thread's).
#ifndef VANTREL_MANAGEMENT_MANAGEMENT_H_
#define VANTREL_MANAGEMENT_MANAGEMENT_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/collections.h"
#include "contracts/services.h"
#include "platform/operation_context.h"
#include "session/session.h"

namespace vantrel::access {

class Management : public Session, public contracts::IManagementService {
 public:
  // Neither constructor registers the shutdown callback unless asked to.
  Management();
  explicit Management(bool enableVntCallback);

  // Every operation runs as the caller.
  static constexpr std::array<platform::OperationDeclaration, 25> kOperations{{
      {"GetDefinedFields", platform::ImpersonationOption::Required},
      {"GetFieldDefinitions", platform::ImpersonationOption::Required},
      {"GetTagID", platform::ImpersonationOption::Required},
      {"GetFieldID", platform::ImpersonationOption::Required},
      {"GetTagName", platform::ImpersonationOption::Required},
      {"GetFieldName", platform::ImpersonationOption::Required},
      {"FindNonexistingTags", platform::ImpersonationOption::Required},
      {"GetAllDefinitionTags", platform::ImpersonationOption::Required},
      {"GetTagNamesByDefinition", platform::ImpersonationOption::Required},
      {"MakeTagsUsable", platform::ImpersonationOption::Required},
      {"CreateTags", platform::ImpersonationOption::Required},
      {"GetTagTypeByName", platform::ImpersonationOption::Required},
      {"GetTagIdentifiersByDefinition", platform::ImpersonationOption::Required},
      {"GetServerVersion", platform::ImpersonationOption::Required},
      {"GetProcessTagDefinitions", platform::ImpersonationOption::Required},
      {"GetTagIdentifiersWithSameDefinition", platform::ImpersonationOption::Required},
      {"GetMapRecordsByDefinitionTags", platform::ImpersonationOption::Required},
      {"GetDefinitionIdentifierByTagName", platform::ImpersonationOption::Required},
      {"GetSelectors", platform::ImpersonationOption::Required},
      {"AreTagsUsable", platform::ImpersonationOption::Required},
      {"AreFieldsReadOnly", platform::ImpersonationOption::Required},
      {"GetHistoryInfo", platform::ImpersonationOption::Required},
      {"GetDefinitionIDs", platform::ImpersonationOption::Required},
      {"FindReferences", platform::ImpersonationOption::Required},
      {"FindReferencesBySource", platform::ImpersonationOption::Required},
  }};

  // --- Definitions and tags ----------------------------------------------------

  // Every field the database defines, in its order, names trimmed.
  contracts::Fields GetDefinedFields() override;
  // The field definitions of each named record's definition; unknown names
  // are left out.
  contracts::FieldDefinitionsByTagName GetFieldDefinitions(const contracts::TagNames& definitionTags) override;
  // Lookups returned as they come: 0 or less, -1 or empty text when unknown.
  int32_t GetTagID(const std::string& tagName) override;
  int32_t GetFieldID(const std::string& fieldName) override;
  std::string GetTagName(int32_t tagId) override;
  std::string GetFieldName(int32_t tagId, int32_t fieldId) override;
  // The names that name no record, in the order given, repeats kept.
  contracts::TagNames FindNonexistingTags(const contracts::TagNames& tagNames) override;
  contracts::TagNames GetAllDefinitionTags() override;
  contracts::TagNamesByDefinitionTag GetTagNamesByDefinition(const contracts::TagNames& definitonTags) override;
  // Makes each named record usable (or unusable) in turn. Unknown names are
  // skipped; the first refusal ends the call with a fault ("MakeTagError"),
  // and the records changed before it stay changed.
  void MakeTagsUsable(const contracts::TagNames& tagNames, bool usable) override;
  // Creates the tags of each definition; returns the names that exist with
  // their wanted definition afterwards, in processing order.
  contracts::TagNames CreateTags(const contracts::TagNamesByDefinitionTag& tagsByDefinition) override;
  contracts::TagTypeEnum GetTagTypeByName(const std::string& name) override;
  contracts::TagIdentifiersByDefinitionTag GetTagIdentifiersByDefinition(
      const contracts::TagNames& definitonTags) override;
  // The library's own version (the build's), not the database's.
  contracts::Version GetServerVersion() override;
  // The definitions that "PE_Branch" of "VN_TagsBranch" lists; empty when
  // that record does not exist.
  contracts::TagIdentifiers GetProcessTagDefinitions() override;
  contracts::TagIdentifiers GetTagIdentifiersWithSameDefinition(int32_t startingRecordID, int32_t maxReturn) override;
  contracts::TagNamesByDefinitionTag GetMapRecordsByDefinitionTags(const contracts::TagNames& definitionRecords,
                                                                   bool defaultOrFirst) override;
  contracts::DefinitionIdentifierByTagName GetDefinitionIdentifierByTagName(
      const contracts::TagNames& tagNames) override;

  // --- Field metadata ------------------------------------------------------------

  // The value sets of the requested fields; fields and records without one
  // are absent.
  contracts::SelectorsByTagId GetSelectors(const contracts::TagsById& tagsByIds) override;
  contracts::UsableByTagId AreTagsUsable(const contracts::TagIds& tagIds) override;
  // Whether the record's state and the field's definition forbid writing
  // (ReadOnly), and whether the caller may not write it either
  // (UserReadOnly).
  contracts::FieldAccessRightsByTagId AreFieldsReadOnly(const contracts::TagsById& tagsByIds,
                                                        bool ignoreOperatorChangeability) override;
  // The history flags of the requested fields; fields the database cannot
  // answer for are absent.
  contracts::HistoryInfoByTagId GetHistoryInfo(const contracts::TagsById& tagsByIds) override;
  contracts::DefinitionIdByTagId GetDefinitionIDs(const contracts::TagIds& tagIds) override;

  // --- Reference search ------------------------------------------------------------

  // Where each name (as given, not trimmed) is referenced: in the lines of
  // calculation records, in other records' fields, and in SQL queries, the
  // lines of query records and the query files of the folder that
  // "COMPRESS_SOURCE" names. Text is matched as a whole word, optionally
  // quoted, without regard to case. FindReferences searches every source
  // and gives every name an entry; a name given twice is searched once.
  contracts::TagReferences FindReferences(const contracts::TagNames& tagNames) override;
  contracts::TagReferences FindReferencesBySource(const contracts::TagNames& tagNames,
                                                  contracts::ReferenceSourceTypeEnum source) override;

  // The Session operations of the same names (by definition id, by one name).
  using Session::GetFieldDefinitions;
  using Session::GetTagIdentifiersByDefinition;
  using Session::GetTagNamesByDefinition;

 protected:
  using Session::GetSelectors;
  // Through a new DataAccess object.
  contracts::TagValuesByNames ReadCurrentValues(const contracts::Tags& tags) override;

  // Reference search, one source at a time; each adds to tagReferences.
  // Adds the references of one source (an unknown one is an
  // InvalidOperationException).
  void FindReferencesBySource(const contracts::TagNames& tagNames, contracts::ReferenceSourceTypeEnum source,
                              contracts::TagReferences& tagReferences);
  // The lines of the field repeatArea of the records of each definition,
  // read in one request per definition; keys "{record} ({field})".
  void FindReferences(contracts::ReferenceSourceTypeEnum sourceType, const std::vector<std::string>& defintionNames,
                      const std::string& repeatArea, const contracts::TagNames& tagNames,
                      contracts::TagReferences& tagReferences);
  void FindReferencesKorvaneCalcOnly(const contracts::TagNames& tagNames, contracts::TagReferences& tagReferences);
  // The fields of other records that point at each tag; every name gets an
  // entry, also an empty one.
  void FindReferencesVntOnly(const contracts::TagNames& tagNames, contracts::TagReferences& tagReferences);
  void FindReferencesFromPlainSqlQueries(const contracts::TagNames& tagNames, contracts::TagReferences& tagReferences);
  // The query files of the records of "CompQueryDef", "ProcedureDef" and
  // "ViewDef", each opened once. A record whose file would lie outside the
  // folder is skipped and logged.
  void FindReferencesFromCompressedSqlQueries(const contracts::TagNames& tagNames,
                                              contracts::TagReferences& tagReferences);
  // The folder of the query files; empty when "COMPRESS_SOURCE" is not set.
  std::string GetCompressedSqlQueryPath();
  // text with a backslash before every character that is one of
  // kMetaCharacters, so that a pattern matches it literally.
  static constexpr std::string_view kMetaCharacters = R"(^[].${}*()+|?<>\)";
  static std::string EscapeMetaCharacter(std::string_view text);
  // The pattern text a searched name is compiled from (see NamePattern): the
  // escaped name, optionally quoted, between word boundaries.
  static std::string NamePatternText(std::string_view name);

 private:
  // The selectors of one field of a record: the definition's own, else the
  // record's own selector record's; nothing when there are none or they
  // cannot be read.
  std::optional<contracts::Selectors> FieldSelectors(int32_t recordId, const contracts::FieldDefinition& field,
                                                     const contracts::FieldDefinitions& definitions);
};

}  // namespace vantrel::access

#endif  // VANTREL_MANAGEMENT_MANAGEMENT_H_
