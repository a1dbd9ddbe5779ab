#include "host/auth/login_guard.h"

#include <algorithm>

namespace vantrel::host::auth {

FailureThrottle::FailureThrottle(int maxFailures, std::chrono::seconds window, size_t maxSources)
    : maxFailures_(static_cast<size_t>(std::max(maxFailures, 1))), window_(window), maxSources_(maxSources) {}

void FailureThrottle::DropExpired(std::deque<SteadyTime>& failures, SteadyTime now) const {
  while (!failures.empty() && failures.front() + window_ <= now) failures.pop_front();
}

int FailureThrottle::RetryAfterSeconds(const std::string& source, SteadyTime now) {
  std::lock_guard lock(mutex_);
  auto found = failures_.find(source);
  if (found == failures_.end()) return 0;
  DropExpired(found->second, now);
  if (found->second.size() < maxFailures_) return 0;
  auto wait = found->second.front() + window_ - now;
  auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
  return static_cast<int>(std::max<decltype(seconds)>(seconds, 1));
}

void FailureThrottle::RecordFailure(const std::string& source, SteadyTime now) {
  std::lock_guard lock(mutex_);
  if (failures_.find(source) == failures_.end() && failures_.size() >= maxSources_) MakeRoom(now);
  std::deque<SteadyTime>& failures = failures_[source];
  DropExpired(failures, now);
  failures.push_back(now);
  // Only the newest maxFailures decide whether the source waits.
  while (failures.size() > maxFailures_) failures.pop_front();
}

// Forgets sources without a failure in the window; when every source is
// recent, forgets the one whose last failure is the oldest.
void FailureThrottle::MakeRoom(SteadyTime now) {
  for (auto it = failures_.begin(); it != failures_.end();) {
    DropExpired(it->second, now);
    it = it->second.empty() ? failures_.erase(it) : std::next(it);
  }
  if (failures_.size() < maxSources_ || failures_.empty()) return;
  auto stalest = std::min_element(failures_.begin(), failures_.end(), [](const auto& a, const auto& b) {
    return a.second.back() < b.second.back();
  });
  failures_.erase(stalest);
}

std::optional<RememberedLogin> RememberedLogins::Find(const LoginKey& key, SteadyTime now) {
  std::lock_guard lock(mutex_);
  auto found = logins_.find(key);
  if (found == logins_.end()) return std::nullopt;
  if (found->second.until <= now) {
    logins_.erase(found);
    return std::nullopt;
  }
  return found->second;
}

void RememberedLogins::Remember(const LoginKey& key, RememberedLogin login, SteadyTime now) {
  std::lock_guard lock(mutex_);
  if (logins_.size() >= maxEntries_ && logins_.find(key) == logins_.end()) {
    std::erase_if(logins_, [&](const auto& entry) { return entry.second.until <= now; });
    if (logins_.size() >= maxEntries_) logins_.clear();
  }
  if (maxEntries_ > 0) logins_.insert_or_assign(key, std::move(login));
}

void RememberedLogins::ForgetAll() {
  std::lock_guard lock(mutex_);
  logins_.clear();
}

}  // namespace vantrel::host::auth
