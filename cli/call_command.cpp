// call: any operation of the data service with its argument in the
// contracts' JSON form. The argument is read while parsing; every name and
// id in it is resolved before the operation runs, like the other commands
// do. --json prints the operation's result in the contracts' JSON form; the
// text and CSV forms show it as a table; writes report what they wrote.
#include <fmt/format.h>

#include "cli/command.h"
#include "cli/data_commands.h"
#include "cli/field_resolver.h"
#include "cli/record_names.h"
#include "cli/suggest.h"
#include "cli/value_view.h"
#include "cli/write_plan.h"
#include "contracts/json.h"
#include "data/data_access.h"

namespace vantrel::cli {
namespace {

using contracts::TagValues;

// The operations, in the order of the variant in CallArgs::request.
constexpr std::array<std::string_view, 5> kOperations{"GetTagValues", "GetTagValuesByIds", "SetTagValues",
                                                      "SetTagValuesByIds", "GetHistoryValuesByIds"};

std::vector<std::string> OperationNames() { return {kOperations.begin(), kOperations.end()}; }

template <std::size_t Index>
void ReadArgument(CallArgs& args) {
  using Request = std::variant_alternative_t<Index, decltype(CallArgs::request)>;
  try {
    args.request.emplace<Index>(contracts::ParseJson<Request>(args.argument));
  } catch (const contracts::JsonFormatError& error) {
    throw UsageError(fmt::format("the argument of {} does not fit: {}", args.operation, error.what()));
  }
}

void ReadRequest(CallArgs& args) {
  const auto found = std::find(kOperations.begin(), kOperations.end(), args.operation);
  switch (found - kOperations.begin()) {
    case 0: return ReadArgument<0>(args);
    case 1: return ReadArgument<1>(args);
    case 2: return ReadArgument<2>(args);
    case 3: return ReadArgument<3>(args);
    case 4: return ReadArgument<4>(args);
    default:
      throw UsageError(
          fmt::format("no operation {}{}; operations: GetTagValues, GetTagValuesByIds, SetTagValues, "
                      "SetTagValuesByIds, GetHistoryValuesByIds",
                      args.operation, DidYouMean(args.operation, OperationNames())));
  }
}

void DeclareCall(CLI::App& app, CallArgs& args) {
  app.add_option("OPERATION", args.operation, "the operation's name")->required();
  app.add_option("JSON", args.argument, "its argument in the contracts' JSON form")->required();
  app.callback([&args] { ReadRequest(args); });
}

// Resolves each entry with resolve, gathering every name that does not
// resolve into one NotFoundError.
template <typename Entries, typename Resolve>
void ResolveAll(const Entries& entries, Resolve&& resolve) {
  std::string problems;
  for (const auto& entry : entries) {
    try {
      resolve(entry);
    } catch (const NotFoundError& error) {
      problems += (problems.empty() ? "" : "; ") + std::string(error.what());
    }
  }
  if (!problems.empty()) throw NotFoundError(problems);
}

std::vector<std::string> FieldNamesOf(const contracts::TagValuesByName& fields) {
  std::vector<std::string> names;
  for (const auto& entry : fields) names.push_back(entry.first);
  return names;
}

std::vector<int32_t> FieldTagsOf(const contracts::TagValuesById& fields) {
  std::vector<int32_t> tags;
  for (const auto& entry : fields) tags.push_back(entry.first);
  return tags;
}

// The values of a result as the contract has them: status, level and time
// shown when the value carries them.
void AddRows(Table& table, const std::string& record, const std::string& field, const TagValues& values) {
  for (std::size_t k = 0; k < values.size(); ++k) {
    const auto& value = values[k];
    const std::string label = values.size() > 1 ? fmt::format("{}[{}]", field, k + 1) : field;
    table.rows.push_back(
        {record, label, ValueCell(value.Value, {}),
         value.Status != contracts::TagValue::kNoStatus ? std::to_string(value.Status) : "",
         value.Level != contracts::TagValue::kNoLevel ? std::to_string(value.Level) : "",
         value.Timestamp != contracts::DateTime::MinValue ? Cell(value.Timestamp) : Cell(std::string())});
  }
}

Table ResultTable() {
  return Table{{{"RECORD"}, {"FIELD"}, {"VALUE"}, {"STATUS", true}, {"LEVEL", true}, {"TIME"}}, {}};
}

template <typename Result>
ExitCode ShowResult(CommandContext& context, const Result& result, Table table) {
  context.Out().Show(Shown{std::move(table), contracts::ToJson(result), {}, {}, {}});
  return ExitCode::kDone;
}

ExitCode ShowByIds(CommandContext& context, const contracts::TagValuesByIds& result) {
  access::DataAccess& access = context.Access();
  Table table = ResultTable();
  for (const auto& [record, fields] : result) {
    for (const auto& [tag, values] : fields) {
      AddRows(table, RecordNameOf(record), access.GetAttributeNameWithOccurenceNumber(record, tag), values);
    }
  }
  return ShowResult(context, result, std::move(table));
}

ExitCode RunCall(const CallArgs& args, CommandContext& context) {
  access::DataAccess& access = context.Access();
  FieldResolver resolver(access, context.Catalog());
  if (const auto* tags = std::get_if<contracts::Tags>(&args.request)) {
    ResolveAll(*tags, [&](const auto& entry) { resolver.Resolve({entry.first}, entry.second); });
    const auto result = access.GetTagValues(*tags);
    Table table = ResultTable();
    for (const auto& [record, fields] : result) {
      for (const auto& [field, values] : fields) AddRows(table, record, field, values);
    }
    return ShowResult(context, result, std::move(table));
  }
  if (const auto* tags = std::get_if<contracts::TagsById>(&args.request)) {
    ResolveAll(*tags, [&](const auto& entry) { resolver.ResolveIds(entry.first, entry.second); });
    return ShowByIds(context, access.GetTagValues(*tags));
  }
  if (const auto* byNames = std::get_if<contracts::TagValuesByNames>(&args.request)) {
    WritePlan plan;
    ResolveAll(*byNames, [&](const auto& entry) {
      const auto fields = resolver.Resolve({entry.first}, FieldNamesOf(entry.second));
      for (std::size_t i = 0; i < fields.size(); ++i) plan.Add(fields[i], (entry.second.begin() + i)->second);
    });
    return RunWritePlan(plan, context, [&] { access.SetTagValues(*byNames); });
  }
  if (const auto* byIds = std::get_if<contracts::TagValuesByIds>(&args.request)) {
    WritePlan plan;
    ResolveAll(*byIds, [&](const auto& entry) {
      const auto fields = resolver.ResolveIds(entry.first, FieldTagsOf(entry.second));
      for (std::size_t i = 0; i < fields.size(); ++i) plan.Add(fields[i], (entry.second.begin() + i)->second);
    });
    return RunWritePlan(plan, context, [&] { access.SetTagValues(*byIds); });
  }
  const auto& requests = std::get<contracts::HistoryRequests>(args.request);
  ResolveAll(requests, [&](const auto& request) { resolver.ResolveIds(request.TagId, {request.FieldId}); });
  return ShowByIds(context, access.GetHistoryValuesByIds(requests));
}

const CommandRegistration kCall({
    .name = "call",
    .summary = "any data service operation, its argument in JSON",
    .description = "Operations: GetTagValues (Tags), GetTagValuesByIds (TagsById), SetTagValues "
                   "(TagValuesByNames), SetTagValuesByIds (TagValuesByIds), GetHistoryValuesByIds "
                   "(HistoryRequests). --json prints the result in the contracts' JSON form.",
    .examples = {"call GetTagValues '{\"TI101\": [\"VALUE\", \"UNITS\"]}' --json",
                 "call SetTagValues '{\"TI101\": {\"VALUE\": [{\"value\": {\"double\": 74.5}, \"status\": 0}]}}'",
                 "call GetHistoryValuesByIds '[{\"tagId\": 12, \"fieldId\": 131072, \"query\": {\"startTime\": "
                 "\"2024-03-06T20:00:00Z\", \"endTime\": \"2024-03-06T22:00:00Z\", \"maxCount\": 10}}]'"},
    .order = 20,
    .changesDatabase = true,
    .optionValues = {{"OPERATION", {kOperations.begin(), kOperations.end()}}},
    .define = Define(DeclareCall, RunCall),
});

}  // namespace
}  // namespace vantrel::cli
