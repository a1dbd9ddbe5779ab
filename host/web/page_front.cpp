#include "host/web/page_front.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "contracts/json.h"
#include "host/auth/secrets.h"

namespace vantrel::host::web {
namespace {

using contracts::Json;

std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

HttpResponse Answer(int status, const Json& body) {
  HttpResponse response;
  response.status = status;
  response.body = body.dump();
  return response;
}

HttpResponse Error(int status, const std::string& message) { return Answer(status, Json{{"error", message}}); }

HttpResponse WrongMethod(std::string_view path, std::string_view allowed) {
  HttpResponse response = Error(405, fmt::format("{} takes {}", path, allowed));
  response.headers.emplace_back("Allow", std::string(allowed));
  return response;
}

// Headers every answer of the page carries: what the browser may load and
// run, and that it may not guess types or frame the page.
HttpResponse WithPageHeaders(HttpResponse response) {
  response.headers.emplace_back("Content-Security-Policy", std::string(kContentSecurityPolicy));
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("X-Frame-Options", "DENY");
  response.headers.emplace_back("Referrer-Policy", "no-referrer");
  return response;
}

std::string SessionCookie(std::string_view id, std::chrono::seconds maxAge) {
  return fmt::format("{}={}; Path=/; Max-Age={}; HttpOnly; Secure; SameSite=Strict", kSessionCookie, id,
                     maxAge.count());
}

std::string Base64(std::string_view text) {
  std::vector<char> out(sodium_base64_ENCODED_LEN(text.size(), sodium_base64_VARIANT_ORIGINAL));
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  return std::string(out.data());
}

Json SessionJson(const Principal& principal, const std::string& csrf) {
  return Json{{"user", principal.user}, {"account", principal.account}, {"csrf", csrf}};
}

HttpResponse SessionEnded() { return Error(401, "the session has ended; log in again"); }

}  // namespace

std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const auto semicolon = header.find(';');
    const std::string_view pair = Trim(header.substr(0, semicolon));
    const auto equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return std::string(pair.substr(equals + 1));
    }
    if (semicolon == std::string_view::npos) break;
    header.remove_prefix(semicolon + 1);
  }
  return "";
}

std::string TokenOfProtocols(std::string_view header) {
  constexpr std::string_view kPrefix = "csrf.";
  while (!header.empty()) {
    const auto comma = header.find(',');
    const std::string_view value = Trim(header.substr(0, comma));
    if (value.rfind(kPrefix, 0) == 0) return std::string(value.substr(kPrefix.size()));
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  return "";
}

PageFront::PageFront(Authenticator& authenticator, PageOptions options)
    : authenticator_(authenticator), options_(std::move(options)), sessions_(options_.sessions) {
  if (options_.webRoot) files_ = std::make_unique<StaticFiles>(*options_.webRoot);
}

std::optional<HttpResponse> PageFront::Serve(const HttpRequest& request) {
  const std::string_view path = PathOf(request.target);
  if (path == "/v1/login") {
    return WithPageHeaders(request.method == "POST" ? Login(request) : WrongMethod(path, "POST"));
  }
  if (path == "/v1/logout") {
    return WithPageHeaders(request.method == "POST" ? Logout(request) : WrongMethod(path, "POST"));
  }
  if (path == "/v1/session") {
    return WithPageHeaders(request.method == "GET" ? Describe(request) : WrongMethod(path, "GET"));
  }
  if (path.rfind("/v1/", 0) == 0 || path == "/v1" || path == "/metrics") return std::nullopt;
  if (request.method != "GET" && request.method != "HEAD") return WithPageHeaders(WrongMethod(path, "GET"));
  if (!files_) return WithPageHeaders(Error(404, "the page is not installed on this host (see --web-root)"));
  return WithPageHeaders(files_->Serve(request, path));
}

std::optional<std::variant<Principal, HttpResponse>> PageFront::SessionCaller(const HttpRequest& request) {
  if (!request.authorization.empty()) return std::nullopt;
  const std::string id = CookieValue(request.cookie, kSessionCookie);
  if (id.empty()) return std::nullopt;
  const auto session = sessions_.Find(id);
  if (!session) return SessionEnded();
  if (ForeignOrigin(request)) return Error(403, "a request from another site is refused");
  if (request.websocket) {
    if (request.origin.empty()) return Error(403, "a WebSocket with the session cookie needs an Origin header");
    if (!auth::ConstantTimeEqual(TokenOfProtocols(request.webSocketProtocol), session->csrf)) {
      return Error(403, "the CSRF token is missing or wrong (offer it as the subprotocol csrf.TOKEN)");
    }
  } else if (request.method != "GET" && request.method != "HEAD" &&
             !auth::ConstantTimeEqual(request.csrfToken, session->csrf)) {
    return Error(403, "the CSRF token is missing or wrong (send it as the X-CSRF-Token header)");
  }
  return session->principal;
}

HttpResponse PageFront::Login(const HttpRequest& request) {
  if (ForeignOrigin(request)) return Error(403, "a login from another site is refused");
  std::string user, password;
  try {
    const Json body = contracts::ParseJsonText(request.body);
    user = body.at("user").get<std::string>();
    password = body.at("password").get<std::string>();
  } catch (const std::exception&) {
    return Error(400, R"(the body must be {"user": "...", "password": "..."})");
  }
  if (user.empty() || user.find(':') != std::string::npos) return Error(401, "the user name or password was refused");
  const AuthResult result = authenticator_.Authenticate("Basic " + Base64(user + ":" + password), request.source);
  sodium_memzero(password.data(), password.size());
  if (result.outcome == AuthOutcome::kThrottled) {
    HttpResponse response = Error(429, "too many failed logins from this address; try again later");
    response.headers.emplace_back("Retry-After", std::to_string(std::max(result.retryAfterSeconds, 1)));
    return response;
  }
  if (result.outcome != AuthOutcome::kAccepted) return Error(401, "the user name or password was refused");
  const NewSession session = sessions_.Create(*result.principal);
  HttpResponse response = Answer(200, SessionJson(*result.principal, session.csrf));
  response.account = result.principal->account;
  response.headers.emplace_back("Set-Cookie", SessionCookie(session.id, sessions_.limits().absoluteLimit));
  return response;
}

HttpResponse PageFront::Logout(const HttpRequest& request) {
  const std::string id = CookieValue(request.cookie, kSessionCookie);
  if (const auto session = sessions_.Find(id)) {
    if (ForeignOrigin(request) || !auth::ConstantTimeEqual(request.csrfToken, session->csrf)) {
      return Error(403, "the CSRF token is missing or wrong (send it as the X-CSRF-Token header)");
    }
    sessions_.Revoke(id);
  }
  HttpResponse response = Answer(200, Json::object());
  response.headers.emplace_back("Set-Cookie", SessionCookie("", std::chrono::seconds(0)));
  return response;
}

HttpResponse PageFront::Describe(const HttpRequest& request) {
  const auto session = sessions_.Find(CookieValue(request.cookie, kSessionCookie));
  if (!session) return SessionEnded();
  HttpResponse response = Answer(200, SessionJson(session->principal, session->csrf));
  response.account = session->principal.account;
  return response;
}

bool PageFront::ForeignOrigin(const HttpRequest& request) const {
  if (request.origin.empty()) return false;
  const std::string own = fmt::format("{}://{}", options_.tls ? "https" : "http", request.host);
  return request.host.empty() || request.origin != own;
}

}  // namespace vantrel::host::web
