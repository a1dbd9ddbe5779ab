#include "native/installation.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "engine/control.h"
#include "platform/host.h"
#include "platform/registry.h"

namespace vantrel::access {
namespace {

using MessageBox = std::pair<std::string, std::string>;  // text, caption

constexpr const char* kVersionKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Vantrel\\CurrentVersion]\n";
constexpr const char* kBaseKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Vantrel\\17.0]\n";
constexpr const char* kTaskServiceKey =
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\DvkTskSrvPLANT]\n";

const MessageBox kVersionKeyMissing{
    "Installation information read failed.\nTrying to read Vantrel current version.", "Error"};
const MessageBox kVersionValueMissing{"Registry Installation Read problem for Vnt version", "Error"};
const MessageBox kBaseKeyMissing{"Registry Installation Read problem in GetCurrentVantrelBase", "Error"};
const MessageBox kBaseValueMissing{"Registry Installation Read problem for Vnt version in GetCurrentVantrelBase",
                                   "Error"};

// What the exit handler throws, so that the test process lives on.
struct ProcessExit {
  int code;
};

class InstallationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_ = std::filesystem::temp_directory_path() / ("vnt_installation_test_" + std::to_string(::getpid()) + ".reg");
    ::setenv(platform::kRegistryFileVariable, registry_.c_str(), 1);
    ::unsetenv("DORVIK_GROUP_NAME");
    dorvik::Reset();
    dorvik::Install(dorvik::DatabaseBuilder().Environment("DORVIK_GROUP_NAME", "PLANT"));
    previousBox_ = platform::SetMessageBoxHandler(
        [this](const std::string& text, const std::string& caption) { boxes_.emplace_back(text, caption); });
    previousExit_ = platform::SetProcessExitHandler([](int code) { throw ProcessExit{code}; });
  }
  void TearDown() override {
    platform::SetMessageBoxHandler(previousBox_);
    platform::SetProcessExitHandler(previousExit_);
    dorvik::Reset();
    ::unsetenv(platform::kRegistryFileVariable);
    std::filesystem::remove(registry_);
  }

  void WriteRegistry(const std::string& body) const {
    std::ofstream(registry_, std::ios::binary) << "REGEDIT4\n\n" << body;
  }

  std::vector<MessageBox> boxes_;
  std::filesystem::path registry_;

 private:
  platform::MessageBoxHandler previousBox_;
  platform::ProcessExitHandler previousExit_;
};

TEST_F(InstallationTest, CurrentVersionAndItsBaseFolder) {
  WriteRegistry(std::string(kVersionKey) + "\"VANTREL_VERSION\"=\"17.0\"\n\n" + kBaseKey +
                "\"VANTREL_BASE\"=\"C:\\\\Program Files\\\\Korvane\\\\Vantrel\"\n");
  EXPECT_STREQ(GetCurrentVersion(), "17.0");
  EXPECT_STREQ(GetCurrentVantrelBase("17.0"), "C:\\Program Files\\Korvane\\Vantrel");
  EXPECT_STREQ(GetInstallBaseFolder(), "C:\\Program Files\\Korvane\\Vantrel");
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(InstallationTest, MissingVersionKeyEndsTheProcess) {
  WriteRegistry(kBaseKey);
  try {
    GetCurrentVersion();
    ADD_FAILURE() << "the process did not exit";
  } catch (const ProcessExit& exit) {
    EXPECT_EQ(exit.code, 0);
  }
  EXPECT_EQ(boxes_, std::vector<MessageBox>{kVersionKeyMissing});
}

TEST_F(InstallationTest, MissingValuesGiveEmptyResultsWithAMessage) {
  WriteRegistry(std::string(kVersionKey) + "\"OTHER\"=\"1\"\n\n" + kBaseKey + "\"OTHER\"=\"1\"\n");
  EXPECT_STREQ(GetCurrentVersion(), "");
  EXPECT_STREQ(GetCurrentVantrelBase("17.0"), "");
  EXPECT_STREQ(GetCurrentVantrelBase("16.0"), "");
  EXPECT_EQ(boxes_, (std::vector<MessageBox>{kVersionValueMissing, kBaseValueMissing, kBaseKeyMissing}));

  // No version: no base folder is looked for.
  boxes_.clear();
  EXPECT_STREQ(GetInstallBaseFolder(), "");
  EXPECT_EQ(boxes_, std::vector<MessageBox>{kVersionValueMissing});

  // A version too long for the key buffer is cut, not overrun.
  boxes_.clear();
  EXPECT_STREQ(GetCurrentVantrelBase(std::string(400, '9').c_str()), "");
  EXPECT_EQ(boxes_, std::vector<MessageBox>{kBaseKeyMissing});
}

TEST_F(InstallationTest, GroupNameAndTaskServiceAccount) {
  WriteRegistry(std::string(kTaskServiceKey) + "\"ObjectName\"=\".\\\\tasksvc\"\n");
  EXPECT_STREQ(GetGroupName(), "PLANT");
  EXPECT_STREQ(GetTaskServiceAccount(), ".\\tasksvc");

  WriteRegistry(std::string(kTaskServiceKey) + "\"Other\"=\"x\"\n");
  EXPECT_STREQ(GetTaskServiceAccount(), "");
  WriteRegistry(kVersionKey);
  EXPECT_STREQ(GetTaskServiceAccount(), "");

  dorvik::SetEnvironment("DORVIK_GROUP_NAME", std::nullopt);
  EXPECT_STREQ(GetGroupName(), "");
  EXPECT_STREQ(GetTaskServiceAccount(), "");
  EXPECT_TRUE(boxes_.empty());
}

}  // namespace
}  // namespace vantrel::access
