#include "host/web/session_store.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>
#include <utility>

#include "host/auth/secrets.h"

namespace vantrel::host::web {
namespace {

constexpr std::size_t kSecretBytes = 32;
constexpr std::size_t kSecretChars = 43;  // base64url of 32 bytes, no padding

bool LooksLikeSecret(std::string_view text) {
  return text.size() == kSecretChars && std::all_of(text.begin(), text.end(), [](unsigned char c) {
           return std::isalnum(c) || c == '-' || c == '_';
         });
}

}  // namespace

std::string RandomSecret() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  std::array<unsigned char, kSecretBytes> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  std::array<char, sodium_base64_ENCODED_LEN(kSecretBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING)> text{};
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  sodium_memzero(bytes.data(), bytes.size());
  return std::string(text.data());
}

SessionStore::SessionStore(SessionLimits limits, std::function<Clock::time_point()> now)
    : limits_(limits), now_(std::move(now)) {}

NewSession SessionStore::Create(const Principal& principal) {
  NewSession session{RandomSecret(), RandomSecret()};
  const Clock::time_point now = now_();
  std::lock_guard lock(mutex_);
  DropEndedLocked(now);
  if (sessions_.size() >= limits_.maxSessions && !sessions_.empty()) {
    const auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
      return a.second.lastUsed < b.second.lastUsed;
    });
    sessions_.erase(oldest);
  }
  sessions_[auth::TokenHash(session.id)] = Entry{principal, session.csrf, now, now};
  return session;
}

std::optional<SessionView> SessionStore::Find(std::string_view id) {
  if (!LooksLikeSecret(id)) return std::nullopt;
  const std::string key = auth::TokenHash(id);
  const Clock::time_point now = now_();
  std::lock_guard lock(mutex_);
  const auto found = sessions_.find(key);
  if (found == sessions_.end()) return std::nullopt;
  if (Ended(found->second, now)) {
    sessions_.erase(found);
    return std::nullopt;
  }
  found->second.lastUsed = now;
  return SessionView{found->second.principal, found->second.csrf};
}

bool SessionStore::Revoke(std::string_view id) {
  if (!LooksLikeSecret(id)) return false;
  const std::string key = auth::TokenHash(id);
  std::lock_guard lock(mutex_);
  return sessions_.erase(key) > 0;
}

void SessionStore::RevokeAll() {
  std::lock_guard lock(mutex_);
  sessions_.clear();
}

std::size_t SessionStore::Size() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

bool SessionStore::Ended(const Entry& entry, Clock::time_point now) const {
  return now - entry.lastUsed >= limits_.idleLimit || now - entry.created >= limits_.absoluteLimit;
}

void SessionStore::DropEndedLocked(Clock::time_point now) {
  std::erase_if(sessions_, [&](const auto& item) { return Ended(item.second, now); });
}

}  // namespace vantrel::host::web
