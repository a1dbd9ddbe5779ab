// The host's authenticators: the policy every one shares (throttling,
// remembered logins, failure counting and logging) on a scripted backend,
// then the users-file authenticator over real files, then PAM through
// pam_wrapper's pam_matrix module.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "host/auth/guarded_authenticator.h"
#include "tests/host/auth_fixture.h"

namespace vantrel::testing {
namespace {

using host::AuthOutcome;
using host::AuthPolicy;
using host::AuthResult;
using host::Principal;
using namespace std::chrono_literals;

std::string Base64(const std::string& text) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    uint32_t n = (uint8_t(text[i]) << 16) | (uint8_t(text[i + 1]) << 8) | uint8_t(text[i + 2]);
    for (int shift : {18, 12, 6, 0}) out += alphabet[(n >> shift) & 63];
  }
  if (i + 1 == text.size()) {
    uint32_t n = uint8_t(text[i]) << 16;
    out += std::string{alphabet[(n >> 18) & 63], alphabet[(n >> 12) & 63], '=', '='};
  } else if (i + 2 == text.size()) {
    uint32_t n = (uint8_t(text[i]) << 16) | (uint8_t(text[i + 1]) << 8);
    out += std::string{alphabet[(n >> 18) & 63], alphabet[(n >> 12) & 63], alphabet[(n >> 6) & 63], '='};
  }
  return out;
}

std::string Basic(const std::string& user, const std::string& password) {
  return "Basic " + Base64(user + ":" + password);
}

// A policy whose clocks the test moves and whose log it reads.
struct TestPolicy {
  std::chrono::steady_clock::time_point steady = std::chrono::steady_clock::time_point() + 1000h;
  std::chrono::system_clock::time_point system = std::chrono::system_clock::now();
  std::vector<std::string> log;
  std::mutex logMutex;

  AuthPolicy Make() {
    AuthPolicy policy;
    policy.steadyNow = [this] { return steady; };
    policy.systemNow = [this] { return system; };
    policy.log = [this](std::string_view line) {
      std::lock_guard lock(logMutex);
      log.emplace_back(line);
    };
    return policy;
  }
  void Advance(std::chrono::seconds by) {
    steady += by;
    system += by;
  }
};

// A backend with passwords in a map, counting how often a password is
// really checked; the stamp is the password itself, so changing it
// invalidates remembered logins.
class ScriptedAuthenticator final : public host::auth::GuardedAuthenticator {
 public:
  using GuardedAuthenticator::GuardedAuthenticator;
  std::map<std::string, std::string> passwords;
  int passwordChecks = 0;

  void Reload() override { ForgetRememberedLogins(); }

 protected:
  host::auth::Verdict CheckPassword(const std::string& user, const std::string& password) override {
    ++passwordChecks;
    auto found = passwords.find(user);
    if (found == passwords.end()) return host::auth::Verdict::Refuse("unknown user");
    if (found->second != password) return host::auth::Verdict::Refuse("wrong password");
    return {MakePrincipal(user, false), {}, password};
  }
  host::auth::Verdict CheckToken(const std::string&, std::chrono::system_clock::time_point) override {
    return host::auth::Verdict::Refuse("no tokens here");
  }
  std::optional<Principal> Recheck(const Principal& remembered, const std::string& stamp) override {
    auto found = passwords.find(remembered.user);
    if (found == passwords.end() || found->second != stamp) return std::nullopt;
    return remembered;
  }
};

class GuardPolicyTest : public ::testing::Test {
 protected:
  GuardPolicyTest() : auth_("VNT", clock_.Make()) { auth_.passwords["operator"] = "right-password"; }
  AuthResult Login(const std::string& password, const std::string& source = "10.1.1.1") {
    return auth_.Authenticate(Basic("operator", password), source);
  }
  TestPolicy clock_;
  ScriptedAuthenticator auth_;
};

TEST_F(GuardPolicyTest, FiveFailuresFromOneAddressThrottleItUntilTheWindowPasses) {
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Login("wrong", "10.1.1.1:" + std::to_string(40000 + i)).outcome, AuthOutcome::kRefused);
    clock_.Advance(1s);
  }
  AuthResult throttled = Login("right-password", "10.1.1.1:41000");
  EXPECT_EQ(throttled.outcome, AuthOutcome::kThrottled);
  EXPECT_EQ(throttled.retryAfterSeconds, 55);  // the first failure leaves the 60 s window in 55 s
  EXPECT_FALSE(throttled.principal);
  EXPECT_EQ(Login("right-password", "10.2.2.2").outcome, AuthOutcome::kAccepted) << "another address is not slowed";
  EXPECT_EQ(Login("right-password", "[fe80::1]:443").outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(auth_.FailedLogins(), 5u) << "throttled attempts are not checked, so not counted";

  clock_.Advance(55s);
  EXPECT_EQ(Login("right-password").outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(Login("wrong").outcome, AuthOutcome::kRefused) << "four failures remain in the window";
  EXPECT_EQ(Login("right-password").outcome, AuthOutcome::kThrottled);
}

TEST_F(GuardPolicyTest, MissingCredentialsAreNeitherFailuresNorThrottled) {
  for (int i = 0; i < 5; ++i) Login("wrong");
  EXPECT_EQ(auth_.Authenticate("", "10.1.1.1").outcome, AuthOutcome::kMissing);
  EXPECT_EQ(auth_.Authenticate("  \t", "10.1.1.1").outcome, AuthOutcome::kMissing);
  EXPECT_EQ(auth_.FailedLogins(), 5u);
}

TEST_F(GuardPolicyTest, MalformedHeadersAreFailedLogins) {
  std::vector<std::string> headers{"Basic !!!notbase64", "Basic " + Base64("no-colon"), "Digest x=1", "Basic",
                                   "Bearer " + std::string(9000, 'a')};
  for (const std::string& header : headers) {
    EXPECT_EQ(auth_.Authenticate(header, "10.3.3.3").outcome, AuthOutcome::kRefused) << header.substr(0, 20);
  }
  EXPECT_EQ(auth_.FailedLogins(), 5u);
  EXPECT_EQ(auth_.Authenticate(Basic("operator", "right-password"), "10.3.3.3").outcome, AuthOutcome::kThrottled);
}

TEST_F(GuardPolicyTest, FailuresAreLoggedWithUserAndSourceButNeverThePassword) {
  Login("secret-guess-1");
  auth_.Authenticate(Basic("nobody\x01\n", "secret-guess-2"), "10.4.4.4");
  ASSERT_EQ(clock_.log.size(), 2u);
  EXPECT_NE(clock_.log[0].find("\"operator\""), std::string::npos);
  EXPECT_NE(clock_.log[0].find("10.1.1.1"), std::string::npos);
  EXPECT_NE(clock_.log[0].find("wrong password"), std::string::npos);
  EXPECT_NE(clock_.log[1].find("nobody??"), std::string::npos) << "control characters never reach the log";
  for (const std::string& line : clock_.log) EXPECT_EQ(line.find("secret-guess"), std::string::npos) << line;
}

TEST_F(GuardPolicyTest, AVerifiedLoginIsRememberedForAMinuteOnly) {
  EXPECT_EQ(Login("right-password").outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(Login("right-password").outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(auth_.passwordChecks, 1);
  EXPECT_EQ(Login("wrong").outcome, AuthOutcome::kRefused) << "another password is checked, not remembered";
  EXPECT_EQ(auth_.passwordChecks, 2);
  clock_.Advance(59s);
  Login("right-password");
  EXPECT_EQ(auth_.passwordChecks, 2);
  clock_.Advance(2s);
  Login("right-password");
  EXPECT_EQ(auth_.passwordChecks, 3);
}

TEST_F(GuardPolicyTest, RememberedLoginsAreForgottenAtReloadAndOnAPasswordChange) {
  Login("right-password");
  auth_.Reload();
  EXPECT_EQ(Login("right-password").outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(auth_.passwordChecks, 2);

  auth_.passwords["operator"] = "new-password";
  EXPECT_EQ(Login("right-password").outcome, AuthOutcome::kRefused) << "the remembered stamp no longer holds";
  EXPECT_EQ(Login("new-password").outcome, AuthOutcome::kAccepted);
}

TEST_F(GuardPolicyTest, TheDomainMayPrefixTheUserButOnlyItsOwn) {
  EXPECT_EQ(auth_.Authenticate(Basic("VNT\\operator", "right-password"), "h").principal->account, "VNT\\operator");
  EXPECT_EQ(auth_.Authenticate(Basic("vnt\\operator", "right-password"), "h").outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(auth_.Authenticate(Basic("OTHER\\operator", "right-password"), "h").outcome, AuthOutcome::kRefused);
}

TEST(ThrottleTest, TracksABoundedNumberOfAddresses) {
  host::auth::FailureThrottle throttle(1, 60s, 3);
  auto now = std::chrono::steady_clock::time_point() + 1h;
  for (const char* source : {"a", "b", "c"}) {
    throttle.RecordFailure(source, now);
    now += 1s;
  }
  throttle.RecordFailure("d", now);
  EXPECT_EQ(throttle.RetryAfterSeconds("a", now), 0) << "the stalest address is forgotten";
  EXPECT_GT(throttle.RetryAfterSeconds("b", now), 0);
  EXPECT_GT(throttle.RetryAfterSeconds("d", now), 0);
}

// The users-file authenticator over a file written by the test.
class UsersFileAuthTest : public AuthFolderTest {
 protected:
  void SetUp() override {
    AuthFolderTest::SetUp();
    content_.users = {User("operator", "operator-pass", true), User("reader", "reader-pass")};
    host::auth::WriteUsersFile(usersFile_, content_);
  }
  std::unique_ptr<host::Authenticator> Make() {
    return host::MakeUsersFileAuthenticator(usersFile_, "VNT", clock_.Make());
  }
  std::string AddToken(const std::string& user, std::chrono::seconds lifetime) {
    host::auth::IssuedToken token = host::auth::NewToken();
    int64_t expires = std::chrono::system_clock::to_time_t(clock_.system + lifetime);
    content_.tokens.push_back({token.id, user, expires, host::auth::TokenHash(token.text)});
    host::auth::WriteUsersFile(usersFile_, content_);
    return token.text;
  }

  host::auth::UsersFileContent content_;
  TestPolicy clock_;
};

TEST_F(UsersFileAuthTest, EachWayOfLoggingInIsAcceptedOrRefusedAsItShouldBe) {
  std::string good = AddToken("reader", 1h);
  std::string expired = AddToken("reader", -1s);
  std::string revoked = AddToken("operator", 1h);
  content_.tokens.pop_back();
  host::auth::WriteUsersFile(usersFile_, content_);
  auto auth = Make();

  EXPECT_EQ(auth->Authenticate("", "h").outcome, AuthOutcome::kMissing);
  EXPECT_EQ(auth->Authenticate(Basic("operator", "wrong-pass"), "h").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->Authenticate(Basic("ghost", "operator-pass"), "h").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->Authenticate("Bearer " + expired, "h").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->Authenticate("Bearer " + revoked, "h").outcome, AuthOutcome::kRefused);
  std::string forged = good.substr(0, good.size() - 4) + "AAAA";  // the right id, a wrong secret
  EXPECT_EQ(auth->Authenticate("Bearer " + forged, "h2").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->Authenticate("Bearer vnt_garbage", "h2").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->FailedLogins(), 6u);

  AuthResult basic = auth->Authenticate(Basic("operator", "operator-pass"), "h3");
  ASSERT_EQ(basic.outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(basic.principal->user, "operator");
  EXPECT_EQ(basic.principal->account, "VNT\\operator");
  EXPECT_TRUE(basic.principal->impersonate);
  AuthResult bearer = auth->Authenticate("bearer  " + good, "h3");
  ASSERT_EQ(bearer.outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(bearer.principal->account, "VNT\\reader");
  EXPECT_FALSE(bearer.principal->impersonate);
}

TEST_F(UsersFileAuthTest, ReloadBringsNewUsersAndRevocationsAndKeepsTheOldOnABrokenFile) {
  std::string token = AddToken("reader", 1h);
  auto auth = Make();
  content_.users.push_back(User("newcomer", "newcomer-pass"));
  content_.tokens.clear();
  host::auth::WriteUsersFile(usersFile_, content_);
  EXPECT_EQ(auth->Authenticate(Basic("newcomer", "newcomer-pass"), "h").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->Authenticate("Bearer " + token, "h").outcome, AuthOutcome::kAccepted);
  auth->Reload();
  EXPECT_EQ(auth->Authenticate(Basic("newcomer", "newcomer-pass"), "h2").outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(auth->Authenticate("Bearer " + token, "h2").outcome, AuthOutcome::kRefused);

  std::ofstream(usersFile_, std::ios::trunc) << "vntaccessd-users 1\nuser broken\n";
  auth->Reload();
  EXPECT_EQ(auth->Authenticate(Basic("newcomer", "newcomer-pass"), "h3").outcome, AuthOutcome::kAccepted);
  ASSERT_FALSE(clock_.log.empty());
  EXPECT_NE(clock_.log.back().find("line 2"), std::string::npos) << clock_.log.back();
}

TEST_F(UsersFileAuthTest, APasswordChangedByTheCommandEndsTheRememberedLoginAtReload) {
  auto auth = Make();
  ASSERT_EQ(auth->Authenticate(Basic("reader", "reader-pass"), "h").outcome, AuthOutcome::kAccepted);
  ASSERT_EQ(Run(true, {"passwd", "reader", "--password-stdin"}, "changed-pass\n").code, 0);
  auth->Reload();
  EXPECT_EQ(auth->Authenticate(Basic("reader", "reader-pass"), "h").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->Authenticate(Basic("reader", "changed-pass"), "h").outcome, AuthOutcome::kAccepted);
}

TEST_F(UsersFileAuthTest, ManyThreadsLogInWhileTheFileIsReloaded) {
  std::string token = AddToken("reader", 1h);
  auto auth = Make();
  std::atomic<int> refused{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        std::string header = (i + t) % 2 == 0 ? Basic("operator", "operator-pass") : "Bearer " + token;
        if (auth->Authenticate(header, "10.9.9." + std::to_string(t)).outcome != AuthOutcome::kAccepted) ++refused;
      }
    });
  }
  for (int i = 0; i < 20; ++i) auth->Reload();
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(auth->FailedLogins(), 0u);
}

TEST_F(UsersFileAuthTest, AnUnsafeUsersFileIsRefusedAtStart) {
  std::filesystem::path link = folder_ / "link";
  std::filesystem::create_symlink(usersFile_, link);
  EXPECT_THROW(host::MakeUsersFileAuthenticator(link, "VNT"), host::auth::UsersFileError);
  ::chmod(usersFile_.c_str(), 0640);
  EXPECT_THROW(host::MakeUsersFileAuthenticator(usersFile_, "VNT"), host::auth::UsersFileError);
  EXPECT_THROW(host::MakeUsersFileAuthenticator(folder_ / "missing", "VNT"), host::auth::UsersFileError);
}

TEST_F(UsersFileAuthTest, AnEmptyDomainIsTheMachineName) {
  auto auth = host::MakeUsersFileAuthenticator(usersFile_, "");
  AuthResult result = auth->Authenticate(Basic("reader", "reader-pass"), "h");
  ASSERT_EQ(result.outcome, AuthOutcome::kAccepted);
  EXPECT_EQ(result.principal->account, host::DefaultDomain() + "\\reader");
  EXPECT_FALSE(host::DefaultDomain().empty());
}

// PAM through pam_wrapper: the test program runs under LD_PRELOAD of
// libpam_wrapper with a service folder whose vntaccessd service is
// pam_matrix over a password file (see tests/host/CMakeLists.txt).
TEST(PamAuthTest, ChecksPasswordsThroughThePamStack) {
  if (std::getenv("PAM_WRAPPER") == nullptr) GTEST_SKIP() << "runs as host_auth_pam_tests, under pam_wrapper";
  TestPolicy clock;
  auto auth = host::MakePamAuthenticator("VNT", "vntaccessd", clock.Make());
  AuthResult good = auth->Authenticate(Basic("pamuser", "pam-secret"), "h");
  ASSERT_EQ(good.outcome, AuthOutcome::kAccepted) << good.reason;
  EXPECT_EQ(good.principal->account, "VNT\\pamuser");
  EXPECT_FALSE(good.principal->impersonate);
  EXPECT_EQ(auth->Authenticate(Basic("pamuser", "wrong"), "h").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->Authenticate(Basic("nobody-here", "pam-secret"), "h").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->Authenticate("Bearer vnt_0123456789abcdef_x", "h").outcome, AuthOutcome::kRefused);
  EXPECT_EQ(auth->FailedLogins(), 3u);
  EXPECT_NE(clock.log.front().find("PAM refused"), std::string::npos) << clock.log.front();
}

}  // namespace
}  // namespace vantrel::testing
