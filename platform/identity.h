// The operating-system account a thread runs as, written "MACHINE\user" as
// Windows writes it (machine name upper-case), and impersonation: a scope
// in which the current thread runs as another account. Impersonation is
// per thread; scopes nest and restore the previous account on exit.
#ifndef VANTREL_PLATFORM_IDENTITY_H_
#define VANTREL_PLATFORM_IDENTITY_H_

#include <string>

namespace vantrel::platform {

// The local computer's name, upper-case ("HOST01"): the host name up to its
// first dot.
std::string MachineName();

// "MACHINE\user" for the process's own (effective) user, or the account the
// calling thread impersonates. A user without a password entry is written
// as its number.
std::string CurrentThreadAccount();

// Makes the current thread run as account ("DOMAIN\user") until the scope
// ends. Not movable: it restores the previous account in its destructor.
class ImpersonationScope {
 public:
  explicit ImpersonationScope(std::string account);
  ~ImpersonationScope();
  ImpersonationScope(const ImpersonationScope&) = delete;
  ImpersonationScope& operator=(const ImpersonationScope&) = delete;

 private:
  std::string previous_;
  bool hadPrevious_;
};

// Splits "DOMAIN\user" at every backslash: first piece domain, second user,
// further pieces ignored. Throws ArgumentException when there is no
// backslash.
struct AccountName {
  std::string Domain;
  std::string User;
  static AccountName Parse(const std::string& account);
};

}  // namespace vantrel::platform

#endif  // VANTREL_PLATFORM_IDENTITY_H_
