#include "views/current_values.h"

#include <algorithm>

#include <fmt/format.h>

#include "data/data_access.h"
#include "views/progress.h"
#include "views/record_patterns.h"
#include "views/tool_services.h"
#include "views/value_view.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::TagValue;
using contracts::TagValues;
using contracts::TagValuesByIds;

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

}  // namespace

void TakeDottedField(std::vector<std::string>& records, std::vector<std::string>& fields) {
  if (!fields.empty() || records.size() != 1) return;
  const std::string& word = records.front();
  const std::size_t dot = word.rfind('.');
  if (dot == std::string::npos || dot + 1 == word.size() || !IsNamePattern(word.substr(0, dot))) return;
  fields = {word.substr(dot + 1)};
  records = {word.substr(0, dot)};
}

std::vector<ResolvedField> ResolveReadFields(std::vector<std::string> records, std::vector<std::string> fields,
                                             ViewSources& sources) {
  TakeDottedField(records, fields);
  FieldResolver resolver(sources.Access(), sources.Catalog());
  const std::vector<std::string> expanded = ExpandRecordPatterns(records, sources.Catalog());
  return DistinctFields(fields.empty() ? resolver.ResolveAllFields(expanded) : resolver.Resolve(expanded, fields));
}

std::vector<ResolvedField> DistinctFields(std::vector<ResolvedField> fields) {
  std::vector<ResolvedField> distinct;
  for (auto& field : fields) {
    const bool seen = std::any_of(distinct.begin(), distinct.end(), [&](const ResolvedField& other) {
      return other.recordId == field.recordId && other.fieldTag == field.fieldTag;
    });
    if (!seen) distinct.push_back(std::move(field));
  }
  return distinct;
}

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

}  // namespace vantrel::cli
