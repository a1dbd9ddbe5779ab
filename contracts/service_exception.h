// ServiceException: the detail of a service fault. It records the kind and
// message of the error it was built from; built from an error that already
// carries a detail (a service fault), it keeps that detail, so the detail
// always names the first error.
#ifndef VANTREL_CONTRACTS_SERVICE_EXCEPTION_H_
#define VANTREL_CONTRACTS_SERVICE_EXCEPTION_H_

#include <exception>
#include <string>
#include <utility>

namespace vantrel::contracts {

class ServiceException {
 public:
  ServiceException() = default;
  // The kind is the error's class name without namespaces
  // ("ApplicationException"); the message is what() of the error.
  explicit ServiceException(const std::exception& error);
  ServiceException(std::string errorType, std::string message)
      : errorType_(std::move(errorType)), message_(std::move(message)) {}

  const std::string& ErrorType() const { return errorType_; }
  const std::string& Message() const { return message_; }

  friend bool operator==(const ServiceException&, const ServiceException&) = default;

 private:
  std::string errorType_;
  std::string message_;
};

// Implemented by errors that carry a ServiceException detail already (the
// service fault), so that wrapping them again keeps the innermost error.
class CarriesServiceException {
 public:
  virtual const ServiceException& Detail() const = 0;

 protected:
  ~CarriesServiceException() = default;
};

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_SERVICE_EXCEPTION_H_
