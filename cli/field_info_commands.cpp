// Field metadata through the management service, for fields named by the
// user: whether they may be written (readonly) and whether they keep
// history (history-info). Names are resolved like read resolves them.
#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "views/tool_services.h"
#include "cli/command.h"
#include "views/field_resolver.h"
#include "management/management.h"

namespace vantrel::cli {
namespace {

// The fields of a command: records (comma-separated) and field names.
struct FieldsOfRecordsArgs {
  std::vector<std::string> records;
  std::vector<std::string> fields;
  bool ignoreOperator = false;
};

void DeclareFieldsOfRecords(CLI::App& app, FieldsOfRecordsArgs& args) {
  app.add_option_function<std::string>(
         "RECORD", [&args](const std::string& text) { args.records = SplitRecordNames(text); },
         "a record name, or several separated by commas (TI101,TI102)")
      ->required();
  app.add_option("FIELD", args.fields, "field names: VALUE, a whole repeat area TREND, or one occurrence TREND[2]")
      ->required();
}

std::string YesNo(bool yes) { return yes ? "yes" : "no"; }

// The resolved fields and the request of a metadata query for them, each
// field once.
struct FieldQuery {
  std::vector<ResolvedField> fields;
  contracts::TagsById request;
};

FieldQuery QueryOf(const FieldsOfRecordsArgs& args, CommandContext& context) {
  FieldResolver resolver(context.Access(), context.Catalog());
  FieldQuery query;
  for (ResolvedField& field : resolver.Resolve(args.records, args.fields)) {
    auto& tags = query.request[field.recordId];
    if (std::find(tags.begin(), tags.end(), field.fieldTag) != tags.end()) continue;
    tags.push_back(field.fieldTag);
    query.fields.push_back(std::move(field));
  }
  return query;
}

// Shows an answer by record and field as a table, a row per field asked
// (RECORD, FIELD and the columns describe fills), and names the fields the
// database gave no answer for: every field asked for is shown or named.
template <typename Answer, typename Describe>
ExitCode ShowAnswers(CommandContext& context, const FieldQuery& query, const Answer& answer,
                     const std::vector<std::string>& columns, Describe describe) {
  Shown shown;
  shown.table.columns = {{"RECORD"}, {"FIELD"}};
  for (const auto& column : columns) shown.table.columns.push_back({column});
  shown.json = Json::object();
  std::string unanswered;
  for (const ResolvedField& field : query.fields) {
    const auto* entry = FieldEntry(answer, field.recordId, field.fieldTag);
    if (entry == nullptr) {
      unanswered += (unanswered.empty() ? "" : ", ") + field.FullName();
      continue;
    }
    auto [cells, json] = describe(*entry);
    std::vector<Cell> row{field.record, field.Label()};
    row.insert(row.end(), cells.begin(), cells.end());
    shown.table.rows.push_back(std::move(row));
    shown.json[field.record][field.Label()] = std::move(json);
  }
  context.Out().Show(shown);
  if (unanswered.empty()) return ExitCode::kDone;
  context.Out().Note(fmt::format("{}: the database gave no answer for {}", kProgram, unanswered));
  return ExitCode::kPartlyDone;
}

// --- readonly ---------------------------------------------------------------------------

void DeclareReadOnly(CLI::App& app, FieldsOfRecordsArgs& args) {
  DeclareFieldsOfRecords(app, args);
  app.add_flag("--ignore-operator", args.ignoreOperator,
               "leave out the rule that operators may not change a field, unless the definition makes it strict");
}

ExitCode RunReadOnly(const FieldsOfRecordsArgs& args, CommandContext& context) {
  const FieldQuery query = QueryOf(args, context);
  const contracts::FieldAccessRightsByTagId rights =
      context.Manage().AreFieldsReadOnly(query.request, args.ignoreOperator);
  return ShowAnswers(context, query, rights, {"READ-ONLY", "FOR THE CALLER"},
                     [](const contracts::FieldAccessRights& right) {
                       return std::pair{std::vector<std::string>{YesNo(right.ReadOnly), YesNo(right.UserReadOnly)},
                                        Json{{"readOnly", right.ReadOnly}, {"userReadOnly", right.UserReadOnly}}};
                     });
}

// --- history-info -------------------------------------------------------------------------

ExitCode RunHistoryInfo(const FieldsOfRecordsArgs& args, CommandContext& context) {
  const FieldQuery query = QueryOf(args, context);
  const contracts::HistoryInfoByTagId info = context.Manage().GetHistoryInfo(query.request);
  return ShowAnswers(context, query, info, {"HISTORY", "ARCHIVED"}, [](const contracts::TagHistoryInfo& flags) {
    return std::pair{std::vector<std::string>{YesNo(flags.HasHistory), YesNo(flags.IsArchived)},
                     Json{{"history", flags.HasHistory}, {"archived", flags.IsArchived}}};
  });
}

const CommandRegistration kReadOnly({
    .name = "readonly",
    .summary = "whether fields may be written",
    .description = "READ-ONLY: the field's definition forbids writing it while the record is in its present "
                   "state (usable or not), or operators may not change it. FOR THE CALLER: that, or the caller "
                   "(--user, else this process's account) has no right to write it.",
    .examples = {"readonly TI101 VALUE DESCRIPTION", "readonly TI101,AI_SPARE1 DESCRIPTION --json",
                 "--user PLANT\\\\op readonly CALC_DELTA_T CALC_RESULT"},
    .order = 37,
    .words = {WordKind::kRecords, WordKind::kField},
    .define = Define(DeclareReadOnly, RunReadOnly),
});

const CommandRegistration kHistoryInfo({
    .name = "history-info",
    .summary = "whether fields keep history, and whether it is archived",
    .examples = {"history-info TI101 VALUE", "history-info TI101,TI102 VALUE TREND --csv"},
    .order = 38,
    .words = {WordKind::kRecords, WordKind::kField},
    .define = Define(DeclareFieldsOfRecords, RunHistoryInfo),
});

}  // namespace
}  // namespace vantrel::cli
