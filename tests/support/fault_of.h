// FaultOf: the service fault that an operation raises, for tests that look
// at its reason and detail. A body that raises none fails the test.
#ifndef VANTREL_TESTS_SUPPORT_FAULT_OF_H_
#define VANTREL_TESTS_SUPPORT_FAULT_OF_H_

#include <gtest/gtest.h>

#include "platform/fault.h"

namespace vantrel::testing {

template <typename Body>
platform::FaultException FaultOf(Body body) {
  try {
    body();
  } catch (const platform::FaultException& fault) {
    return fault;
  }
  ADD_FAILURE() << "no fault was raised";
  return platform::FaultException(contracts::ServiceException());
}

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_SUPPORT_FAULT_OF_H_
