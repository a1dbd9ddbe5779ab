#include "platform/fault.h"

namespace vantrel::platform {

FaultException::FaultException(contracts::ServiceException detail,
                               std::optional<std::string> reason)
    : Exception(reason ? *reason : detail.Message()),
      detail_(std::move(detail)),
      reason_(std::move(reason)) {}

FaultException FaultException::FromError(const std::exception& error) {
  // ServiceException keeps the detail of an error that carries one, so a
  // fault of a fault still names the first error.
  return FaultException(contracts::ServiceException(error), std::string(error.what()));
}

}  // namespace vantrel::platform
