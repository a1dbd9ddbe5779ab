// Authenticator: proves who a caller of the host is, from the value of the
// request's Authorization header. The host turns the principal's account
// into the per-call caller of every operation it runs.
//
// Thread-safe: the host calls Authenticate from many threads at once.
// A password check is slow on purpose; the host calls it off its I/O threads.
#ifndef VANTREL_HOST_AUTHENTICATOR_H_
#define VANTREL_HOST_AUTHENTICATOR_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::host {

// Who a request proved to be.
struct Principal {
  std::string user;          // the login name: "operator"
  std::string account;       // the database account its calls run as: "VNT\operator"
  bool impersonate = false;  // holds the impersonate role (may call SetTLSData)
};

enum class AuthOutcome {
  kAccepted,   // principal is set
  kMissing,    // no credentials: 401 with WWW-Authenticate
  kRefused,    // wrong, unknown, expired or revoked: 401
  kThrottled,  // too many failures from this source lately: 429 with Retry-After
};

struct AuthResult {
  AuthOutcome outcome = AuthOutcome::kMissing;
  std::optional<Principal> principal;  // set when accepted
  std::string reason;                  // for the host's log only, never sent to the caller
  int retryAfterSeconds = 0;           // when throttled
};

class Authenticator {
 public:
  virtual ~Authenticator() = default;
  // header: the Authorization header's value ("Basic ...", "Bearer ..."), empty when absent.
  // source: the caller's address, the key of the failure throttle.
  virtual AuthResult Authenticate(std::string_view header, std::string_view source) = 0;
  // Reads the users and tokens again and forgets remembered logins (SIGHUP).
  virtual void Reload() = 0;
  // Failed logins since the start (for /metrics).
  virtual uint64_t FailedLogins() const = 0;
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_AUTHENTICATOR_H_
