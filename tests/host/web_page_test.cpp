// The browser page's front door on the host: the login session cookie and
// its CSRF token, the session's end (logout, idle, lifetime), and the page's
// files against hostile paths, through the dispatcher on a real database.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/http_server.h"
#include "host/openapi.h"
#include "host/web/page_front.h"
#include "host/worker_pool.h"
#include "tests/host/host_fixture.h"
#include "tests/host/raw_http.h"

namespace vantrel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using host::HttpRequest;
using host::HttpResponse;

constexpr const char* kOrigin = "https://127.0.0.1:8443";
constexpr const char* kHostHeader = "127.0.0.1:8443";
constexpr const char* kSecretText = "root:x:0:0 the secret outside the web root";

std::string Header(const HttpResponse& response, const std::string& name) {
  for (const auto& [key, value] : response.headers) {
    if (key == name) return value;
  }
  return "";
}

// Accepts the page's login of "operator" with the password "secret" (as
// Basic credentials) as VNT\writer; everything else as the fixture's does.
class LoginAuthenticator : public host::Authenticator {
 public:
  explicit LoginAuthenticator(host::Authenticator& next) : next_(next) {}
  host::AuthResult Authenticate(std::string_view header, std::string_view source) override {
    if (header == "Basic b3BlcmF0b3I6c2VjcmV0") {
      return {host::AuthOutcome::kAccepted, host::Principal{"operator", "VNT\\writer", false}, "", 0};
    }
    if (header == "Basic c2xvdzpzbG93") return {host::AuthOutcome::kThrottled, std::nullopt, "", 9};  // slow:slow
    if (header.rfind("Basic ", 0) == 0) return {host::AuthOutcome::kRefused, std::nullopt, "", 0};
    return next_.Authenticate(header, source);
  }
  void Reload() override {}
  uint64_t FailedLogins() const override { return 0; }

 private:
  host::Authenticator& next_;
};

class PageTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::string pattern = (std::filesystem::temp_directory_path() / "vnt-web-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    root_ = scratch_ / "web";
    std::filesystem::create_directories(root_ / "js");
    Write(root_ / "index.html", "<!doctype html><title>trend</title>");
    Write(root_ / "js" / "app.js", "export const page = 1;\n");
    Write(root_ / ".hidden.js", kSecretText);
    Write(scratch_ / "secret.js", kSecretText);
    std::filesystem::create_symlink(scratch_ / "secret.js", root_ / "leak.js");
    std::filesystem::create_directory_symlink(scratch_, root_ / "linked");
    ASSERT_EQ(::mkfifo((root_ / "pipe.js").c_str(), 0600), 0);
    front_ = std::make_unique<host::web::PageFront>(login_, Options());
    dispatcher_.SetPageGate(front_.get());
  }
  void TearDown() override {
    dispatcher_.SetPageGate(nullptr);
    front_.reset();
    std::filesystem::remove_all(scratch_);
  }

  host::web::PageOptions Options() {
    host::web::PageOptions options;
    options.webRoot = root_;
    options.sessions.idleLimit = std::chrono::minutes(30);
    options.sessions.absoluteLimit = std::chrono::hours(12);
    options.sessions.maxSessions = 3;
    return options;
  }

  static void Write(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }

  static HttpRequest Browser(const std::string& method, const std::string& target, const std::string& body = "") {
    HttpRequest request{method, target, "", "", body, "127.0.0.1"};
    request.host = kHostHeader;
    request.origin = method == "GET" ? "" : kOrigin;
    return request;
  }

  struct LoggedIn {
    std::string cookie;  // "vnt_session=..."
    std::string csrf;
    HttpResponse answer;
  };
  LoggedIn LogIn() {
    const HttpResponse answer = Handle(Browser("POST", "/v1/login", R"({"user": "operator", "password": "secret"})"));
    const std::string setCookie = Header(answer, "Set-Cookie");
    LoggedIn session{setCookie.substr(0, setCookie.find(';')), "", answer};
    if (answer.status == 200) session.csrf = BodyOf(answer)["csrf"].get<std::string>();
    return session;
  }
  HttpRequest WithSession(HttpRequest request, const LoggedIn& session, bool token = true) {
    request.cookie = "theme=dark; " + session.cookie;
    if (token) request.csrfToken = session.csrf;
    return request;
  }
  HttpResponse Read(const LoggedIn& session, bool token = true) {
    return Handle(WithSession(Browser("POST", "/v1/access/GetTagValues", R"({"tagList": {"TI101": ["VALUE"]}})"),
                              session, token));
  }

  std::filesystem::path scratch_;
  std::filesystem::path root_;
  LoginAuthenticator login_{authenticator_};
  std::unique_ptr<host::web::PageFront> front_;
};

TEST_F(PageTest, ALoginSetsAHardenedCookieThatProvesTheCallsOfThePage) {
  const LoggedIn session = LogIn();
  ASSERT_EQ(session.answer.status, 200) << session.answer.body;
  const std::string cookie = Header(session.answer, "Set-Cookie");
  for (const char* flag : {"; HttpOnly", "; Secure", "; SameSite=Strict", "; Path=/", "; Max-Age=43200"}) {
    EXPECT_THAT(cookie, HasSubstr(flag));
  }
  EXPECT_EQ(session.cookie.size(), std::string("vnt_session=").size() + 43) << session.cookie;
  EXPECT_EQ(session.csrf.size(), 43U);
  EXPECT_EQ(BodyOf(session.answer)["account"], "VNT\\writer");
  EXPECT_THAT(session.answer.body, Not(HasSubstr(session.cookie.substr(12))));  // the id is in the cookie alone
  EXPECT_THAT(Header(session.answer, "Content-Security-Policy"), HasSubstr("default-src 'self'"));

  const HttpResponse read = Read(session);
  ASSERT_EQ(read.status, 200) << read.body;
  EXPECT_EQ(read.account, "VNT\\writer");
  EXPECT_EQ(BodyOf(Handle(WithSession(Browser("GET", "/v1/session"), session, false)))["csrf"], session.csrf);
  // A read-only GET needs no token; the Authorization header, when given, is what proves the caller.
  EXPECT_EQ(Handle(WithSession(Browser("GET", "/v1/version"), session, false)).status, 200);
  HttpRequest bearer = WithSession(Browser("POST", "/v1/access/GetTagValues", "{}"), session, false);
  bearer.authorization = "Bearer reader";
  EXPECT_EQ(Handle(bearer).account, "VNT\\reader");
}

TEST_F(PageTest, EveryChangeWithTheCookieNeedsItsOwnSessionsCsrfToken) {
  const LoggedIn session = LogIn();
  const LoggedIn other = LogIn();
  ASSERT_EQ(other.answer.status, 200);
  EXPECT_EQ(Read(session, false).status, 403);
  EXPECT_THAT(Read(session, false).body, HasSubstr("CSRF token"));
  LoggedIn crossed = session;
  crossed.csrf = other.csrf;
  EXPECT_EQ(Read(crossed).status, 403);
  crossed.csrf = session.csrf.substr(0, 42) + (session.csrf.back() == 'A' ? "B" : "A");
  EXPECT_EQ(Read(crossed).status, 403);
  EXPECT_EQ(Read(session).status, 200);
  // Another site's page cannot ride the cookie, with or without the token.
  HttpRequest foreign = WithSession(Browser("POST", "/v1/access/GetTagValues", "{}"), session);
  foreign.origin = "https://evil.example";
  EXPECT_EQ(Handle(foreign).status, 403);
  HttpRequest loginElsewhere = Browser("POST", "/v1/login", R"({"user": "operator", "password": "secret"})");
  loginElsewhere.origin = "https://evil.example";
  EXPECT_EQ(Handle(loginElsewhere).status, 403);
}

TEST_F(PageTest, TheLiveSocketTakesTheCookieWithTheTokenAsSubprotocolFromTheHostsOwnOrigin) {
  const LoggedIn session = LogIn();
  auto upgrade = [&](const std::string& protocols, const std::string& origin) {
    HttpRequest request = WithSession(Browser("GET", "/v1/live"), session, false);
    request.websocket = true;
    request.webSocketProtocol = protocols;
    request.origin = origin;
    return Handle(request);
  };
  const HttpResponse accepted = upgrade("vntlive, csrf." + session.csrf, kOrigin);
  EXPECT_EQ(accepted.status, 101) << accepted.body;
  EXPECT_EQ(accepted.account, "VNT\\writer");
  EXPECT_EQ(upgrade("vntlive", kOrigin).status, 403);
  EXPECT_EQ(upgrade("vntlive, csrf." + session.csrf, "").status, 403);
  EXPECT_EQ(upgrade("vntlive, csrf." + session.csrf, "https://evil.example").status, 403);
  EXPECT_EQ(upgrade("vntlive, csrf." + session.csrf, "http://127.0.0.1:8443").status, 403);  // not the TLS origin
}

TEST_F(PageTest, RefusedLoginsSetNoCookieAndNeverAskForBasicCredentials) {
  for (const char* body : {R"({"user": "operator", "password": "wrong"})", R"({"user": "op:x", "password": "s"})",
                           R"({"user": "", "password": "secret"})"}) {
    const HttpResponse refused = Handle(Browser("POST", "/v1/login", body));
    EXPECT_EQ(refused.status, 401) << body;
    EXPECT_EQ(Header(refused, "Set-Cookie"), "") << body;
    EXPECT_EQ(Header(refused, "WWW-Authenticate"), "") << body;  // no browser login dialog over the page
  }
  EXPECT_EQ(Handle(Browser("POST", "/v1/login", "user=operator")).status, 400);
  EXPECT_EQ(Handle(Browser("POST", "/v1/login", R"({"user": 1, "password": "secret"})")).status, 400);
  const HttpResponse throttled = Handle(Browser("POST", "/v1/login", R"({"user": "slow", "password": "slow"})"));
  EXPECT_EQ(throttled.status, 429);
  EXPECT_EQ(Header(throttled, "Retry-After"), "9");
  EXPECT_EQ(Handle(Browser("GET", "/v1/login")).status, 405);
  EXPECT_EQ(front_->sessions().Size(), 0U);
}

TEST_F(PageTest, LogoutNeedsTheTokenThenEndsTheSessionForGood) {
  const LoggedIn session = LogIn();
  EXPECT_EQ(Handle(WithSession(Browser("POST", "/v1/logout", "{}"), session, false)).status, 403);
  EXPECT_EQ(Read(session).status, 200);
  const HttpResponse out = Handle(WithSession(Browser("POST", "/v1/logout", "{}"), session));
  EXPECT_EQ(out.status, 200);
  EXPECT_THAT(Header(out, "Set-Cookie"), HasSubstr("vnt_session=; Path=/; Max-Age=0"));
  const HttpResponse after = Read(session);
  EXPECT_EQ(after.status, 401);
  EXPECT_THAT(after.body, HasSubstr("session has ended"));
  EXPECT_EQ(Header(after, "WWW-Authenticate"), "");
  EXPECT_EQ(Handle(WithSession(Browser("GET", "/v1/session"), session)).status, 401);
}

TEST_F(PageTest, ABadCookieIsAnEndedSessionNotAnotherCaller) {
  LoggedIn forged{"vnt_session=" + std::string(43, 'A'), std::string(43, 'A'), {}};
  EXPECT_EQ(Read(forged).status, 401);
  forged.cookie = "vnt_session=../../etc";
  EXPECT_EQ(Read(forged).status, 401);
  // Without the page's cookie the Authorization header rules as before.
  HttpRequest plain = Browser("POST", "/v1/access/GetTagValues", "{}");
  plain.cookie = "theme=dark";
  EXPECT_EQ(Handle(plain).status, 401);
  EXPECT_THAT(Header(Handle(plain), "WWW-Authenticate"), HasSubstr("Basic"));
}

TEST_F(PageTest, EveryFixedRouteOfTheOpenApiDocumentIsServedWithThePageInFront) {
  dispatcher_.SetMetricsSource([] { return std::string("# metrics\n"); });
  for (const auto& route : host::FixedRoutes()) {
    const bool chart = route.path == "/v1/history";
    const std::string target = std::string(route.path) + (chart ? "?record=TI101&field=VALUE&points=10" : "");
    HttpRequest request = Browser(std::string(route.method), target, "{}");
    request.authorization = "Bearer reader";
    const HttpResponse answer = Handle(request);
    EXPECT_NE(answer.status, 404) << route.path << ": " << answer.body;
    EXPECT_NE(answer.status, 405) << route.path;
  }
}

TEST(SessionStoreTest, SessionsEndWhenIdleAtTheirLifetimeAndPastTheLimitOldestFirst) {
  auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  host::web::SessionLimits limits{std::chrono::minutes(30), std::chrono::hours(2), 2};
  host::web::SessionStore store(limits, [&now] { return now; });
  const host::Principal who{"operator", "VNT\\operator", false};
  const auto busy = store.Create(who);
  const auto idle = store.Create(who);
  for (int step = 0; step < 7; ++step) {  // used every 20 minutes: 2 h 20 min in all
    now += std::chrono::minutes(20);
    const bool withinLifetime = step < 5;
    EXPECT_EQ(store.Find(busy.id).has_value(), withinLifetime) << step;
    if (step == 1) {
      EXPECT_FALSE(store.Find(idle.id).has_value());  // 40 idle minutes
    }
  }
  EXPECT_EQ(store.Size(), 0U);
  const auto first = store.Create(who);
  now += std::chrono::seconds(1);
  const auto second = store.Create(who);
  now += std::chrono::seconds(1);
  EXPECT_TRUE(store.Find(first.id).has_value());  // now the second was used longest ago
  const auto third = store.Create(who);
  EXPECT_EQ(store.Size(), 2U);
  EXPECT_FALSE(store.Find(second.id).has_value());
  EXPECT_TRUE(store.Find(third.id).has_value());
  EXPECT_NE(first.id, third.id);
  EXPECT_NE(first.id, first.csrf);
  store.RevokeAll();
  EXPECT_FALSE(store.Find(first.id).has_value());
}

TEST_F(PageTest, ThePageIsServedWithFixedTypesAndRevalidatedByEtag) {
  const HttpResponse index = Handle(Browser("GET", "/"));
  ASSERT_EQ(index.status, 200) << index.body;
  EXPECT_EQ(index.contentType, "text/html; charset=utf-8");
  EXPECT_THAT(index.body, HasSubstr("<title>trend</title>"));
  EXPECT_EQ(Header(index, "Cache-Control"), "no-cache");
  EXPECT_EQ(Header(index, "Content-Security-Policy"), std::string(host::web::kContentSecurityPolicy));
  EXPECT_THAT(Header(index, "Content-Security-Policy"), Not(HasSubstr("unsafe-inline")));
  EXPECT_EQ(Header(index, "X-Content-Type-Options"), "nosniff");
  const std::string etag = Header(index, "ETag");
  ASSERT_FALSE(etag.empty());
  HttpRequest again = Browser("GET", "/index.html");
  again.ifNoneMatch = "\"other\", " + etag;
  const HttpResponse unchanged = Handle(again);
  EXPECT_EQ(unchanged.status, 304);
  EXPECT_EQ(unchanged.body, "");
  const HttpResponse script = Handle(Browser("GET", "/js/app.js?v=2"));
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.contentType, "text/javascript; charset=utf-8");
  const HttpResponse head = Handle(Browser("HEAD", "/js/app.js"));
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
  EXPECT_EQ(Handle(Browser("POST", "/index.html")).status, 405);
  EXPECT_EQ(Handle(Browser("DELETE", "/js/app.js")).status, 405);
}

TEST_F(PageTest, HostilePathsReachNothingOutsideThePlainFilesOfTheWebRoot) {
  const std::vector<std::string> hostile{
      "/../secret.js",         "/js/../../secret.js",     "/%2e%2e/secret.js",   "/js/%2E%2E/%2E%2E/secret.js",
      "/leak.js",              "/linked/secret.js",       "/.hidden.js",         "/js/",
      "/js",                   "//secret.js",             "/js//app.js",         "/index.html%00.js",
      "/js\\..\\..\\secret.js", "/pipe.js",               "/index.HTML",         "/js/app.js.bak",
      "/web/index.html",       "/" + std::string(600, 'a') + ".js",
  };
  for (const auto& path : hostile) {
    auto pending = std::async(std::launch::async, [&] { return Handle(Browser("GET", path)); });
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready) << path << " hangs";
    const HttpResponse answer = pending.get();
    EXPECT_EQ(answer.status, 404) << path;
    EXPECT_THAT(answer.body, Not(HasSubstr("secret outside"))) << path;
    EXPECT_THAT(answer.body, Not(HasSubstr("export const"))) << path;  // no listing of js/ either
  }
  // The API's own paths are never taken for files.
  EXPECT_EQ(Handle(Browser("GET", "/v1/version")).status, 401);
  EXPECT_EQ(Handle(Browser("GET", "/metrics")).status, 401);
}

TEST(PageFrontTest, CookiesAndOfferedProtocolsAreReadByName) {
  using host::web::CookieValue;
  using host::web::TokenOfProtocols;
  EXPECT_EQ(CookieValue("a=1; vnt_session=abc; b=2", "vnt_session"), "abc");
  EXPECT_EQ(CookieValue("xvnt_session=abc;vnt_session=def", "vnt_session"), "def");
  EXPECT_EQ(CookieValue("vnt_session", "vnt_session"), "");
  EXPECT_EQ(CookieValue("", "vnt_session"), "");
  EXPECT_EQ(TokenOfProtocols("vntlive, csrf.T0k-en_"), "T0k-en_");
  EXPECT_EQ(TokenOfProtocols("csrf.x,vntlive"), "x");
  EXPECT_EQ(TokenOfProtocols("vntlive"), "");
  EXPECT_TRUE(host::web::IsPlainPath("/vendor/uPlot.esm.js"));
  EXPECT_FALSE(host::web::IsPlainPath("/vendor/uPlot.esm.exe"));
}

// The listener carries what the page's front door reads and says: the
// browser's headers into the request, the page's own Cache-Control in place
// of the host's no-store, and the cookie out.
TEST(PageListenerTest, TheBrowsersHeadersGoInAndThePagesHeadersComeOut) {
  host::HostLimits limits;
  host::WorkerPool pool{1, 4};
  host::HttpRequest seen;
  host::ServerOptions options{"127.0.0.1", 0, std::nullopt, 1, limits};
  host::HttpServer server(options, pool, [&seen](const host::HttpRequest& request) {
    seen = request;
    host::HttpResponse response;
    response.contentType = "text/html; charset=utf-8";
    response.headers = {{"Cache-Control", "no-cache"}, {"Set-Cookie", "vnt_session=x; HttpOnly"}};
    return response;
  });
  server.Start();
  RawHttp connection(server.Port());
  ASSERT_TRUE(connection.Send("GET /index.html HTTP/1.1\r\nHost: 127.0.0.1:1\r\nCookie: a=1; vnt_session=s\r\n"
                              "X-CSRF-Token: t0k\r\nOrigin: https://127.0.0.1:1\r\nIf-None-Match: \"e1\"\r\n"
                              "Sec-WebSocket-Protocol: vntlive, csrf.t0k\r\n\r\n"));
  const auto answer = connection.Read();
  ASSERT_TRUE(answer);
  EXPECT_THAT(answer->head, HasSubstr("Cache-Control: no-cache\r\n"));
  EXPECT_THAT(answer->head, Not(HasSubstr("no-store")));
  EXPECT_THAT(answer->head, HasSubstr("Set-Cookie: vnt_session=x; HttpOnly\r\n"));
  EXPECT_EQ(seen.cookie, "a=1; vnt_session=s");
  EXPECT_EQ(seen.csrfToken, "t0k");
  EXPECT_EQ(seen.origin, "https://127.0.0.1:1");
  EXPECT_EQ(seen.host, "127.0.0.1:1");
  EXPECT_EQ(seen.ifNoneMatch, "\"e1\"");
  EXPECT_EQ(seen.webSocketProtocol, "vntlive, csrf.t0k");
  server.Stop(std::chrono::seconds(1));
}

}  // namespace
}  // namespace vantrel::testing
