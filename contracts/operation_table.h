// The operation table: every operation of the three service contracts by
// service and name, with its parameters as contracts/services.h names them,
// how each is read from the contracts' JSON form, and how the operation is
// called on an implementation of its interface. The host, its client and
// `vntaccess call` all work from this one table, so a name means the same
// operation everywhere.
//
// The overloads of IAccessService get names of their own: GetTagValues (by
// names), GetTagValuesByIds, SetTagValues (by names), SetTagValuesByIds. The
// impersonation a service class declares is looked up by ContractName.
//
// The table is immutable and safe to use from any thread; a PreparedCall is
// a value owned by one thread.
//
//   const Operation* op = FindOperation("access", "GetTagValues");
//   PreparedCall call = op->Prepare(Json::parse(R"({"tagList": {"TI101": ["VALUE"]}})"));
//   std::optional<Json> result = call.Invoke({.access = &service});
#ifndef VANTREL_CONTRACTS_OPERATION_TABLE_H_
#define VANTREL_CONTRACTS_OPERATION_TABLE_H_

#include <any>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/json.h"
#include "contracts/json_scan.h"
#include "contracts/services.h"

namespace vantrel::contracts {

enum class ServiceKind { kAccess, kManagement, kServer };

// The service names of the wire and the command line: "access",
// "management", "server".
std::string_view ServiceName(ServiceKind service);
std::optional<ServiceKind> ParseServiceName(std::string_view name);

// The service objects a call may use; only the one of its operation's
// service must be set.
struct ServiceSet {
  IAccessService* access = nullptr;
  IManagementService* management = nullptr;
  IServerManagementService* server = nullptr;
};

// The set holding only service: for a host that makes one service object
// per call.
inline ServiceSet ServicesOf(IAccessService& service) { return {.access = &service}; }
inline ServiceSet ServicesOf(IManagementService& service) { return {.management = &service}; }
inline ServiceSet ServicesOf(IServerManagementService& service) { return {.server = &service}; }

class PreparedCall;

struct Parameter {
  std::string_view name;      // as the contract spells it: "definitonTags"
  std::string_view typeName;  // the contract type: "Tags", "int32", "string"
  // Reads the parameter from its JSON form; throws JsonFormatError.
  std::any (*read)(const Json& json);
  // The items it carries (entries of lists, values of the innermost maps).
  std::size_t (*items)(const std::any& value);
  // Reads the parameter with the quick reader of json_scan.h; false when the
  // text is outside its subset. Null for types the quick reader does not know.
  bool (*scan)(json_internal::JsonScanner& scanner, std::any& out);
};

struct Operation {
  ServiceKind service;
  std::string_view name;          // unique within the table
  std::string_view contractName;  // the interface's name (overloads share it)
  std::vector<Parameter> parameters;
  std::string_view resultType;  // empty when the operation has no result
  bool changesDatabase = false;
  std::string_view summary;  // one line for help texts and the API document
  std::optional<Json> (*invoke)(const ServiceSet& services, const std::vector<std::any>& arguments);
  // The same, with the result appended to out as JSON text written without
  // a document (AppendJsonText); false for an operation without a result.
  bool (*invokeText)(const ServiceSet& services, const std::vector<std::any>& arguments, std::string& out);

  // Reads the arguments from a JSON object whose members are the
  // parameters by name. Throws JsonFormatError naming the JSON path for a
  // body that is not an object, an unknown or missing member, or a member of
  // the wrong shape.
  PreparedCall Prepare(const Json& arguments) const;
  // Reads the arguments from their values in parameter order.
  PreparedCall PrepareValues(const std::vector<Json>& values) const;
  // Reads the arguments from the JSON text of a request body (empty: no
  // parameters), as Prepare(ParseJsonText(body)) does and with the same
  // errors, but without a document when every parameter and the text are
  // within the quick reader's subset (json_scan.h).
  PreparedCall PrepareText(std::string_view body) const;

 private:
  std::optional<PreparedCall> PrepareQuickly(std::string_view body) const;
};

// An operation with its arguments read, ready to run any number of times.
class PreparedCall {
 public:
  PreparedCall(const Operation& operation, std::vector<std::any> arguments);

  const Operation& operation() const { return *operation_; }
  // The argument at index as its contract type; std::bad_any_cast for
  // another type.
  template <typename T>
  const T& Argument(std::size_t index) const {
    return std::any_cast<const T&>(arguments_.at(index));
  }
  // Items in all arguments together (the host's per-call limit).
  std::size_t Items() const;
  // Runs the operation on the service of services that it belongs to; the
  // result in JSON, nothing for an operation without one. What the service
  // throws leaves unchanged; a missing service object is a
  // std::invalid_argument.
  std::optional<Json> Invoke(const ServiceSet& services) const;
  // Invoke with the result appended to out as JSON text, the form a host
  // sends; false (out unchanged) for an operation without a result.
  bool InvokeText(const ServiceSet& services, std::string& out) const;

 private:
  const Operation* operation_;
  std::vector<std::any> arguments_;
};

// Every operation: the access service's, the management service's, then
// the server's, each in its interface's order.
std::span<const Operation> Operations();
// The operation of service named name, or null.
const Operation* FindOperation(ServiceKind service, std::string_view name);
const Operation* FindOperation(std::string_view service, std::string_view name);
// The operation of any service named name, or null.
const Operation* FindOperationByName(std::string_view name);
// The names of the operations of one service, in table order.
std::vector<std::string> OperationNames(ServiceKind service);

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_OPERATION_TABLE_H_
