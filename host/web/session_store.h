// SessionStore: the browser page's logins, kept in memory. A session is
// named by a random 256-bit id that only the browser holds (in an HttpOnly
// cookie); the store keeps a hash of it, so a dump of the host's memory
// names no usable session. Each session has its own CSRF token, which the
// page sends as a header with every change.
//
// A session ends when it is idle for longer than idleLimit, at absoluteLimit
// after the login whatever its use, at logout, and at RevokeAll (SIGHUP,
// when users and tokens are reloaded). At most maxSessions live at once; a
// login past that ends the session used longest ago.
//
// Thread-safe.
#ifndef VANTREL_HOST_WEB_SESSION_STORE_H_
#define VANTREL_HOST_WEB_SESSION_STORE_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "host/authenticator.h"

namespace vantrel::host::web {

struct SessionLimits {
  std::chrono::seconds idleLimit{30 * 60};          // 30 minutes without a request
  std::chrono::seconds absoluteLimit{12 * 60 * 60};  // 12 hours after the login
  std::size_t maxSessions = 10'000;
};

// What the page learns at login: the id goes into the cookie, the CSRF
// token into the page's memory.
struct NewSession {
  std::string id;    // 43 base64url characters (256 random bits)
  std::string csrf;  // 43 base64url characters
};

// A live session as the host sees it.
struct SessionView {
  Principal principal;
  std::string csrf;
};

class SessionStore {
 public:
  using Clock = std::chrono::steady_clock;
  explicit SessionStore(SessionLimits limits, std::function<Clock::time_point()> now = Clock::now);
  SessionStore(const SessionStore&) = delete;
  SessionStore& operator=(const SessionStore&) = delete;

  NewSession Create(const Principal& principal);
  // The session named by id when it is live (and marks it used); nothing
  // for an unknown, ended or malformed id.
  std::optional<SessionView> Find(std::string_view id);
  // Ends the session named by id; false when there was none.
  bool Revoke(std::string_view id);
  void RevokeAll();
  std::size_t Size() const;
  const SessionLimits& limits() const { return limits_; }

 private:
  struct Entry {
    Principal principal;
    std::string csrf;
    Clock::time_point created;
    Clock::time_point lastUsed;
  };
  bool Ended(const Entry& entry, Clock::time_point now) const;
  void DropEndedLocked(Clock::time_point now);

  const SessionLimits limits_;
  const std::function<Clock::time_point()> now_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> sessions_;  // by the id's hash; guarded by mutex_
};

// 32 random bytes in base64url without padding.
std::string RandomSecret();

}  // namespace vantrel::host::web

#endif  // VANTREL_HOST_WEB_SESSION_STORE_H_
