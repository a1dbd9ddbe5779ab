#include "platform/identity.h"

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/exceptions.h"

namespace vantrel::platform {
namespace {

TEST(Identity, MachineNameIsUpperCaseWithoutDomain) {
  const std::string name = MachineName();
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find('.'), std::string::npos);
  for (const char c : name) EXPECT_FALSE(c >= 'a' && c <= 'z') << name;
}

TEST(Identity, TheProcessAccountIsMachineBackslashUser) {
  const AccountName account = AccountName::Parse(CurrentThreadAccount());
  EXPECT_EQ(account.Domain, MachineName());
  EXPECT_FALSE(account.User.empty());
}

TEST(Identity, ImpersonationScopesNestAndRestorePerThread) {
  const std::string own = CurrentThreadAccount();
  {
    ImpersonationScope outer("CORP\\alice");
    EXPECT_EQ(CurrentThreadAccount(), "CORP\\alice");
    {
      ImpersonationScope inner("CORP\\bob");
      EXPECT_EQ(CurrentThreadAccount(), "CORP\\bob");
      std::string seenByOtherThread;
      std::thread([&] { seenByOtherThread = CurrentThreadAccount(); }).join();
      EXPECT_EQ(seenByOtherThread, own);
    }
    EXPECT_EQ(CurrentThreadAccount(), "CORP\\alice");
  }
  EXPECT_EQ(CurrentThreadAccount(), own);
}

TEST(Identity, AccountNamesSplitAtEveryBackslash) {
  const AccountName simple = AccountName::Parse("CORP\\svc");
  EXPECT_EQ(simple.Domain, "CORP");
  EXPECT_EQ(simple.User, "svc");
  const AccountName extra = AccountName::Parse(".\\svc\\ignored\\too");
  EXPECT_EQ(extra.Domain, ".");
  EXPECT_EQ(extra.User, "svc");
  EXPECT_EQ(AccountName::Parse("CORP\\").User, "");
  try {
    AccountName::Parse("nobackslash");
    FAIL();
  } catch (const ArgumentException& error) {
    EXPECT_NE(std::string(error.what()).find("\"nobackslash\""), std::string::npos);
  }
}

}  // namespace
}  // namespace vantrel::platform
