#include "platform/registry.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/exceptions.h"

namespace vantrel::platform {
namespace {

constexpr const char* kExport = R"(REGEDIT4

; Vantrel installation, exported from a test server
[HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Vantrel\CurrentVersion]
"VANTREL_VERSION"="17.0"

[HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Vantrel\17.0]
"VANTREL_BASE"="C:\\Program Files\\Korvane\\Vantrel"
"Motto"="say \"hello\""
@="default text"
"Flags"=dword:0000001f
"Blob"=hex:01,02,03,\
  04,05
"Paths"=hex(7):41,00,00,00

[HKEY_CURRENT_USER\Software\Korvane\Vantrel\17.0]
"VANTREL_BASE"="per-user, not visible"

[HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Vantrel\17.0\GRP1]
"VANTREL_SYSTEM_ACCOUNT"="LlxzdmM="
)";

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("vantrel_registry_test_" + std::to_string(getpid()) + ".reg");
    setenv(kRegistryFileVariable, path_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv(kRegistryFileVariable);
    std::filesystem::remove(path_);
  }
  void Write(const std::string& content) { std::ofstream(path_, std::ios::binary) << content; }
  // The message of the IOException that opening any key throws.
  std::string ErrorOf(const std::string& content) {
    Write(content);
    try {
      RegistryKey::OpenLocalMachine("SOFTWARE");
    } catch (const IOException& error) {
      return error.what();
    }
    return "no error";
  }

  std::filesystem::path path_;
};

TEST_F(RegistryTest, ReadsStringValuesOfLocalMachineKeys) {
  Write(kExport);
  const auto key = RegistryKey::OpenLocalMachine("SOFTWARE\\Korvane\\Vantrel\\17.0");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->GetString("VANTREL_BASE"), "C:\\Program Files\\Korvane\\Vantrel");
  EXPECT_EQ(key->GetString("Motto"), "say \"hello\"");
  EXPECT_EQ(key->GetString(""), "default text");
  EXPECT_EQ(RegistryKey::OpenLocalMachine("SOFTWARE\\Korvane\\Vantrel\\17.0\\GRP1")
                ->GetString("VANTREL_SYSTEM_ACCOUNT"),
            "LlxzdmM=");
}

TEST_F(RegistryTest, NamesMatchWithoutRegardToCase) {
  Write(kExport);
  const auto key = RegistryKey::OpenLocalMachine("software\\KORVANE\\vantrel\\CurrentVersion");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->GetString("vantrel_version"), "17.0");
}

TEST_F(RegistryTest, MissingKeysValuesAndNonStringsReadAsMissing) {
  Write(kExport);
  const auto key = RegistryKey::OpenLocalMachine("SOFTWARE\\Korvane\\Vantrel\\17.0");
  EXPECT_FALSE(key->GetString("Flags"));
  EXPECT_FALSE(key->GetString("Blob"));
  EXPECT_FALSE(key->GetString("Paths"));
  EXPECT_FALSE(key->GetString("Absent"));
  EXPECT_FALSE(RegistryKey::OpenLocalMachine("SOFTWARE\\Korvane\\Vantrel\\18.0"));
  EXPECT_FALSE(RegistryKey::OpenLocalMachine("Software\\Korvane\\Vantrel\\17.0\\GRP"));
  // Other hives are not visible; a key that only subkeys name exists, empty.
  const auto parent = RegistryKey::OpenLocalMachine("SOFTWARE\\Korvane");
  ASSERT_TRUE(parent);
  EXPECT_FALSE(parent->GetString("VANTREL_BASE"));
}

TEST_F(RegistryTest, NoFileOrNoVariableIsAnEmptyRegistry) {
  EXPECT_FALSE(RegistryKey::OpenLocalMachine("SOFTWARE"));
  unsetenv(kRegistryFileVariable);
  EXPECT_FALSE(RegistryKey::OpenLocalMachine("SOFTWARE"));
}

TEST_F(RegistryTest, MalformedLinesNameFileAndLine) {
  const std::string file = path_.string();
  EXPECT_EQ(ErrorOf("Windows Registry Editor Version 5.00\n"),
            file + ":1: expected the header line REGEDIT4");
  EXPECT_EQ(ErrorOf(""), file + ":1: expected the header line REGEDIT4");
  EXPECT_EQ(ErrorOf("REGEDIT4\n\"a\"=\"b\"\n"), file + ":2: a value must follow a key line");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"b\\n\"\n"),
            file + ":3: only \\\\ and \\\" may follow a backslash in a quoted text");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\n\"a\"=\"open\n"),
            file + ":4: a quoted text lacks its closing quote");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"b\" junk\n"),
            file + ":3: unexpected text after a quoted value");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\n"), file + ":2: a key line must end with ]");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\X]\n"),
            file + ":2: key deletions are not supported");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_NOWHERE\\X]\n"),
            file + ":2: unknown root key \"HKEY_NOWHERE\"");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:123456789\n"),
            file + ":3: a dword value needs one to eight hexadecimal digits");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,2g\n"),
            file + ":3: \"2g\" is not a hexadecimal byte");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,\\\n"),
            file + ":3: binary data continues past the end of the file");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=-\n"),
            file + ":3: value deletions are not supported");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\" \"b\"\n"),
            file + ":3: expected = after the value name");
  EXPECT_EQ(ErrorOf("REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\nname=value\n"),
            file + ":3: unexpected text \"name=value\"");
}

TEST_F(RegistryTest, AcceptsWindowsLineEndsAndAByteOrderMark) {
  Write("\xEF\xBB\xBFREGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"a\"=\"b\"\r\n");
  EXPECT_EQ(RegistryKey::OpenLocalMachine("SOFTWARE\\X")->GetString("A"), "b");
}

}  // namespace
}  // namespace vantrel::platform
