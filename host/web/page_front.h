// PageFront: the browser page's front door on the host's listener. It
// serves the page's files (StaticFiles), logs a browser in and out, and
// proves the requests that carry its session cookie (SessionStore).
//
//   POST /v1/login    {"user": "...", "password": "..."}: checked by the
//                     host's authenticator, as Basic credentials would be;
//                     answers {"user", "account", "csrf"} and sets the cookie
//                     vnt_session (HttpOnly; Secure; SameSite=Strict; Path=/)
//   POST /v1/logout   ends the session (cookie and CSRF token needed)
//   GET  /v1/session  {"user", "account", "csrf"} for a live session
//   GET  / and files  the page, public: it holds no data
//
// With the cookie, every change (any method but GET and HEAD) needs the
// header X-CSRF-Token, and the WebSocket upgrade of /v1/live needs the
// token as the subprotocol "csrf.TOKEN" beside "vntlive" (a browser cannot
// set headers on a WebSocket) and an Origin equal to the host's own; both
// are compared in constant time. A request with an Origin of another site
// is refused. The page's answers carry a Content-Security-Policy that allows
// only the host's own origin and no inline script.
//
// Thread-safe.
#ifndef VANTREL_HOST_WEB_PAGE_FRONT_H_
#define VANTREL_HOST_WEB_PAGE_FRONT_H_

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "host/authenticator.h"
#include "host/page_gate.h"
#include "host/web/session_store.h"
#include "host/web/static_files.h"

namespace vantrel::host::web {

inline constexpr std::string_view kSessionCookie = "vnt_session";
inline constexpr std::string_view kLiveProtocol = "vntlive";
inline constexpr std::string_view kContentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "font-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

struct PageOptions {
  std::optional<std::filesystem::path> webRoot;  // none: the page's files answer 404
  bool tls = true;                               // the listener's scheme, for the host's own origin
  SessionLimits sessions;
};

class PageFront : public PageGate {
 public:
  // Throws std::runtime_error when the web root cannot be opened.
  PageFront(Authenticator& authenticator, PageOptions options);

  std::optional<HttpResponse> Serve(const HttpRequest& request) override;
  std::optional<std::variant<Principal, HttpResponse>> SessionCaller(const HttpRequest& request) override;

  // Ends every session (SIGHUP: users and tokens were reloaded).
  void RevokeAll() { sessions_.RevokeAll(); }
  SessionStore& sessions() { return sessions_; }

 private:
  HttpResponse Login(const HttpRequest& request);
  HttpResponse Logout(const HttpRequest& request);
  HttpResponse Describe(const HttpRequest& request);
  // An Origin header naming another site than the one the request reached.
  bool ForeignOrigin(const HttpRequest& request) const;

  Authenticator& authenticator_;
  const PageOptions options_;
  std::unique_ptr<StaticFiles> files_;
  SessionStore sessions_;
};

// The value of cookie name in a Cookie header, or "".
std::string CookieValue(std::string_view header, std::string_view name);

// The CSRF token offered among a Sec-WebSocket-Protocol header's values
// ("vntlive, csrf.TOKEN"), or "".
std::string TokenOfProtocols(std::string_view header);

}  // namespace vantrel::host::web

#endif  // VANTREL_HOST_WEB_PAGE_FRONT_H_
