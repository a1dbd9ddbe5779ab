#include "client/remote_services.h"

#include <type_traits>

#include <fmt/format.h>

#include "platform/fault.h"

namespace vantrel::client {
namespace {

using contracts::Json;
using contracts::ServiceKind;

// One operation of the table called with args, in parameter order.
template <typename Result, typename... Args>
Result Call(RemoteSession& session, ServiceKind service, std::string_view name, const Args&... args) {
  const contracts::Operation* operation = contracts::FindOperation(service, name);
  Json arguments = Json::object();
  std::size_t index = 0;
  ((arguments[std::string(operation->parameters.at(index++).name)] = contracts::ToJson(args)), ...);
  const std::optional<Json> result = session.Invoke(*operation, arguments);
  if constexpr (!std::is_void_v<Result>) {
    if (!result) throw HostError(200, fmt::format("the host answered {} without a result", name));
    return contracts::FromJson<Result>(*result);
  }
}

template <typename Result, typename... Args>
Result Manage(RemoteSession& session, std::string_view name, const Args&... args) {
  return Call<Result>(session, ServiceKind::kManagement, name, args...);
}

// The sentence of a host's error answer, or the status when it has none.
std::string ErrorText(const HttpAnswer& answer) {
  const Json body = Json::parse(answer.body, nullptr, false);
  if (body.is_object() && body.contains("error") && body["error"].is_string()) return body["error"];
  return fmt::format("the host answered status {}", answer.status);
}

}  // namespace

RemoteSession::RemoteSession(const RemoteOptions& options)
    : connection_(Endpoint::Parse(options.url), options.caFile, options.timeout) {
  connection_.OfferGzip(options.offerGzip);
  if (!options.token.empty()) {
    authorization_ = "Bearer " + options.token;
  } else if (!options.user.empty()) {
    authorization_ = BasicAuthorization(options.user, options.password);
  }
}

contracts::Json RemoteSession::Answer(const HttpAnswer& answer) {
  if (answer.status == 422) {
    const Json body = Json::parse(answer.body, nullptr, false);
    if (body.is_object() && body.contains("fault")) {
      const auto detail = contracts::FromJson<contracts::ServiceException>(body["fault"]);
      std::optional<std::string> reason;
      if (body.contains("reason") && body["reason"].is_string()) reason = body["reason"].get<std::string>();
      throw platform::FaultException(detail, reason);
    }
  }
  if (answer.status != 200) throw HostError(answer.status, ErrorText(answer), answer.retryAfter);
  try {
    return contracts::ParseJsonText(answer.body);
  } catch (const contracts::JsonFormatError& error) {
    throw HostError(answer.status, fmt::format("the host's answer is not JSON: {}", error.what()));
  }
}

std::optional<contracts::Json> RemoteSession::Invoke(const contracts::Operation& operation, const Json& arguments) {
  const std::string target = fmt::format("/v1/{}/{}", contracts::ServiceName(operation.service), operation.name);
  const Json body = Answer(connection_.Exchange("POST", target, arguments.dump(), authorization_));
  if (!body.is_object()) throw HostError(200, "the host's answer is not a JSON object");
  if (!body.contains("result")) return std::nullopt;
  return body["result"];
}

contracts::Json RemoteSession::Get(const std::string& target) {
  return Answer(connection_.Exchange("GET", target, "", authorization_));
}

// --- Access ------------------------------------------------------------------------

contracts::TagValuesByIds RemoteAccessService::GetTagValues(const contracts::TagsById& tagList) {
  return Call<contracts::TagValuesByIds>(*session_, ServiceKind::kAccess, "GetTagValuesByIds", tagList);
}
contracts::TagValuesByNames RemoteAccessService::GetTagValues(const contracts::Tags& tagList) {
  return Call<contracts::TagValuesByNames>(*session_, ServiceKind::kAccess, "GetTagValues", tagList);
}
void RemoteAccessService::SetTagValues(const contracts::TagValuesByIds& tagValuesByIds) {
  Call<void>(*session_, ServiceKind::kAccess, "SetTagValuesByIds", tagValuesByIds);
}
void RemoteAccessService::SetTagValues(const contracts::TagValuesByNames& tagValueList) {
  Call<void>(*session_, ServiceKind::kAccess, "SetTagValues", tagValueList);
}
contracts::TagValuesByIds RemoteAccessService::GetHistoryValuesByIds(const contracts::HistoryRequests& request) {
  return Call<contracts::TagValuesByIds>(*session_, ServiceKind::kAccess, "GetHistoryValuesByIds", request);
}

// --- Management --------------------------------------------------------------------

contracts::Fields RemoteManagementService::GetDefinedFields() {
  return Call<contracts::Fields>(*session_, ServiceKind::kManagement, "GetDefinedFields");
}
contracts::FieldDefinitionsByTagName RemoteManagementService::GetFieldDefinitions(
    const contracts::TagNames& definitionTags) {
  return Manage<contracts::FieldDefinitionsByTagName>(*session_, "GetFieldDefinitions", definitionTags);
}
int32_t RemoteManagementService::GetTagID(const std::string& tagName) {
  return Manage<int32_t>(*session_, "GetTagID", tagName);
}
int32_t RemoteManagementService::GetFieldID(const std::string& fieldName) {
  return Manage<int32_t>(*session_, "GetFieldID", fieldName);
}
std::string RemoteManagementService::GetTagName(int32_t tagId) {
  return Manage<std::string>(*session_, "GetTagName", tagId);
}
std::string RemoteManagementService::GetFieldName(int32_t tagId, int32_t fieldId) {
  return Manage<std::string>(*session_, "GetFieldName", tagId, fieldId);
}
contracts::TagNames RemoteManagementService::FindNonexistingTags(const contracts::TagNames& tagNames) {
  return Manage<contracts::TagNames>(*session_, "FindNonexistingTags", tagNames);
}
contracts::TagNames RemoteManagementService::GetAllDefinitionTags() {
  return Call<contracts::TagNames>(*session_, ServiceKind::kManagement, "GetAllDefinitionTags");
}
contracts::TagNamesByDefinitionTag RemoteManagementService::GetTagNamesByDefinition(
    const contracts::TagNames& definitonTags) {
  return Manage<contracts::TagNamesByDefinitionTag>(*session_, "GetTagNamesByDefinition", definitonTags);
}
void RemoteManagementService::MakeTagsUsable(const contracts::TagNames& tagNames, bool usable) {
  Manage<void>(*session_, "MakeTagsUsable", tagNames, usable);
}
contracts::TagNames RemoteManagementService::CreateTags(const contracts::TagNamesByDefinitionTag& tagsByDefinition) {
  return Manage<contracts::TagNames>(*session_, "CreateTags", tagsByDefinition);
}
contracts::TagTypeEnum RemoteManagementService::GetTagTypeByName(const std::string& name) {
  return Manage<contracts::TagTypeEnum>(*session_, "GetTagTypeByName", name);
}
contracts::TagIdentifiersByDefinitionTag RemoteManagementService::GetTagIdentifiersByDefinition(
    const contracts::TagNames& definitonTags) {
  return Manage<contracts::TagIdentifiersByDefinitionTag>(*session_, "GetTagIdentifiersByDefinition", definitonTags);
}
contracts::Version RemoteManagementService::GetServerVersion() {
  return Call<contracts::Version>(*session_, ServiceKind::kManagement, "GetServerVersion");
}
contracts::TagIdentifiers RemoteManagementService::GetProcessTagDefinitions() {
  return Call<contracts::TagIdentifiers>(*session_, ServiceKind::kManagement, "GetProcessTagDefinitions");
}
contracts::TagIdentifiers RemoteManagementService::GetTagIdentifiersWithSameDefinition(int32_t startingRecordID,
                                                                                      int32_t maxReturn) {
  return Manage<contracts::TagIdentifiers>(*session_, "GetTagIdentifiersWithSameDefinition", startingRecordID,
                                           maxReturn);
}
contracts::TagNamesByDefinitionTag RemoteManagementService::GetMapRecordsByDefinitionTags(
    const contracts::TagNames& definitionRecords, bool defaultOrFirst) {
  return Manage<contracts::TagNamesByDefinitionTag>(*session_, "GetMapRecordsByDefinitionTags", definitionRecords,
                    defaultOrFirst);
}
contracts::DefinitionIdentifierByTagName RemoteManagementService::GetDefinitionIdentifierByTagName(
    const contracts::TagNames& tagNames) {
  return Manage<contracts::DefinitionIdentifierByTagName>(*session_, "GetDefinitionIdentifierByTagName", tagNames);
}
contracts::SelectorsByTagId RemoteManagementService::GetSelectors(const contracts::TagsById& tagsByIds) {
  return Manage<contracts::SelectorsByTagId>(*session_, "GetSelectors", tagsByIds);
}
contracts::UsableByTagId RemoteManagementService::AreTagsUsable(const contracts::TagIds& tagIds) {
  return Manage<contracts::UsableByTagId>(*session_, "AreTagsUsable", tagIds);
}
contracts::FieldAccessRightsByTagId RemoteManagementService::AreFieldsReadOnly(const contracts::TagsById& tagsByIds,
                                                                               bool ignoreOperatorChangeability) {
  return Manage<contracts::FieldAccessRightsByTagId>(*session_, "AreFieldsReadOnly", tagsByIds,
                                                     ignoreOperatorChangeability);
}
contracts::HistoryInfoByTagId RemoteManagementService::GetHistoryInfo(const contracts::TagsById& tagsByIds) {
  return Manage<contracts::HistoryInfoByTagId>(*session_, "GetHistoryInfo", tagsByIds);
}
contracts::DefinitionIdByTagId RemoteManagementService::GetDefinitionIDs(const contracts::TagIds& tagIds) {
  return Manage<contracts::DefinitionIdByTagId>(*session_, "GetDefinitionIDs", tagIds);
}
contracts::TagReferences RemoteManagementService::FindReferences(const contracts::TagNames& tagNames) {
  return Manage<contracts::TagReferences>(*session_, "FindReferences", tagNames);
}
contracts::TagReferences RemoteManagementService::FindReferencesBySource(const contracts::TagNames& tagNames,
                                                                         contracts::ReferenceSourceTypeEnum source) {
  return Manage<contracts::TagReferences>(*session_, "FindReferencesBySource", tagNames, source);
}

// --- Server ------------------------------------------------------------------------

std::string RemoteServerManagementService::GetVntGroup200FolderPath() {
  return Call<std::string>(*session_, ServiceKind::kServer, "GetVntGroup200FolderPath");
}
std::string RemoteServerManagementService::GetVntEnvironmentVariable(const std::string& variableName) {
  return Call<std::string>(*session_, ServiceKind::kServer, "GetVntEnvironmentVariable", variableName);
}
int32_t RemoteServerManagementService::GetMaxHistorySizePerCall() {
  return Call<int32_t>(*session_, ServiceKind::kServer, "GetMaxHistorySizePerCall");
}
void RemoteServerManagementService::SetTLSData(const std::string& key, const std::string& userContext) {
  Call<void>(*session_, ServiceKind::kServer, "SetTLSData", key, userContext);
}

}  // namespace vantrel::client
