// The built vntaccess at the edges where it once reported what did not
// happen, or changed what it was given without a word: dry runs of writes
// the database refuses, values a field cannot hold, local times that do not
// exist or exist twice, scripts with failing lines, names outside ASCII,
// and the exit codes and reasons of failures.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "contracts/json.h"
#include "tests/cli/tool_support.h"

namespace vantrel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Json = nlohmann::ordered_json;

class ToolEdgesTest : public ToolTest {
 protected:
  // Values read back with their times in UTC.
  Json ReadBack(const std::string& record, const std::string& field) {
    return ToolTest::ReadBack(record, field, {"--utc"});
  }

  // A settings file in a home folder of the test's own.
  ToolOptions WithSettings(const std::string& text) {
    const auto home = db_.Folder() / "home";
    std::filesystem::create_directories(home / ".config" / "vntaccess");
    std::ofstream(home / ".config" / "vntaccess" / "config") << text;
    return ToolOptions{.env = {{"HOME", home.string()}, {"XDG_CONFIG_HOME", ""}}};
  }
};

TEST_F(ToolEdgesTest, ADryRunMeetsWhatTheWriteWouldMeetAndExitsAsItWould) {
  const std::string before = db_.Contents();
  // DESCRIPTION is write-protected while the record is usable.
  const ToolRun real = RunOn(db_, {"write", "TI101", "DESCRIPTION", "x"});
  const ToolRun dry = RunOn(db_, {"--dry-run", "write", "TI101", "DESCRIPTION", "x"});
  EXPECT_EQ(real.code, kServiceFault);
  ExpectRefused(dry, real.code, "dry run: the write would be refused: TI101 DESCRIPTION is write-protected while "
                                "the record is usable; nothing was written");
  // The configuration stays with the system account.
  const std::vector<std::string> branch{"--user", "PLANT\\op", "write", "VN_TagsBranch", "PE_Branch", "VN_TextDef"};
  std::vector<std::string> dryBranch = branch;
  dryBranch.insert(dryBranch.begin(), "--dry-run");
  ExpectRefused(RunOn(db_, dryBranch), kServiceFault, "the account PLANT\\op may not write VN_TagsBranch PE_Branch");
  EXPECT_EQ(RunOn(db_, branch).code, kServiceFault);
  // A write the database takes is still approved.
  EXPECT_EQ(RunOn(db_, {"--dry-run", "--user", "PLANT\\op", "write", "TI101", "VALUE", "1"}).code, kDone);
  EXPECT_EQ(db_.Contents(), before);
}

// The data file made immutable (chattr +i), which even root cannot write:
// the database opens read-only. Made writable again at the end.
class ImmutableFile {
 public:
  explicit ImmutableFile(std::string path) : path_(std::move(path)) {
    made_ = std::system(("chattr +i '" + path_ + "' 2>/dev/null").c_str()) == 0 && ::access(path_.c_str(), W_OK) != 0;
  }
  ~ImmutableFile() { (void)std::system(("chattr -i '" + path_ + "' 2>/dev/null").c_str()); }
  ImmutableFile(const ImmutableFile&) = delete;
  ImmutableFile& operator=(const ImmutableFile&) = delete;
  bool Made() const { return made_; }

 private:
  std::string path_;
  bool made_ = false;
};

TEST_F(ToolEdgesTest, ADryRunOnADatabaseThatCannotBeWrittenSaysSo) {
  const ImmutableFile data((std::filesystem::path(db_.Path()) / "data.mdb").string());
  if (!data.Made()) GTEST_SKIP() << "chattr +i is not available here";
  const ToolRun real = RunOn(db_, {"write", "TI101", "VALUE", "3"});
  EXPECT_EQ(real.code, kServiceFault);
  ExpectRefused(RunOn(db_, {"--dry-run", "write", "TI101", "VALUE", "3"}), real.code,
                "dry run: the write would be refused: the database is read-only here");
  ExpectRefused(RunOn(db_, {"create", "VN_AnalogDef", "TI109"}), kServiceFault,
                "the database refused to create TI109: the database is read-only here");
}

TEST_F(ToolEdgesTest, TheDatabasesReasonComesOnceInWords) {
  const ToolRun run = RunOn(db_, {"write", "TI101", "DESCRIPTION", "x"});
  ExpectRefused(run, kServiceFault, "field DESCRIPTION write protected now");
  EXPECT_THAT(run.err, ::testing::Not(HasSubstr("0x")));
  EXPECT_THAT(run.err, ::testing::Not(HasSubstr("MWDBVALS")));
  // A log folder that cannot be made is told, and the real reason still comes.
  const ToolRun logged = RunOn(db_, {"write", "TI101", "DESCRIPTION", "x"},
                               ToolOptions{.env = {{"VntLogSwitch", "Verbose"}, {"PROGRAMDATA", "/dev/null/log"}}});
  EXPECT_EQ(logged.code, kServiceFault);
  EXPECT_THAT(logged.err, HasSubstr("the service log is off: Cannot create the log folder"));
  EXPECT_THAT(logged.err, HasSubstr("field DESCRIPTION write protected now"));
  // create says why the database refused.
  const ToolRun create = RunOn(db_, {"--user", "PLANT\\op", "create", "VN_CalcDef", "CALC_NEW"});
  ExpectRefused(create, kServiceFault, "the account PLANT\\op has no write right on VN_CalcDef");
}

TEST_F(ToolEdgesTest, WrongAccountsTimesAndNamesAreCommandLineErrors) {
  ExpectRefused(RunOn(db_, {"--user", "nobody", "read", "TI101", "VALUE"}), kUsage,
                "'nobody' is not an account; write it as DOMAIN\\user");
  ExpectRefused(RunOn(db_, {"write", "TI101", "VALUE", "1", "--time", "2024-13-01"}), kUsage, "is not a time");
  ExpectRefused(RunOn(db_, {"write", "TI101", "VALUE", "1", "--time", "1500-01-01"}), kUsage,
                "lies outside the times the database keeps");
  ExpectRefused(RunOn(db_, {"history", "TI101", "VALUE", "--from", "1500-01-01"}), kUsage, "lies outside");
  // A name read would split at its comma cannot be made.
  ExpectRefused(RunOn(db_, {"create", "VN_AnalogDef", "TI,107"}), kUsage, "holds a comma");
  // Values that begin with '-': numbers as typed, anything else after --.
  EXPECT_EQ(RunOn(db_, {"write", "TI101", "VALUE", "-5.5"}).code, kDone);
  EXPECT_EQ(ReadBack("TI101", "VALUE")["value"], -5.5);
  ExpectRefused(RunOn(db_, {"write", "BATCH_ID", "TEXT_VALUE", "-x"}), kUsage, "goes after --");
  EXPECT_EQ(RunOn(db_, {"write", "BATCH_ID", "TEXT_VALUE", "--", "-x"}).code, kDone);
  EXPECT_EQ(ReadBack("BATCH_ID", "TEXT_VALUE")["value"], "-x");
}

TEST_F(ToolEdgesTest, NumbersAFieldWouldChangeAreRefusedUnlessLossy) {
  const std::string before = db_.Contents();
  // TREND holds 4-byte reals.
  ExpectRefused(RunOn(db_, {"write", "TI101", "TREND[2]", "1e-50"}), kUsage,
                "1e-50 is too small for a 4-byte real: it would be stored as 0 (the nearest value it holds is "
                "1.4013e-45 or 0)");
  ExpectRefused(RunOn(db_, {"write", "TI101", "TREND[2]", "16777217"}), kUsage, "stored as 16777216");
  ExpectRefused(RunOn(db_, {"write", "TI101", "TREND[2]", "--type", "double", "1e-50"}), kUsage, "too small");
  ExpectRefused(RunOn(db_, {"write", "TI101", "VALUE", "9007199254740993"}), kUsage, "stored as 9007199254740992");
  EXPECT_EQ(db_.Contents(), before);
  EXPECT_EQ(RunOn(db_, {"write", "TI101", "TREND[2]", "16777217", "--lossy"}).code, kDone);
  EXPECT_EQ(ReadBack("TI101", "TREND[2]")["value"], 16777216.0);
  EXPECT_EQ(RunOn(db_, {"write", "TI101", "TREND[2]", "0.1"}).code, kDone);  // rounding is no change
  // Not-a-number values: one rule, any case.
  for (const char* text : {"nan", "NaN", "Infinity", "inf", "+INF"}) {
    EXPECT_EQ(RunOn(db_, {"write", "TI101", "VALUE", text}).code, kDone) << text;
  }
  EXPECT_EQ(RunOn(db_, {"write", "TI101", "VALUE", "--", "-inf"}).code, kDone);
  ExpectRefused(RunOn(db_, {"write", "TI101", "VALUE", "nanx"}), kUsage, "'nanx' is not a number");
}

TEST_F(ToolEdgesTest, LocalTimesThatDoNotExistOrExistTwiceAreNotGuessed) {
  const ToolOptions berlin{.env = {{"TZ", "Europe/Berlin"}}};
  ExpectRefused(RunOn(db_, {"write", "TI101", "VALUE", "1", "--time", "2024-03-31 02:30"}, berlin), kUsage,
                "'2024-03-31 02:30' does not exist in Europe/Berlin");
  ExpectRefused(RunOn(db_, {"write", "TI101", "VALUE", "1", "--time", "2024-10-27 02:30"}, berlin), kUsage,
                "occurs twice in Europe/Berlin: write it with its offset (2024-10-27 02:30+02:00 or 2024-10-27 "
                "02:30+01:00), or add --earlier or --later");
  EXPECT_EQ(RunOn(db_, {"write", "TI101", "VALUE", "1", "--time", "2024-10-27 02:30", "--earlier"}, berlin).code,
            kDone);
  EXPECT_EQ(ReadBack("TI101", "VALUE")["time"], "2024-10-27T00:30:00Z");
  EXPECT_EQ(RunOn(db_, {"write", "TI101", "VALUE", "2", "--time", "2024-10-27 02:30", "--later"}, berlin).code,
            kDone);
  EXPECT_EQ(ReadBack("TI101", "VALUE")["time"], "2024-10-27T01:30:00Z");
  EXPECT_EQ(RunOn(db_, {"write", "TI101", "VALUE", "3", "--time", "2024-10-27 02:30+02:00"}, berlin).code, kDone);
  EXPECT_EQ(ReadBack("TI101", "VALUE")["time"], "2024-10-27T00:30:00Z");
}

TEST_F(ToolEdgesTest, TimesAreShownWithTheirOffsetInTheZoneAsked) {
  auto timeOf = [](const ToolRun& run) { return Lines(run.out).back().substr(Lines(run.out).back().rfind("  ") + 2); };
  EXPECT_EQ(timeOf(RunOn(db_, {"read", "TI101", "VALUE"})), "2024-03-07 01:00:00.000+01:00");  // TZ: Paris
  EXPECT_EQ(timeOf(RunOn(db_, {"read", "TI101", "VALUE", "--tz", "America/Chicago"})),
            "2024-03-06 18:00:00.000-06:00");
  EXPECT_EQ(timeOf(RunOn(db_, {"read", "TI101", "VALUE"}, ToolOptions{.env = {{"VNTACCESS_TZ", "Asia/Kolkata"}}})),
            "2024-03-07 05:30:00.000+05:30");
  ExpectRefused(RunOn(db_, {"--tz", "Mars/Base", "read", "TI101", "VALUE"}), kUsage,
                "'Mars/Base' is not a time zone");
  ExpectRefused(RunOn(db_, {"--tz", "../../etc/passwd", "read", "TI101", "VALUE"}), kUsage, "is not a time zone");
}

TEST_F(ToolEdgesTest, TheSettingsFileGivesDefaultsTheCommandLineOverrides) {
  const ToolOptions settings = WithSettings("database = " + db_.Path() + "\ntz = UTC\noutput = json\n");
  const ToolRun json = RunTool({"read", "TI101", "VALUE"}, settings);
  ASSERT_EQ(json.code, kDone) << json.err;
  EXPECT_EQ(Json::parse(json.out)["TI101"]["VALUE"]["value"], 73.8);
  const ToolRun text = RunTool({"read", "TI101", "VALUE", "--text", "--tz", "Europe/Berlin"}, settings);
  EXPECT_THAT(text.out, HasSubstr("2024-03-07 01:00:00.000+01:00"));
  ExpectRefused(RunTool({"read", "TI101", "VALUE"}, WithSettings("colour = red\n")), kUsage,
                "unknown setting 'colour'");
  ExpectRefused(RunTool({"read", "TI101", "VALUE"}, WithSettings("output = yaml\n")), kUsage,
                "output = 'yaml' is not a form");
}

TEST_F(ToolEdgesTest, PipedLinesAndFilesRunAsScriptsThatStopAtTheFirstFailure) {
  const std::string input = "read TI101 UNITS\nread NOPE VALUE\nwrite TI101 VALUE 12.5\n";
  const ToolRun stopped = RunOn(db_, {}, ToolOptions{.input = input});
  EXPECT_EQ(stopped.code, kNotFound);
  EXPECT_THAT(Lines(stopped.err), ElementsAre("vntaccess: there is no record NOPE",
                                              "vntaccess: stopped at line 2 of standard input (exit code 4); the "
                                              "lines after it did not run"));
  EXPECT_EQ(ReadBack("TI101", "VALUE")["value"], 73.8);

  const ToolRun all = RunOn(db_, {"--keep-going"},
                            ToolOptions{.input = "write TI101 DESCRIPTION x\n" + input + "bogus\n"});
  EXPECT_EQ(all.code, kServiceFault);  // refused (1) is graver than not found (4) and a wrong line (2)
  EXPECT_THAT(all.err, HasSubstr("3 lines of standard input failed: 1, 3, 5 (exit code 1)"));
  EXPECT_EQ(ReadBack("TI101", "VALUE")["value"], 12.5);

  const std::string script = (db_.Folder() / "script.vnt").string();
  std::ofstream(script) << "write TI101 VALUE 13.5\n\\q\nread NOPE VALUE\n";
  EXPECT_EQ(RunOn(db_, {"-f", script}).code, kDone);  // \q ends it before the bad line
  EXPECT_EQ(ReadBack("TI101", "VALUE")["value"], 13.5);
  ExpectRefused(RunOn(db_, {"-f", script, "read", "TI101", "VALUE"}), kUsage, "give no command with it");
}

// Disabled: on a loaded machine (the test suite at -j2 beside the sanitizer
// builds) the terminal's Ctrl-C sometimes leaves the shell waiting, and the
// run times out; alone it passes. The shell's handling of SIGINT at the
// prompt needs a look before this runs again in every build.
TEST_F(ToolEdgesTest, DISABLED_CtrlCAtThePromptDropsTheLineAndTheShellGoesOn) {
  const std::string history = (db_.Folder() / "history").string();
  const ToolRun run = RunInTerminal({"--database", db_.Path()},
                                    {
                                        {"", "vntaccess> "},
                                        {"read TI101 UNITS\n", "degC"},
                                        {"write TI101 VALUE 99", "99"},
                                        {"\x03", "^C"},  // SIGINT from the terminal
                                        {"read TI102 UNITS\n", "TI102"},
                                        {"\\q\n", ""},
                                    },
                                    ToolOptions{.env = {{"VNTACCESS_HISTORY", history}, {"TERM", "vt100"}}});
  EXPECT_EQ(run.code, kDone) << run.out;
  EXPECT_EQ(ReadBack("TI101", "VALUE")["value"], 73.8);  // the interrupted line did not run
  std::ifstream file(history);
  const std::string kept((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_THAT(kept, HasSubstr("read\\040TI102\\040UNITS"));
  EXPECT_THAT(kept, ::testing::Not(HasSubstr("99")));
}

// Disabled with the test above: it drives the same terminal and timed out
// once on a quiet machine too.
TEST_F(ToolEdgesTest, DISABLED_CtrlDAtAnEmptyPromptLeavesTheShell) {
  const ToolRun eof = RunInTerminal({"--database", db_.Path()},
                                    {{"", "vntaccess> "}, {"read TI101 UNITS\n", "degC"}, {"\x04", "^D"}},
                                    ToolOptions{.env = {{"TERM", "vt100"}}});
  EXPECT_EQ(eof.code, kDone) << eof.out;
}

TEST_F(ToolEdgesTest, RecordNamesOutsideAsciiArePrintedAsTheyWereTyped) {
  ASSERT_EQ(RunOn(db_, {"create", "VN_AnalogDef", "Temp_Übergabe"}).code, kDone);
  const ToolRun text = RunOn(db_, {"read", "Temp_Übergabe", "UNITS"});
  EXPECT_THAT(Lines(text.out).back(), ::testing::StartsWith("Temp_Übergabe  UNITS"));
  const ToolRun json = RunOn(db_, {"read", "temp_Übergabe", "UNITS", "--json"});
  EXPECT_TRUE(Json::parse(json.out).contains("Temp_Übergabe")) << json.out;
  EXPECT_THAT(RunOn(db_, {"records", "VN_AnalogDef", "--like", "Temp*"}).out, HasSubstr("Temp_Übergabe"));
  EXPECT_THAT(RunOn(db_, {"type", "Temp_Übergabe"}).out, HasSubstr("Temp_Übergabe"));
}

TEST_F(ToolEdgesTest, RefsSaysWhenTheQueryFolderIsMissing) {
  EXPECT_EQ(RunOn(db_, {"refs", "TI101", "--source", "sql"}).code, kDone);
  std::filesystem::remove_all(db_.Folder() / "queries");
  const ToolRun missing = RunOn(db_, {"refs", "TI101", "--source", "sql"});
  EXPECT_EQ(missing.code, kPartlyDone);
  EXPECT_THAT(missing.err, HasSubstr("(COMPRESS_SOURCE) does not exist, so no query file was searched"));
  EXPECT_EQ(RunOn(db_, {"refs", "TI101"}).code, kPartlyDone);
  EXPECT_EQ(RunOn(db_, {"refs", "TI101", "--source", "calc"}).code, kDone);  // no file to search there
}

TEST_F(ToolEdgesTest, ExportToStandardOutputIsTheFileExportWrites) {
  const std::string file = (db_.Folder() / "export.json").string();
  ASSERT_EQ(RunTool({"export", db_.Path(), file}).code, kDone);
  std::ifstream written(file);
  const std::string expected((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
  const ToolRun piped = RunTool({"export", db_.Path(), "-"});
  EXPECT_EQ(piped.code, kDone) << piped.err;
  EXPECT_EQ(piped.out, expected);
  EXPECT_THAT(piped.err, IsEmpty());
}

}  // namespace
}  // namespace vantrel::testing
