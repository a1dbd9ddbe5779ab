// history: the history of one field of one or several records, as read, on
// a regular grid (--align) or summarized per interval (--every, --agg), as a
// table, CSV, JSON and an SVG chart (--plot), and followed as new values
// come (--follow).
#include "views/tool_services.h"
#include "views/history_query.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>

#include <fmt/format.h>

#include "cli/command.h"
#include "cli/data_commands.h"
#include "views/duration.h"
#include "views/field_resolver.h"
#include "views/history_view.h"
#include "views/progress.h"
#include "views/record_patterns.h"
#include "cli/replacing_file.h"
#include "views/time_parse.h"
#include "views/value_parse.h"
#include "views/value_view.h"
#include "cli/watch.h"
#include "data/data_access.h"
#include "platform/time_zone.h"

namespace vantrel::cli {

using contracts::DateTime;
using contracts::OutsidersRequestTypeEnum;

namespace {

constexpr int64_t kSecond = DateTime::kTicksPerSecond;
constexpr int64_t kMaxStep = 366 * DateTime::kTicksPerDay;
constexpr int32_t kFollowBatch = 1000;

DateTime OptionTime(std::string_view option, const std::string& text, const DateTime& now) {
  try {
    return ParseTime(text, now);
  } catch (const UsageError& error) {
    throw UsageError(fmt::format("{}: {}", option, error.what()));
  }
}

// RECORD... FIELD: every word but the last names records (commas split them).
void TakeWords(HistoryArgs& args, const std::vector<std::string>& words) {
  if (words.size() < 2) throw UsageError("give a record (or several) and then the field: history TI101 VALUE");
  args.field = words.back();
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    for (auto& name : SplitRecordNames(words[i])) args.records.push_back(std::move(name));
  }
}

void CheckCombinations(const HistoryArgs& args) {
  const bool summary = args.everyTicks.has_value();
  if (!args.aggregates.empty() && !summary) throw UsageError("--agg needs --every: the length of the intervals");
  if (summary && args.alignTicks) throw UsageError("--every and --align do not go together; choose one");
  if ((summary || args.alignTicks) && args.outsidersGiven) {
    throw UsageError(
        "--outsiders does not apply with --every or --align: the value in force at --from is read for them");
  }
  if (args.followTicks) {
    if (summary || args.alignTicks || !args.plot.empty()) {
      throw UsageError("--follow shows values as they come; leave out --every, --align and --plot");
    }
    if (args.to) throw UsageError("--follow reads up to now and on; leave out --to");
  }
  if (args.count && !args.followTicks) throw UsageError("--count counts the rounds of --follow");
}

void DeclareHistory(CLI::App& app, HistoryArgs& args) {
  args.now = platform::UtcNow();
  app.add_option_function<std::vector<std::string>>(
         "RECORD", [&args](const std::vector<std::string>& words) { TakeWords(args, words); },
         "one or more records (TI101 TI102, TI101,TI102 or a pattern 'TI*'), then the FIELD they share")
      ->required()
      ->expected(-2);
  app.add_option_function<std::string>(
         "--from", [&args](const std::string& text) { args.from = OptionTime("--from", text, args.now); },
         "start of the interval (default: 24 hours before --to); later than --to reads newest first")
      ->type_name("TIME");
  app.add_option_function<std::string>(
         "--to", [&args](const std::string& text) { args.to = OptionTime("--to", text, args.now); },
         "end of the interval (default now); a value stored exactly at either end is inside: [from, to]")
      ->type_name("TIME");
  app.add_option_function<std::string>(
         "--max",
         [&args](const std::string& text) { args.max = static_cast<int32_t>(ParseInteger(text, "--max", 1, 100'000)); },
         "at most this many values inside the interval per record, 1 to 100000 (default 1000); outsiders are not "
         "counted; a cut read is marked in every output form")
      ->type_name("N");
  app.add_option_function<std::string>(
         "--outsiders",
         [&args](const std::string& text) {
           args.outsiders = ParseOutsiders(text);
           args.outsidersGiven = true;
         },
         "also read values just outside the interval (kinds above)")
      ->type_name("KIND");
  app.add_flag("--step", args.step,
               "the value holds until the next sample: ask the database for step values and draw steps (whole numbers "
               "and selectors are drawn in steps anyway)");
  app.add_option("--plot", args.plot,
                 "also draw the trend as an SVG chart into FILE (written beside it and renamed: an interrupted run "
                 "leaves an existing FILE as it was)")
      ->type_name("FILE");
  app.add_option_function<std::string>(
         "--align",
         [&args](const std::string& text) { args.alignTicks = ParseDuration(text, "--align", kSecond, kMaxStep); },
         fmt::format("put the values on a grid from --from in steps of LENGTH, one column per record ({})",
                     kDurationForms))
      ->type_name("LENGTH");
  app.add_option_function<std::string>(
         "--hold",
         [&args](const std::string& text) {
           if (text != "step" && text != "linear") throw UsageError("--hold: 'step' or 'linear'");
           args.hold = text == "step" ? Hold::kStep : Hold::kLinear;
         },
         "how --align takes a value between samples: step (the last value holds, default) or linear")
      ->type_name("HOW");
  app.add_option_function<std::string>(
         "--every",
         [&args](const std::string& text) { args.everyTicks = ParseDuration(text, "--every", kSecond, kMaxStep); },
         "summarize intervals of LENGTH from --from (the last one cut at --to)")
      ->type_name("LENGTH");
  app.add_option_function<std::string>(
         "--agg", [&args](const std::string& text) { args.aggregates = ParseAggregates(text); },
         "what --every shows of each interval: min, avg, max, count, comma-separated (default all four)")
      ->type_name("LIST");
  app.add_option_function<std::string>(
         "--follow",
         [&args](const std::string& text) {
           args.followTicks = ParseDuration(text, "--follow", kSecond, DateTime::kTicksPerDay);
         },
         "show the interval's values and then new ones as they come, one row each (JSON Lines with --json), "
         "looking every LENGTH (--follow=5s; default 2s), until Ctrl-C")
      ->type_name("LENGTH")
      ->expected(0, 1)
      ->default_str("2s");
  AddRoundsOption(app, args.count, "with --follow: stop after N looks");
  app.callback([&args] {
    if (args.everyTicks && args.aggregates.empty()) {
      args.aggregates = {AggregateKind::kMin, AggregateKind::kAvg, AggregateKind::kMax, AggregateKind::kCount};
    }
    CheckCombinations(args);
  });
}

std::string HistoryHelp() {
  std::string text = "Outsiders (--outsiders KIND, any case) add values just outside the interval:\n";
  for (const auto& kind : kOutsidersKinds) text += fmt::format("  {:<8} {}\n", kind.name, kind.meaning);
  return text +
         "Outsiders are marked in the table, the JSON and the chart.\n\n"
         "Several records share one time axis: their values by time with a RECORD column, on a grid with --align, "
         "and one chart with a legend and a value axis per unit.\n"
         "--every summarizes each interval: min and max of the values in force, avg weighted by how long each value "
         "held (the value before the interval holds at its start), count of the values inside. At most " +
         std::to_string(kMaxIntervals) + " intervals or grid times.\n\n" + "Times may be written as:\n" +
         std::string(kTimeForms);
}

// The zone local times are shown in, for the chart: TZ, else the system's.
std::string LocalZoneName() {
  if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') return tz[0] == ':' ? tz + 1 : tz;
  std::ifstream file("/etc/timezone");
  std::string name;
  if (std::getline(file, name) && !name.empty()) return name;
  std::array<char, 512> link{};
  const ssize_t length = ::readlink("/etc/localtime", link.data(), link.size() - 1);
  const std::string target(link.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
  const std::size_t zoneinfo = target.find("zoneinfo/");
  return zoneinfo == std::string::npos ? std::string() : target.substr(zoneinfo + 9);
}

class FollowedRows {
 public:
  FollowedRows(Output& output, bool several) : several_(several), rows_(output, Columns(several)) {}

  void Add(const FieldHistory& history, const contracts::TagValue& value) {
    std::vector<Cell> cells{value.Timestamp, ValueCell(value.Value, history.field.selectors),
                            std::to_string(value.Level)};
    if (several_) cells.insert(cells.begin() + 1, history.field.record);
    Json json{{"record", history.field.record},    {"field", history.field.Label()},
              {"time", JsonTime(value.Timestamp)}, {"timeMs", EpochMilliseconds(value.Timestamp)},
              {"value", ValueJson(value.Value)},   {"level", value.Level}};
    rows_.Add(cells, json);
  }

 private:
  static std::vector<Column> Columns(bool several) {
    std::vector<Column> columns{{"TIME"}, {"VALUE"}, {"LEVEL", true}};
    if (several) columns.insert(columns.begin() + 1, Column{"RECORD"});
    return columns;
  }

  bool several_;
  RowStream rows_;
};

// The values of the interval, then new values after each history's last
// one as they come, as rows (JSON Lines with --json), until Ctrl-C or --count.
void Follow(const HistoryArgs& args, const std::vector<FieldHistory>& histories, CommandContext& context) {
  FollowedRows rows(context.Out(), histories.size() > 1);
  std::vector<DateTime> after;
  for (const FieldHistory& history : histories) {
    DateTime last = args.To();
    for (const auto& value : history.values) {
      rows.Add(history, value);
      last = std::max(last, value.Timestamp);
    }
    after.push_back(last);
  }
  WatchLoop loop(*args.followTicks, args.count);
  loop.Next();  // the interval itself was the first look
  while (loop.Next()) {
    const DateTime now = platform::UtcNow();
    for (std::size_t i = 0; i < histories.size(); ++i) {
      const DateTime start = after[i].AddTicks(DateTime::kTicksPerMillisecond);
      if (now < start) continue;
      const HistoryWindow window{start, now, kFollowBatch, OutsidersRequestTypeEnum::None, args.step};
      for (const auto& value : ReadFieldHistory(context.Access(), histories[i].field, window).values) {
        rows.Add(histories[i], value);
        after[i] = std::max(after[i], value.Timestamp);
      }
    }
  }
}

ExitCode RunHistory(const HistoryArgs& args, CommandContext& context) {
  const std::vector<ResolvedField> fields = ResolveHistoryFields(args, context);
  std::optional<ReplacingFile> plot;
  if (!args.plot.empty()) plot.emplace(args.plot, "the chart");
  const std::vector<FieldHistory> histories = ReadHistories(args, fields, context.Access());
  if (args.followTicks) {
    Follow(args, histories, context);
    return ExitCode::kDone;
  }
  HistoryShown shown = ShowHistoryQuery(args, histories, context.Out().Style());
  context.Out().Show(shown.shown);
  for (const auto& note : shown.notes) context.Out().Note(fmt::format("{}: {}", kProgram, note));
  if (plot) {
    shown.chart.zone = LocalZoneName();
    plot->Commit(TrendSvg(shown.chart));
    context.Out().Note(fmt::format("{}: wrote the trend chart to {}", kProgram, args.plot));
  }
  return ExitCode::kDone;
}

const CommandRegistration kHistory({
    .name = "history",
    .summary = "history of fields, on one time axis, summarized per interval, charted, followed",
    .description = HistoryHelp(),
    .examples = {"history TI101 VALUE", "history TI101 VALUE --from -6h",
                 "history TI101 VALUE --from \"2024-03-06 20:00\" --to \"2024-03-06 22:00\" --outsiders BothA",
                 "history PI201 VALUE --from 2024-03-05 --to 2024-03-06 --plot trend.svg",
                 "history TI101 TI102 PI201 VALUE --from 2024-03-06 --to 2024-03-07 --plot plant.svg",
                 "history 'TI*' VALUE --from 2024-03-06 --to \"2024-03-06 06:00\" --align 30m --hold linear",
                 "history TI101 VALUE --from 2024-03-06 --to 2024-03-07 --every 6h --agg min,avg,max,count",
                 "history TI101 VALUE --from -1h --follow", "history TI101 VALUE --from now --to -1d --max 10"},
    .order = 13,
    .words = {WordKind::kRecords, WordKind::kField},
    .optionValues = {{"--outsiders",
                      {"None", "BeforeA", "AfterA", "BothA", "BeforeB", "AfterB", "BothB", "BeforeC", "AfterC",
                       "BothC"}},
                     {"--hold", {"step", "linear"}},
                     {"--agg", {"min,avg,max,count", "min", "avg", "max", "count"}}},
    .define = Define(DeclareHistory, RunHistory),
});

}  // namespace
}  // namespace vantrel::cli
