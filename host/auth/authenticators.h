// The ways the access service host proves its callers, and the commands
// that keep its accounts. Each authenticator takes the Authorization header
// ("Basic base64(user:password)" or "Bearer TOKEN") and gives the caller's
// account "DOMAIN\user".
//
// What every authenticator here does, whatever proves the password:
// - Failures are throttled per source address: after AuthPolicy::maxFailures
//   (5) failed logins from one address within failureWindow (60 s), further
//   attempts from it are answered kThrottled without being checked, with a
//   Retry-After of the seconds until the oldest of those failures leaves the
//   window. Successes do not clear the count. At most maxTrackedSources
//   (65,536) addresses are tracked; past that the stalest are forgotten.
// - Every failed login is counted (FailedLogins) and logged as one line
//   (user name, source, reason; never a secret) to AuthPolicy::log, or to
//   standard error. Throttled attempts are logged but not counted.
// - A verified password is remembered in memory for rememberLogins (60 s),
//   under a keyed hash of user and password (the key is random per
//   process), so repeated calls do not pay for argon2id again. Reload()
//   forgets every remembered login; a remembered login also ends when the
//   user's password hash or existence changed in the file last read.
// - At most concurrentPasswordChecks (2) argon2id checks run at once (each
//   takes 64 MiB for 0.1 to 0.5 s); further checks wait for one to end.
// - A header longer than 8 KiB, an unknown scheme, or bad base64 is a
//   failed login (kRefused).
//
// The users-file authenticator also accepts bearer tokens (see
// users_file.h), checked with a fast hash and compared in constant time;
// expired tokens, tokens of removed users and revoked tokens are refused.
// Users, tokens and revocations take effect at construction and Reload().
//
// The PAM authenticator asks PAM (the service named, "vntaccessd" by
// default: /etc/pam.d/vntaccessd) for each password, then its account
// check. It knows no tokens (Bearer is refused). A PAM user holds the
// impersonate role when it belongs to the group "vntaccess-impersonate".
// PAM modules are not all thread-safe, so one PAM conversation runs at a
// time.
//
// Both are thread-safe (see host/authenticator.h).
#ifndef VANTREL_HOST_AUTH_AUTHENTICATORS_H_
#define VANTREL_HOST_AUTH_AUTHENTICATORS_H_

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/authenticator.h"

namespace vantrel::host {

// The group whose members hold the impersonate role under PAM.
inline constexpr std::string_view kPamImpersonateGroup = "vntaccess-impersonate";

// The limits and hooks shared by the authenticators; defaults as above.
struct AuthPolicy {
  int maxFailures = 5;
  std::chrono::seconds failureWindow{60};
  std::chrono::seconds rememberLogins{60};
  size_t maxTrackedSources = 65536;
  size_t maxRememberedLogins = 10000;
  int concurrentPasswordChecks = 2;
  // One line per failed login, without line end. Null: standard error.
  std::function<void(std::string_view line)> log;
  // Clocks, replaceable for tests. Null: the real clocks.
  std::function<std::chrono::steady_clock::time_point()> steadyNow;
  std::function<std::chrono::system_clock::time_point()> systemNow;
};

// The default account domain: the machine's short name in capitals.
std::string DefaultDomain();

// Reads usersFile (see host/auth/users_file.h) now; throws
// auth::UsersFileError when it cannot be read. An empty domain means
// DefaultDomain(). Reload() re-reads the file; when that fails, the users
// and tokens read before stay in force and the failure is logged.
std::unique_ptr<Authenticator> MakeUsersFileAuthenticator(const std::filesystem::path& usersFile, std::string domain,
                                                          AuthPolicy policy = {});

// Authenticates through PAM service `service`. An empty domain means
// DefaultDomain().
std::unique_ptr<Authenticator> MakePamAuthenticator(std::string domain, std::string service = "vntaccessd",
                                                    AuthPolicy policy = {});

// The account commands of vntaccessd; args exclude the program name and the
// word "user" or "token". Each returns the exit code: 0 done, 1 the users
// file could not be read or written, 2 a wrong command line (nothing done),
// 4 the user or token named does not exist (nothing done).
//   user add NAME --users FILE [--role impersonate] --password-stdin
//   user passwd NAME --users FILE --password-stdin
//   user remove NAME --users FILE            (removes the user's tokens too)
//   user list --users FILE
//   token issue NAME --users FILE [--expires 30d]   (s, m, h, d; prints the token once)
//   token list --users FILE
//   token revoke ID|TOKEN --users FILE
// A password is standard input without its final line end, 8 to 1,024 bytes.
int RunUserCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);
int RunTokenCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_AUTH_AUTHENTICATORS_H_
