#include "python/module/operation_table.h"

#include <algorithm>
#include <array>
#include <exception>
#include <span>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "contracts/json.h"
#include "data/data_access.h"
#include "management/management.h"
#include "platform/exceptions.h"
#include "platform/fault.h"
#include "platform/operation_context.h"
#include "server/server_management.h"

namespace vantrel::python {
namespace {

using access::DataAccess;
using access::Management;
using access::ServerManagement;
using contracts::FromJson;
using contracts::Json;
using contracts::JsonFormatError;
using contracts::ToJson;

enum class Service { kAccess, kManagement, kServer };

// One operation: its service, its name (overloads get their own), the name
// its service class declares it under, its parameters by name and the call
// itself, which reads the parameters before it makes the service object.
// run returns null for an operation without a result.
struct Operation {
  Service service;
  std::string_view name;
  std::string_view declaration;
  std::vector<std::string_view> parameters;
  Json (*run)(const Json& body);
};

// Parameter name of the body (ReadBody saw that it is there), read as T; a
// wrong shape is an error at the path inside it.
template <typename T>
T Param(const Json& body, std::string_view name) {
  const auto found = body.find(name);
  try {
    return FromJson<T>(*found);
  } catch (const JsonFormatError& error) {
    throw error.WithParent(name);
  }
}

template <typename Result>
Json Done(const Result& result) {
  return ToJson(result);
}

using contracts::FieldIds;
using contracts::HistoryRequests;
using contracts::ReferenceSourceTypeEnum;
using contracts::TagIds;
using contracts::TagNames;
using contracts::TagNamesByDefinitionTag;
using contracts::Tags;
using contracts::TagsById;
using contracts::TagValuesByIds;
using contracts::TagValuesByNames;

// The table, in the order of the contracts. Parameter names are spelled as
// the contracts spell them ("definitonTags" included).
const std::vector<Operation> kTable{
    // --- access ---------------------------------------------------------------
    {Service::kAccess, "GetTagValues", "GetTagValues", {"tagList"},
     [](const Json& b) { auto tags = Param<Tags>(b, "tagList"); DataAccess s; return Done(s.GetTagValues(tags)); }},
    {Service::kAccess, "GetTagValuesByIds", "GetTagValues", {"tagList"},
     [](const Json& b) { auto tags = Param<TagsById>(b, "tagList"); DataAccess s; return Done(s.GetTagValues(tags)); }},
    {Service::kAccess, "SetTagValues", "SetTagValues", {"tagValueList"},
     [](const Json& b) {
       auto values = Param<TagValuesByNames>(b, "tagValueList");
       DataAccess s;
       s.SetTagValues(values);
       return Json();
     }},
    {Service::kAccess, "SetTagValuesByIds", "SetTagValues", {"tagValuesByIds"},
     [](const Json& b) {
       auto values = Param<TagValuesByIds>(b, "tagValuesByIds");
       DataAccess s;
       s.SetTagValues(values);
       return Json();
     }},
    {Service::kAccess, "GetHistoryValuesByIds", "GetHistoryValuesByIds", {"request"},
     [](const Json& b) {
       auto request = Param<HistoryRequests>(b, "request");
       DataAccess s;
       return Done(s.GetHistoryValuesByIds(request));
     }},
    // --- management -----------------------------------------------------------
    {Service::kManagement, "GetDefinedFields", "GetDefinedFields", {},
     [](const Json&) { Management s; return Done(s.GetDefinedFields()); }},
    {Service::kManagement, "GetFieldDefinitions", "GetFieldDefinitions", {"definitionTags"},
     [](const Json& b) {
       auto tags = Param<TagNames>(b, "definitionTags");
       Management s;
       return Done(s.GetFieldDefinitions(tags));
     }},
    {Service::kManagement, "GetTagID", "GetTagID", {"tagName"},
     [](const Json& b) { auto name = Param<std::string>(b, "tagName"); Management s; return Done(s.GetTagID(name)); }},
    {Service::kManagement, "GetFieldID", "GetFieldID", {"fieldName"},
     [](const Json& b) {
       auto name = Param<std::string>(b, "fieldName");
       Management s;
       return Done(s.GetFieldID(name));
     }},
    {Service::kManagement, "GetTagName", "GetTagName", {"tagId"},
     [](const Json& b) { auto id = Param<int32_t>(b, "tagId"); Management s; return Done(s.GetTagName(id)); }},
    {Service::kManagement, "GetFieldName", "GetFieldName", {"tagId", "fieldId"},
     [](const Json& b) {
       auto tag = Param<int32_t>(b, "tagId");
       auto field = Param<int32_t>(b, "fieldId");
       Management s;
       return Done(s.GetFieldName(tag, field));
     }},
    {Service::kManagement, "FindNonexistingTags", "FindNonexistingTags", {"tagNames"},
     [](const Json& b) {
       auto names = Param<TagNames>(b, "tagNames");
       Management s;
       return Done(s.FindNonexistingTags(names));
     }},
    {Service::kManagement, "GetAllDefinitionTags", "GetAllDefinitionTags", {},
     [](const Json&) { Management s; return Done(s.GetAllDefinitionTags()); }},
    {Service::kManagement, "GetTagNamesByDefinition", "GetTagNamesByDefinition", {"definitonTags"},
     [](const Json& b) {
       auto tags = Param<TagNames>(b, "definitonTags");
       Management s;
       return Done(s.GetTagNamesByDefinition(tags));
     }},
    {Service::kManagement, "MakeTagsUsable", "MakeTagsUsable", {"tagNames", "usable"},
     [](const Json& b) {
       auto names = Param<TagNames>(b, "tagNames");
       auto usable = Param<bool>(b, "usable");
       Management s;
       s.MakeTagsUsable(names, usable);
       return Json();
     }},
    {Service::kManagement, "CreateTags", "CreateTags", {"tagsByDefinition"},
     [](const Json& b) {
       auto tags = Param<TagNamesByDefinitionTag>(b, "tagsByDefinition");
       Management s;
       return Done(s.CreateTags(tags));
     }},
    {Service::kManagement, "GetTagTypeByName", "GetTagTypeByName", {"name"},
     [](const Json& b) {
       auto name = Param<std::string>(b, "name");
       Management s;
       return Done(s.GetTagTypeByName(name));
     }},
    {Service::kManagement, "GetTagIdentifiersByDefinition", "GetTagIdentifiersByDefinition", {"definitonTags"},
     [](const Json& b) {
       auto tags = Param<TagNames>(b, "definitonTags");
       Management s;
       return Done(s.GetTagIdentifiersByDefinition(tags));
     }},
    {Service::kManagement, "GetServerVersion", "GetServerVersion", {},
     [](const Json&) { Management s; return Done(s.GetServerVersion()); }},
    {Service::kManagement, "GetProcessTagDefinitions", "GetProcessTagDefinitions", {},
     [](const Json&) { Management s; return Done(s.GetProcessTagDefinitions()); }},
    {Service::kManagement, "GetTagIdentifiersWithSameDefinition", "GetTagIdentifiersWithSameDefinition",
     {"startingRecordID", "maxReturn"},
     [](const Json& b) {
       auto start = Param<int32_t>(b, "startingRecordID");
       auto most = Param<int32_t>(b, "maxReturn");
       Management s;
       return Done(s.GetTagIdentifiersWithSameDefinition(start, most));
     }},
    {Service::kManagement, "GetMapRecordsByDefinitionTags", "GetMapRecordsByDefinitionTags",
     {"definitionRecords", "defaultOrFirst"},
     [](const Json& b) {
       auto records = Param<TagNames>(b, "definitionRecords");
       auto first = Param<bool>(b, "defaultOrFirst");
       Management s;
       return Done(s.GetMapRecordsByDefinitionTags(records, first));
     }},
    {Service::kManagement, "GetDefinitionIdentifierByTagName", "GetDefinitionIdentifierByTagName", {"tagNames"},
     [](const Json& b) {
       auto names = Param<TagNames>(b, "tagNames");
       Management s;
       return Done(s.GetDefinitionIdentifierByTagName(names));
     }},
    {Service::kManagement, "GetSelectors", "GetSelectors", {"tagsByIds"},
     [](const Json& b) {
       auto tags = Param<TagsById>(b, "tagsByIds");
       Management s;
       return Done(s.GetSelectors(tags));
     }},
    {Service::kManagement, "AreTagsUsable", "AreTagsUsable", {"tagIds"},
     [](const Json& b) { auto ids = Param<TagIds>(b, "tagIds"); Management s; return Done(s.AreTagsUsable(ids)); }},
    {Service::kManagement, "AreFieldsReadOnly", "AreFieldsReadOnly", {"tagsByIds", "ignoreOperatorChangeability"},
     [](const Json& b) {
       auto tags = Param<TagsById>(b, "tagsByIds");
       auto ignore = Param<bool>(b, "ignoreOperatorChangeability");
       Management s;
       return Done(s.AreFieldsReadOnly(tags, ignore));
     }},
    {Service::kManagement, "GetHistoryInfo", "GetHistoryInfo", {"tagsByIds"},
     [](const Json& b) {
       auto tags = Param<TagsById>(b, "tagsByIds");
       Management s;
       return Done(s.GetHistoryInfo(tags));
     }},
    {Service::kManagement, "GetDefinitionIDs", "GetDefinitionIDs", {"tagIds"},
     [](const Json& b) { auto ids = Param<TagIds>(b, "tagIds"); Management s; return Done(s.GetDefinitionIDs(ids)); }},
    {Service::kManagement, "FindReferences", "FindReferences", {"tagNames"},
     [](const Json& b) {
       auto names = Param<TagNames>(b, "tagNames");
       Management s;
       return Done(s.FindReferences(names));
     }},
    {Service::kManagement, "FindReferencesBySource", "FindReferencesBySource", {"tagNames", "source"},
     [](const Json& b) {
       auto names = Param<TagNames>(b, "tagNames");
       auto source = Param<ReferenceSourceTypeEnum>(b, "source");
       Management s;
       return Done(s.FindReferencesBySource(names, source));
     }},
    // --- server ---------------------------------------------------------------
    {Service::kServer, "GetVntGroup200FolderPath", "GetVntGroup200FolderPath", {},
     [](const Json&) { ServerManagement s; return Done(s.GetVntGroup200FolderPath()); }},
    {Service::kServer, "GetVntEnvironmentVariable", "GetVntEnvironmentVariable", {"variableName"},
     [](const Json& b) {
       auto name = Param<std::string>(b, "variableName");
       ServerManagement s;
       return Done(s.GetVntEnvironmentVariable(name));
     }},
    {Service::kServer, "GetMaxHistorySizePerCall", "GetMaxHistorySizePerCall", {},
     [](const Json&) { ServerManagement s; return Done(s.GetMaxHistorySizePerCall()); }},
    {Service::kServer, "SetTLSData", "SetTLSData", {"key", "userContext"},
     [](const Json& b) {
       auto key = Param<std::string>(b, "key");
       auto context = Param<std::string>(b, "userContext");
       ServerManagement s;
       s.SetTLSData(key, context);
       return Json();
     }},
};

std::optional<Service> ServiceNamed(std::string_view name) {
  if (name == "access") return Service::kAccess;
  if (name == "management") return Service::kManagement;
  if (name == "server") return Service::kServer;
  return std::nullopt;
}

std::span<const platform::OperationDeclaration> DeclarationsOf(Service service) {
  switch (service) {
    case Service::kAccess: return DataAccess::kOperations;
    case Service::kManagement: return Management::kOperations;
    case Service::kServer: return ServerManagement::kOperations;
  }
  return {};
}

Answer ErrorAnswer(int status, const std::string& message) {
  return Answer{status, Json{{"error", message}}.dump()};
}

Answer FaultAnswer(const contracts::ServiceException& detail, const std::string& reason) {
  Json body = Json::object();
  body["fault"] = ToJson(detail);
  body["reason"] = reason;
  return Answer{422, body.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

// The body as an object whose members are all parameters of operation.
Json ReadBody(const Operation& operation, std::string_view text) {
  Json body = text.empty() ? Json::object() : Json::parse(text.begin(), text.end(), nullptr, false);
  if (body.is_discarded()) throw JsonFormatError("", "the body is not JSON");
  if (!body.is_object()) {
    throw JsonFormatError("", fmt::format("expected an object whose members are the parameters of {}", operation.name));
  }
  // The same sentences as the host's, so that a caller sees one wording.
  const auto& known = operation.parameters;
  for (auto it = body.begin(); it != body.end(); ++it) {
    if (std::find(known.begin(), known.end(), it.key()) == known.end()) {
      std::string names;
      for (const auto& name : known) names += (names.empty() ? "" : ", ") + std::string(name);
      throw JsonFormatError("/" + it.key(), fmt::format("no such parameter of {} (parameters: {})", operation.name,
                                                        names.empty() ? "none" : names));
    }
  }
  for (const auto& name : known) {
    if (!body.contains(name)) {
      throw JsonFormatError(fmt::format("/{}", name), fmt::format("missing parameter of {}", operation.name));
    }
  }
  return body;
}

Json Run(const Operation& operation, const Json& body, const std::optional<std::string>& account) {
  if (!account) return operation.run(body);
  platform::OperationContextScope caller(
      platform::OperationContext{platform::ServiceSecurityContext{*account}});
  return platform::ServeOperation(DeclarationsOf(operation.service), operation.declaration,
                                  [&] { return operation.run(body); });
}

}  // namespace

Answer CallOperation(std::string_view service, std::string_view operation, std::string_view body,
                     const std::optional<std::string>& account) {
  const auto kind = ServiceNamed(service);
  if (!kind) return ErrorAnswer(404, fmt::format("no service {}; services: access, management, server", service));
  const auto found = std::find_if(kTable.begin(), kTable.end(), [&](const Operation& entry) {
    return entry.service == *kind && entry.name == operation;
  });
  if (found == kTable.end()) {
    return ErrorAnswer(404, fmt::format("no operation {} in the {} service", operation, service));
  }
  try {
    const Json parameters = ReadBody(*found, body);
    const Json result = Run(*found, parameters, account);
    if (result.is_null()) return Answer{200, "{}"};
    Json answer = Json::object();
    answer["result"] = result;
    return Answer{200, answer.dump(-1, ' ', false, Json::error_handler_t::replace)};
  } catch (...) {
    return FailureAnswer(std::current_exception());
  }
}

Answer FailureAnswer(std::exception_ptr failure) {
  try {
    std::rethrow_exception(std::move(failure));
  } catch (const JsonFormatError& error) {
    return ErrorAnswer(400, error.what());
  } catch (const platform::FaultException& fault) {
    return FaultAnswer(fault.Detail(), fault.Reason().value_or(fault.Detail().Message()));
  } catch (const std::exception& error) {
    // Errors that operations do not turn into faults (and a refused
    // impersonation) reach the caller as faults all the same.
    return FaultAnswer(contracts::ServiceException(error), error.what());
  } catch (...) {
    return FaultAnswer(contracts::ServiceException("Exception", "an unknown error"), "an unknown error");
  }
}

std::vector<std::string> OperationNames(std::string_view service) {
  std::vector<std::string> names;
  const auto kind = ServiceNamed(service);
  if (!kind) return names;
  for (const auto& entry : kTable) {
    if (entry.service == *kind) names.emplace_back(entry.name);
  }
  return names;
}

}  // namespace vantrel::python
