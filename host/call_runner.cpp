#include "host/call_runner.h"

#include <utility>

#include "api/dorvik.h"
#include "data/data_access.h"
#include "management/management.h"
#include "platform/identity.h"
#include "platform/operation_context.h"
#include "server/server_management.h"

namespace vantrel::host {
namespace {

using contracts::ServiceKind;

// Creates the service object of Service for one call, runs the call on it
// and disposes of it.
template <typename Service>
bool ServeWith(const contracts::PreparedCall& call, std::string& out) {
  return platform::ServeOperation(Service::kOperations, call.operation().contractName, [&] {
    Service service;
    const bool result = call.InvokeText(contracts::ServicesOf(service), out);
    if constexpr (!std::is_same_v<Service, access::ServerManagement>) service.Dispose();
    return result;
  });
}

}  // namespace

CallRunner::CallRunner(std::string hostAccount) : hostAccount_(std::move(hostAccount)) {
  const auto name = platform::AccountName::Parse(hostAccount_);
  hostDomain_ = name.Domain;
  hostUser_ = name.User;
}

void CallRunner::RestoreHostContext() const { SetTlsData(hostDomain_.c_str(), hostUser_.c_str()); }

namespace {

// The host's account again at the end of a call, on every path, faults included.
struct HostContextAgain {
  const CallRunner& runner;
  ~HostContextAgain() { runner.RestoreHostContext(); }
};

}  // namespace

contracts::TagValuesByIds CallRunner::RunHistory(const contracts::PreparedCall& call,
                                                 const std::string& account) const {
  HostContextAgain restore{*this};
  platform::OperationContextScope scope(platform::OperationContext{platform::ServiceSecurityContext{account}});
  const auto& requests = call.Argument<contracts::HistoryRequests>(0);
  return platform::ServeOperation(access::DataAccess::kOperations, "GetHistoryValuesByIds", [&] {
    access::DataAccess service;
    auto result = service.GetHistoryValuesByIds(requests);
    service.Dispose();
    return result;
  });
}

bool CallRunner::Run(const contracts::PreparedCall& call, const std::string& account, std::string& out) const {
  HostContextAgain restore{*this};
  platform::OperationContextScope scope(
      platform::OperationContext{platform::ServiceSecurityContext{account}});
  switch (call.operation().service) {
    case ServiceKind::kAccess: return ServeWith<access::DataAccess>(call, out);
    case ServiceKind::kManagement: return ServeWith<access::Management>(call, out);
    case ServiceKind::kServer: return ServeWith<access::ServerManagement>(call, out);
  }
  return false;
}

}  // namespace vantrel::host
