// Server-level values through the server management service: `server env`
// (database environment variables; `env` for short), `server group-folder`
// and `server history-limit`, which needs no database.
#include <fmt/format.h>

#include "cli/command.h"
#include "server/server_management.h"

namespace vantrel::cli {
namespace {

struct ServerArgs {
  enum class Query { kEnvironment, kGroupFolder, kHistoryLimit };
  Query query = Query::kEnvironment;
  std::vector<std::string> names;  // of kEnvironment

  bool NeedsDatabase() const { return query != Query::kHistoryLimit; }
};

constexpr std::string_view kGroupFolderVariable = "DORVIK_GROUP_FOLDER_NAME";

void DeclareNames(CLI::App& app, ServerArgs& args) { app.add_option("NAME", args.names, "variable names")->required(); }

// A command inside `server`, which sets the query when it is chosen.
CLI::App* Inner(CLI::App& server, ServerArgs& args, ServerArgs::Query query, const std::string& name,
                const std::string& description, const std::string& example) {
  CLI::App* inner = server.add_subcommand(name, description);
  inner->group("Commands");
  inner->fallthrough();  // global options may follow
  inner->footer(fmt::format("Example:\n  {} {}", kProgram, example));
  inner->parse_complete_callback([&args, query] { args.query = query; });
  return inner;
}

void DeclareServer(CLI::App& app, ServerArgs& args) {
  app.require_subcommand(1);
  DeclareNames(*Inner(app, args, ServerArgs::Query::kEnvironment, "env", "database environment variables",
                      "server env DORVIK_GROUP_NAME VANTREL_VERSION"),
               args);
  Inner(app, args, ServerArgs::Query::kGroupFolder, "group-folder",
        fmt::format("the database's group folder ({})", kGroupFolderVariable), "server group-folder");
  Inner(app, args, ServerArgs::Query::kHistoryLimit, "history-limit",
        "the most history values a caller should ask for in one call (needs no database)", "server history-limit");
}

ExitCode ShowEnvironment(const ServerArgs& args, CommandContext& context) {
  contracts::IServerManagementService& server = context.Server();
  Shown shown;
  shown.table.columns = {{"NAME"}, {"VALUE"}};
  shown.json = Json::object();
  std::string unset;
  for (const auto& name : args.names) {
    const std::string value = server.GetVntEnvironmentVariable(name);
    if (value.empty()) {
      unset += (unset.empty() ? "" : ", ") + name;
      continue;
    }
    shown.table.rows.push_back({name, value});
    shown.json[name] = value;
  }
  if (!unset.empty()) throw NotFoundError(fmt::format("the database has no environment variable {}", unset));
  context.Out().Show(shown);
  return ExitCode::kDone;
}

// One value: alone on its line in text, under its name in CSV and JSON.
ExitCode ShowValue(CommandContext& context, const std::string& name, const std::string& text, Json json) {
  Shown shown;
  shown.table = Table{{{name}}, {{text}}};
  shown.sentence = text;
  shown.json = Json{{name, std::move(json)}};
  context.Out().Show(shown);
  return ExitCode::kDone;
}

ExitCode RunServer(const ServerArgs& args, CommandContext& context) {
  switch (args.query) {
    case ServerArgs::Query::kEnvironment: return ShowEnvironment(args, context);
    case ServerArgs::Query::kGroupFolder: {
      const std::string folder = context.Server().GetVntGroup200FolderPath();
      if (folder.empty()) {
        throw NotFoundError(fmt::format("the database has no group folder: {} is not set", kGroupFolderVariable));
      }
      return ShowValue(context, "groupFolder", folder, folder);
    }
    case ServerArgs::Query::kHistoryLimit: {
      const int32_t limit = access::ServerManagement().GetMaxHistorySizePerCall();
      return ShowValue(context, "historyLimit", std::to_string(limit), limit);
    }
  }
  return ExitCode::kDone;
}

const CommandRegistration kServer({
    .name = "server",
    .summary = "server values: environment variables, the group folder, the history limit",
    .examples = {"server env DORVIK_GROUP_NAME VANTREL_VERSION", "server group-folder", "server history-limit --json"},
    .order = 40,
    .optionValues = {{"NAME", {"DORVIK_GROUP_NAME", "DORVIK_GROUP_FOLDER_NAME", "VANTREL_VERSION", "COMPRESS_SOURCE"}}},
    .define = Define(DeclareServer, RunServer),
});

const CommandRegistration kEnv({
    .name = "env",
    .summary = "database environment variables (server env)",
    .examples = {"env DORVIK_GROUP_NAME VANTREL_VERSION", "env COMPRESS_SOURCE --json"},
    .order = 41,
    .optionValues = {{"NAME", {"DORVIK_GROUP_NAME", "DORVIK_GROUP_FOLDER_NAME", "VANTREL_VERSION", "COMPRESS_SOURCE"}}},
    .define = Define(DeclareNames, RunServer),
});

}  // namespace
}  // namespace vantrel::cli
