#include "views/output.h"

#include <stdlib.h>
#include <time.h>

#include <regex>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;

class OutputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::setenv("TZ", "Europe/Paris", 1);
    ::tzset();
  }
  const DateTime time_{2024, 3, 7, 0, 0, 1, 250, DateTimeKind::Utc};
  // A field with quality beside one without: the second leaves its status,
  // level and time empty; the NOTE column is empty everywhere.
  Table Values() const {
    return Table{{{"FIELD"}, {"VALUE"}, {"STATUS", true}, {"TIME"}, {"NOTE"}},
                 {{"VALUE", "73.8", "0", time_, ""}, {"DESCRIPTION", "Reactor, \"inlet\"", "", "", ""}}};
  }
};

TEST_F(OutputTest, TextTablesAlignAndLeaveOutEmptyColumns) {
  std::ostringstream text;
  WriteTextTable(text, Values(), false);
  EXPECT_EQ(text.str(),
            "FIELD        VALUE             STATUS  TIME\n"
            "-----------  ----------------  ------  -----------------------------\n"
            "VALUE        73.8                   0  2024-03-07 01:00:01.250+01:00\n"
            "DESCRIPTION  Reactor, \"inlet\"\n");
  std::ostringstream utc;
  WriteTextTable(utc, Values(), true);
  EXPECT_THAT(utc.str(), ::testing::HasSubstr("2024-03-07 00:00:01.250Z"));
  std::ostringstream empty;
  WriteTextTable(empty, Table{{{"A"}}, {}}, false);
  EXPECT_EQ(empty.str(), "(no rows)\n");
}

TEST_F(OutputTest, CsvKeepsEveryColumnAndQuotes) {
  std::ostringstream csv;
  WriteCsvTable(csv, Values(), false);
  EXPECT_EQ(csv.str(),
            "FIELD,VALUE,STATUS,TIME,NOTE\n"
            "VALUE,73.8,0,2024-03-07T01:00:01.250+01:00,\n"
            "DESCRIPTION,\"Reactor, \"\"inlet\"\"\",,,\n");
  std::ostringstream utc;
  WriteCsvTable(utc, Values(), true);
  EXPECT_THAT(utc.str(), ::testing::HasSubstr(",2024-03-07T00:00:01.250Z,"));
}

TEST_F(OutputTest, JsonTimesAreWhatJqFromdateReads) {
  // jq's fromdate reads exactly %Y-%m-%dT%H:%M:%SZ; the milliseconds go beside.
  EXPECT_EQ(JsonTime(time_), "2024-03-07T00:00:01Z");
  EXPECT_TRUE(std::regex_match(JsonTime(DateTime(1999, 12, 31, 23, 59, 59, 999, DateTimeKind::Local)),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  EXPECT_EQ(JsonTime(DateTime(2024, 7, 1, 12, 0, 0, 0, DateTimeKind::Local)), "2024-07-01T10:00:00Z");
  EXPECT_EQ(EpochMilliseconds(time_), 1709769601250);
  EXPECT_EQ(EpochMilliseconds(DateTime(1969, 12, 31, 23, 59, 59, 999, DateTimeKind::Utc)), -1);

  std::ostringstream out, err;
  Output output(out, err, OutputStyle{Format::kJson, false, false});
  output.Show(Shown{Values(), Json{{"VALUE", 73.8}}, "caption", "sentence", "footer"});
  output.Note("note");
  EXPECT_EQ(out.str(), "{\n  \"VALUE\": 73.8\n}\n");  // no caption, sentence or footer in JSON
  EXPECT_EQ(err.str(), "note\n");
}

}  // namespace
}  // namespace vantrel::cli
