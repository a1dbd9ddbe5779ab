// The authenticator over PAM: the machine's own accounts, checked the way
// they log in (the service's stack in /etc/pam.d), one conversation at a
// time because PAM modules need not be thread-safe.
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/auth/authenticators.h"
#include "host/auth/guarded_authenticator.h"

namespace vantrel::host {
namespace {

using auth::Verdict;

// The password handed to PAM's conversation function.
struct Conversation {
  const std::string* user;
  const std::string* password;
};

char* CopyForPam(const std::string& text) {
  // PAM frees every answer with free(); strdup allocates with malloc.
  return ::strdup(text.c_str());
}

// Answers a hidden prompt with the password and a visible one with the user
// name; messages get no answer.
int Converse(int count, const struct pam_message** messages, struct pam_response** responses, void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  auto* conversation = static_cast<Conversation*>(data);
  auto* answers = static_cast<pam_response*>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF: answers[i].resp = CopyForPam(*conversation->password); break;
      case PAM_PROMPT_ECHO_ON: answers[i].resp = CopyForPam(*conversation->user); break;
      default: break;
    }
  }
  *responses = answers;
  return PAM_SUCCESS;
}

// Owns one PAM transaction; ends it with the last status.
class PamTransaction {
 public:
  PamTransaction(const std::string& service, const std::string& user, Conversation* conversation)
      : conv_{Converse, conversation} {
    status_ = pam_start(service.c_str(), user.c_str(), &conv_, &handle_);
  }
  ~PamTransaction() {
    if (handle_ != nullptr) pam_end(handle_, status_);
  }
  PamTransaction(const PamTransaction&) = delete;
  PamTransaction& operator=(const PamTransaction&) = delete;

  // Authenticates, then checks the account (expired, locked); the reason
  // on failure, empty on success.
  std::string Check() {
    if (status_ != PAM_SUCCESS) return "PAM cannot start: " + Error();
    status_ = pam_authenticate(handle_, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status_ != PAM_SUCCESS) return "PAM refused: " + Error();
    status_ = pam_acct_mgmt(handle_, PAM_SILENT);
    if (status_ != PAM_SUCCESS) return "PAM refused the account: " + Error();
    return {};
  }

 private:
  std::string Error() const { return pam_strerror(handle_, status_); }

  pam_conv conv_;  // outlives the transaction, whatever PAM keeps of it
  pam_handle_t* handle_ = nullptr;
  int status_ = PAM_SUCCESS;
};

// Whether the machine's user belongs to group (as its primary group or
// a supplementary one).
bool InGroup(const std::string& user, std::string_view groupText) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
  gid_t primary = found->pw_gid;
  struct group wanted{};
  struct group* groupFound = nullptr;
  std::vector<char> groupBuffer(16384);
  std::string groupName(groupText);
  if (getgrnam_r(groupName.c_str(), &wanted, groupBuffer.data(), groupBuffer.size(), &groupFound) != 0 ||
      groupFound == nullptr) {
    return false;
  }
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(user.c_str(), primary, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(user.c_str(), primary, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<size_t>(count));
  return std::find(groups.begin(), groups.end(), groupFound->gr_gid) != groups.end();
}

class PamAuthenticator final : public auth::GuardedAuthenticator {
 public:
  PamAuthenticator(std::string domain, std::string service, AuthPolicy policy)
      : GuardedAuthenticator(std::move(domain), std::move(policy)), service_(std::move(service)) {}

  void Reload() override { ForgetRememberedLogins(); }

 protected:
  Verdict CheckPassword(const std::string& user, const std::string& password) override {
    if (password.empty()) return Verdict::Refuse("empty password");
    std::string reason;
    {
      std::lock_guard lock(pamMutex_);
      Conversation conversation{&user, &password};
      PamTransaction transaction(service_, user, &conversation);
      reason = transaction.Check();
    }
    if (!reason.empty()) return Verdict::Refuse(reason);
    return Verdict{MakePrincipal(user, InGroup(user, kPamImpersonateGroup)), {}, {}};
  }

  Verdict CheckToken(const std::string&, std::chrono::system_clock::time_point) override {
    return Verdict::Refuse("bearer tokens need the users file; this host authenticates through PAM");
  }

  std::optional<Principal> Recheck(const Principal& remembered, const std::string&) override { return remembered; }

 private:
  const std::string service_;
  std::mutex pamMutex_;  // one PAM conversation at a time
};

}  // namespace

std::unique_ptr<Authenticator> MakePamAuthenticator(std::string domain, std::string service, AuthPolicy policy) {
  return std::make_unique<PamAuthenticator>(std::move(domain), std::move(service), std::move(policy));
}

}  // namespace vantrel::host
