// The three service contracts served by a remote access service host: C++
// code written against IAccessService, IManagementService or
// IServerManagementService runs unchanged in process or against a host.
// Each operation is one POST /v1/{service}/{operation} with the parameters
// by name in the contracts' JSON form (the shared operation table). A
// service fault of the host arrives as the same platform::FaultException,
// ServiceException detail and reason, as in process; anything else the host
// refuses (credentials, rights, limits, a stopping host) is a HostError with
// its status and sentence, and a failed exchange a ConnectionError.
//
// A RemoteSession is one keep-alive connection with its credentials; the
// services made on it share it. Not thread-safe: one session per thread.
//
//   auto session = std::make_shared<RemoteSession>(RemoteOptions{.url = "https://plant:8443",
//                                                                .user = "operator", .password = "..."});
//   RemoteAccessService access(session);
//   auto values = access.GetTagValues(contracts::Tags{{"TI101", {"VALUE"}}});
#ifndef VANTREL_CLIENT_REMOTE_SERVICES_H_
#define VANTREL_CLIENT_REMOTE_SERVICES_H_

#include <memory>
#include <string>
#include <string_view>

#include "client/http_connection.h"
#include "contracts/operation_table.h"
#include "contracts/services.h"
#include "platform/exceptions.h"

namespace vantrel::client {

// The host answered something other than a result or a service fault.
class HostError : public platform::Exception {
 public:
  HostError(int status, const std::string& message, std::string retryAfter = {})
      : platform::Exception(message), status_(status), retryAfter_(std::move(retryAfter)) {}
  int Status() const { return status_; }
  const std::string& RetryAfter() const { return retryAfter_; }

 private:
  int status_;
  std::string retryAfter_;
};

struct RemoteOptions {
  std::string url{};       // "https://HOST:PORT"
  std::string caFile{};    // PEM authorities to trust (empty: the system's)
  std::string user{};      // Basic login name (the host adds its domain) ...
  std::string password{};  // ... and its password
  std::string token{};     // or a Bearer token (wins over user and password)
  std::chrono::seconds timeout{60};
  // Offer to take answers gzip-compressed. A caller on the host's own
  // machine may decline: loopback moves a large answer in far less CPU time
  // than the host needs to deflate it.
  bool offerGzip = true;
};

class RemoteSession {
 public:
  explicit RemoteSession(const RemoteOptions& options);

  // Runs call on the host. Results as in process; throws FaultException,
  // HostError or ConnectionError.
  std::optional<contracts::Json> Invoke(const contracts::Operation& operation, const contracts::Json& arguments);
  // GET of a route ("/v1/version"): its JSON answer.
  contracts::Json Get(const std::string& target);

 private:
  contracts::Json Answer(const HttpAnswer& answer);

  HttpConnection connection_;
  std::string authorization_;
};

class RemoteAccessService : public contracts::IAccessService {
 public:
  explicit RemoteAccessService(std::shared_ptr<RemoteSession> session) : session_(std::move(session)) {}

  contracts::TagValuesByIds GetTagValues(const contracts::TagsById& tagList) override;
  contracts::TagValuesByNames GetTagValues(const contracts::Tags& tagList) override;
  void SetTagValues(const contracts::TagValuesByIds& tagValuesByIds) override;
  void SetTagValues(const contracts::TagValuesByNames& tagValueList) override;
  contracts::TagValuesByIds GetHistoryValuesByIds(const contracts::HistoryRequests& request) override;

 private:
  std::shared_ptr<RemoteSession> session_;
};

class RemoteManagementService : public contracts::IManagementService {
 public:
  explicit RemoteManagementService(std::shared_ptr<RemoteSession> session) : session_(std::move(session)) {}

  contracts::Fields GetDefinedFields() override;
  contracts::FieldDefinitionsByTagName GetFieldDefinitions(const contracts::TagNames& definitionTags) override;
  int32_t GetTagID(const std::string& tagName) override;
  int32_t GetFieldID(const std::string& fieldName) override;
  std::string GetTagName(int32_t tagId) override;
  std::string GetFieldName(int32_t tagId, int32_t fieldId) override;
  contracts::TagNames FindNonexistingTags(const contracts::TagNames& tagNames) override;
  contracts::TagNames GetAllDefinitionTags() override;
  contracts::TagNamesByDefinitionTag GetTagNamesByDefinition(const contracts::TagNames& definitonTags) override;
  void MakeTagsUsable(const contracts::TagNames& tagNames, bool usable) override;
  contracts::TagNames CreateTags(const contracts::TagNamesByDefinitionTag& tagsByDefinition) override;
  contracts::TagTypeEnum GetTagTypeByName(const std::string& name) override;
  contracts::TagIdentifiersByDefinitionTag GetTagIdentifiersByDefinition(
      const contracts::TagNames& definitonTags) override;
  contracts::Version GetServerVersion() override;
  contracts::TagIdentifiers GetProcessTagDefinitions() override;
  contracts::TagIdentifiers GetTagIdentifiersWithSameDefinition(int32_t startingRecordID, int32_t maxReturn) override;
  contracts::TagNamesByDefinitionTag GetMapRecordsByDefinitionTags(const contracts::TagNames& definitionRecords,
                                                                   bool defaultOrFirst) override;
  contracts::DefinitionIdentifierByTagName GetDefinitionIdentifierByTagName(
      const contracts::TagNames& tagNames) override;
  contracts::SelectorsByTagId GetSelectors(const contracts::TagsById& tagsByIds) override;
  contracts::UsableByTagId AreTagsUsable(const contracts::TagIds& tagIds) override;
  contracts::FieldAccessRightsByTagId AreFieldsReadOnly(const contracts::TagsById& tagsByIds,
                                                        bool ignoreOperatorChangeability) override;
  contracts::HistoryInfoByTagId GetHistoryInfo(const contracts::TagsById& tagsByIds) override;
  contracts::DefinitionIdByTagId GetDefinitionIDs(const contracts::TagIds& tagIds) override;
  contracts::TagReferences FindReferences(const contracts::TagNames& tagNames) override;
  contracts::TagReferences FindReferencesBySource(const contracts::TagNames& tagNames,
                                                  contracts::ReferenceSourceTypeEnum source) override;

 private:
  std::shared_ptr<RemoteSession> session_;
};

class RemoteServerManagementService : public contracts::IServerManagementService {
 public:
  explicit RemoteServerManagementService(std::shared_ptr<RemoteSession> session) : session_(std::move(session)) {}

  std::string GetVntGroup200FolderPath() override;
  std::string GetVntEnvironmentVariable(const std::string& variableName) override;
  int32_t GetMaxHistorySizePerCall() override;
  void SetTLSData(const std::string& key, const std::string& userContext) override;

 private:
  std::shared_ptr<RemoteSession> session_;
};

}  // namespace vantrel::client

#endif  // VANTREL_CLIENT_REMOTE_SERVICES_H_
