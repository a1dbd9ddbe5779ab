// FaultException: the service fault a host hands back to a remote caller.
// It carries a ServiceException detail and an optional reason text. Built
// from another error, the detail keeps that error's innermost cause (a fault
// built from a fault keeps the first fault's detail). what() is the reason,
// or the detail's message when there is no reason.
//
// RunServiceOperation is the one place where a public operation turns any
// error into a fault.
#ifndef VANTREL_PLATFORM_FAULT_H_
#define VANTREL_PLATFORM_FAULT_H_

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "contracts/service_exception.h"
#include "platform/exceptions.h"

namespace vantrel::platform {

class FaultException : public Exception, public contracts::CarriesServiceException {
 public:
  explicit FaultException(contracts::ServiceException detail,
                          std::optional<std::string> reason = std::nullopt);

  // A fault whose detail is built from error and whose reason is error's
  // message.
  static FaultException FromError(const std::exception& error);

  const contracts::ServiceException& Detail() const override { return detail_; }
  const std::optional<std::string>& Reason() const { return reason_; }

 private:
  contracts::ServiceException detail_;
  std::optional<std::string> reason_;
};

// Runs body and returns its result; any error it raises leaves as a
// FaultException built from that error (detail from the error, reason its
// message).
template <typename Body>
auto RunServiceOperation(Body&& body) -> decltype(body()) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& error) {
    throw FaultException::FromError(error);
  }
}

}  // namespace vantrel::platform

#endif  // VANTREL_PLATFORM_FAULT_H_
