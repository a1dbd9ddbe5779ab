#include "host/auth/guarded_authenticator.h"

#include <algorithm>
#include <iostream>

#include "host/auth/credentials.h"
#include "host/auth/secrets.h"
#include "host/auth/users_file.h"

namespace vantrel::host::auth {
namespace {

std::ptrdiff_t PasswordCheckSlots(int wanted) { return std::clamp(wanted, 1, 1024); }

// Releases a slot of the password-check semaphore at the end of its scope.
class SlotRelease {
 public:
  explicit SlotRelease(std::counting_semaphore<1024>& slots) : slots_(slots) {}
  ~SlotRelease() { slots_.release(); }
  SlotRelease(const SlotRelease&) = delete;
  SlotRelease& operator=(const SlotRelease&) = delete;

 private:
  std::counting_semaphore<1024>& slots_;
};

}  // namespace

GuardedAuthenticator::GuardedAuthenticator(std::string domain, AuthPolicy policy)
    : domain_(domain.empty() ? DefaultDomain() : std::move(domain)),
      policy_(std::move(policy)),
      throttle_(policy_.maxFailures, policy_.failureWindow, policy_.maxTrackedSources),
      remembered_(policy_.maxRememberedLogins),
      passwordChecks_(PasswordCheckSlots(policy_.concurrentPasswordChecks)) {}

AuthResult GuardedAuthenticator::Authenticate(std::string_view header, std::string_view sourceText) {
  Credentials credentials = ParseAuthorization(header);
  if (std::holds_alternative<NoCredentials>(credentials)) return AuthResult{};
  std::string source = SourceAddress(sourceText);
  if (int wait = throttle_.RetryAfterSeconds(source, SteadyNow()); wait > 0) {
    Log("login throttled: source " + LogSafe(source) + " must wait " + std::to_string(wait) + " s");
    return AuthResult{AuthOutcome::kThrottled, std::nullopt, "too many failed logins from this source", wait};
  }
  if (auto* malformed = std::get_if<MalformedCredentials>(&credentials)) {
    return Refuse(source, "", malformed->reason);
  }
  if (auto* bearer = std::get_if<BearerCredentials>(&credentials)) {
    Verdict verdict = CheckToken(bearer->token, SystemNow());
    if (!verdict.principal) return Refuse(source, "", verdict.reason);
    return Accept(std::move(*verdict.principal));
  }
  auto& basic = std::get<BasicCredentials>(credentials);
  return CheckBasic(basic.user, basic.password, source);
}

AuthResult GuardedAuthenticator::CheckBasic(const std::string& sentUser, const std::string& password,
                                            const std::string& source) {
  std::string user = LoginName(sentUser, domain_);
  if (user.empty()) return Refuse(source, sentUser, "an account of another domain");
  if (!IsValidUserName(user)) return Refuse(source, sentUser, "unknown user");
  std::string credentialText = user;
  credentialText.push_back('\0');
  credentialText += password;
  LoginKey key = KeyedLoginHash(credentialText);
  std::fill(credentialText.begin(), credentialText.end(), '\0');
  if (std::optional<RememberedLogin> login = remembered_.Find(key, SteadyNow())) {
    if (std::optional<Principal> principal = Recheck(login->principal, login->stamp)) return Accept(*principal);
  }
  Verdict verdict = CheckPasswordBounded(user, password);
  if (!verdict.principal) return Refuse(source, user, verdict.reason);
  SteadyTime now = SteadyNow();
  remembered_.Remember(key, RememberedLogin{*verdict.principal, verdict.stamp, now + policy_.rememberLogins}, now);
  return Accept(std::move(*verdict.principal));
}

Verdict GuardedAuthenticator::CheckPasswordBounded(const std::string& user, const std::string& password) {
  passwordChecks_.acquire();
  SlotRelease release(passwordChecks_);
  return CheckPassword(user, password);
}

AuthResult GuardedAuthenticator::Accept(Principal principal) const {
  return AuthResult{AuthOutcome::kAccepted, std::move(principal), {}, 0};
}

AuthResult GuardedAuthenticator::Refuse(const std::string& source, const std::string& user, std::string reason) {
  failedLogins_.fetch_add(1, std::memory_order_relaxed);
  throttle_.RecordFailure(source, SteadyNow());
  std::string line = "failed login";
  if (!user.empty()) line += " of user \"" + LogSafe(user) + "\"";
  line += " from " + LogSafe(source) + ": " + reason;
  Log(line);
  return AuthResult{AuthOutcome::kRefused, std::nullopt, std::move(reason), 0};
}

Principal GuardedAuthenticator::MakePrincipal(const std::string& user, bool impersonate) const {
  return Principal{user, domain_ + "\\" + user, impersonate};
}

void GuardedAuthenticator::Log(std::string_view line) const {
  if (policy_.log) {
    policy_.log(line);
  } else {
    std::cerr << "vntaccessd: " << line << '\n';
  }
}

std::chrono::system_clock::time_point GuardedAuthenticator::SystemNow() const {
  return policy_.systemNow ? policy_.systemNow() : std::chrono::system_clock::now();
}

SteadyTime GuardedAuthenticator::SteadyNow() const {
  return policy_.steadyNow ? policy_.steadyNow() : std::chrono::steady_clock::now();
}

}  // namespace vantrel::host::auth
