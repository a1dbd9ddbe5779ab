// The built vntaccess, run as a user runs it, on a copy of the sample plant:
// what it prints, its exit codes, and that it never reports what did not
// happen.
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

using VntaccessTest = ToolTest;

TEST_F(VntaccessTest, ReadShowsWhatWasAskedInOrderWithQualityOnlyWhereKept) {
  const ToolRun text = RunOn(db_, {"read", "TI101", "UNITS", "VALUE", "TREND_COUNT", "TREND[2]", "DESCRIPTION"});
  ASSERT_EQ(text.code, kDone) << text.err;
  EXPECT_THAT(Lines(text.out), ElementsAre("RECORD  FIELD        VALUE                      STATUS  LEVEL  TIME",
                                           "------  -----------  -------------------------  ------  -----  "
                                           "-----------------------------",
                                           "TI101   UNITS        degC",
                                           "TI101   VALUE        73.8                            0      0  "
                                           "2024-03-07 01:00:00.000+01:00",
                                           "TI101   TREND_COUNT  5", "TI101   TREND[2]     69.5",
                                           "TI101   DESCRIPTION  Reactor inlet temperature"));
  // Without a field that keeps quality there are no quality columns at all.
  EXPECT_THAT(Lines(RunOn(db_, {"read", "TI101", "UNITS", "TREND"}).out).front(), "RECORD  FIELD     VALUE");

  const Json json = Json::parse(RunOn(db_, {"read", "P101", "MODE", "STATE", "--json"}).out);
  EXPECT_EQ(json.dump(), R"({"P101":{"MODE":{"value":2,"text":"AUTO"},"STATE":{"value":0,"status":0,"level":0,)"
                         R"("time":"2024-03-06T18:00:00Z","timeMs":1709748000000}}})");
  const Json trend = Json::parse(RunOn(db_, {"read", "TI101", "TREND", "--json"}).out)["TI101"]["TREND"];
  ASSERT_EQ(trend.size(), 5u);
  EXPECT_EQ(trend[4], Json({{"value", 73.75}}));

  const ToolRun csv = RunOn(db_, {"read", "TI101,TI102", "VALUE", "UNITS", "--csv", "--utc"});
  EXPECT_THAT(Lines(csv.out), ElementsAre("RECORD,FIELD,VALUE,STATUS,LEVEL,TIME",
                                          "TI101,VALUE,73.8,0,0,2024-03-07T00:00:00.000Z", "TI101,UNITS,degC,,,",
                                          "TI102,VALUE,89.37,0,0,2024-03-07T00:00:00.000Z", "TI102,UNITS,degC,,,"));
}

TEST_F(VntaccessTest, ReadsOfNamesThatDoNotResolveAreErrors) {
  ExpectRefused(RunOn(db_, {"read", "TI999", "VALUE"}), kNotFound, "vntaccess: there is no record TI999");
  ExpectRefused(RunOn(db_, {"read", "TI101", "VALUE", "VALU"}), kNotFound,
                "there is no field VALU (did you mean VALUE?)");
  ExpectRefused(RunOn(db_, {"read", "TI101", "STATE"}), kNotFound,
                "TI101 has no field STATE (a VN_AnalogDef has DESCRIPTION, VALUE,");
  ExpectRefused(RunOn(db_, {"read", "TI101", "TREND[6]"}), kNotFound,
                "TI101 TREND has 5 occurrences; there is no "
                "TREND[6]");
  ExpectRefused(RunOn(db_, {"read", "TI1O1,P101", "VALUE", "MODE"}), kNotFound,
                "there is no record TI1O1 (did you mean TI101?); P101 has no field VALUE");
  ExpectRefused(RunOn(db_, {"read-ids", "99999", "0x20000"}), kNotFound, "there is no record with id 99999");
}

TEST_F(VntaccessTest, WritesThatCannotHappenAreRefusedAndLeaveTheDatabaseAsItWas) {
  const std::string before = db_.Contents();
  const struct {
    std::vector<std::string> args;
    int code;
    const char* message;
  } cases[] = {
      {{"write", "TI999", "VALUE", "1"}, kNotFound, "there is no record TI999"},
      {{"write", "TI101", "VALU", "1"}, kNotFound, "there is no field VALU (did you mean VALUE?)"},
      {{"write", "TI101", "VALUE", "74,5"}, kUsage, "'74,5' is not a number; a comma is neither a decimal point"},
      {{"write", "TI101", "VALUE", "1", "--status", "99999999"}, kUsage, "--status: 99999999 is out of range"},
      {{"write", "TI101", "VALUE", "1", "--level", "-3"}, kUsage, "--level: -3 is out of range"},
      {{"write", "P101", "MODE", "yes", "--type", "bool"}, kUsage, "'yes' is not a truth value; use true, false"},
      {{"write", "P101", "MODE", "MANUAL"}, kUsage, "P101 MODE takes OFF, ON, AUTO (or 0, 1, 2), not 'MANUAL'"},
      {{"write", "P101", "STATE", "70000"}, kUsage, "P101 STATE: 70000 is out of range (-32768 to 32767)"},
      {{"write", "TI101", "UNITS", "degF", "--status", "3"}, kUsage, "TI101 UNITS keeps no quality"},
      {{"write", "TI101", "VALUE", "1", "2"}, kUsage, "TI101 VALUE holds one value; 2 given"},
      {{"write", "TI101", "VALUE", "soon", "--type", "time"}, kUsage, "--type time: 'soon' is not a time"},
      {{"write", "TI101", "VALUE", "x", "--type", "text"}, kUsage, "--type text does not fit it"},
      {{"write", "TI102", "UPSTREAM_TAG", "TI999"}, kNotFound, "points at a record: there is no record TI999"},
      {{"write", "CALC_DELTA_T", "CALC_RESULT", "1"}, kServiceFault, "no write right on record"},
      {{"call", "SetTagValues", R"({"TI999": {"VALUE": []}, "TI101": {"VALU": []}})"},
       kNotFound,
       "there is no record TI999; there is no field VALU"},
  };
  for (const auto& refused : cases) {
    SCOPED_TRACE(refused.args[2]);
    ExpectRefused(RunOn(db_, refused.args), refused.code, refused.message);
  }
  EXPECT_EQ(db_.Contents(), before);
}

TEST_F(VntaccessTest, AWriteIsReadBackByASecondProcess) {
  const ToolRun write = RunOn(
      db_, {"write", "TI101", "VALUE", "74.25", "--status", "1", "--level", "2", "--time", "2024-03-07 02:00:00.5"});
  ASSERT_EQ(write.code, kDone) << write.err;
  EXPECT_EQ(write.out, "wrote 1 value to TI101 VALUE\n");
  EXPECT_EQ(ReadBack("TI101", "VALUE"), Json({{"value", 74.25},
                                              {"status", 1},
                                              {"level", 2},
                                              {"time", "2024-03-07T01:00:00Z"},
                                              {"timeMs", 1709773200500}}));
  // A selector takes its text, in any case, or its number.
  ASSERT_EQ(RunOn(db_, {"write", "P101", "MODE", "off"}).code, kDone);
  EXPECT_EQ(ReadBack("P101", "MODE"), Json({{"value", 0}, {"text", "OFF"}}));
  ASSERT_EQ(RunOn(db_, {"write", "P101", "MODE", "1"}).code, kDone);
  EXPECT_EQ(ReadBack("P101", "MODE")["text"], "ON");
  // Values of other kinds: a time of a text field, a record pointer.
  ASSERT_EQ(RunOn(db_, {"write", "TI102", "UPSTREAM_TAG", "PI201"}).code, kDone);
  EXPECT_EQ(ReadBack("TI102", "UPSTREAM_TAG"), Json({{"value", "PI201"}}));
}

TEST_F(VntaccessTest, ARepeatAreaWriteReportsExactlyWhatWasWritten) {
  const ToolRun over = RunOn(db_, {"write", "TI101", "TREND", "1", "2", "3", "4", "5", "6", "7", "8"});
  EXPECT_EQ(over.code, kPartlyDone);
  EXPECT_EQ(over.out, "wrote 5 of 8 values to TI101 TREND: TREND has 5 occurrences\n");
  std::vector<double> trend;
  for (const auto& value : ReadBack("TI101", "TREND")) trend.push_back(value["value"]);
  EXPECT_THAT(trend, ElementsAre(1, 2, 3, 4, 5));

  const ToolRun under = RunOn(db_, {"write", "TI101", "TREND", "10", "20", "--json"});
  EXPECT_EQ(under.code, kDone);
  EXPECT_EQ(Json::parse(under.out)["written"], 2);
  EXPECT_EQ(RunOn(db_, {"write", "TI101", "TREND", "9"}).out,
            "wrote 1 value to TI101 TREND (occurrences 1 to 1 of 5)\n");
  EXPECT_EQ(ReadBack("TI101", "TREND")[1]["value"], 20);  // the second occurrence kept its value

  const ToolRun call = RunOn(
      db_, {"call", "SetTagValues", R"({"TI101": {"VALUE": [{"value": {"double": 1}}, {"value": {"double": 2}}]}})"});
  EXPECT_EQ(call.code, kPartlyDone);
  EXPECT_EQ(call.out, "wrote 1 of 2 values to TI101 VALUE: VALUE holds one value\n");
  const ToolRun csv = RunOn(db_, {"write", "TI101", "TREND", "1", "2", "3", "4", "5", "6", "--csv"});
  EXPECT_EQ(csv.out, "RECORD,FIELD,GIVEN,WRITTEN,NOTE\nTI101,TREND,6,5,TREND has 5 occurrences\n");
}

TEST_F(VntaccessTest, DryRunChecksEverythingAndWritesNothing) {
  const std::string before = db_.Contents();
  const ToolRun dry = RunOn(db_, {"--dry-run", "write", "TI101", "TREND", "1", "2", "3", "4", "5", "6"});
  EXPECT_EQ(dry.code, kDone);
  EXPECT_EQ(dry.out,
            "dry run: would write 5 of 6 values to TI101 TREND: TREND has 5 occurrences; nothing was written\n");
  const ToolRun json = RunOn(db_, {"write", "TI101", "VALUE", "80", "--dry-run", "--json"});
  EXPECT_EQ(Json::parse(json.out)["dryRun"], true);
  EXPECT_EQ(Json::parse(json.out)["wouldWrite"], 1);
  ExpectRefused(RunOn(db_, {"--dry-run", "write", "TI101", "VALUE", "74,5"}), kUsage, "'74,5' is not a number");
  EXPECT_EQ(
      RunOn(db_, {"--dry-run", "call", "SetTagValues", R"({"TI101": {"VALUE": [{"value": {"double": 1}}]}})"}).out,
      "dry run: would write 1 value to TI101 VALUE; nothing was written\n");
  EXPECT_EQ(db_.Contents(), before);
  EXPECT_EQ(ReadBack("TI101", "VALUE")["value"], 73.8);
}

TEST_F(VntaccessTest, AWriteTheDatabaseCannotKeepIsReportedAsNotDone) {
  // The database file cannot grow past 1 kB in this child: the commit fails.
  const ToolRun run = RunOn(db_, {"write", "TI101", "VALUE", "99.5"}, ToolOptions{.fileSizeLimit = 1024});
  ExpectRefused(run, kServiceFault, "vntaccess: Failed to set value for TI101, VALUE: database is full");
  EXPECT_EQ(ReadBack("TI101", "VALUE")["value"], 73.8);
}

TEST_F(VntaccessTest, HistoryAsTableJsonCsvAndChart) {
  const std::vector<std::string> interval{
      "history", "TI101", "VALUE", "--from", "2024-03-06 20:00", "--to", "2024-03-06 22:00", "--outsiders", "BothA"};
  const ToolRun text = RunOn(db_, interval);
  ASSERT_EQ(text.code, kDone) << text.err;
  EXPECT_THAT(Lines(text.out),
              ElementsAre("TI101 VALUE (degC): 3 values from 2024-03-06 20:00:00.000+01:00 to "
                          "2024-03-06 22:00:00.000+01:00, and 2 outside",
                          "TIME                           VALUE  LEVEL  NOTE",
                          "-----------------------------  -----  -----  ----------------------------",
                          "2024-03-06 19:00:00.000+01:00  67.56      0  outside, before the interval",
                          "2024-03-06 20:00:00.000+01:00  67.84      0", "2024-03-06 21:00:00.000+01:00  68.5       0",
                          "2024-03-06 22:00:00.000+01:00  69.5       0",
                          "2024-03-06 23:00:00.000+01:00  70.77      0  outside, after the interval"));
  auto json = interval;
  json.push_back("--json");
  const Json values = Json::parse(RunOn(db_, json).out)["values"];
  ASSERT_EQ(values.size(), 5u);
  EXPECT_EQ(values[0], Json({{"time", "2024-03-06T18:00:00Z"},
                             {"timeMs", 1709748000000},
                             {"value", 67.56},
                             {"level", 0},
                             {"outsider", "before"}}));
  EXPECT_FALSE(values[1].contains("outsider"));
  auto csv = interval;
  csv.push_back("--csv");
  EXPECT_EQ(Lines(RunOn(db_, csv).out)[1], "2024-03-06T19:00:00.000+01:00,67.56,0,\"outside, before the interval\"");

  const std::string chart = (db_.Folder() / "trend.svg").string();
  const ToolRun plot =
      RunOn(db_, {"history", "PI201", "VALUE", "--from", "2024-03-05", "--to", "2024-03-05 12:00", "--plot", chart});
  ASSERT_EQ(plot.code, kDone) << plot.err;
  EXPECT_THAT(plot.err, HasSubstr("wrote the trend chart to"));
  std::ifstream file(chart);
  const std::string svg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_THAT(svg, HasSubstr(">PI201 VALUE</text>"));
  EXPECT_THAT(svg, HasSubstr(">Reactor pressure (bar)</text>"));  // the axis: description and units
  EXPECT_THAT(svg, HasSubstr(">level 2</text>"));

  ExpectRefused(RunOn(db_, {"history", "TI101", "UNITS"}), kNotFound, "TI101 UNITS keeps no history");
  ExpectRefused(RunOn(db_, {"history", "TI101", "VALUE", "--plot", (db_.Folder() / "no" / "chart.svg").string()}),
                kServiceFault, "cannot write the chart to");
  // Without --from: the last 24 hours, which hold nothing in the sample plant.
  const ToolRun recent = RunOn(db_, {"history", "TI101", "VALUE", "--json"});
  EXPECT_EQ(recent.code, kDone);
  EXPECT_THAT(Json::parse(recent.out)["values"], IsEmpty());
  // Reading newest first: --from later than --to.
  const ToolRun reverse = RunOn(
      db_, {"history", "TI101", "VALUE", "--from", "2024-03-06T21:00Z", "--to", "2024-03-06T19:00Z", "--csv", "--utc"});
  EXPECT_THAT(Lines(reverse.out), ElementsAre("TIME,VALUE,LEVEL,NOTE", "2024-03-06T21:00:00.000Z,69.5,0,",
                                              "2024-03-06T20:00:00.000Z,68.5,0,", "2024-03-06T19:00:00.000Z,67.84,0,"));
}

TEST_F(VntaccessTest, TheShellKeepsTheDatabaseAndSurvivesBadLines) {
  const std::string input =
      "write TI101 VALUE 71.5\n"
      "read TI101 VALUE --csv\n"
      "\"unclosed\n"
      "reed TI101\n"
      "write TI101 VALUE 74,5\n"
      "read TI999 VALUE\n"
      "  # a comment\n"
      "--json\n"
      "history TI101 VALUE --from 2024-03-06T20:00Z --to 2024-03-06T20:00Z --json\n"
      "quit\n"
      "write TI101 VALUE 1\n";
  // --keep-going: every line runs, and the run ends with the gravest code.
  const ToolRun run = RunOn(db_, {"--utc", "--keep-going"}, ToolOptions{.input = input});
  EXPECT_EQ(run.code, kNotFound);
  const auto out = Lines(run.out);
  ASSERT_GE(out.size(), 3u) << run.out;
  EXPECT_EQ(out[0], "wrote 1 value to TI101 VALUE");
  EXPECT_EQ(out[1], "RECORD,FIELD,VALUE,STATUS,LEVEL,TIME");
  EXPECT_THAT(out[2], HasSubstr("TI101,VALUE,71.5,0,0,"));
  EXPECT_THAT(out[2], HasSubstr("Z"));  // the shell's --utc holds for its lines
  EXPECT_THAT(run.out, HasSubstr("\"value\": 68.5"));
  EXPECT_THAT(Lines(run.err), ElementsAre("vntaccess: the line has an unclosed \" quote",
                                          "vntaccess: unknown command 'reed' (did you mean read?) (vntaccess --help)",
                                          ::testing::StartsWith("vntaccess: write: TI101 VALUE: '74,5' is not a "),
                                          "vntaccess: there is no record TI999",
                                          "vntaccess: no command; 'help' lists them, 'quit' leaves",
                                          "vntaccess: 5 lines of standard input failed: 3, 4, 5, 6, 8 (exit code 4)"));
  EXPECT_EQ(ReadBack("TI101", "VALUE")["value"], 71.5);  // kept, and nothing after quit ran
}

TEST_F(VntaccessTest, TheShellOnATerminalCompletesNamesAndKeepsItsHistory) {
  const std::string history = (db_.Folder() / "history").string();
  const ToolRun run = RunInTerminal(
      {"--database", db_.Path()},
      {
          {"", "vntaccess> "},
          {"histo\t", "history"},                              // a command (or history-info)
          {" TI10\t\t", "TI1010"},                             // the records it may be
          {"1 VAL\t", "VALUE "},                                // a field of TI101
          {"--from 2024-03-06T20:00Z --to 2024-03-06T21:00Z\n", "69.5"},
          {"\"oops\n", "unclosed \" quote"},                   // a bad line, and the shell goes on
          {"reed\n", "did you mean read?"},
          {"write P101 MODE \t\t", "AUTO"},                     // a selector's texts
          {"of\t\n", "wrote 1 value to P101 MODE"},
          {"quit\n", ""},
      },
      ToolOptions{.env = {{"VNTACCESS_HISTORY", history}, {"TERM", "vt100"}}});
  EXPECT_EQ(run.code, kDone) << run.err << run.out;
  EXPECT_EQ(ReadBack("P101", "MODE")["text"], "OFF");
  std::ifstream file(history);
  const std::string kept((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_THAT(kept, HasSubstr("write\\040P101\\040MODE\\040OFF"));  // libedit writes blanks as \040
}

TEST_F(VntaccessTest, OptionsHelpVersionAndTheDatabase) {
  const ToolRun version = RunTool({"--version"});
  EXPECT_EQ(version.code, kDone);
  EXPECT_THAT(version.out, ::testing::StartsWith("vntaccess 17."));
  const ToolRun help = RunTool({"write", "--help"});
  EXPECT_EQ(help.code, kDone);
  EXPECT_THAT(help.out, HasSubstr("Examples:\n  vntaccess write TI101 VALUE 74.25"));
  ExpectRefused(RunTool({"history", "TI101", "VALUE", "--form", "-1h"}), kUsage, "(did you mean --from?)");
  const ToolRun bare = RunTool({});
  EXPECT_EQ(bare.code, kUsage);
  EXPECT_THAT(bare.out, HasSubstr("usage: vntaccess"));
  ExpectRefused(RunTool({"read", "TI101", "VALUE"}), kDatabaseUnavailable, "no database: name one with --database");
  ExpectRefused(RunTool({"--database", (db_.Folder() / "none.json").string(), "read", "TI101", "VALUE"}),
                kDatabaseUnavailable, "cannot open the database");
  // DORVIK_DATABASE stands for --database.
  EXPECT_EQ(RunTool({"env", "DORVIK_GROUP_NAME"}, ToolOptions{.env = {{"DORVIK_DATABASE", db_.Path()}}}).out,
            "NAME               VALUE\n-----------------  ------\nDORVIK_GROUP_NAME  PLANT1\n");
  // The man page and completion come from the same declarations.
  EXPECT_THAT(RunTool({"man"}).out, HasSubstr(".SH EXIT STATUS"));
  const ToolRun complete =
      RunTool({"__complete", "2", "vntaccess", "read", "TI10"}, ToolOptions{.env = {{"DORVIK_DATABASE", db_.Path()}}});
  EXPECT_THAT(Lines(complete.out), ElementsAre("TI101", "TI1010", "TI102"));
}

TEST_F(VntaccessTest, Call) {
  // call keeps the contracts' JSON for --json.
  const Json contract = Json::parse(RunOn(db_, {"call", "GetTagValues", R"({"TI101": ["VALUE"]})", "--json"}).out);
  EXPECT_EQ(contract["TI101"]["VALUE"][0]["value"], Json({{"double", 73.8}}));
  EXPECT_EQ(contract["TI101"]["VALUE"][0]["timestamp"], "2024-03-07T00:00:00.0000000Z");
  // The management and server services through the same command.
  const std::string id = RunOn(db_, {"call", "GetTagID", R"("TI101")"}).out;
  const Json name = Json::parse(RunOn(db_, {"call", "management.GetTagName", id, "--json"}).out);
  EXPECT_EQ(name, "TI101");
  EXPECT_EQ(RunOn(db_, {"call", "server.GetMaxHistorySizePerCall"}).out, "10000\n");
  const Json missing = Json::parse(RunOn(db_, {"call", "FindNonexistingTags", R"(["TI101", "XX1"])", "--json"}).out);
  EXPECT_EQ(missing, Json::array({"XX1"}));
  const ToolRun dry =
      RunOn(db_, {"--dry-run", "call", "MakeTagsUsable", R"({"tagNames": ["TI101"], "usable": false})"});
  EXPECT_EQ(dry.out, "dry run: would call MakeTagsUsable; nothing was changed\n");
}

}  // namespace
}  // namespace vantrel::testing
