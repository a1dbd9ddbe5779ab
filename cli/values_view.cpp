#include "cli/values_view.h"

#include <algorithm>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "views/current_values.h"
#include "views/tool_services.h"
#include "views/duration.h"
#include "views/progress.h"
#include "views/value_view.h"
#include "cli/watch.h"
#include "data/data_access.h"
#include "data/value_conversion.h"
#include "platform/time_zone.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

ExitCode MissingNoted(const std::vector<std::string>& missing, CommandContext& context) {
  if (missing.empty()) return ExitCode::kDone;
  context.Out().Note(fmt::format("{}: the database returned no value for {}", kProgram, Join(missing)));
  return ExitCode::kPartlyDone;
}

// On a terminal: the screen cleared and the table drawn again at its top.
constexpr std::string_view kClearScreen = "\x1b[H\x1b[2J";

}  // namespace

ExitCode ShowCurrentValues(std::vector<ResolvedField> requested, CommandContext& context) {
  CurrentValues values = ReadCurrentValues(DistinctFields(std::move(requested)), context.Access());
  context.Out().Show(values.shown);
  return MissingNoted(values.missing, context);
}

ExitCode WatchCurrentValues(std::vector<ResolvedField> requested, CommandContext& context, int64_t intervalTicks,
                            std::optional<int64_t> rounds) {
  const std::vector<ResolvedField> fields = DistinctFields(std::move(requested));
  Output& out = context.Out();
  const bool redraw = out.Style().terminal && out.Style().format == Format::kText;
  std::optional<RowStream> stream;
  WatchLoop loop(intervalTicks, rounds);
  std::set<std::string> missing;
  while (loop.Next()) {
    const DateTime at = platform::UtcNow();
    CurrentValues values = ReadCurrentValues(fields, context.Access());
    missing.insert(values.missing.begin(), values.missing.end());
    if (redraw) {
      out.Stream() << kClearScreen;
      values.shown.caption = fmt::format("every {}, read at {}; Ctrl-C stops", DurationText(intervalTicks),
                                         TextTime(at, out.Style().utc));
      out.Show(values.shown);
    } else if (out.Style().format == Format::kJson) {
      // JSON Lines: one object per round.
      out.Stream() << Json{{"at", JsonTime(at)}, {"atMs", EpochMilliseconds(at)}, {"values", values.shown.json}}.dump()
                   << "\n" << std::flush;
    } else {
      if (!stream) {
        std::vector<Column> columns{{"AT"}};
        columns.insert(columns.end(), values.shown.table.columns.begin(), values.shown.table.columns.end());
        stream.emplace(out, std::move(columns));
      }
      for (auto& row : values.shown.table.rows) {
        row.insert(row.begin(), at);
        row.resize(7, std::string());
        stream->Add(row, Json());
      }
    }
  }
  return MissingNoted(std::vector<std::string>(missing.begin(), missing.end()), context);
}

}  // namespace vantrel::cli
