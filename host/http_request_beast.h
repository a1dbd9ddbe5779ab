// The conversion of a request Boost.Beast parsed into the host's own
// HttpRequest, shared by the listener (http_server.cpp) and the fuzz target
// over request parsing and dispatch, so that both hand the dispatch the same
// thing. Included only where Beast already is.
#ifndef VANTREL_HOST_HTTP_REQUEST_BEAST_H_
#define VANTREL_HOST_HTTP_REQUEST_BEAST_H_

#include <cstddef>
#include <string>
#include <utility>

#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "host/http_message.h"

namespace vantrel::host {

// The largest request head (request line and headers) the listener reads.
inline constexpr std::size_t kHeaderLimit = 64 * 1024;

// The request's method, target, the headers the dispatch reads and its body
// (moved out of message); source is the caller's address.
inline HttpRequest ToHttpRequest(boost::beast::http::request<boost::beast::http::string_body>& message,
                                 std::string source) {
  namespace http = boost::beast::http;
  HttpRequest request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  request.authorization = std::string(message[http::field::authorization]);
  request.accept = std::string(message[http::field::accept]);
  request.acceptEncoding = std::string(message[http::field::accept_encoding]);
  request.body = std::move(message.body());
  request.source = std::move(source);
  request.websocket = boost::beast::websocket::is_upgrade(message);
  request.cookie = std::string(message[http::field::cookie]);
  request.csrfToken = std::string(message["X-CSRF-Token"]);
  request.origin = std::string(message[http::field::origin]);
  request.host = std::string(message[http::field::host]);
  request.webSocketProtocol = std::string(message[http::field::sec_websocket_protocol]);
  request.ifNoneMatch = std::string(message[http::field::if_none_match]);
  return request;
}

}  // namespace vantrel::host

#endif  // VANTREL_HOST_HTTP_REQUEST_BEAST_H_
