// OperationTable: every operation of the three services (access,
// management, server) callable by name with its parameters in the
// contracts' JSON form, answered the way the access host answers a remote
// call, so that the Python package treats an in-process call and a call
// through the host alike. The operations, their parameters and how they are
// read and called are those of the one shared table
// (contracts/operation_table.h); this adds the service objects, the caller's
// account and the answers:
//
//   Answer answer = CallOperation("access", "GetTagValues", R"({"tagList": {"TI101": ["VALUE"]}})");
//   // answer.status 200, answer.body {"result": {"TI101": {"VALUE": [...]}}}
//
// Statuses: 200 done ({"result": ...}, or {} without a result); 400 a body
// that is not JSON, a missing or unknown parameter or a wrong shape
// ({"error": "..."} naming the JSON path); 404 an unknown service or
// operation; 422 a service fault ({"fault": <ServiceException>, "reason"}).
//
// Each call constructs its own service object on the calling thread and
// disposes of it afterwards. With a caller account, the call runs as that
// account with the impersonation its declaration asks for; without one, as
// the thread is. Safe to call from any thread.
#ifndef VANTREL_PYTHON_MODULE_OPERATION_TABLE_H_
#define VANTREL_PYTHON_MODULE_OPERATION_TABLE_H_

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::python {

struct Answer {
  int status = 200;
  std::string body;  // JSON text
};

// Runs operation of service with the JSON object body as its parameters,
// as account ("DOMAIN\user") when one is given. Never throws for bad input
// or a failing operation: those are answers.
Answer CallOperation(std::string_view service, std::string_view operation, std::string_view body,
                     const std::optional<std::string>& account);

// The answer for a failure caught while serving a call: 400 for input
// that does not fit its contract shape, 422 (a fault) for anything else.
Answer FailureAnswer(std::exception_ptr failure);

// The operations of a service, in the contracts' order (empty for an
// unknown service).
std::vector<std::string> OperationNames(std::string_view service);

}  // namespace vantrel::python

#endif  // VANTREL_PYTHON_MODULE_OPERATION_TABLE_H_
