#include "cli/values_view.h"

#include <algorithm>
#include <optional>
#include <set>

#include <fmt/format.h>

#include "cli/tool_services.h"
#include "cli/duration.h"
#include "cli/progress.h"
#include "cli/value_view.h"
#include "cli/watch.h"
#include "data/data_access.h"
#include "data/value_conversion.h"
#include "platform/time_zone.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::TagValue;
using contracts::TagValues;
using contracts::TagValuesByIds;

// Each field once, in the order first asked.
std::vector<ResolvedField> Distinct(std::vector<ResolvedField> fields) {
  std::vector<ResolvedField> distinct;
  for (auto& field : fields) {
    const bool seen = std::any_of(distinct.begin(), distinct.end(), [&](const ResolvedField& other) {
      return other.recordId == field.recordId && other.fieldTag == field.fieldTag;
    });
    if (!seen) distinct.push_back(std::move(field));
  }
  return distinct;
}

TagValuesByIds ReadValues(const std::vector<ResolvedField>& fields, ToolAccess& access) {
  const auto batch = static_cast<std::size_t>(access::DataAccess::kBatchSize);
  TagValuesByIds all;
  Progress progress("reading values", static_cast<int64_t>(fields.size()));
  for (std::size_t start = 0; start < fields.size(); start += batch) {
    const std::size_t end = std::min(fields.size(), start + batch);
    contracts::TagsById request;
    for (std::size_t i = start; i < end; ++i) request[fields[i].recordId].push_back(fields[i].fieldTag);
    for (auto& [record, byTag] : access.GetTagValues(request)) {
      for (auto& [tag, values] : byTag) {
        auto& into = all[record][tag];
        into.insert(into.end(), values.begin(), values.end());
      }
    }
    progress.Advance(static_cast<int64_t>(end - start));
  }
  return all;
}

const TagValues* ValuesOf(const TagValuesByIds& all, const ResolvedField& field) {
  const auto record = all.find(field.recordId);
  if (record == all.end()) return nullptr;
  const auto values = record->second.find(field.fieldTag);
  return values == record->second.end() ? nullptr : &values->second;
}

std::vector<Cell> ValueRow(const ResolvedField& field, const std::string& label, const TagValue& value) {
  const bool timed = field.HasTime() && value.Timestamp != DateTime::MinValue;
  return {field.record,
          label,
          ValueCell(value.Value, field.selectors),
          field.HasQuality() ? std::to_string(value.Status) : "",
          field.HasQuality() ? std::to_string(value.Level) : "",
          timed ? Cell(value.Timestamp) : Cell(std::string())};
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// What one read of fields shows, and the fields that got no value.
struct CurrentValues {
  Shown shown;
  std::vector<std::string> missing;
};

CurrentValues ReadCurrentValues(const std::vector<ResolvedField>& fields, ToolAccess& access) {
  const TagValuesByIds all = ReadValues(fields, access);
  CurrentValues result;
  Shown& shown = result.shown;
  shown.table.columns = {{"RECORD"}, {"FIELD"}, {"VALUE"}, {"STATUS", true}, {"LEVEL", true}, {"TIME"}};
  shown.json = Json::object();
  for (const ResolvedField& field : fields) {
    const TagValues* values = ValuesOf(all, field);
    Json& record = shown.json[field.record];
    if (field.IsRepeatArea()) {
      Json list = Json::array();
      if (field.occurrences == 0) shown.table.rows.push_back({field.record, field.Label(), "(no occurrences)"});
      for (std::size_t k = 0; values != nullptr && k < values->size(); ++k) {
        shown.table.rows.push_back(ValueRow(field, fmt::format("{}[{}]", field.Label(), k + 1), (*values)[k]));
        list.push_back(TagValueJson((*values)[k], field));
      }
      if (field.occurrences > 0 && (values == nullptr || values->empty())) result.missing.push_back(field.FullName());
      record[field.Label()] = std::move(list);
    } else if (values != nullptr && !values->empty()) {
      shown.table.rows.push_back(ValueRow(field, field.Label(), values->front()));
      record[field.Label()] = TagValueJson(values->front(), field);
    } else {
      result.missing.push_back(field.FullName());
    }
  }
  return result;
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
  CurrentValues values = ReadCurrentValues(Distinct(std::move(requested)), context.Access());
  context.Out().Show(values.shown);
  return MissingNoted(values.missing, context);
}

ExitCode WatchCurrentValues(std::vector<ResolvedField> requested, CommandContext& context, int64_t intervalTicks,
                            std::optional<int64_t> rounds) {
  const std::vector<ResolvedField> fields = Distinct(std::move(requested));
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
