#include "host/dispatcher.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "contracts/json.h"
#include "contracts/operation_table.h"
#include "host/live/chart_history_route.h"
#include "host/openapi.h"
#include "host/read_routes.h"
#include "host/response_encoding.h"
#include "platform/fault.h"
#include "wire/history_columns.h"

namespace vantrel::host {
namespace {

using contracts::Json;

constexpr std::string_view kApiPrefix = "/v1/";
constexpr int kRetryAfterSeconds = 5;

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower;
}

// Edit distance of two words, case ignored.
std::size_t Distance(std::string_view a, std::string_view b) {
  const std::string x = Lower(a);
  const std::string y = Lower(b);
  std::vector<std::size_t> row(y.size() + 1);
  for (std::size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= x.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= y.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[y.size()];
}

// " (did you mean X?)" for the closest of candidates, or "".
std::string Suggestion(std::string_view word, const std::vector<std::string>& candidates) {
  const std::string* best = nullptr;
  std::size_t bestDistance = std::max<std::size_t>(2, word.size() / 3) + 1;
  for (const auto& candidate : candidates) {
    const std::size_t distance = Distance(word, candidate);
    if (distance < bestDistance) {
      best = &candidate;
      bestDistance = distance;
    }
  }
  return best == nullptr ? "" : fmt::format(" (did you mean {}?)", *best);
}

std::string Path(std::string_view target) { return std::string(target.substr(0, target.find('?'))); }

HttpResponse JsonResponse(int status, const Json& body) {
  HttpResponse response;
  response.status = status;
  // A name from the request may hold bytes that are not UTF-8; the answer
  // names it with U+FFFD in their place rather than failing.
  response.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return response;
}

HttpResponse Unavailable(const std::string& message) {
  HttpResponse response = ErrorResponse(503, message);
  response.headers.emplace_back("Retry-After", std::to_string(kRetryAfterSeconds));
  return response;
}

HttpResponse WrongMethod(const HttpRequest& request, std::string_view allowed) {
  HttpResponse response =
      ErrorResponse(405, fmt::format("{} takes {}, not {}", Path(request.target), allowed, request.method));
  response.headers.emplace_back("Allow", std::string(allowed));
  return response;
}

HttpResponse NotAuthenticated(const std::string& message) {
  HttpResponse response = ErrorResponse(401, message);
  response.headers.emplace_back("WWW-Authenticate", fmt::format("Basic realm=\"{}\", charset=\"UTF-8\"", kRealm));
  response.headers.emplace_back("WWW-Authenticate", fmt::format("Bearer realm=\"{}\"", kRealm));
  return response;
}

HttpResponse UnknownOperation(std::string_view service, std::string_view operation) {
  const auto kind = contracts::ParseServiceName(service);
  if (!kind) {
    return ErrorResponse(404, fmt::format("no service {}{}; services: access, management, server", service,
                                          Suggestion(service, {"access", "management", "server"})));
  }
  if (const auto* elsewhere = contracts::FindOperationByName(operation)) {
    return ErrorResponse(404, fmt::format("{} is an operation of the {} service: POST /v1/{}/{}", operation,
                                          contracts::ServiceName(elsewhere->service),
                                          contracts::ServiceName(elsewhere->service), operation));
  }
  return ErrorResponse(404, fmt::format("no operation {} in the {} service{}", operation, service,
                                        Suggestion(operation, contracts::OperationNames(*kind))));
}

// The first over-limit of the call's history requests, or "".
std::string HistoryOverLimit(const contracts::PreparedCall& call, int32_t limit) {
  if (call.operation().name != "GetHistoryValuesByIds") return "";
  const auto& requests = call.Argument<contracts::HistoryRequests>(0);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (requests[i].Query.MaxCount > limit) {
      return fmt::format("/request/{}/query/maxCount: {} history values asked; the limit is {} per request", i,
                         requests[i].Query.MaxCount, limit);
    }
  }
  return "";
}

}  // namespace

HttpResponse ErrorResponse(int status, const std::string& message) {
  return JsonResponse(status, Json{{"error", message}});
}

Dispatcher::Dispatcher(Authenticator& authenticator, const CallRunner& runner, const HostLimits& limits)
    : authenticator_(authenticator), runner_(runner), limits_(limits) {}

HttpResponse Dispatcher::Handle(const HttpRequest& request) {
  try {
    HttpResponse response = Route(request);
    EncodeForClient(request, response);
    return response;
  } catch (const std::exception& error) {
    return ErrorResponse(500, fmt::format("the host failed: {}", error.what()));
  } catch (...) {
    return ErrorResponse(500, "the host failed");
  }
}

HttpResponse Dispatcher::Route(const HttpRequest& request) {
  const std::string path = Path(request.target);
  if (path == "/v1/health") {
    if (request.method != "GET" && request.method != "HEAD") return WrongMethod(request, "GET");
    return Available() ? JsonResponse(200, Json{{"status", "up"}}) : Unavailable("the database is not available");
  }
  if (pageGate_ != nullptr) {
    if (auto served = pageGate_->Serve(request)) return *served;
  }
  // Everything else needs a proven caller: the page's session cookie or the Authorization header.
  AuthResult auth;
  if (auto caller = pageGate_ != nullptr ? pageGate_->SessionCaller(request) : std::nullopt) {
    if (auto* refusal = std::get_if<HttpResponse>(&*caller)) return *refusal;
    auth = AuthResult{AuthOutcome::kAccepted, std::get<Principal>(*caller), "", 0};
  } else {
    auth = authenticator_.Authenticate(request.authorization, request.source);
  }
  switch (auth.outcome) {
    case AuthOutcome::kAccepted: break;
    case AuthOutcome::kMissing: return NotAuthenticated("credentials are needed: Basic or Bearer");
    case AuthOutcome::kRefused: return NotAuthenticated("the credentials were refused");
    case AuthOutcome::kThrottled: {
      HttpResponse response = ErrorResponse(429, "too many failed logins from this address; try again later");
      response.headers.emplace_back("Retry-After", std::to_string(std::max(auth.retryAfterSeconds, 1)));
      return response;
    }
  }
  const Principal& principal = *auth.principal;
  HttpResponse answer;
  answer.account = principal.account;
  if (path == "/v1/version") {
    if (request.method != "GET") return WrongMethod(request, "GET");
    return JsonResponse(200, Json{{"version", VANTREL_HOST_VERSION}, {"api", "v1"}});
  }
  if (path == "/v1/openapi.json") {
    if (request.method != "GET") return WrongMethod(request, "GET");
    return JsonResponse(200, OpenApiDocument(VANTREL_HOST_VERSION));
  }
  if (path == "/v1/live") {  // the live values WebSocket: the listener hands a 101 to host/live_socket
    HttpResponse upgrade = request.websocket ? HttpResponse{} : ErrorResponse(426, "/v1/live is a WebSocket");
    if (request.websocket) upgrade.status = 101;
    upgrade.account = principal.account;
    return upgrade;
  }
  if (auto chart = live::ChartHistoryRoute(request, principal.account)) {  // the trend page's history (host/live)
    runner_.RestoreHostContext();
    return *chart;
  }
  if (const std::string_view view = ReadRouteName(path); !view.empty()) {  // the tool's views (read_routes.h)
    if (request.method != "GET") return WrongMethod(request, "GET");
    return View(request, view, principal);
  }
  if (path == "/metrics" && metricsSource_) {
    if (request.method != "GET") return WrongMethod(request, "GET");
    HttpResponse metrics;
    metrics.contentType = "text/plain; version=0.0.4";
    metrics.body = metricsSource_();
    return metrics;
  }
  if (path.rfind(kApiPrefix, 0) == 0) {
    const std::string_view rest = std::string_view(path).substr(kApiPrefix.size());
    const auto slash = rest.find('/');
    if (slash != std::string_view::npos && rest.find('/', slash + 1) == std::string_view::npos) {
      if (request.method != "POST") return WrongMethod(request, "POST");
      return Call(request, rest.substr(0, slash), rest.substr(slash + 1), principal, answer);
    }
  }
  return ErrorResponse(404, fmt::format("no route {}; calls are POST /v1/{{service}}/{{operation}}", path));
}

HttpResponse Dispatcher::Call(const HttpRequest& request, std::string_view service, std::string_view operationName,
                              const Principal& principal, HttpResponse& answer) {
  const contracts::Operation* operation = contracts::FindOperation(service, operationName);
  if (operation == nullptr) return UnknownOperation(service, operationName);
  answer.service = std::string(service);
  answer.operation = std::string(operationName);
  auto fill = [&](HttpResponse response) {
    response.account = answer.account;
    response.service = answer.service;
    response.operation = answer.operation;
    response.items = answer.items;
    return response;
  };
  if (!Available()) return fill(Unavailable(stopping_ ? "the host is stopping" : "the database is shut down"));
  std::optional<contracts::PreparedCall> call;
  try {
    call = operation->PrepareText(request.body);
  } catch (const contracts::JsonFormatError& error) {
    const std::string where = error.Path().empty() ? "the body" : error.Path();
    return fill(ErrorResponse(400, fmt::format("{}: {}", where, error.Reason())));
  }
  answer.items = call->Items();
  if (answer.items > limits_.maxItemsPerCall) {
    return fill(ErrorResponse(413, fmt::format("the call carries {} items; the limit is {} items per call",
                                               answer.items, limits_.maxItemsPerCall)));
  }
  if (auto over = HistoryOverLimit(*call, limits_.maxHistoryValuesPerRequest); !over.empty()) {
    return fill(ErrorResponse(413, over));
  }
  if (operation->name == "SetTLSData" && !principal.impersonate) {
    return fill(ErrorResponse(403, "SetTLSData needs the impersonate role"));
  }
  if (!EnterCall(principal.account)) {
    HttpResponse busy = ErrorResponse(
        429, fmt::format("{} has {} calls in progress, the limit per account", principal.account,
                         limits_.maxCallsPerAccount));
    busy.headers.emplace_back("Retry-After", "1");
    return fill(std::move(busy));
  }
  struct Leave {
    Dispatcher& dispatcher;
    const std::string& account;
    ~Leave() { dispatcher.LeaveCall(account); }
  } leave{*this, principal.account};
  try {
    if (operation->name == "GetHistoryValuesByIds" && AcceptsColumns(request.accept)) {
      HttpResponse columns;
      columns.contentType = std::string(wire::kColumnsMediaType);
      columns.body = wire::EncodeHistoryColumns(runner_.RunHistory(*call, principal.account));
      return fill(std::move(columns));
    }
    // {"result": ...}, or {} for an operation without a result: the text
    // Json::dump writes for that document, with the result written in place.
    HttpResponse done;
    done.body = "{\"result\":";
    if (runner_.Run(*call, principal.account, done.body)) {
      done.body += '}';
    } else {
      done.body = "{}";
    }
    return fill(std::move(done));
  } catch (const platform::FaultException& fault) {
    const Json reason = fault.Reason() ? Json(*fault.Reason()) : Json(nullptr);
    return fill(JsonResponse(422, Json{{"fault", contracts::ToJson(fault.Detail())}, {"reason", reason}}));
  }
}

bool Dispatcher::EnterCall(const std::string& account) {
  std::lock_guard lock(callsMutex_);
  std::size_t& calls = callsByAccount_[account];
  if (calls >= limits_.maxCallsPerAccount) return false;
  ++calls;
  return true;
}

void Dispatcher::LeaveCall(const std::string& account) {
  std::lock_guard lock(callsMutex_);
  if (--callsByAccount_[account] == 0) callsByAccount_.erase(account);
}

}  // namespace vantrel::host
