// GuardedAuthenticator: what every authenticator of the host does around
// the check of a credential: reading the header, throttling failures per
// source, remembering verified password logins, bounding concurrent
// password checks, counting and logging failures (see authenticators.h for
// the numbers). A subclass says only how a password, a token and a
// remembered login are checked.
//
// Thread-safe. Subclass hooks are called from many threads at once, never
// while a lock of this class is held.
#ifndef VANTREL_HOST_AUTH_GUARDED_AUTHENTICATOR_H_
#define VANTREL_HOST_AUTH_GUARDED_AUTHENTICATOR_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>
#include <string_view>

#include "host/auth/authenticators.h"
#include "host/auth/login_guard.h"

namespace vantrel::host::auth {

// The answer of a subclass about one credential.
struct Verdict {
  std::optional<Principal> principal;  // set when accepted
  std::string reason;                  // why not, for the log
  std::string stamp;                   // what a remembered login is re-checked against
  static Verdict Refuse(std::string reason) { return Verdict{std::nullopt, std::move(reason), {}}; }
};

class GuardedAuthenticator : public Authenticator {
 public:
  GuardedAuthenticator(std::string domain, AuthPolicy policy);

  AuthResult Authenticate(std::string_view header, std::string_view source) final;
  uint64_t FailedLogins() const final { return failedLogins_.load(std::memory_order_relaxed); }

 protected:
  // Checks a password of a valid user name; slow (argon2id or PAM).
  virtual Verdict CheckPassword(const std::string& user, const std::string& password) = 0;
  virtual Verdict CheckToken(const std::string& token, std::chrono::system_clock::time_point now) = 0;
  // The principal of a remembered login if it still holds (same stamp), now.
  virtual std::optional<Principal> Recheck(const Principal& remembered, const std::string& stamp) = 0;

  Principal MakePrincipal(const std::string& user, bool impersonate) const;
  void ForgetRememberedLogins() { remembered_.ForgetAll(); }
  void Log(std::string_view line) const;
  std::chrono::system_clock::time_point SystemNow() const;

 private:
  AuthResult CheckBasic(const std::string& sentUser, const std::string& password, const std::string& source);
  Verdict CheckPasswordBounded(const std::string& user, const std::string& password);
  AuthResult Accept(Principal principal) const;
  AuthResult Refuse(const std::string& source, const std::string& user, std::string reason);
  SteadyTime SteadyNow() const;

  const std::string domain_;
  const AuthPolicy policy_;
  FailureThrottle throttle_;
  RememberedLogins remembered_;
  std::counting_semaphore<1024> passwordChecks_;
  std::atomic<uint64_t> failedLogins_{0};
};

}  // namespace vantrel::host::auth

#endif  // VANTREL_HOST_AUTH_GUARDED_AUTHENTICATOR_H_
