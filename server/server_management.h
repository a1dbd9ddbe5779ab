// ServerManagement: the service class for server-level values (contract
// IServerManagementService): database environment variables, the group
// folder, the history size limit, and the database user context of the
// calling thread. It holds no state; its operations run under the host's own
// identity (none asks for the caller to be impersonated). Only SetTLSData
// reports its failures as service faults. Any thread may use an object.
#ifndef VANTREL_SERVER_SERVER_MANAGEMENT_H_
#define VANTREL_SERVER_SERVER_MANAGEMENT_H_

#include <array>
#include <cstdint>
#include <string>

#include "contracts/services.h"
#include "platform/operation_context.h"

namespace vantrel::access {

class ServerManagement : public contracts::IServerManagementService {
 public:
  // The most history values a caller should ask for in one call. Reported
  // only; no operation of the library enforces it.
  static constexpr int32_t kMaxHistorySizePerCall = 10000;

  ServerManagement() = default;

  // None runs as the caller: they run as the host's thread is.
  static constexpr std::array<platform::OperationDeclaration, 4> kOperations{{
      {"GetVntGroup200FolderPath", platform::ImpersonationOption::NotAllowed},
      {"GetVntEnvironmentVariable", platform::ImpersonationOption::NotAllowed},
      {"GetMaxHistorySizePerCall", platform::ImpersonationOption::NotAllowed},
      {"SetTLSData", platform::ImpersonationOption::NotAllowed},
  }};

  // The value of a database environment variable (at most 1024 bytes, read
  // as ASCII); empty when it is unset or empty. The name is cut to 1023
  // characters. Errors are not turned into faults.
  std::string GetVntEnvironmentVariable(const std::string& variableName) override;
  // GetVntEnvironmentVariable("DORVIK_GROUP_FOLDER_NAME"), through the
  // virtual operation, so that a derived class replacing it changes both.
  std::string GetVntGroup200FolderPath() override;
  int32_t GetMaxHistorySizePerCall() override { return kMaxHistorySizePerCall; }
  // Sets the calling thread's database user context to userContext
  // ("DOMAIN\user"; pieces after a second backslash are ignored) when key is
  // the library's key in any GUID text form Guid::Parse reads. A fault, the
  // context unchanged, for a key that is not a GUID, another GUID ("Key is
  // not recognized for setting user context") or a context without a
  // backslash.
  void SetTLSData(const std::string& key, const std::string& userContext) override;
};

}  // namespace vantrel::access

#endif  // VANTREL_SERVER_SERVER_MANAGEMENT_H_
