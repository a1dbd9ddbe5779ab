// CallRunner: runs one operation of the operation table on the calling
// worker thread as a proven caller, the way the library expects its host to:
// the caller's account becomes the thread's OperationContext for the call,
// the service class's declaration decides whether the operation runs as the
// caller (ServeOperation), and a new service object serves the call and is
// disposed after it. Whatever happens, the thread's database user context is
// the host's own again when Run returns, so no caller's account is carried
// into the next call.
//
// Thread-safe (it holds only the host's account).
#ifndef VANTREL_HOST_CALL_RUNNER_H_
#define VANTREL_HOST_CALL_RUNNER_H_

#include <optional>
#include <string>

#include "contracts/operation_table.h"

namespace vantrel::host {

class CallRunner {
 public:
  // hostAccount: "DOMAIN\user" the workers' database user context returns
  // to after every call.
  explicit CallRunner(std::string hostAccount);

  // Runs call as account ("DOMAIN\user") and appends its result to out as
  // JSON text; false for an operation without one. Service faults leave as
  // platform::FaultException, unchanged.
  bool Run(const contracts::PreparedCall& call, const std::string& account, std::string& out) const;
  // Runs a GetHistoryValuesByIds call as Run does, but hands back its
  // result as the contract's value, for answers written in another form
  // than JSON (the columnar history answer).
  contracts::TagValuesByIds RunHistory(const contracts::PreparedCall& call, const std::string& account) const;

  // Sets the calling thread's database user context to the host's account
  // (each worker at its start, and after every call).
  void RestoreHostContext() const;

  const std::string& HostAccount() const { return hostAccount_; }

 private:
  std::string hostAccount_;
  std::string hostDomain_;
  std::string hostUser_;
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_CALL_RUNNER_H_
