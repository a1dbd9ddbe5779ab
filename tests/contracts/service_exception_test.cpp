#include "contracts/service_exception.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "platform/exceptions.h"

namespace vantrel::contracts {
namespace {

// A small service fault: an error that carries a detail built from the error
// it wraps.
class CarrierError : public std::runtime_error, public CarriesServiceException {
 public:
  explicit CarrierError(const std::exception& inner)
      : std::runtime_error(std::string("wrapped: ") + inner.what()), detail_(inner) {}
  const ServiceException& Detail() const override { return detail_; }

 private:
  ServiceException detail_;
};

template <typename T>
class BoxError : public std::logic_error {
 public:
  BoxError() : std::logic_error("boxed") {}
};

struct Item {};

TEST(ServiceExceptionTest, RecordsTheClassNameWithoutNamespacesAndTheMessage) {
  const ServiceException fromApplication(platform::ApplicationException("disk full"));
  EXPECT_EQ(fromApplication.ErrorType(), "ApplicationException");
  EXPECT_EQ(fromApplication.Message(), "disk full");

  const ServiceException fromStandard(std::runtime_error("plain"));
  EXPECT_EQ(fromStandard.ErrorType(), "runtime_error");

  const ServiceException fromTemplate{BoxError<Item>()};
  EXPECT_EQ(fromTemplate.ErrorType(), "BoxError<vantrel::contracts::(anonymous namespace)::Item>");
}

TEST(ServiceExceptionTest, KeepsTheInnermostErrorThroughTwoWraps) {
  const platform::InvalidOperationException first("first failure");
  const CarrierError once(first);
  const CarrierError twice(once);
  const ServiceException detail(twice);
  EXPECT_EQ(detail.ErrorType(), "InvalidOperationException");
  EXPECT_EQ(detail.Message(), "first failure");
  EXPECT_EQ(detail, ServiceException(first));
}

}  // namespace
}  // namespace vantrel::contracts
