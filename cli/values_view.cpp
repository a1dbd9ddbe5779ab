#include "cli/values_view.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "cli/progress.h"
#include "cli/value_view.h"
#include "data/data_access.h"
#include "data/value_conversion.h"

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

TagValuesByIds ReadValues(const std::vector<ResolvedField>& fields, access::DataAccess& access) {
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

}  // namespace

ExitCode ShowCurrentValues(std::vector<ResolvedField> requested, CommandContext& context) {
  const std::vector<ResolvedField> fields = Distinct(std::move(requested));
  const TagValuesByIds all = ReadValues(fields, context.Access());
  Shown shown;
  shown.table.columns = {{"RECORD"}, {"FIELD"}, {"VALUE"}, {"STATUS", true}, {"LEVEL", true}, {"TIME"}};
  shown.json = Json::object();
  std::vector<std::string> missing;
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
      if (field.occurrences > 0 && (values == nullptr || values->empty())) missing.push_back(field.FullName());
      record[field.Label()] = std::move(list);
    } else if (values != nullptr && !values->empty()) {
      shown.table.rows.push_back(ValueRow(field, field.Label(), values->front()));
      record[field.Label()] = TagValueJson(values->front(), field);
    } else {
      missing.push_back(field.FullName());
    }
  }
  context.Out().Show(shown);
  if (missing.empty()) return ExitCode::kDone;
  context.Out().Note(fmt::format("{}: the database returned no value for {}", kProgram, Join(missing)));
  return ExitCode::kPartlyDone;
}

}  // namespace vantrel::cli
