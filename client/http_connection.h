// HttpConnection: one keep-alive HTTP/1.1 connection from a client to the
// access service host, over TLS for an https URL (the host's certificate is
// verified against the CA file given, or the system's authorities, and must
// name the host), plain for http. It connects on first use and once more
// when the host closed an idle connection. Every exchange is bounded by a
// time limit.
//
// Not thread-safe: one connection per thread. The transport library stays
// inside http_connection.cpp.
#ifndef VANTREL_CLIENT_HTTP_CONNECTION_H_
#define VANTREL_CLIENT_HTTP_CONNECTION_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/exceptions.h"

namespace vantrel::client {

// The host could not be reached or the exchange failed on the way: what()
// says which and why.
class ConnectionError : public platform::IOException {
 public:
  using platform::IOException::IOException;
};

struct Endpoint {
  bool tls = true;
  std::string host;  // name or address, without brackets
  std::string port;  // "443"

  // Reads "https://HOST:PORT" or "http://HOST:PORT" (an optional trailing
  // slash). Throws platform::ArgumentException naming what is wrong.
  static Endpoint Parse(const std::string& url);
};

struct HttpAnswer {
  int status = 0;
  std::string body;         // inflated when the host sent it gzip-compressed
  std::string contentType;  // the Content-Type header
  std::string retryAfter;   // the Retry-After header, when given
};

// The Authorization header value "Basic base64(user:password)".
std::string BasicAuthorization(const std::string& user, const std::string& password);

class HttpConnection {
 public:
  // caFile: PEM authorities to trust instead of the system's (empty: the
  // system's).
  HttpConnection(Endpoint endpoint, std::string caFile = {},
                 std::chrono::seconds timeout = std::chrono::seconds(60));
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // Sends one request and reads its answer, offering to take it gzip-
  // compressed; accept is the Accept header. Throws ConnectionError, also
  // for a compressed answer that is damaged or inflates past the limit.
  HttpAnswer Exchange(const std::string& method, const std::string& target, const std::string& body,
                      const std::string& authorization, const std::string& accept = "application/json");
  // Whether requests offer to take gzip (the default) or ask for answers as they are.
  void OfferGzip(bool offer);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel::client

#endif  // VANTREL_CLIENT_HTTP_CONNECTION_H_
