// The two memories an authenticator keeps between requests: failed logins
// per source address (the throttle), and recently verified password logins
// (so that argon2id runs once a minute per login rather than per call).
//
// Both are thread-safe: each guards its map with its own mutex, held only
// for map work, never during a password check.
#ifndef VANTREL_HOST_AUTH_LOGIN_GUARD_H_
#define VANTREL_HOST_AUTH_LOGIN_GUARD_H_

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "host/auth/secrets.h"
#include "host/authenticator.h"

namespace vantrel::host::auth {

using SteadyTime = std::chrono::steady_clock::time_point;

// Counts failures per source within a sliding window. A source with
// maxFailures failures inside the window must wait until the oldest leaves
// it. Tracks at most maxSources sources, forgetting the stalest beyond.
class FailureThrottle {
 public:
  FailureThrottle(int maxFailures, std::chrono::seconds window, size_t maxSources);

  // Whole seconds (at least 1) source must wait, or 0 when it may try now.
  int RetryAfterSeconds(const std::string& source, SteadyTime now);
  void RecordFailure(const std::string& source, SteadyTime now);

 private:
  void DropExpired(std::deque<SteadyTime>& failures, SteadyTime now) const;
  void MakeRoom(SteadyTime now);

  const size_t maxFailures_;
  const std::chrono::seconds window_;
  const size_t maxSources_;
  std::mutex mutex_;
  std::unordered_map<std::string, std::deque<SteadyTime>> failures_;  // guarded by mutex_; oldest first
};

// A verified login: who it proved to be, until when it holds, and the stamp
// (the password hash it was checked against) the authenticator re-checks.
struct RememberedLogin {
  Principal principal;
  std::string stamp;
  SteadyTime until;
};

// Verified logins by the keyed hash of their credentials. At most
// maxEntries; when full, expired entries go, and if none has expired all go.
class RememberedLogins {
 public:
  explicit RememberedLogins(size_t maxEntries) : maxEntries_(maxEntries) {}

  std::optional<RememberedLogin> Find(const LoginKey& key, SteadyTime now);
  void Remember(const LoginKey& key, RememberedLogin login, SteadyTime now);
  void ForgetAll();

 private:
  const size_t maxEntries_;
  std::mutex mutex_;
  std::map<LoginKey, RememberedLogin> logins_;  // guarded by mutex_
};

}  // namespace vantrel::host::auth

#endif  // VANTREL_HOST_AUTH_LOGIN_GUARD_H_
