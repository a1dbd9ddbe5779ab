#include "client/http_connection.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <optional>
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/beast/ssl.hpp>
#include <fmt/format.h>

#include "wire/gzip.h"

namespace vantrel::client {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

constexpr std::size_t kAnswerLimit = 1024 * 1024 * 1024;

}  // namespace

std::string BasicAuthorization(const std::string& user, const std::string& password) {
  const std::string credentials = user + ":" + password;
  std::string encoded(4 * ((credentials.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                     reinterpret_cast<const unsigned char*>(credentials.data()),
                                     static_cast<int>(credentials.size()));
  encoded.resize(static_cast<std::size_t>(length));
  return "Basic " + encoded;
}

Endpoint Endpoint::Parse(const std::string& url) {
  Endpoint endpoint;
  std::string rest;
  if (url.rfind("https://", 0) == 0) {
    rest = url.substr(8);
  } else if (url.rfind("http://", 0) == 0) {
    endpoint.tls = false;
    rest = url.substr(7);
  } else {
    throw platform::ArgumentException(fmt::format("'{}' is not an https:// or http:// URL", url));
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const auto colon = rest.rfind(':');
  if (colon == std::string::npos || colon + 1 == rest.size() || rest.find('/') != std::string::npos) {
    throw platform::ArgumentException(fmt::format("'{}' is not SCHEME://HOST:PORT", url));
  }
  endpoint.host = rest.substr(0, colon);
  endpoint.port = rest.substr(colon + 1);
  if (endpoint.host.size() > 2 && endpoint.host.front() == '[' && endpoint.host.back() == ']') {
    endpoint.host = endpoint.host.substr(1, endpoint.host.size() - 2);
  }
  return endpoint;
}

struct HttpConnection::Impl {
  Impl(Endpoint where, const std::string& caFile, std::chrono::seconds limit)
      : endpoint(std::move(where)), timeout(limit), tls(ssl::context::tls_client) {
    tls.set_options(ssl::context::no_sslv2 | ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                    ssl::context::no_tlsv1_1);
    tls.set_verify_mode(ssl::verify_peer);
    beast::error_code error;
    if (caFile.empty()) {
      tls.set_default_verify_paths(error);
    } else {
      tls.load_verify_file(caFile, error);
    }
    if (error) throw ConnectionError(fmt::format("cannot read the CA file {}: {}", caFile, error.message()));
  }

  void Connect() {
    Close();
    beast::error_code error;
    tcp::resolver resolver(io);
    const auto addresses = resolver.resolve(endpoint.host, endpoint.port, error);
    if (error) throw ConnectionError(fmt::format("cannot resolve {}: {}", endpoint.host, error.message()));
    if (endpoint.tls) {
      secure.emplace(io, tls);
      if (!SSL_set_tlsext_host_name(secure->native_handle(), endpoint.host.c_str())) {
        throw ConnectionError("cannot set the TLS server name");
      }
      // The certificate must name the host (a DNS name or an IP address).
      secure->set_verify_callback(ssl::host_name_verification(endpoint.host));
      beast::get_lowest_layer(*secure).expires_after(timeout);
      beast::get_lowest_layer(*secure).connect(addresses, error);
      if (!error) secure->handshake(ssl::stream_base::client, error);
    } else {
      plain.emplace(io);
      plain->expires_after(timeout);
      plain->connect(addresses, error);
    }
    if (error) {
      Close();
      throw ConnectionError(
          fmt::format("cannot connect to {}:{}: {}", endpoint.host, endpoint.port, error.message()));
    }
  }

  void Close() {
    beast::error_code ignored;
    if (secure) beast::get_lowest_layer(*secure).socket().close(ignored);
    if (plain) plain->socket().close(ignored);
    secure.reset();
    plain.reset();
    buffer.clear();
  }

  bool Connected() const { return secure.has_value() || plain.has_value(); }

  // One exchange on the open connection; the error of the first failing step.
  beast::error_code TryExchange(http::request<http::string_body>& request, HttpAnswer& answer) {
    beast::error_code error;
    http::response_parser<http::string_body> parser;
    parser.body_limit(kAnswerLimit);
    if (secure) {
      beast::get_lowest_layer(*secure).expires_after(timeout);
      http::write(*secure, request, error);
      if (!error) http::read(*secure, buffer, parser, error);
    } else {
      plain->expires_after(timeout);
      http::write(*plain, request, error);
      if (!error) http::read(*plain, buffer, parser, error);
    }
    if (error) return error;
    auto& response = parser.get();
    answer.status = static_cast<int>(response.result_int());
    answer.body = std::move(response.body());
    answer.contentType = std::string(response[http::field::content_type]);
    const bool gzipped = beast::iequals(response[http::field::content_encoding], "gzip");
    answer.retryAfter = std::string(response[http::field::retry_after]);
    if (!response.keep_alive()) Close();
    if (gzipped) answer.body = wire::GzipDecompress(answer.body, kAnswerLimit);
    return error;
  }

  Endpoint endpoint;
  bool offerGzip = true;
  std::chrono::seconds timeout;
  net::io_context io;
  ssl::context tls;
  std::optional<beast::ssl_stream<beast::tcp_stream>> secure;
  std::optional<beast::tcp_stream> plain;
  beast::flat_buffer buffer;
};

HttpConnection::HttpConnection(Endpoint endpoint, std::string caFile, std::chrono::seconds timeout)
    : impl_(std::make_unique<Impl>(std::move(endpoint), caFile, timeout)) {}

HttpConnection::~HttpConnection() = default;

void HttpConnection::OfferGzip(bool offer) { impl_->offerGzip = offer; }

HttpAnswer HttpConnection::Exchange(const std::string& method, const std::string& target, const std::string& body,
                                    const std::string& authorization, const std::string& accept) {
  http::request<http::string_body> request(http::string_to_verb(method), target, 11);
  request.set(http::field::host, impl_->endpoint.host);
  request.set(http::field::user_agent, "vantrel-client");
  request.set(http::field::content_type, "application/json");
  request.set(http::field::accept, accept);
  request.set(http::field::accept_encoding, impl_->offerGzip ? "gzip" : "identity");
  if (!authorization.empty()) request.set(http::field::authorization, authorization);
  request.keep_alive(true);
  request.body() = body;
  request.prepare_payload();
  HttpAnswer answer;
  // A kept connection the host closed while idle fails at once: connect
  // again and send once more (the request never reached the host).
  const bool reused = impl_->Connected();
  if (!reused) impl_->Connect();
  beast::error_code error;
  try {
    error = impl_->TryExchange(request, answer);
    if (error && reused && (error == http::error::end_of_stream || error == net::error::eof ||
                            error == net::error::connection_reset || error == net::error::broken_pipe ||
                            error == ssl::error::stream_truncated)) {
      impl_->Connect();
      error = impl_->TryExchange(request, answer);
    }
  } catch (const wire::GzipError& damaged) {
    throw ConnectionError(fmt::format("{} {} on {}:{}: the compressed answer is unusable: {}", method, target,
                                      impl_->endpoint.host, impl_->endpoint.port, damaged.what()));
  }
  if (error) {
    impl_->Close();
    throw ConnectionError(fmt::format("{} {} on {}:{} failed: {}", method, target, impl_->endpoint.host,
                                      impl_->endpoint.port, error.message()));
  }
  return answer;
}

}  // namespace vantrel::client
