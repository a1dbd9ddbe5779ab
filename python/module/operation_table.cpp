#include "python/module/operation_table.h"

#include <exception>
#include <utility>

#include <fmt/format.h>

#include "contracts/json.h"
#include "contracts/operation_table.h"
#include "data/data_access.h"
#include "management/management.h"
#include "platform/exceptions.h"
#include "platform/fault.h"
#include "platform/operation_context.h"
#include "server/server_management.h"

namespace vantrel::python {
namespace {

using contracts::Json;
using contracts::JsonFormatError;
using contracts::PreparedCall;
using contracts::ServiceKind;
using contracts::ToJson;

// Makes the service object of Service for this call only (after the
// arguments are read), runs call on it and disposes of it. With a caller,
// the service class's declaration of the operation decides whether it runs
// as the caller; without one, it runs as the thread is.
template <typename Service>
std::optional<Json> Serve(const PreparedCall& call, bool asCaller) {
  auto run = [&] {
    Service service;
    return call.Invoke(contracts::ServicesOf(service));
  };
  if (!asCaller) return run();
  return platform::ServeOperation(Service::kOperations, call.operation().contractName, run);
}

std::optional<Json> Run(const PreparedCall& call, const std::optional<std::string>& account) {
  std::optional<platform::OperationContextScope> caller;
  if (account) caller.emplace(platform::OperationContext{platform::ServiceSecurityContext{*account}});
  switch (call.operation().service) {
    case ServiceKind::kAccess: return Serve<access::DataAccess>(call, account.has_value());
    case ServiceKind::kManagement: return Serve<access::Management>(call, account.has_value());
    case ServiceKind::kServer: return Serve<access::ServerManagement>(call, account.has_value());
  }
  return std::nullopt;
}

Answer ErrorAnswer(int status, const std::string& message) {
  return Answer{status, Json{{"error", message}}.dump()};
}

Answer FaultAnswer(const contracts::ServiceException& detail, const std::string& reason) {
  Json body = Json::object();
  body["fault"] = ToJson(detail);
  body["reason"] = reason;
  return Answer{422, body.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

// The body's text as JSON; no text is an empty object.
Json ParseBody(std::string_view text) {
  if (text.empty()) return Json::object();
  try {
    return contracts::ParseJsonText(text);
  } catch (const JsonFormatError&) {
    throw JsonFormatError("", "the body is not JSON");
  }
}

}  // namespace

Answer CallOperation(std::string_view service, std::string_view operation, std::string_view body,
                     const std::optional<std::string>& account) {
  const auto kind = contracts::ParseServiceName(service);
  if (!kind) return ErrorAnswer(404, fmt::format("no service {}; services: access, management, server", service));
  const contracts::Operation* found = contracts::FindOperation(*kind, operation);
  if (found == nullptr) {
    return ErrorAnswer(404, fmt::format("no operation {} in the {} service", operation, service));
  }
  try {
    const PreparedCall call = found->Prepare(ParseBody(body));
    const std::optional<Json> result = Run(call, account);
    if (!result || result->is_null()) return Answer{200, "{}"};
    Json answer = Json::object();
    answer["result"] = *result;
    return Answer{200, answer.dump(-1, ' ', false, Json::error_handler_t::replace)};
  } catch (...) {
    return FailureAnswer(std::current_exception());
  }
}

Answer FailureAnswer(std::exception_ptr failure) {
  try {
    std::rethrow_exception(std::move(failure));
  } catch (const JsonFormatError& error) {
    return ErrorAnswer(400, error.what());
  } catch (const platform::FaultException& fault) {
    return FaultAnswer(fault.Detail(), fault.Reason().value_or(fault.Detail().Message()));
  } catch (const std::exception& error) {
    // Errors that operations do not turn into faults (and a refused
    // impersonation) reach the caller as faults all the same.
    return FaultAnswer(contracts::ServiceException(error), error.what());
  } catch (...) {
    return FaultAnswer(contracts::ServiceException("Exception", "an unknown error"), "an unknown error");
  }
}

std::vector<std::string> OperationNames(std::string_view service) {
  const auto kind = contracts::ParseServiceName(service);
  return kind ? contracts::OperationNames(*kind) : std::vector<std::string>{};
}

}  // namespace vantrel::python
