#include "platform/identity.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "platform/exceptions.h"

namespace vantrel::platform {
namespace {

constexpr const char* kFallbackMachineName = "LOCALHOST";
constexpr size_t kInitialPasswdBufferSize = 1024;
constexpr size_t kMaxPasswdBufferSize = 1 << 20;

// The account the current thread impersonates, if any; scopes save and
// restore it, so nested scopes form a stack.
thread_local std::optional<std::string> t_impersonated;

std::string ToUpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The login name of the process's effective user, or its number when the
// user has no password entry (as in some containers).
std::string EffectiveUserName() {
  const uid_t uid = geteuid();
  std::vector<char> buffer(kInitialPasswdBufferSize);
  while (true) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < kMaxPasswdBufferSize) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error == 0 && found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0') {
      return found->pw_name;
    }
    return std::to_string(uid);
  }
}

}  // namespace

std::string MachineName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return kFallbackMachineName;
  std::string host(name);  // sizeof - 1 above keeps a terminator even on truncation
  host = host.substr(0, host.find('.'));
  return host.empty() ? kFallbackMachineName : ToUpperAscii(std::move(host));
}

std::string CurrentThreadAccount() {
  if (t_impersonated) return *t_impersonated;
  return MachineName() + "\\" + EffectiveUserName();
}

ImpersonationScope::ImpersonationScope(std::string account)
    : previous_(t_impersonated.value_or(std::string())), hadPrevious_(t_impersonated.has_value()) {
  t_impersonated = std::move(account);
}

ImpersonationScope::~ImpersonationScope() {
  if (hadPrevious_) {
    t_impersonated = std::move(previous_);
  } else {
    t_impersonated.reset();
  }
}

AccountName AccountName::Parse(const std::string& account) {
  const size_t first = account.find('\\');
  if (first == std::string::npos) {
    throw ArgumentException(
        fmt::format("The account name \"{}\" is not of the form DOMAIN\\user.", account));
  }
  const size_t second = account.find('\\', first + 1);
  return AccountName{
      account.substr(0, first),
      account.substr(first + 1, second == std::string::npos ? second : second - first - 1)};
}

}  // namespace vantrel::platform
