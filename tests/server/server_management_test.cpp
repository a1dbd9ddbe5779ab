// ServerManagement against the embedded engine: environment values, the
// group folder, the history limit, and the thread's user context set under
// the key.
#include "server/server_management.h"

#include <stdlib.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/control.h"
#include "platform/fault.h"
#include "platform/identity.h"
#include "platform/operation_context.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using vantrel::testing::CallArguments;

constexpr const char* kKey = "5C2E9A41-7B3D-4F06-A8E2-19D4C6B07F3A";
constexpr const char* kHyphenless = "5c2e9a417b3d4f06a8e219d4c6b07f3a";

class ServerManagementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dorvik::Reset();
    vantrel::testing::InstallPlant();
    dorvik::EnableCallLog();
  }
  void TearDown() override { dorvik::Reset(); }

  // The fault SetTLSData raises, or nullopt when it succeeds.
  std::optional<platform::FaultException> Refusal(const std::string& key, const std::string& context) {
    try {
      server_.SetTLSData(key, context);
      return std::nullopt;
    } catch (const platform::FaultException& fault) {
      return fault;
    }
  }

  ServerManagement server_;
};

TEST_F(ServerManagementTest, TheKeyIsReadInEveryGuidForm) {
  const std::string upper = kKey;
  std::string lower = upper;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string hyphenless = kHyphenless;
  for (const std::string& key : {upper, lower, "{" + upper + "}", "(" + lower + ")", hyphenless,
                                 "{" + hyphenless + "}", std::string("5C2E9A417B3D4F06a8e219d4c6b07f3a")}) {
    dorvik::ClearCallLog();
    const auto fault = Refusal(key, "CORP\\alice");
    EXPECT_FALSE(fault) << key << ": " << fault->what();
    EXPECT_EQ(CallArguments("SetTlsData"), std::vector<std::string>{"CORP\\alice"}) << key;
  }
}

TEST_F(ServerManagementTest, OtherKeysAreFaultsAndLeaveTheContextAlone) {
  const auto another = Refusal("5C2E9A41-7B3D-4F06-A8E2-19D4C6B07F3B", "CORP\\alice");
  ASSERT_TRUE(another);
  EXPECT_EQ(another->Reason(), "Key is not recognized for setting user context");
  EXPECT_EQ(another->Detail().Message(), "Key is not recognized for setting user context");

  const std::string key = kKey;
  for (const std::string& notAGuid :
       {std::string(), std::string("not a guid"), key.substr(1), "{" + key, "{" + key + ")", "[" + key + "]",
        key + " ", key.substr(0, 35) + "G", std::string("5C2E9A417-B3D-4F06-A8E2-19D4C6B07F3A"),
        std::string("5C2E9A41-7B3D-4F06-A8E2-19D4C6B07F3A-"), std::string(kHyphenless) + "0"}) {
    const auto fault = Refusal(notAGuid, "CORP\\alice");
    ASSERT_TRUE(fault) << notAGuid;
    EXPECT_EQ(fault->Detail().ErrorType(), "FormatException") << notAGuid;
    EXPECT_EQ(fault->Reason(), fault->Detail().Message());
  }
  EXPECT_TRUE(CallArguments("SetTlsData").empty());
}

TEST_F(ServerManagementTest, TheContextIsSplitAtBackslashes) {
  EXPECT_FALSE(Refusal(kKey, "DOMAIN\\user\\extra"));
  EXPECT_FALSE(Refusal(kKey, "DOMAIN\\user"));
  const auto withoutBackslash = Refusal(kKey, "DOMAINuser");
  ASSERT_TRUE(withoutBackslash);
  EXPECT_EQ(withoutBackslash->Detail().ErrorType(), "ArgumentException");
  EXPECT_EQ(CallArguments("SetTlsData"), (std::vector<std::string>{"DOMAIN\\user", "DOMAIN\\user"}));
}

TEST_F(ServerManagementTest, NoOperationRunsAsTheCaller) {
  const std::string own = platform::CurrentThreadAccount();
  platform::OperationContextScope call(
      platform::OperationContext{platform::ServiceSecurityContext{std::string("CORP\\alice")}});
  for (const auto& operation : ServerManagement::kOperations) {
    EXPECT_EQ(platform::ServeOperation(ServerManagement::kOperations, operation.Name,
                                       [] { return platform::CurrentThreadAccount(); }),
              own)
        << operation.Name;
  }
}

TEST_F(ServerManagementTest, EnvironmentValuesComeWholeUpTo1024Bytes) {
  const std::string full(1024, 'v');
  dorvik::SetEnvironment("VNT_FULL", full);
  dorvik::SetEnvironment("VNT_LONGER", full + "tail");
  dorvik::SetEnvironment("VNT_EMPTY", "");
  EXPECT_EQ(server_.GetVntEnvironmentVariable("VNT_FULL"), full);
  EXPECT_EQ(server_.GetVntEnvironmentVariable("VNT_LONGER"), full);
  EXPECT_EQ(server_.GetVntEnvironmentVariable("vnt_full"), full) << "names match in any letter case";
  EXPECT_EQ(server_.GetVntEnvironmentVariable("VNT_EMPTY"), "");
  EXPECT_EQ(server_.GetVntEnvironmentVariable("VNT_UNSET"), "");
  // A name is cut to 1023 characters before the call.
  const std::string longName(1100, 'N');
  EXPECT_EQ(server_.GetVntEnvironmentVariable(longName), "");
  EXPECT_EQ(CallArguments("GetVntEnvironmentVariable").back(), std::string(1023, 'N'));
}

TEST_F(ServerManagementTest, GroupFolderAndHistoryLimit) {
  ASSERT_EQ(::getenv("DORVIK_GROUP_FOLDER_NAME"), nullptr);
  EXPECT_EQ(server_.GetVntGroup200FolderPath(), "");
  dorvik::SetEnvironment("DORVIK_GROUP_FOLDER_NAME", "/srv/vantrel/group200", true);
  EXPECT_EQ(server_.GetVntGroup200FolderPath(), "/srv/vantrel/group200");

  // Through the virtual operation: a derived class changes both.
  class Derived : public ServerManagement {
   public:
    std::string GetVntEnvironmentVariable(const std::string& name) override { return "[" + name + "]"; }
  } derived;
  EXPECT_EQ(derived.GetVntGroup200FolderPath(), "[DORVIK_GROUP_FOLDER_NAME]");

  EXPECT_EQ(server_.GetMaxHistorySizePerCall(), 10000);
  dorvik::Reset();  // no database at all
  EXPECT_EQ(server_.GetMaxHistorySizePerCall(), 10000);
}

}  // namespace
}  // namespace vantrel::access
