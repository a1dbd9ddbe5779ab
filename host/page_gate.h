// PageGate: what the dispatcher asks of the browser page's front door
// (host/web), so that the dispatch itself stays free of cookies and files.
// The page's files and its login and logout are served before any
// credentials are proven; a request that carries the page's session cookie
// instead of an Authorization header is proven by the gate.
//
// Implementations are thread-safe: the dispatcher calls them from many
// workers at once.
#ifndef VANTREL_HOST_PAGE_GATE_H_
#define VANTREL_HOST_PAGE_GATE_H_

#include <optional>
#include <variant>

#include "host/authenticator.h"
#include "host/http_message.h"

namespace vantrel::host {

class PageGate {
 public:
  virtual ~PageGate() = default;
  // The answer to a request the gate serves itself (the page's files,
  // /v1/login, /v1/logout, /v1/session), or nothing.
  virtual std::optional<HttpResponse> Serve(const HttpRequest& request) = 0;
  // For a request with a session cookie and no Authorization header: the
  // session's caller, or the refusal to send (an ended session, a missing
  // CSRF token, a foreign origin). Nothing when the request has no cookie.
  virtual std::optional<std::variant<Principal, HttpResponse>> SessionCaller(const HttpRequest& request) = 0;
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_PAGE_GATE_H_
