#include "platform/fault.h"

#include <string>

#include <gtest/gtest.h>

namespace vantrel::platform {
namespace {

TEST(Fault, WhatIsTheReasonElseTheDetailMessage) {
  const FaultException withReason(contracts::ServiceException("Exception", "detail text"),
                                  std::string("reason text"));
  EXPECT_STREQ(withReason.what(), "reason text");
  EXPECT_EQ(withReason.Reason(), "reason text");

  const FaultException withoutReason(contracts::ServiceException("Exception", "detail text"));
  EXPECT_STREQ(withoutReason.what(), "detail text");
  EXPECT_FALSE(withoutReason.Reason());
}

TEST(Fault, KeepsTheInnermostErrorThroughTwoWraps) {
  const ApplicationException first("Make tag B Usable with error 12.");
  const FaultException once = FaultException::FromError(first);
  const FaultException twice = FaultException::FromError(once);
  EXPECT_EQ(twice.Detail().ErrorType(), "ApplicationException");
  EXPECT_EQ(twice.Detail().Message(), "Make tag B Usable with error 12.");
  EXPECT_EQ(twice.Reason(), "Make tag B Usable with error 12.");
}

TEST(Fault, AFaultWithoutReasonPassesItsDetailMessageOn) {
  const FaultException inner(
      contracts::ServiceException(Exception("Invalid field id 0x30000 for tag id 7")));
  const FaultException outer = FaultException::FromError(inner);
  EXPECT_EQ(outer.Detail().ErrorType(), "Exception");
  EXPECT_STREQ(outer.what(), "Invalid field id 0x30000 for tag id 7");
}

TEST(Fault, RunServiceOperationReturnsResultsAndTurnsErrorsIntoFaults) {
  EXPECT_EQ(RunServiceOperation([] { return 42; }), 42);
  try {
    RunServiceOperation([]() -> int {
      return RunServiceOperation([]() -> int { throw InvalidOperationException("inner"); });
    });
    FAIL() << "no fault";
  } catch (const FaultException& fault) {
    EXPECT_EQ(fault.Detail().ErrorType(), "InvalidOperationException");
    EXPECT_EQ(fault.Reason(), "inner");
  }
}

}  // namespace
}  // namespace vantrel::platform
