// call: any operation of the three services with its arguments in the
// contracts' JSON form. The data service's operations are named alone
// (GetTagValues), the others alone or after their service
// (management.GetTagID, server.GetMaxHistorySizePerCall). An operation of
// one parameter takes that parameter's value as its argument; one of
// several takes an object of them by name; one of none takes no argument.
// The arguments are read while parsing; for the data service every name and
// id is resolved before the operation runs, like the other commands do.
// --json prints the operation's result in the contracts' JSON form; the text
// and CSV forms show data as a table; writes report what they wrote.
#include <fmt/format.h>

#include "views/tool_services.h"
#include "cli/command.h"
#include "cli/data_commands.h"
#include "cli/database_link.h"
#include "views/field_resolver.h"
#include "views/record_names.h"
#include "views/suggest.h"
#include "views/value_view.h"
#include "cli/write_plan.h"
#include "contracts/json.h"
#include "contracts/operation_table.h"
#include "data/data_access.h"
#include "management/management.h"
#include "server/server_management.h"

namespace vantrel::cli {
namespace {

using contracts::ServiceKind;
using contracts::TagValues;

// The names the command knows: the data service's alone, the others'
// qualified by their service.
std::vector<std::string> OperationNames() {
  std::vector<std::string> names;
  for (const auto& operation : contracts::Operations()) {
    names.push_back(operation.service == ServiceKind::kAccess
                        ? std::string(operation.name)
                        : fmt::format("{}.{}", contracts::ServiceName(operation.service), operation.name));
  }
  return names;
}

const contracts::Operation* FindNamed(std::string_view name) {
  const auto dot = name.find('.');
  if (dot == std::string_view::npos) return contracts::FindOperationByName(name);
  return contracts::FindOperation(name.substr(0, dot), name.substr(dot + 1));
}

// The call of operation with the command line's argument: a parameter's
// value alone for an operation of one, an object of them by name for one of
// several, nothing (or an empty object) for one of none.
contracts::PreparedCall PrepareCall(const contracts::Operation& operation, const std::string& argument) {
  if (operation.parameters.empty()) {
    if (!argument.empty() && contracts::ParseJsonText(argument) != contracts::Json::object()) {
      throw contracts::JsonFormatError("", fmt::format("{} takes no argument", operation.name));
    }
    return operation.PrepareValues({});
  }
  if (argument.empty()) throw contracts::JsonFormatError("", "the argument is missing");
  const contracts::Json json = contracts::ParseJsonText(argument);
  if (operation.parameters.size() == 1) return operation.PrepareValues({json});
  return operation.Prepare(json);
}

// The data service's argument as its operation takes it, for resolving.
void KeepDataRequest(CallArgs& args) {
  const auto& call = *args.call;
  const std::string_view name = call.operation().name;
  if (name == "GetTagValues") args.request = call.Argument<contracts::Tags>(0);
  if (name == "GetTagValuesByIds") args.request = call.Argument<contracts::TagsById>(0);
  if (name == "SetTagValues") args.request = call.Argument<contracts::TagValuesByNames>(0);
  if (name == "SetTagValuesByIds") args.request = call.Argument<contracts::TagValuesByIds>(0);
  if (name == "GetHistoryValuesByIds") args.request = call.Argument<contracts::HistoryRequests>(0);
}

void ReadRequest(CallArgs& args) {
  const contracts::Operation* operation = FindNamed(args.operation);
  if (operation == nullptr) {
    throw UsageError(fmt::format("no operation {}{}; 'vntaccess call --help' lists them", args.operation,
                                 DidYouMean(args.operation, OperationNames())));
  }
  try {
    args.call = PrepareCall(*operation, args.argument);
  } catch (const contracts::JsonFormatError& error) {
    throw UsageError(fmt::format("the argument of {} does not fit: {}", args.operation, error.what()));
  }
  if (operation->service == ServiceKind::kAccess) KeepDataRequest(args);
}

void DeclareCall(CLI::App& app, CallArgs& args) {
  app.add_option("OPERATION", args.operation, "the operation's name")->required();
  app.add_option("JSON", args.argument, "its argument in the contracts' JSON form (none for no parameter)");
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
  ToolAccess& access = context.Access();
  Table table = ResultTable();
  for (const auto& [record, fields] : result) {
    for (const auto& [tag, values] : fields) {
      AddRows(table, RecordNameOf(record), access.GetAttributeNameWithOccurenceNumber(record, tag), values);
    }
  }
  return ShowResult(context, result, std::move(table));
}

// The text of a result that is no table: a name or a number plain, anything
// else as indented JSON.
std::string ResultText(const contracts::Json& result) {
  if (result.is_string()) return result.get<std::string>();
  if (result.is_primitive()) return result.dump();
  return result.dump(2);
}

// An operation of the management or server service, or any operation
// through a host: its result as JSON.
ExitCode RunServiceCall(const contracts::PreparedCall& call, CommandContext& context) {
  const contracts::Operation& operation = call.operation();
  if (operation.changesDatabase && context.DryRun()) {
    context.Out().Show(Shown{{}, contracts::Json::object(), {},
                             fmt::format("dry run: would call {}; nothing was changed", operation.name), {}});
    return ExitCode::kDone;
  }
  contracts::ServiceSet services;
  if (operation.service == ServiceKind::kManagement) services.management = &context.Manage();
  if (operation.service == ServiceKind::kServer) services.server = &context.Server();
  if (operation.service == ServiceKind::kAccess) services.access = &context.Access();
  const std::optional<contracts::Json> result = call.Invoke(services);
  if (!result) {
    context.Out().Show(Shown{{}, contracts::Json::object(), {}, fmt::format("{}: done", operation.name), {}});
    return ExitCode::kDone;
  }
  Table table{{{"RESULT"}}, {{result->is_string() ? result->get<std::string>() : result->dump()}}};
  context.Out().Show(Shown{std::move(table), *result, {}, ResultText(*result), {}});
  return ExitCode::kDone;
}

ExitCode RunCall(const CallArgs& args, CommandContext& context) {
  if (args.call->operation().service != ServiceKind::kAccess || context.Remote()) {
    return RunServiceCall(*args.call, context);
  }
  ToolAccess& access = context.Access();
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
    .summary = "any operation of the three services, its argument in JSON",
    .description = "Data service: GetTagValues (Tags), GetTagValuesByIds (TagsById), SetTagValues "
                   "(TagValuesByNames), SetTagValuesByIds (TagValuesByIds), GetHistoryValuesByIds "
                   "(HistoryRequests). The management and server services' operations are named alone or "
                   "after their service (management.GetTagID); an operation of several parameters takes an "
                   "object of them by name, one of none no argument. --json prints the result in the "
                   "contracts' JSON form.",
    .examples = {"call GetTagValues '{\"TI101\": [\"VALUE\", \"UNITS\"]}' --json",
                 "call SetTagValues '{\"TI101\": {\"VALUE\": [{\"value\": {\"double\": 74.5}, \"status\": 0}]}}'",
                 "call GetHistoryValuesByIds '[{\"tagId\": 12, \"fieldId\": 131072, \"query\": {\"startTime\": "
                 "\"2024-03-06T20:00:00Z\", \"endTime\": \"2024-03-06T22:00:00Z\", \"maxCount\": 10}}]'",
                 "call management.GetFieldName '{\"tagId\": 12, \"fieldId\": 131072}'",
                 "call server.GetMaxHistorySizePerCall"},
    .order = 20,
    .changesDatabase = true,
    .optionValues = {{"OPERATION", OperationNames()}},
    .define = Define(DeclareCall, RunCall),
});

}  // namespace
}  // namespace vantrel::cli
