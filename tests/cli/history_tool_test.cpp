// The built vntaccess on a copy of the sample plant: history of several
// records, cut reads, summaries and grids checked against values worked out
// by hand here, charts, find and name patterns, and the commands that run
// until Ctrl-C (read --watch, history --follow).
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "contracts/json.h"
#include "tests/cli/tool_support.h"

namespace vantrel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Json = nlohmann::ordered_json;

// TI101 VALUE in the sample plant, UTC: 19:00 67.84, 20:00 68.5, 21:00 69.5,
// 22:00 70.77, 23:00 72.24 on 2024-03-06; PI201 VALUE 20:00 4.61, 21:00 4.57.
class HistoryToolTest : public ToolTest {
 protected:
  std::string FileText(const std::filesystem::path& path) {
    std::ifstream file(path);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  }
};

std::vector<double> ValuesOf(const Json& list) {
  std::vector<double> values;
  for (const auto& entry : list) values.push_back(entry["value"].get<double>());
  return values;
}

TEST_F(HistoryToolTest, MaxCountsValuesInsideOnlyAndACutIsMarkedInEveryForm) {
  const std::vector<std::string> interval{
      "history", "TI101", "VALUE", "--from", "2024-03-06T20:00Z", "--to", "2024-03-06T22:00Z", "--outsiders", "BothA"};
  // Exactly --max values inside: all of them, both outsiders, nothing cut.
  auto exact = interval;
  exact.insert(exact.end(), {"--max", "3"});
  const Json whole = JsonOf(exact);
  EXPECT_THAT(ValuesOf(whole["values"]), ElementsAre(67.84, 68.5, 69.5, 70.77, 72.24));
  EXPECT_EQ(whole["truncated"], false);
  // One fewer: two inside, the cut said with where to go on, and still the
  // outsider after the interval (not one of its values passed off as one).
  auto cut = interval;
  cut.insert(cut.end(), {"--max", "2"});
  const Json part = JsonOf(cut);
  EXPECT_THAT(ValuesOf(part["values"]), ElementsAre(67.84, 68.5, 69.5, 72.24));
  EXPECT_EQ(part["values"][3]["outsider"], "after");
  EXPECT_EQ(part["truncated"], true);
  EXPECT_EQ(part["nextFrom"], "2024-03-06T22:00:00Z");
  const ToolRun text = RunOn(db_, cut);
  ASSERT_EQ(text.code, kDone) << text.err;
  EXPECT_THAT(Lines(text.out).back(),
              HasSubstr("TI101 VALUE: cut at --max 2: values from 2024-03-06 23:00:00.000+01:00 on"));
  auto csv = cut;
  csv.push_back("--csv");
  const ToolRun table = RunOn(db_, csv);
  EXPECT_EQ(Lines(table.out).size(), 5u);  // header and four values: the note is on standard error
  EXPECT_THAT(table.err, HasSubstr("cut at --max 2"));
  // Newest first: the cut is at the older end, whose outsider comes from beyond the interval.
  const Json reverse = JsonOf({"history", "TI101", "VALUE", "--from", "2024-03-06T22:00Z", "--to", "2024-03-06T19:00Z",
                               "--outsiders", "BothA", "--max", "2"});
  EXPECT_THAT(ValuesOf(reverse["values"]), ElementsAre(72.24, 70.77, 69.5, 67.56));
  EXPECT_EQ(reverse["values"][3]["outsider"], "before");
  EXPECT_EQ(reverse["nextFrom"], "2024-03-06T20:00:00Z");
  const auto chart = db_.Folder() / "cut.svg";
  cut.insert(cut.end(), {"--plot", chart.string()});
  ASSERT_EQ(RunOn(db_, cut).code, kDone);
  EXPECT_THAT(FileText(chart), HasSubstr("not read: --max reached"));
}

TEST_F(HistoryToolTest, SeveralRecordsShareOneTimeAxisTableJsonAndChart) {
  const std::vector<std::string> both{
      "history", "TI101", "PI201", "VALUE", "--from", "2024-03-06T20:00Z", "--to", "2024-03-06T21:00Z", "--utc"};
  const ToolRun text = RunOn(db_, both);
  ASSERT_EQ(text.code, kDone) << text.err;
  EXPECT_THAT(
      Lines(text.out),
      ElementsAre(HasSubstr("TI101 VALUE (degC): 2 values"), HasSubstr("PI201 VALUE (bar)"),
                  "TIME                      RECORD  VALUE  LEVEL", "------------------------  ------  -----  -----",
                  "2024-03-06 20:00:00.000Z  TI101   68.5       0", "2024-03-06 20:00:00.000Z  PI201   4.61       0",
                  "2024-03-06 21:00:00.000Z  TI101   69.5       0", "2024-03-06 21:00:00.000Z  PI201   4.57       0"));
  const Json json = JsonOf(both);
  ASSERT_EQ(json["series"].size(), 2u);
  EXPECT_EQ(json["series"][1]["record"], "PI201");
  EXPECT_THAT(ValuesOf(json["series"][1]["values"]), ElementsAre(4.61, 4.57));

  const auto chart = db_.Folder() / "plant.svg";
  const ToolRun plot = RunOn(db_, {"history", "TI101", "PI201", "TI102", "VALUE", "--from", "2024-03-06T20:00Z", "--to",
                                   "2024-03-06T21:00Z", "--utc", "--plot", chart.string()});
  ASSERT_EQ(plot.code, kDone) << plot.err;
  const std::string svg = FileText(chart);
  for (const char* part : {">TI101 VALUE (degC)</text>", ">PI201 VALUE (bar)</text>", ">TI102 VALUE (degC)</text>",
                           ">degC</text>", ">Reactor pressure (bar)</text>", "time (UTC)"}) {
    EXPECT_THAT(svg, HasSubstr(part));
  }
}

TEST_F(HistoryToolTest, SummariesAndGridsMatchValuesWorkedOutByHand) {
  // 90-minute intervals from 20:30: the first starts with 68.5 in force
  // (from 20:00, before the interval) for 30 minutes, then 69.5 for 60.
  const Json summary = JsonOf({"history", "TI101", "VALUE", "--from", "2024-03-06T20:30Z", "--to", "2024-03-06T23:30Z",
                               "--every", "90m", "--agg", "avg,min,max,count"});
  const Json& intervals = summary["intervals"];
  ASSERT_EQ(intervals.size(), 2u);
  EXPECT_EQ(intervals[0]["start"], "2024-03-06T20:30:00Z");
  EXPECT_EQ(intervals[0]["end"], "2024-03-06T22:00:00Z");
  EXPECT_NEAR(intervals[0]["avg"].get<double>(), (68.5 * 30 + 69.5 * 60) / 90, 1e-9);
  EXPECT_EQ(intervals[0]["min"], 68.5);
  EXPECT_EQ(intervals[0]["max"], 69.5);
  EXPECT_EQ(intervals[0]["count"], 1);
  EXPECT_NEAR(intervals[1]["avg"].get<double>(), (70.77 * 60 + 72.24 * 30) / 90, 1e-9);
  EXPECT_EQ(intervals[1]["count"], 2);
  EXPECT_EQ(summary["every"], "90m");
  const ToolRun table = RunOn(db_, {"history", "TI101", "VALUE", "--from", "2024-03-06T20:30Z", "--to",
                                    "2024-03-06T23:30Z", "--every", "90m", "--agg", "max,count", "--csv", "--utc"});
  EXPECT_THAT(Lines(table.out),
              ElementsAre("START,END,MAX,COUNT", "2024-03-06T20:30:00.000Z,2024-03-06T22:00:00.000Z,69.5,1",
                          "2024-03-06T22:00:00.000Z,2024-03-06T23:30:00.000Z,72.24,2"));

  // A 30-minute grid: 20:30 lies halfway between 68.5 and 69.5, or holds 68.5.
  const std::vector<std::string> grid{
      "history",           "TI101",   "PI201", "VALUE", "--from", "2024-03-06T20:00Z", "--to",
      "2024-03-06T21:00Z", "--align", "30m"};
  auto linear = grid;
  linear.insert(linear.end(), {"--hold", "linear"});
  const Json lines = JsonOf(linear)["rows"];
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["time"], "2024-03-06T20:30:00Z");
  EXPECT_NEAR(lines[1]["values"]["TI101 VALUE"].get<double>(), (68.5 + 69.5) / 2, 1e-9);
  EXPECT_NEAR(lines[1]["values"]["PI201 VALUE"].get<double>(), (4.61 + 4.57) / 2, 1e-9);
  EXPECT_EQ(JsonOf(grid)["rows"][1]["values"]["TI101 VALUE"], 68.5);

  ExpectRefused(RunOn(db_, {"history", "TI101", "VALUE", "--agg", "min"}), kUsage, "--agg needs --every");
  ExpectRefused(RunOn(db_, {"history", "TI101", "VALUE", "--every", "1h", "--align", "1m"}), kUsage,
                "do not go together");
  ExpectRefused(RunOn(db_, {"history", "TI101", "VALUE", "--every", "1h", "--agg", "median"}), kUsage,
                "'median' is not an aggregate");
  ExpectRefused(
      RunOn(db_, {"history", "TI101", "VALUE", "--from", "2024-01-01", "--to", "2024-03-01", "--every", "1s"}), kUsage,
      "choose a longer step");
}

TEST_F(HistoryToolTest, FindAndNamePatterns) {
  const Json found = JsonOf({"find", "TI*"});
  ASSERT_EQ(found["records"].size(), 3u);
  EXPECT_EQ(found["records"][0], Json({{"record", "TI101"}, {"definition", "VN_AnalogDef"}}));
  const Json bar = JsonOf({"find", "--where", "UNITS=BAR"});
  ASSERT_EQ(bar["records"].size(), 1u);
  EXPECT_EQ(bar["records"][0]["record"], "PI201");
  EXPECT_EQ(bar["records"][0]["fields"]["UNITS"], "bar");
  const ToolRun both = RunOn(db_, {"find", "--where", "UNITS=degC", "--where", "DESCRIPTION=*outlet*"});
  EXPECT_THAT(Lines(both.out), ElementsAre(HasSubstr("1 record matches * where UNITS=degC and DESCRIPTION=*outlet*"),
                                           HasSubstr("RECORD"), HasSubstr("---"), HasSubstr("TI102")));
  ExpectRefused(RunOn(db_, {"find", "--where", "UNITS"}), kUsage, "is not FIELD=VALUE");
  EXPECT_EQ(JsonOf({"find", "--where", "units=DEGC"})["records"].size(), 3u);  // field and value in any case
  EXPECT_EQ(JsonOf({"find", "--where", "NO_SUCH_FIELD=*"})["records"].size(), 0u);

  const ToolRun read = RunOn(db_, {"read", "TI10?", "VALUE", "--csv", "--utc"});
  EXPECT_THAT(Lines(read.out),
              ElementsAre("RECORD,FIELD,VALUE,STATUS,LEVEL,TIME", "TI101,VALUE,73.8,0,0,2024-03-07T00:00:00.000Z",
                          "TI102,VALUE,89.37,0,0,2024-03-07T00:00:00.000Z"));
  ExpectRefused(RunOn(db_, {"read", "TX*,TI101", "VALUE"}), kNotFound, "no record matches 'TX*'");
  EXPECT_EQ(RunOn(db_, {"read", "TI10?.VALUE", "--csv", "--utc"}).out, read.out);  // RECORD.FIELD with a pattern
}

TEST_F(HistoryToolTest, WatchAndFollowAppendInPipesAndEndOnCountOrCtrlC) {
  const ToolRun rounds = RunOn(db_, {"read", "TI101,PI201", "VALUE", "--watch", "1s", "--count", "2", "--csv"});
  ASSERT_EQ(rounds.code, kDone) << rounds.err;
  const auto lines = Lines(rounds.out);
  ASSERT_EQ(lines.size(), 5u);  // the header, then two rows a read
  EXPECT_EQ(lines[0], "AT,RECORD,FIELD,VALUE,STATUS,LEVEL,TIME");
  EXPECT_THAT(lines[3], HasSubstr(",TI101,VALUE,73.8,"));
  ExpectRefused(RunOn(db_, {"read", "TI101", "VALUE", "--count", "2"}), kUsage, "--count counts the reads of --watch");

  // Ctrl-C ends a watch cleanly, after whole rounds.
  ToolProcess watch({"--database", db_.Path(), "read", "TI101", "VALUE", "--watch", "1s", "--json"});
  ASSERT_TRUE(watch.WaitForOutput("\"TI101\""));
  watch.Signal(SIGINT);
  const ToolRun stopped = watch.Wait();
  EXPECT_EQ(stopped.code, kDone) << stopped.err;
  for (const auto& line : Lines(stopped.out)) EXPECT_EQ(Json::parse(line)["values"]["TI101"]["VALUE"]["value"], 73.8);

  // history --follow shows the interval's values, then one written after it started, each once.
  ASSERT_EQ(RunOn(db_, {"write", "TI101", "VALUE", "80.5"}).code, kDone);
  ToolProcess follow({"--database", db_.Path(), "history", "TI101", "VALUE", "--from", "-1h", "--follow=1s", "--count",
                      "30", "--json"});
  ASSERT_TRUE(follow.WaitForOutput("80.5"));
  ASSERT_EQ(RunOn(db_, {"write", "TI101", "VALUE", "81.25"}).code, kDone);
  EXPECT_TRUE(follow.WaitForOutput("81.25"));
  follow.Signal(SIGINT);
  const ToolRun followed = follow.Wait();
  EXPECT_EQ(followed.code, kDone);
  std::vector<double> values;
  for (const auto& line : Lines(followed.out)) values.push_back(Json::parse(line)["value"].get<double>());
  EXPECT_THAT(values, ElementsAre(80.5, 81.25));  // JSON Lines
}

TEST_F(HistoryToolTest, AnInterruptedChartLeavesTheOldFileWhole) {
  const auto chart = db_.Folder() / "trend.svg";
  for (int delayMs : {0, 2, 5, 10, 20}) {
    {
      std::ofstream old(chart);
      old << "the old chart";
    }
    ToolProcess run({"--database", db_.Path(), "history", "TI101", "TI102", "PI201", "FI301", "VALUE", "--from",
                     "2024-03-04", "--to", "2024-03-07", "--plot", chart.string()});
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    run.Signal(SIGINT);
    run.Wait();
    const std::string text = FileText(chart);
    EXPECT_TRUE(text == "the old chart" || text.ends_with("</svg>\n")) << "after " << delayMs << " ms: " << text.size();
  }
  for (const auto& entry : std::filesystem::directory_iterator(db_.Folder())) {
    EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr(".trend.svg.")));  // nothing half-written left
  }
  // A chart written in full is private to its owner.
  ASSERT_EQ(RunOn(db_, {"history", "TI101", "VALUE", "--from", "2024-03-06", "--plot", chart.string()}).code, kDone);
  struct stat status {};
  ASSERT_EQ(::stat(chart.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace vantrel::testing
