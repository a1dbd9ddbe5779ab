// ToolAccess: what a command of vntaccess asks of the database. It is the
// data service of the contracts (IAccessService) plus the name look-ups the
// tool makes around a call: a record's id and name, its definition, the
// fields a definition defines, a repeat area's count, a field's selector
// texts. The tool resolves every name before it calls, so that no name is
// dropped silently (views/field_resolver.h); these look-ups are what it
// resolves with.
//
// Two implementations, chosen in one place (CommandContext, cli/app.cpp):
// in process the library's own DataAccess and session look-ups; with
// --server the host's services through vantrel_client, where each look-up
// is one of the management service's operations. The commands cannot tell
// them apart, so a command prints the same either way.
//
// An object is used by the thread of the command that made it.
#ifndef VANTREL_VIEWS_TOOL_SERVICES_H_
#define VANTREL_VIEWS_TOOL_SERVICES_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contracts/collections.h"
#include "contracts/records.h"
#include "contracts/selectors.h"
#include "contracts/services.h"

namespace vantrel::cli {

using FieldDefinitionsPtr = std::shared_ptr<const contracts::FieldDefinitions>;

class ToolAccess : public contracts::IAccessService {
 public:
  // Ids: 0 or less when there is no such record or field.
  virtual int32_t GetRecordID(const std::string& name) = 0;
  virtual int32_t GetAttributeID(const std::string& fieldName) = 0;
  // The definition of a record (a definition record's is the definition of
  // definitions); of a name, the record's own id when it is a definition.
  virtual int32_t GetDefinitionID(int32_t recordId) = 0;
  virtual int32_t GetDefinitionRecordID(const std::string& name) = 0;
  // The name of a record as the tool prints it; empty when there is none.
  virtual std::string RecordNameOf(int32_t recordId) = 0;
  // A field's name: without its occurrence, and with it ("2 TREND").
  virtual std::string GetAttributeName(int32_t recordId, int32_t fieldTag) = 0;
  virtual std::string GetAttributeNameWithOccurenceNumber(int32_t recordId, int32_t fieldTag) = 0;
  // The fields of a definition in its order; empty for an id of 0 or less.
  virtual FieldDefinitionsPtr GetFieldDefinitions(int32_t definitionId) = 0;
  // The values a field of a record has now (a repeat area's count; 1 else).
  virtual int32_t GetMaximumOcurrences(const std::string& record, const std::string& field) = 0;
  // The texts of a selector field of a record, by number; empty for none.
  virtual contracts::Selectors GetRecordSpecificSelectors(int32_t recordId,
                                                          const contracts::FieldDefinition& field) = 0;
  // The records of the definition of a record's name, in the database's
  // order; with patterns (views/name_pattern.h) only the names that match one.
  virtual contracts::TagNames RecordsOf(const std::string& definition, const std::vector<std::string>& patterns) = 0;
  // Every definition's name and every record's (definitions included), in
  // the database's order.
  virtual void ListNames(std::vector<std::string>& definitions, std::vector<std::string>& records) = 0;
  // Why no write can succeed here before any is tried (a database whose file
  // this process cannot write); nullopt when that is not known to be so.
  virtual std::optional<std::string> WholeDatabaseRefusal() = 0;
  // The rights level the caller holds on a field of a record (2 lets it
  // write), or nullopt when only the database can tell, at the write.
  virtual std::optional<int32_t> RightsLevel(int32_t recordId, int32_t fieldTag) = 0;
  // Whether the services are a host's rather than this process's library.
  virtual bool IsRemote() const = 0;
};

// The library in this process, as the caller the thread runs as (the
// --user account's operation context). Needs an attached database.
std::unique_ptr<ToolAccess> MakeLocalToolAccess();

// The services of a host (vantrel_client), which must outlive the object.
std::unique_ptr<ToolAccess> MakeRemoteToolAccess(contracts::IAccessService& access,
                                                 contracts::IManagementService& management);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_TOOL_SERVICES_H_
