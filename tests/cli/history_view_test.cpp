// What history shows of values already read (no database): a cut read marked
// in every form and never summarized past the cut; and the two helpers of the
// commands that run on: the chart file that replaces its path whole, and the
// loop that ends on a count or a stop signal.
#include "views/history_view.h"

#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/replacing_file.h"
#include "cli/watch.h"
#include "platform/exceptions.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;
using contracts::TagValue;
using ::testing::HasSubstr;

constexpr int64_t kHour = 3600 * DateTime::kTicksPerSecond;

DateTime At(int hour) { return DateTime(2024, 3, 6, hour, 0, 0, 0, DateTimeKind::Utc); }

// TI101 VALUE read from 01:00 to 05:00 with --max 2: the outsider at 00:00,
// 10 at 01:00 and 20 at 02:00, then the first value left out, 30 at 03:00.
FieldHistory CutHistory() {
  FieldHistory history;
  history.field.record = "TI101";
  history.field.definition.Name = "VALUE";
  history.field.definition.DataType = contracts::TypeCode::Double;
  history.units = "degC";
  history.values = {TagValue(0.0, At(0), 0, 0), TagValue(10.0, At(1), 0, 0), TagValue(20.0, At(2), 0, 0)};
  history.inside = 2;
  history.truncated = true;
  history.firstLeftOut = TagValue(30.0, At(3), 0, 0);
  return history;
}

const HistoryWindow kWindow{At(1), At(5), 2, contracts::OutsidersRequestTypeEnum::BeforeA, false};

TEST(HistoryViewTest, ACutReadIsMarkedInEveryForm) {
  const HistoryShown json = ShowHistories({CutHistory()}, kWindow, {}, OutputStyle{Format::kJson, true, false});
  EXPECT_EQ(json.shown.json["truncated"], true);
  EXPECT_EQ(json.shown.json["nextFrom"], "2024-03-06T03:00:00Z");
  EXPECT_EQ(json.shown.json["values"].size(), 3u);
  ASSERT_EQ(json.notes.size(), 1u);  // on standard error beside JSON and CSV
  EXPECT_THAT(json.notes.front(), HasSubstr("cut at --max 2"));
  ASSERT_EQ(json.chart.series.size(), 1u);
  EXPECT_EQ(json.chart.series.front().truncatedAt, At(3));
  const HistoryShown text = ShowHistories({CutHistory()}, kWindow, {}, OutputStyle{Format::kText, true, false});
  EXPECT_TRUE(text.notes.empty());  // under the table instead
  EXPECT_THAT(text.shown.footer, HasSubstr("go on with --from \"2024-03-06 03:00:00.000Z\""));
}

TEST(HistoryViewTest, SummariesAndGridsStopAtTheCut) {
  HistoryLayout hourly;
  hourly.everyTicks = kHour;
  hourly.aggregates = {AggregateKind::kAvg, AggregateKind::kCount};
  const HistoryShown summary = ShowHistories({CutHistory()}, kWindow, hourly, OutputStyle{Format::kJson, true, false});
  // 01-02 and 02-03 were read whole; 03-04 and 04-05 were not.
  const auto& intervals = summary.shown.json["intervals"];
  ASSERT_EQ(intervals.size(), 2u);
  EXPECT_EQ(intervals[1]["avg"], 20.0);
  EXPECT_EQ(intervals[1]["count"], 1);
  EXPECT_FALSE(intervals[1].contains("min"));  // only what --agg names
  EXPECT_EQ(summary.shown.json["nextFrom"], "2024-03-06T03:00:00Z");

  HistoryLayout grid;
  grid.alignTicks = kHour / 2;
  grid.hold = Hold::kLinear;
  const HistoryShown aligned = ShowHistories({CutHistory()}, kWindow, grid, OutputStyle{Format::kJson, true, false});
  const auto& rows = aligned.shown.json["rows"];
  ASSERT_EQ(rows.size(), 4u);  // 01:00, 01:30, 02:00, 02:30: the line to 30 at 03:00 is known
  EXPECT_EQ(rows[3]["values"]["TI101 VALUE"], 25.0);
  EXPECT_EQ(aligned.shown.json["truncated"], true);
}

TEST(HistoryViewTest, SamplesKeepTimeOrderAndNumbersOnly) {
  FieldHistory history = CutHistory();
  TagValue text;
  text.Value = std::string("n/a");
  text.Timestamp = At(4);
  history.values.push_back(text);
  std::reverse(history.values.begin(), history.values.end());  // as a reverse read returns them
  const std::vector<Sample> samples = SamplesOf(history);
  ASSERT_EQ(samples.size(), 5u);
  EXPECT_EQ(samples[0].time, At(0));
  EXPECT_EQ(samples[3].value, 30.0);  // the value left out ends the one before it
  EXPECT_TRUE(std::isnan(samples[4].value));
}

std::string FileText(const std::filesystem::path& path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(ReplacingFileTest, ThePathHoldsTheOldFileUntilTheNewOneIsWhole) {
  const auto folder = std::filesystem::temp_directory_path() / ("replacing-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto path = folder / "chart.svg";
  std::ofstream(path) << "old";
  {
    ReplacingFile unfinished(path.string(), "the chart");
    EXPECT_EQ(FileText(path), "old");
  }  // given up: the old file stays, the new one is gone
  EXPECT_EQ(FileText(path), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 1);
  {
    ReplacingFile chart(path.string(), "the chart");
    chart.Commit("<svg/>");
  }
  EXPECT_EQ(FileText(path), "<svg/>");
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_THAT([&] { ReplacingFile(folder / "missing" / "chart.svg", "the chart"); },
              ::testing::ThrowsMessage<platform::IOException>(HasSubstr("cannot write the chart to")));
  std::filesystem::remove_all(folder);
}

TEST(WatchLoopTest, EndsAfterItsRoundsOrOnAStopSignal) {
  WatchLoop counted(DateTime::kTicksPerMillisecond, 3);
  int rounds = 0;
  while (counted.Next()) ++rounds;
  EXPECT_EQ(rounds, 3);
  EXPECT_EQ(counted.StoppedBy(), 0);
  {
    WatchLoop endless(kHour, std::nullopt);
    EXPECT_TRUE(endless.Next());
    ::raise(SIGINT);  // blocked while the loop lives: it ends the wait at once
    EXPECT_FALSE(endless.Next());
    EXPECT_EQ(endless.StoppedBy(), SIGINT);
    ::raise(SIGTERM);  // still pending at the end: taken, so it does not end this process
  }
  SUCCEED();
}

}  // namespace
}  // namespace vantrel::cli
