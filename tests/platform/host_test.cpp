#include "platform/host.h"

#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vantrel::platform {
namespace {

TEST(Host, MessageBoxGoesToTheHandlerAndTheDefaultWritesToStandardError) {
  std::vector<std::string> shown;
  const MessageBoxHandler previous =
      SetMessageBoxHandler([&](const std::string& text, const std::string& caption) {
        shown.push_back(caption + "|" + text);
      });
  EXPECT_FALSE(previous);  // the default
  ShowMessageBox("Installation information read failed.", "Error");
  EXPECT_EQ(shown, std::vector<std::string>{"Error|Installation information read failed."});

  EXPECT_TRUE(SetMessageBoxHandler(nullptr));
  testing::internal::CaptureStderr();
  ShowMessageBox("text", "Error");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: text\n");
  EXPECT_EQ(shown.size(), 1u);
}

struct ExitRequested {
  int code;
};

TEST(Host, ExitProcessCallsTheHandler) {
  SetProcessExitHandler([](int code) { throw ExitRequested{code}; });
  try {
    ExitProcess(3);
  } catch (const ExitRequested& exit) {
    EXPECT_EQ(exit.code, 3);
  }
  EXPECT_TRUE(SetProcessExitHandler(nullptr));
}

TEST(HostDeathTest, ExitProcessExitsEvenWhenTheHandlerReturns) {
  EXPECT_EXIT(
      {
        SetProcessExitHandler([](int) {});
        ExitProcess(7);
      },
      testing::ExitedWithCode(7), "");
}

TEST(Host, SettingsAndTheApplicationDataFolderComeFromTheEnvironment) {
  setenv("VANTREL_TEST_SETTING", "3", 1);
  EXPECT_EQ(HostSetting("VANTREL_TEST_SETTING"), "3");
  unsetenv("VANTREL_TEST_SETTING");
  EXPECT_FALSE(HostSetting("VANTREL_TEST_SETTING"));

  const auto saved = HostSetting("PROGRAMDATA");
  setenv("PROGRAMDATA", "/tmp/programdata", 1);
  EXPECT_EQ(CommonApplicationDataFolder(), "/tmp/programdata");
  unsetenv("PROGRAMDATA");
  EXPECT_EQ(CommonApplicationDataFolder(), "/var/lib");
  if (saved) setenv("PROGRAMDATA", saved->c_str(), 1);
}

}  // namespace
}  // namespace vantrel::platform
