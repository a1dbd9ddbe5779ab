// The authenticator over a users file: passwords checked against argon2id
// hashes, tokens against their stored BLAKE2b hashes. The file's content is
// an immutable snapshot swapped whole at Reload, so a check never sees half
// of a reload.
#include <memory>
#include <mutex>
#include <unordered_map>

#include "host/auth/authenticators.h"
#include "host/auth/guarded_authenticator.h"
#include "host/auth/secrets.h"
#include "host/auth/users_file.h"
#include "platform/identity.h"

namespace vantrel::host {
namespace {

using auth::TokenEntry;
using auth::UserEntry;
using auth::Verdict;

// One reading of the users file, indexed for lookups.
struct Accounts {
  std::unordered_map<std::string, UserEntry> users;
  std::unordered_map<std::string, TokenEntry> tokens;

  static std::shared_ptr<const Accounts> Read(const std::filesystem::path& path) {
    auth::UsersFileContent content = auth::ReadUsersFile(path);
    auto accounts = std::make_shared<Accounts>();
    for (UserEntry& user : content.users) accounts->users.emplace(user.name, std::move(user));
    for (TokenEntry& token : content.tokens) accounts->tokens.emplace(token.id, std::move(token));
    return accounts;
  }
};

// A hash that no password matches in practice, checked for unknown users so
// that they cost the same time as known ones.
const std::string& DecoyHash() {
  static const std::string hash = auth::HashPassword("decoy password of no user");
  return hash;
}

class UsersFileAuthenticator final : public auth::GuardedAuthenticator {
 public:
  UsersFileAuthenticator(std::filesystem::path path, std::string domain, AuthPolicy policy)
      : GuardedAuthenticator(std::move(domain), std::move(policy)),
        path_(std::move(path)),
        accounts_(Accounts::Read(path_)) {
    DecoyHash();  // made now, so that no request pays for it
  }

  void Reload() override {
    try {
      std::shared_ptr<const Accounts> fresh = Accounts::Read(path_);
      std::lock_guard lock(mutex_);
      accounts_ = std::move(fresh);
    } catch (const std::exception& error) {
      Log(std::string("users file not reloaded, the previous users and tokens stay: ") + error.what());
    }
    ForgetRememberedLogins();
  }

 protected:
  Verdict CheckPassword(const std::string& user, const std::string& password) override {
    std::shared_ptr<const Accounts> accounts = Snapshot();
    auto found = accounts->users.find(user);
    if (found == accounts->users.end()) {
      auth::VerifyPassword(DecoyHash(), password);
      return Verdict::Refuse("unknown user");
    }
    if (!auth::VerifyPassword(found->second.passwordHash, password)) return Verdict::Refuse("wrong password");
    return Verdict{PrincipalOf(found->second), {}, found->second.passwordHash};
  }

  Verdict CheckToken(const std::string& token, std::chrono::system_clock::time_point now) override {
    std::optional<std::string> id = auth::TokenId(token);
    if (!id) return Verdict::Refuse("malformed token");
    std::shared_ptr<const Accounts> accounts = Snapshot();
    auto found = accounts->tokens.find(*id);
    if (found == accounts->tokens.end()) return Verdict::Refuse("unknown or revoked token " + *id);
    const TokenEntry& entry = found->second;
    if (!auth::ConstantTimeEqual(auth::TokenHash(token), entry.hash)) return Verdict::Refuse("wrong token " + *id);
    if (std::chrono::system_clock::to_time_t(now) >= entry.expires) return Verdict::Refuse("expired token " + *id);
    auto user = accounts->users.find(entry.user);
    if (user == accounts->users.end()) return Verdict::Refuse("token " + *id + " of a removed user");
    return Verdict{PrincipalOf(user->second), {}, {}};
  }

  std::optional<Principal> Recheck(const Principal& remembered, const std::string& stamp) override {
    std::shared_ptr<const Accounts> accounts = Snapshot();
    auto found = accounts->users.find(remembered.user);
    if (found == accounts->users.end() || found->second.passwordHash != stamp) return std::nullopt;
    return PrincipalOf(found->second);
  }

 private:
  std::shared_ptr<const Accounts> Snapshot() const {
    std::lock_guard lock(mutex_);
    return accounts_;
  }

  Principal PrincipalOf(const UserEntry& user) const {
    return MakePrincipal(user.name, user.HasRole(auth::kImpersonateRole));
  }

  const std::filesystem::path path_;
  mutable std::mutex mutex_;
  std::shared_ptr<const Accounts> accounts_;  // guarded by mutex_
};

}  // namespace

std::string DefaultDomain() { return platform::MachineName(); }

std::unique_ptr<Authenticator> MakeUsersFileAuthenticator(const std::filesystem::path& usersFile, std::string domain,
                                                          AuthPolicy policy) {
  return std::make_unique<UsersFileAuthenticator>(usersFile, std::move(domain), std::move(policy));
}

}  // namespace vantrel::host
