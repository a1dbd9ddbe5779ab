// find: records of every definition by name pattern, and by the values of
// their fields (--where UNITS=degC). Changes nothing.
#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "views/tool_services.h"
#include "cli/command.h"
#include "views/name_pattern.h"
#include "views/progress.h"
#include "views/text_compare.h"
#include "data/data_access.h"
#include "data/value_conversion.h"
#include "management/management.h"

namespace vantrel::cli {
namespace {

// FIELD=PATTERN: the field's value, as text, matches PATTERN.
struct FieldCondition {
  std::string field;
  std::string pattern;
};

struct FindArgs {
  std::vector<std::string> patterns;
  std::vector<FieldCondition> conditions;
};

FieldCondition ParseCondition(const std::string& text) {
  const std::size_t equals = text.find('=');
  if (equals == 0 || equals == std::string::npos) {
    throw UsageError(fmt::format("--where: '{}' is not FIELD=VALUE (UNITS=degC, DESCRIPTION='*inlet*')", text));
  }
  return {text.substr(0, equals), text.substr(equals + 1)};
}

void DeclareFind(CLI::App& app, FindArgs& args) {
  app.add_option("PATTERN", args.patterns,
                 "record names to find: * any characters, ? one character, letters in any case (default *: every "
                 "record); several patterns find the records of any");
  app.add_option_function<std::vector<std::string>>(
         "--where",
         [&args](const std::vector<std::string>& texts) {
           for (const auto& text : texts) args.conditions.push_back(ParseCondition(text));
         },
         "only records whose FIELD holds a value matching VALUE (a pattern as above, compared as the value's text); "
         "give it again for more conditions, all of which must hold")
      ->type_name("FIELD=VALUE")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.callback([&args] {
    if (args.patterns.empty()) args.patterns = {"*"};
    for (const auto& pattern : args.patterns) {
      if (pattern.empty()) throw UsageError("the pattern is empty; '*' finds every record");
    }
  });
}

struct Found {
  std::string record;
  std::string definition;
  std::vector<std::string> values;  // of the --where fields, in their order
};

// The conditions' fields as the definition spells them, or nothing when it
// lacks one of them.
std::optional<std::vector<std::string>> FieldsOf(contracts::IManagementService& management,
                                                 const std::string& definition,
                                                 const std::vector<FieldCondition>& conditions) {
  const auto fields = management.GetFieldDefinitions(contracts::TagNames{definition});
  const auto entry = fields.find(definition);
  std::vector<std::string> names;
  for (const auto& condition : conditions) {
    if (entry == fields.end()) return std::nullopt;
    const auto field = std::find_if(entry->second.begin(), entry->second.end(),
                                    [&](const auto& field) { return EqualsIgnoringCase(field.Name, condition.field); });
    if (field == entry->second.end()) return std::nullopt;
    names.push_back(field->Name);
  }
  return names;
}

// The records among names whose fields match every condition, with those
// fields' values.
std::vector<Found> Matching(ToolAccess& access, const std::string& definition, const contracts::TagNames& names,
                            const std::vector<FieldCondition>& conditions, const std::vector<std::string>& fields) {
  std::vector<Found> found;
  contracts::Tags request;
  for (const std::string& name : names) request[name] = fields;
  const contracts::TagValuesByNames values =
      conditions.empty() ? contracts::TagValuesByNames{} : access.GetTagValues(request);
  for (const std::string& name : names) {
    Found record{name, definition, {}};
    bool all = true;
    for (std::size_t i = 0; i < conditions.size(); ++i) {
      const FieldCondition& condition = conditions[i];
      std::string text;
      if (const auto byField = values.find(name); byField != values.end()) {
        if (const auto value = byField->second.find(fields[i]);
            value != byField->second.end() && !value->second.empty()) {
          text = access::ToText(value->second.front().Value);
        }
      }
      all = all && MatchesNamePattern(text, condition.pattern);
      record.values.push_back(std::move(text));
    }
    if (all) found.push_back(std::move(record));
  }
  return found;
}

ExitCode RunFind(const FindArgs& args, CommandContext& context) {
  contracts::IManagementService& management = context.Manage();
  const contracts::TagNames definitions = management.GetAllDefinitionTags();
  std::vector<Found> found;
  {
    Progress progress("searching the definitions", static_cast<int64_t>(definitions.size()));
    for (const std::string& definition : definitions) {
      progress.Advance();
      const auto fields = FieldsOf(management, definition, args.conditions);
      if (!fields) continue;
      const contracts::TagNames names = context.Access().RecordsOf(definition, args.patterns);
      for (Found& record : Matching(context.Access(), definition, names, args.conditions, *fields)) {
        found.push_back(std::move(record));
      }
    }
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.record < b.record; });
  Shown shown;
  shown.table.columns = {{"RECORD"}, {"DEFINITION"}};
  for (const auto& condition : args.conditions) shown.table.columns.push_back(Column{condition.field});
  Json records = Json::array();
  for (const Found& record : found) {
    std::vector<Cell> row{record.record, record.definition};
    Json entry{{"record", record.record}, {"definition", record.definition}};
    for (std::size_t i = 0; i < record.values.size(); ++i) {
      row.emplace_back(record.values[i]);
      entry["fields"][args.conditions[i].field] = record.values[i];
    }
    shown.table.rows.push_back(std::move(row));
    records.push_back(std::move(entry));
  }
  std::string asked;
  for (const auto& pattern : args.patterns) asked += (asked.empty() ? "" : " or ") + pattern;
  for (std::size_t i = 0; i < args.conditions.size(); ++i) {
    asked += fmt::format(" {} {}={}", i == 0 ? "where" : "and", args.conditions[i].field, args.conditions[i].pattern);
  }
  shown.caption = fmt::format("{} {} {}", found.size(), found.size() == 1 ? "record matches" : "records match", asked);
  if (found.empty()) shown.sentence = fmt::format("no record matches {}", asked);
  shown.json = Json{{"records", std::move(records)}};
  context.Out().Show(shown);
  return ExitCode::kDone;
}

const CommandRegistration kFind({
    .name = "find",
    .summary = "find records of every definition by name pattern and field values",
    .description = "Searches the records of every definition (not the definitions themselves). A field named in "
                   "--where that a definition lacks leaves its records out. Values compare as the text read shows "
                   "(a selector by its number). Finding nothing is not an error: the exit code is 0.",
    .examples = {"find 'TI*'", "find '*' --where UNITS=degC", "find 'TI*' 'PI*' --where 'DESCRIPTION=*reactor*'",
                 "find --where UNITS=bar --json"},
    .order = 31,
    .words = {WordKind::kRecords},
    .define = Define(DeclareFind, RunFind),
});

}  // namespace
}  // namespace vantrel::cli
