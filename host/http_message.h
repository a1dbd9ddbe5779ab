// HttpRequest and HttpResponse: the parts of an HTTP exchange that the
// host's dispatch needs, free of the transport, so routing, authentication
// and limits are tested (and fuzzed) without a network. Plain values.
#ifndef VANTREL_HOST_HTTP_MESSAGE_H_
#define VANTREL_HOST_HTTP_MESSAGE_H_

#include <string>
#include <utility>
#include <vector>

namespace vantrel::host {

struct HttpRequest {
  std::string method;          // "GET", "POST", ...
  std::string target;          // "/v1/access/GetTagValues?x=1"
  std::string authorization;   // the Authorization header, empty when absent
  std::string acceptEncoding;  // the Accept-Encoding header
  std::string body;
  std::string source;  // the caller's address, "127.0.0.1"
  bool websocket = false;  // the client asks to upgrade to a WebSocket (/v1/live)
  // For the browser page (host/web): its session cookie, CSRF token and origin.
  std::string cookie{};             // the Cookie header
  std::string csrfToken{};          // the X-CSRF-Token header
  std::string origin{};             // the Origin header
  std::string host{};               // the Host header
  std::string webSocketProtocol{};  // the Sec-WebSocket-Protocol header (the page's CSRF token for /v1/live)
  std::string ifNoneMatch{};        // the If-None-Match header (the page's files)
  std::string accept = {};  // the Accept header (a history call may ask for columns)
};

struct HttpResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // beyond Content-Type and Content-Length
  // Filled in by the dispatch for the audit log.
  std::string account;    // the proven account, empty when none
  std::string service;    // "access", empty for other routes
  std::string operation;  // "GetTagValues"
  std::size_t items = 0;
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_HTTP_MESSAGE_H_
