// Dispatcher: turns one HTTP request into its answer: the route, the
// caller's proof (Authenticator), the operation's arguments read from the
// contracts' JSON form (operation table), the host's limits and rights, the
// call itself (CallRunner) and the status code of every outcome. It knows
// nothing of the transport; the server runs Handle on a worker thread,
// because both the password check and the operation block.
//
// Routes:
//   GET  /v1/health                  up or not, without credentials
//   GET  /v1/version                 the host's version
//   GET  /v1/openapi.json            the API as an OpenAPI 3 document (openapi.h)
//   POST /v1/{service}/{operation}   a call: {"result": ...} or {}; a history
//                                    call may ask for columns (response_encoding.h)
//   GET  /v1/read, history, records, fields, definitions, refs
//                                    the tool's --json views (read_routes.h)
//   GET  /metrics                    the Prometheus text, when a source is set
//   the page's files, login and session cookie, when a PageGate is set
//
// Thread-safe: Handle runs on many workers at once.
#ifndef VANTREL_HOST_DISPATCHER_H_
#define VANTREL_HOST_DISPATCHER_H_

#include <atomic>
#include <functional>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "host/authenticator.h"
#include "host/call_runner.h"
#include "host/host_limits.h"
#include "host/http_message.h"
#include "host/page_gate.h"

namespace vantrel::host {

inline constexpr std::string_view kRealm = "vntaccessd";

class Dispatcher {
 public:
  Dispatcher(Authenticator& authenticator, const CallRunner& runner, const HostLimits& limits);
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // The answer to request; never throws.
  HttpResponse Handle(const HttpRequest& request);

  // While stopping or while the database is shut down, calls and the health
  // route answer 503 with Retry-After.
  void SetStopping() { stopping_ = true; }
  void SetDatabaseDown(bool down) { databaseDown_ = down; }
  bool Available() const { return !stopping_ && !databaseDown_; }
  // The text of GET /metrics; set before the first request.
  void SetMetricsSource(std::function<std::string()> source) { metricsSource_ = std::move(source); }
  // The browser page's front door (host/web): its files, login and session
  // cookie; set before the first request, or never.
  void SetPageGate(PageGate* gate) { pageGate_ = gate; }

 private:
  HttpResponse Route(const HttpRequest& request);
  HttpResponse Call(const HttpRequest& request, std::string_view service, std::string_view operation,
                    const Principal& principal, HttpResponse& answer);
  // A read-only view of the tool (read_routes.h) as principal, with the
  // limits and call slots of a call.
  HttpResponse View(const HttpRequest& request, std::string_view route, const Principal& principal);
  // Takes one of the account's call slots; false when all are in use.
  bool EnterCall(const std::string& account);
  void LeaveCall(const std::string& account);

  Authenticator& authenticator_;
  const CallRunner& runner_;
  const HostLimits limits_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> databaseDown_{false};
  std::function<std::string()> metricsSource_;
  PageGate* pageGate_ = nullptr;
  std::mutex callsMutex_;
  std::map<std::string, std::size_t> callsByAccount_;  // guarded by callsMutex_
};

// The answer {"error": message} with status.
HttpResponse ErrorResponse(int status, const std::string& message);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_DISPATCHER_H_
