// The browsing, field metadata, administration and server commands of the
// built vntaccess, on a copy of the sample plant: what they print, their
// exit codes, refusals, dry runs, and changes read back by a second process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "contracts/json.h"
#include "tests/cli/tool_support.h"

namespace vantrel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Json = nlohmann::ordered_json;

class ManagementCommandsTest : public ToolTest {
 protected:
  // Whether a record is usable, as a second process reads it.
  bool Usable(const std::string& record) {
    return JsonOf({"records", "VN_AnalogDef", "--like", record})["records"][record]["usable"];
  }
};

TEST_F(ManagementCommandsTest, DefinitionsRecordsAndPatterns) {
  const Json definitions = JsonOf({"definitions"});
  EXPECT_EQ(definitions["VN_AnalogDef"], Json({{"id", 200}, {"records", 7}, {"fields", 9}}));
  EXPECT_EQ(definitions["VN_TaskDef"]["records"], 1);

  const ToolRun analog = RunOn(db_, {"records", "VN_AnalogDef", "--like", "TI*", "--like", "pi?01"});
  EXPECT_THAT(Lines(analog.out), ElementsAre("VN_AnalogDef has 4 records matching TI* or pi?01", "RECORD    ID  USABLE",
                                             "------  ----  ------", "TI101   1001  yes", "TI102   1002  yes",
                                             "TI1010  1003  yes", "PI201   1004  yes"));
  // A record names its definition; the spare input is out of service.
  const Json spare = JsonOf({"records", "TI101", "--like", "*SPARE*"});
  EXPECT_EQ(spare,
            Json({{"definition", "VN_AnalogDef"}, {"records", {{"AI_SPARE1", {{"id", 1091}, {"usable", false}}}}}}));
  EXPECT_EQ(Lines(RunOn(db_, {"records", "VN_AnalogDef", "--like", "X*"}).out).back(), "(no rows)");
  EXPECT_EQ(RunOn(db_, {"records", "VN_TaskDef", "--csv"}).out, "RECORD,ID,USABLE\nVN_SequenceTask,1602,yes\n");
  ExpectRefused(RunOn(db_, {"records", "VN_AnalgDef"}), kNotFound,
                "there is no record VN_AnalgDef (did you mean VN_AnalogDef?)");
}

TEST_F(ManagementCommandsTest, FieldsSelectorsMapsAndTypes) {
  EXPECT_THAT(
      Lines(RunOn(db_, {"fields", "VN_DiscreteDef"}).out),
      ElementsAre("VN_DiscreteDef defines 4 fields",
                  "FIELD        TAG         TYPE    LENGTH  REFERENCE  KEEPS             READ-ONLY     SELECTOR",
                  "-----------  ----------  ------  ------  ---------  ----------------  ------------  "
                  "-----------------",
                  "DESCRIPTION  0x00010000  String      40                               while usable",
                  "STATE        0x000A0000  Int16                      quality, history",
                  "MODE         0x000B0000  Int16           selector                                   "
                  "0=OFF 1=ON 2=AUTO",
                  "START_CMD    0x000C0000  Int16                      quality"));
  const Json analog = JsonOf({"fields", "TI101"});
  EXPECT_EQ(analog["record"], "TI101");
  EXPECT_EQ(analog["fields"]["TREND"]["repeatCount"], "TREND_COUNT");
  EXPECT_EQ(analog["fields"]["VALUE"]["history"], true);
  // The former name still works, and says so.
  const ToolRun old = RunOn(db_, {"definition", "VN_DiscreteDef", "--json"});
  EXPECT_EQ(Json::parse(old.out)["fields"]["MODE"]["selector"], Json({{"0", "OFF"}, {"1", "ON"}, {"2", "AUTO"}}));
  EXPECT_EQ(old.err, "vntaccess: 'definition' is now 'fields'\n");

  EXPECT_EQ(JsonOf({"selectors", "P101", "MODE"}),
            Json({{"P101", {{"MODE", {{"0", "OFF"}, {"1", "ON"}, {"2", "AUTO"}}}}}}));
  ExpectRefused(RunOn(db_, {"selectors", "P101", "STATE"}), kNotFound, "P101 has no selector texts for STATE");
  const ToolRun some = RunOn(db_, {"selectors", "P101", "STATE", "MODE", "--csv"});
  EXPECT_EQ(some.code, kPartlyDone);
  EXPECT_EQ(some.out, "FIELD,NUMBER,TEXT\nMODE,0,OFF\nMODE,1,ON\nMODE,2,AUTO\n");
  EXPECT_EQ(some.err, "vntaccess: P101 has no selector texts for STATE\n");

  EXPECT_EQ(JsonOf({"maps", "VN_AnalogDef", "P101", "VN_TextDef"}),
            Json({{"VN_AnalogDef", {"MAP_ANALOG_FACEPLATE", "MAP_ANALOG_TREND"}},
                  {"VN_DiscreteDef", {"MAP_DISCRETE"}},
                  {"VN_TextDef", Json::array()}}));
  EXPECT_EQ(JsonOf({"maps", "VN_AnalogDef", "VN_TextDef", "--default"}),
            Json({{"VN_AnalogDef", "MAP_ANALOG_TREND"}, {"VN_TextDef", nullptr}}));

  EXPECT_EQ(JsonOf({"type", "vn_analogdef", "TI101", "BATCH_ID", "VN_SequenceTask", "MAP_DISCRETE"}),
            Json({{"VN_AnalogDef", "Definition"},
                  {"TI101", "WithMapRecord"},
                  {"BATCH_ID", "RecordKind5"},
                  {"VN_SequenceTask", "RecordKind19"},
                  {"MAP_DISCRETE", "Other"}}));
  ExpectRefused(RunOn(db_, {"type", "TI101", "TI1O1", "NOPE"}), kNotFound,
                "there is no record TI1O1 (did you mean TI101?); there is no record NOPE");
  EXPECT_EQ(JsonOf({"version"}), Json({{"tool", "17.0.0.0"}, {"library", "17.0.0.0"}, {"database", "17.0"}}));
}

TEST_F(ManagementCommandsTest, ReadWithoutFieldsReadsTheWholeDefinition) {
  const ToolRun run = RunOn(db_, {"read", "P101,VN_SequenceTask", "--csv", "--utc"});
  ASSERT_EQ(run.code, kDone) << run.err;
  EXPECT_THAT(Lines(run.out), ElementsAre("RECORD,FIELD,VALUE,STATUS,LEVEL,TIME", "P101,DESCRIPTION,Feed pump,,,",
                                          "P101,STATE,0,0,0,2024-03-06T18:00:00.000Z", "P101,MODE,AUTO,,,",
                                          StartsWith("P101,START_CMD,0,0,0,"),
                                          "VN_SequenceTask,DESCRIPTION,Start sequence of the feed pumps,,,",
                                          "VN_SequenceTask,TASK_STATE,0,,,"));
  // Repeat areas come as their occurrences.
  const Json trend = JsonOf({"read", "TI101"})["TI101"];
  EXPECT_EQ(trend["TREND_COUNT"]["value"], 5);
  EXPECT_EQ(trend["TREND"].size(), 5u);
  ExpectRefused(RunOn(db_, {"read", "TI999"}), kNotFound, "there is no record TI999");
}

TEST_F(ManagementCommandsTest, WriteRightsAndHistoryFlags) {
  // DESCRIPTION may change only while a record is unusable; the calculation
  // records may be read, not written, by everyone.
  EXPECT_THAT(Lines(RunOn(db_, {"readonly", "TI101,AI_SPARE1", "DESCRIPTION", "VALUE"}).out),
              ElementsAre("RECORD     FIELD        READ-ONLY  FOR THE CALLER",
                          "---------  -----------  ---------  --------------", "TI101      DESCRIPTION  yes        yes",
                          "TI101      VALUE        no         no", "AI_SPARE1  DESCRIPTION  no         no",
                          "AI_SPARE1  VALUE        no         no"));
  EXPECT_EQ(JsonOf({"readonly", "CALC_DELTA_T", "CALC_RESULT"}),
            Json({{"CALC_DELTA_T", {{"CALC_RESULT", {{"readOnly", false}, {"userReadOnly", true}}}}}}));
  EXPECT_EQ(JsonOf({"history-info", "TI101", "VALUE", "UNITS", "TREND[2]"}),
            Json({{"TI101",
                   {{"VALUE", {{"history", true}, {"archived", false}}},
                    {"UNITS", {{"history", false}, {"archived", false}}},
                    {"TREND[2]", {{"history", false}, {"archived", false}}}}}}));
  ExpectRefused(RunOn(db_, {"history-info", "TI101", "VALU"}), kNotFound,
                "there is no field VALU (did you mean VALUE?)");
}

TEST_F(ManagementCommandsTest, CreateReadBackAndUsableRoundTrip) {
  const std::string before = db_.Contents();
  EXPECT_EQ(RunOn(db_, {"--dry-run", "create", "VN_AnalogDef", "TI103", "ti101"}).out,
            "dry run: would create 1 record of VN_AnalogDef: TI103; TI101 exists already; nothing was created\n");
  ExpectRefused(RunOn(db_, {"create", "VN_AnalogDef", "TI103", "P101"}), kUsage,
                "P101 exists already, as a record of VN_DiscreteDef; nothing was created");
  ExpectRefused(RunOn(db_, {"create", "TI101", "TI103"}), kNotFound,
                "TI101 is not a definition: it is a record of VN_AnalogDef");
  ExpectRefused(RunOn(db_, {"--dry-run", "usable", "TI103"}), kNotFound, "there is no record TI103");
  EXPECT_EQ(db_.Contents(), before);

  const ToolRun create = RunOn(db_, {"create", "VN_AnalogDef", "TI103", "TI104", "TI103", "TI101", "--json"});
  ASSERT_EQ(create.code, kDone) << create.err;
  EXPECT_EQ(Json::parse(create.out), Json({{"dryRun", false},
                                           {"definition", "VN_AnalogDef"},
                                           {"created", {"TI103", "TI104"}},
                                           {"existed", {"TI101"}},
                                           {"refused", Json::array()}}));
  // A second process finds the new records, out of service until made usable.
  EXPECT_FALSE(Usable("TI103"));
  EXPECT_EQ(JsonOf({"read", "TI103", "UNITS"}), Json({{"TI103", {{"UNITS", {{"value", ""}}}}}}));
  EXPECT_EQ(RunOn(db_, {"--dry-run", "usable", "TI103", "TI101"}).out,
            "dry run: would make TI103 usable; TI101 was usable already; nothing was changed\n");
  EXPECT_FALSE(Usable("TI103"));
  EXPECT_EQ(RunOn(db_, {"usable", "TI103", "ti104"}).out, "made TI103, TI104 usable\n");
  EXPECT_TRUE(Usable("TI103"));
  EXPECT_EQ(RunOn(db_, {"unusable", "TI103"}).out, "made TI103 unusable\n");
  EXPECT_FALSE(Usable("TI103"));
  EXPECT_TRUE(Usable("TI104"));
}

TEST_F(ManagementCommandsTest, ARefusalPartWayIsReportedExactly) {
  // Nobody may change the calculation records: the records before it are
  // made unusable, the ones after it not tried.
  const ToolRun run = RunOn(db_, {"unusable", "TI101", "CALC_DELTA_T", "TI102"});
  EXPECT_EQ(run.code, kPartlyDone);
  EXPECT_EQ(run.out,
            "made TI101 unusable; the database refused CALC_DELTA_T: Make tag CALC_DELTA_T Unusable with error -11.; "
            "TI102 not tried\n");
  EXPECT_FALSE(Usable("TI101"));
  EXPECT_TRUE(Usable("TI102"));
  // Refused at once: nothing was done, a fault.
  ExpectRefused(
      RunOn(db_, {"unusable", "CALC_DELTA_T", "TI102"}), kServiceFault,
      "the database refused CALC_DELTA_T: Make tag CALC_DELTA_T Unusable with error -11.; nothing was changed");
  EXPECT_TRUE(Usable("TI102"));
}

TEST_F(ManagementCommandsTest, ReferencesInCalculationsFieldsAndSql) {
  // TI101 in two calculation lines (bare and quoted), in the fields of two
  // records, in a query record and in two query files; not in "XTI101 =
  // TI101_OLD". FI301 is a field reference of CQ_FEED_SUMMARY and in its file.
  const Json all = JsonOf({"refs", "TI101", "FI301"});
  EXPECT_EQ(all["TI101"]["CALC_DELTA_T (CALC_LINE)"], Json({{"source", "calc"},
                                                           {"definition", "VN_CalcDef (Shared Calc)"},
                                                           {"info", "Line(s): 2, 3"},
                                                           {"lines", {2, 3}}}));
  EXPECT_EQ(all["TI101"]["TI102"]["fields"], Json({"UPSTREAM_TAG", "UPSTREAM_VALUE"}));
  std::vector<std::string> places;
  for (const auto& [place, info] : all["TI101"].items()) {
    places.push_back(place + " " + info["source"].get<std::string>());
  }
  EXPECT_THAT(places, ElementsAre("CALC_DELTA_T (CALC_LINE) calc", "TI102 fields", "CALC_DELTA_T fields",
                                  "Q_DAILY_TEMPS (QUERY_LINE) sql", "CQ_FEED_SUMMARY sql", "VW_REACTOR sql"));
  EXPECT_EQ(all["FI301"]["CQ_FEED_SUMMARY (QUERY_LINE)"]["lines"], Json({5}));

  const ToolRun sql = RunOn(db_, {"refs", "PI201", "ti101", "--source", "SQL", "--csv"});
  EXPECT_EQ(sql.code, kDone) << sql.err;
  EXPECT_EQ(sql.out,
            "NAME,SOURCE,WHERE,DEFINITION,FOUND\nPI201,sql,VW_REACTOR,ViewDef,Line(s): 5\n"
            "ti101,sql,Q_DAILY_TEMPS (QUERY_LINE),QueryDef,Line(s): 3\nti101,sql,CQ_FEED_SUMMARY,CompQueryDef,"
            "Line(s): 8\nti101,sql,VW_REACTOR,ViewDef,Line(s): 3\n");
  // A name of no record: found nowhere, and a note suggests the record.
  const ToolRun typo = RunOn(db_, {"refs", "TI1O1"});
  EXPECT_EQ(typo.code, kDone);
  EXPECT_THAT(Lines(typo.out), ElementsAre("0 places found", "NAME   WHERE", "-----  ---------", "TI1O1  (nowhere)"));
  EXPECT_EQ(typo.err, "vntaccess: no record is named TI1O1 (did you mean TI101?); looked for in the texts only\n");
  ExpectRefused(RunOn(db_, {"refs", "TI101", "--source", "calcs"}), kUsage,
                "--source: 'calcs' is not a source; sources: calc, fields, sql, all");
}

TEST_F(ManagementCommandsTest, ServerValues) {
  EXPECT_EQ(JsonOf({"server", "env", "DORVIK_GROUP_NAME", "VANTREL_VERSION"}),
            Json({{"DORVIK_GROUP_NAME", "PLANT1"}, {"VANTREL_VERSION", "17.0"}}));
  EXPECT_EQ(RunOn(db_, {"server", "group-folder"}).out, (db_.Folder() / "group").string() + "\n");
  ExpectRefused(RunOn(db_, {"server", "env", "DORVIK_GROUP_NAME", "NO_SUCH"}), kNotFound,
                "the database has no environment variable NO_SUCH");
  // The history limit needs no database.
  const ToolRun limit = RunTool({"server", "history-limit", "--json"});
  EXPECT_EQ(limit.code, kDone) << limit.err;
  EXPECT_EQ(Json::parse(limit.out), Json({{"historyLimit", 10000}}));
  ExpectRefused(RunTool({"server", "group-folder"}), kDatabaseUnavailable, "no database");
}

}  // namespace
}  // namespace vantrel::testing
