#include "cli/app.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <set>

#include <fmt/format.h>

#include "cli/completion.h"
#include "cli/database_link.h"
#include "cli/help_format.h"
#include "views/name_catalog.h"
#include "cli/reasons.h"
#include "cli/service_log.h"
#include "cli/settings.h"
#include "cli/shell.h"
#include "views/suggest.h"
#include "views/time_parse.h"
#include "data/data_access.h"
#include "management/management.h"
#include "server/server_management.h"
#include "views/tool_services.h"
#include "platform/fault.h"
#include "platform/operation_context.h"

namespace vantrel::cli {
namespace {

constexpr std::string_view kDescription =
    "vntaccess reads, writes and trends the tags (record fields) of a Vantrel database.\n"
    "With a database and no command it opens an interactive shell.";

std::vector<CommandEntry>& Registry() {
  static std::vector<CommandEntry> registry;
  return registry;
}

std::string OneLine(std::string_view text) {
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      line += "; ";
    } else if (c != '\r') {
      line += c;
    }
  }
  while (!line.empty() && (line.back() == ' ' || line.back() == ';')) line.pop_back();
  return line;
}

std::string GlobalOptionsLine() {
  return "Global options, before or after the command: --database PATH, --user ACCOUNT, --json, --csv, --text, --utc, "
         "--tz ZONE, --earlier, --later, --dry-run, --keep-going, -f FILE";
}

std::string ProgramFooter() {
  std::string text = "Times (--from, --to, --time, --type time) may be written as:\n";
  text += kTimeForms;
  text += "\nExit codes:\n";
  for (const auto& [code, meaning] : kExitCodes) text += fmt::format("  {}  {}\n", static_cast<int>(code), meaning);
  text += "\nDefaults of your own may be set in ~/.config/vntaccess/config, an INI file:\n"
          "  database = plant.db, tz = Europe/Berlin, output = json (or text, csv), utc = true\n";
  text += "\n'vntaccess COMMAND --help' shows a command's arguments, options and examples.";
  return text;
}

std::string CommandFooter(const CommandEntry& entry) {
  std::string text;
  if (!entry.examples.empty()) {
    text += entry.examples.size() == 1 ? "Example:\n" : "Examples:\n";
    for (const auto& example : entry.examples) text += fmt::format("  {} {}\n", kProgram, example);
    text += "\n";
  }
  return text + GlobalOptionsLine();
}

// --tz takes effect before parsing (ChooseTimeZone), so that times on the
// same line are read in that zone; --earlier and --later likewise
// (ParseCommandLine). A shell line keeps the shell's zone and script.
void DeclareTimeAndScriptOptions(CLI::App& app, GlobalOptions& global, LineSource source) {
  if (source == LineSource::kProgram) {
    app.add_option("--tz", global.timeZone,
                   "show and read local times in this zone, e.g. Europe/Berlin (default: VNTACCESS_TZ, the settings "
                   "file, TZ)")
        ->type_name("ZONE");
    app.add_option("-f,--file", global.script, "run the commands of FILE, one a line, as a script")
        ->type_name("FILE");
  }
  auto* earlier = app.add_flag("--earlier", global.earlier,
                               "a local time that occurs twice (clocks set back) is the earlier one, summer time");
  auto* later =
      app.add_flag("--later", global.later, "a local time that occurs twice is the later one, standard time");
  earlier->excludes(later);
  app.add_flag("--keep-going", global.keepGoing,
               "a script (piped lines, -f FILE) runs every line even after one failed, and ends with the gravest "
               "exit code");
}

void DeclareGlobalOptions(CLI::App& app, GlobalOptions& global, LineSource source) {
  app.add_option("--database", global.database, "the database to open (default: the DORVIK_DATABASE variable)")
      ->type_name("PATH");
  app.add_option("--user", global.user, "run as this caller account, DOMAIN\\user")
      ->type_name("ACCOUNT")
      ->check(CLI::Validator(
          [](const std::string& account) -> std::string {
            const std::size_t slash = account.find('\\');
            if (slash == std::string::npos || slash == 0 || slash + 1 == account.size()) {
              return "'" + account + "' is not an account; write it as DOMAIN\\user";
            }
            return {};
          },
          "DOMAIN\\user"));
  app.add_option("--server", global.server,
                 "run through the access service host at this URL (default: the VNTACCESS_SERVER variable)")
      ->type_name("URL");
  app.add_option("--cacert", global.cacert, "with --server: trust the host's certificate from this CA file (PEM)")
      ->type_name("FILE");
  auto form = [&global](Format format) {
    return [&global, format] {
      global.output.format = format;
      global.formatGiven = true;
    };
  };
  auto* json = app.add_flag_callback("--json", form(Format::kJson), "print JSON for scripts, keyed by names");
  auto* csv = app.add_flag_callback("--csv", form(Format::kCsv), "print CSV with a header row");
  auto* text = app.add_flag_callback("--text", form(Format::kText),
                                     "print aligned tables (the default, unless the settings file says otherwise)");
  json->excludes(csv)->excludes(text);
  csv->excludes(text);
  app.add_flag("--utc", global.output.utc, "show times in UTC instead of local time");
  app.add_flag("--dry-run", global.dryRun,
               "commands that change the database check everything and say what they would write, but write "
               "nothing");
  DeclareTimeAndScriptOptions(app, global, source);
  if (source == LineSource::kProgram) {
    app.set_version_flag("--version", fmt::format("{} {}", kProgram, VNTACCESS_VERSION), "print the version");
  }
}

// Every long and short option name of app and of its parent.
std::vector<std::string> OptionNames(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* scope = &app; scope != nullptr; scope = scope->get_parent()) {
    for (const CLI::Option* option : scope->get_options()) {
      for (const auto& name : option->get_lnames()) names.push_back("--" + name);
      for (const auto& name : option->get_snames()) names.push_back("-" + name);
    }
  }
  return names;
}

std::vector<std::string> CommandNames() {
  std::vector<std::string> names;
  for (const CommandEntry* entry : Commands()) names.push_back(entry->name);
  return names;
}

CLI::App* ChosenCommand(const CLI::App& app) {
  const auto chosen = app.get_subcommands();
  return chosen.empty() ? nullptr : chosen.front();
}

// The innermost command chosen: "env" of "server env"; null for none.
CLI::App* InnermostCommand(const CLI::App& app) {
  CLI::App* command = ChosenCommand(app);
  while (command != nullptr && ChosenCommand(*command) != nullptr) command = ChosenCommand(*command);
  return command;
}

// The words that name a command below the program: "server env".
std::string CommandPath(const CLI::App& command) {
  std::string path = command.get_name();
  for (const CLI::App* parent = command.get_parent(); parent != nullptr && parent->get_parent() != nullptr;
       parent = parent->get_parent()) {
    path = parent->get_name() + " " + path;
  }
  return path;
}

std::string HelpHint(const CLI::App* command) {
  return command == nullptr ? fmt::format(" ({} --help)", kProgram)
                            : fmt::format(" ({} {} --help)", kProgram, CommandPath(*command));
}

// The one-line error for words the parser did not take.
[[noreturn]] void RejectExtras(const CLI::App& app, const std::vector<std::string>& extras) {
  const std::string& word = extras.front();
  const CLI::App* command = InnermostCommand(app);
  if (word.rfind('-', 0) == 0 && word.size() > 1) {
    const std::string name = word.substr(0, word.find('='));
    throw UsageError(fmt::format("unknown option {}{}{}", name, DidYouMean(name, OptionNames(command ? *command : app)),
                                 HelpHint(command)));
  }
  if (command == nullptr) {
    throw UsageError(
        fmt::format("unknown command '{}'{}{}", word, DidYouMean(word, CommandNames()), HelpHint(nullptr)));
  }
  throw UsageError(fmt::format("{}: unexpected argument '{}'{}", CommandPath(*command), word, HelpHint(command)));
}

// A word before "--" that starts with '-', is no number and names no option
// of the command: the parser took it for an option and then missed the value
// it was meant to be. Says so instead of "VALUE is required".
void RejectValueTakenForOption(const CLI::App& app, const std::vector<std::string>& args) {
  const CLI::App* command = InnermostCommand(app);
  const std::vector<std::string> options = OptionNames(command ? *command : app);
  for (const std::string& word : args) {
    if (word == "--") return;
    if (word.size() < 2 || word[0] != '-' || std::isdigit(static_cast<unsigned char>(word[1])) != 0) continue;
    if (std::find(options.begin(), options.end(), word.substr(0, word.find('='))) != options.end()) continue;
    throw UsageError(fmt::format("'{}' reads as an option, and there is none of that name{}; a value that begins "
                                 "with - goes after --, as in: write TI101 DESCRIPTION -- {}{}",
                                 word, DidYouMean(word, options), word, HelpHint(command)));
  }
}

// The one-line error for a command line the parser refused.
[[noreturn]] void RejectLine(const CLI::App& app, std::string_view message) {
  const CLI::App* command = InnermostCommand(app);
  const std::string where = command ? CommandPath(*command) + ": " : "";
  throw UsageError(where + OneLine(message) + HelpHint(command));
}

}  // namespace

// --- Registry and context --------------------------------------------------------

CommandRegistration::CommandRegistration(CommandEntry entry) { Registry().push_back(std::move(entry)); }

std::vector<const CommandEntry*> Commands() {
  std::vector<const CommandEntry*> commands;
  for (const CommandEntry& entry : Registry()) commands.push_back(&entry);
  std::sort(commands.begin(), commands.end(), [](const CommandEntry* a, const CommandEntry* b) {
    return a->order != b->order ? a->order < b->order : a->name < b->name;
  });
  return commands;
}

const CommandEntry* FindCommand(std::string_view name) {
  for (const CommandEntry& entry : Registry()) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

bool NeedsDatabase(const CommandEntry& entry, const Invocation& invocation) {
  return invocation.NeedsDatabase().value_or(entry.needsDatabase);
}

CommandContext::CommandContext(const GlobalOptions& options, Output& output, DatabaseLink* link, NameCatalog* catalog)
    : options_(options), output_(output), link_(link), catalog_(catalog) {}

CommandContext::~CommandContext() = default;

namespace {

[[noreturn]] void NoDatabase() { throw DatabaseUnavailableError("this command runs without a database"); }

}  // namespace

ToolAccess& CommandContext::Access() {
  if (access_) return *access_;
  if (remote_ != nullptr) {
    const contracts::ServiceSet services = remote_->Services();
    access_ = MakeRemoteToolAccess(*services.access, *services.management);
  } else if (link_ != nullptr) {
    access_ = MakeLocalToolAccess();
  } else {
    NoDatabase();
  }
  return *access_;
}

contracts::IManagementService& CommandContext::Manage() {
  if (management_ != nullptr) return *management_;
  if (remote_ != nullptr) {
    management_ = remote_->Services().management;
  } else if (link_ != nullptr) {
    ownManagement_ = std::make_unique<access::Management>();
    management_ = ownManagement_.get();
  } else {
    NoDatabase();
  }
  return *management_;
}

contracts::IServerManagementService& CommandContext::Server() {
  if (server_ != nullptr) return *server_;
  if (remote_ != nullptr) {
    server_ = remote_->Services().server;
  } else if (link_ != nullptr) {
    ownServer_ = std::make_unique<access::ServerManagement>();
    server_ = ownServer_.get();
  } else {
    NoDatabase();
  }
  return *server_;
}

NameCatalog& CommandContext::Catalog() { return *catalog_; }

// --- Parsing -----------------------------------------------------------------------

BuiltApp BuildApp(GlobalOptions& global, LineSource source) {
  BuiltApp built;
  built.app = std::make_unique<CLI::App>(std::string(kDescription), std::string(kProgram));
  CLI::App& app = *built.app;
  app.formatter(std::make_shared<HelpFormatter>());
  app.allow_extras();
  app.require_subcommand(0, 1);
  DeclareGlobalOptions(app, global, source);
  app.footer(ProgramFooter());
  for (const CommandEntry* entry : Commands()) {
    const std::string description =
        entry->description.empty() ? entry->summary : entry->summary + "\n\n" + entry->description;
    CLI::App* command = app.add_subcommand(entry->name, description);
    command->group(entry->hidden ? "" : "Commands");
    command->fallthrough();
    command->footer(CommandFooter(*entry));
    built.invocations.emplace_back(entry, entry->define(*command));
    for (CLI::App* inner : command->get_subcommands([](const CLI::App*) { return true; })) {
      inner->footer(inner->get_footer() + "\n\n" + GlobalOptionsLine());
    }
  }
  return built;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args, LineSource source) {
  for (const auto& word : args) {
    // "-.5" starts like an option; the parser would take it for one.
    if (word.size() > 2 && word[0] == '-' && word[1] == '.' && std::isdigit(static_cast<unsigned char>(word[2])) != 0) {
      throw UsageError(fmt::format("'{}' reads as an option; write the number as -0{}", word, word.substr(1)));
    }
  }
  // Times are read while the line is parsed; the choice for repeated local
  // times must stand before.
  const auto given = [&args](std::string_view flag) { return std::find(args.begin(), args.end(), flag) != args.end(); };
  SetRepeatedTimeChoice(given("--earlier") ? RepeatedTime::kEarlier
                        : given("--later") ? RepeatedTime::kLater
                                           : RepeatedTime::kRefuse);
  CommandLine line;
  BuiltApp built = BuildApp(line.global, source);
  CLI::App& app = *built.app;
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const CLI::App* command = InnermostCommand(app);
    line.text = HelpText(app, command ? CommandPath(*command) : "");
    return line;
  } catch (const CLI::CallForAllHelp&) {
    line.text = HelpText(app, "");
    return line;
  } catch (const CLI::CallForVersion& version) {
    line.text = std::string(version.what()) + "\n";
    return line;
  } catch (const CLI::ExtrasError&) {
    RejectExtras(app, app.remaining());
  } catch (const CLI::ParseError& error) {
    RejectValueTakenForOption(app, args);
    RejectLine(app, error.what());
  } catch (const UsageError& error) {
    RejectLine(app, error.what());  // a value that an option's parser refused
  }
  if (const auto extras = app.remaining(); !extras.empty()) RejectExtras(app, extras);
  if (source == LineSource::kShell && !line.global.database.empty()) {
    throw UsageError("the shell stays on the database it opened; start another vntaccess for another one");
  }
  if (source == LineSource::kProgram && !line.global.script.empty() && ChosenCommand(app) != nullptr) {
    throw UsageError("-f runs the commands of a file; give no command with it");
  }
  if (const CLI::App* command = ChosenCommand(app)) {
    for (auto& [entry, invocation] : built.invocations) {
      if (entry->name == command->get_name()) {
        line.command = entry;
        line.invocation = invocation;
      }
    }
  }
  return line;
}

std::string HelpText(const CLI::App& root, const std::string& command) {
  if (command.empty()) return root.help();
  // "server env": each word a command inside the one before.
  const CLI::App* found = &root;
  std::string prefix(kProgram);
  std::size_t start = 0;
  while (start <= command.size()) {
    const std::size_t blank = std::min(command.find(' ', start), command.size());
    const std::string word = command.substr(start, blank - start);
    const CLI::App* inner = nullptr;
    for (const CLI::App* sub : found->get_subcommands([](const CLI::App*) { return true; })) {
      if (sub->get_name() == word) inner = sub;
    }
    if (inner == nullptr) {
      throw UsageError(fmt::format("no command '{}'{}", command, DidYouMean(command, CommandNames())));
    }
    if (found != &root) prefix += " " + found->get_name();
    found = inner;
    start = blank + 1;
  }
  return found->help(prefix);
}

// --- Running -------------------------------------------------------------------------

ExitCode Execute(const CommandLine& line, DatabaseLink* link, NameCatalog& catalog, std::ostream& out,
                 std::ostream& err, bool terminal, RemoteLink* remote) {
  auto report = [&](ExitCode code, std::string_view message) {
    out.flush();
    err << kProgram << ": " << OneLine(message) << "\n";
    return code;
  };
  try {
    std::optional<platform::OperationContextScope> caller;
    if (!line.global.user.empty()) {
      caller.emplace(platform::OperationContext{platform::ServiceSecurityContext{line.global.user}});
    }
    OutputStyle style = line.global.output;
    style.terminal = terminal;
    Output output(out, err, style);
    if (link != nullptr) {
      if (const auto unopened = OpenServiceLog()) {
        output.Note(fmt::format("{}: the service log is off: {}", kProgram, *unopened));
      }
    }
    CommandContext context(line.global, output, link, &catalog);
    context.SetRemote(remote);
    // The catalog lists names through this command's services, and only
    // while they live.
    struct CatalogSource {
      NameCatalog& catalog;
      ~CatalogSource() { catalog.Use(nullptr); }
    } source{catalog};
    if (link != nullptr || remote != nullptr) catalog.Use(&context.Access());
    return line.invocation->Run(context);
  } catch (const UsageError& error) {
    return report(ExitCode::kUsage,
                  fmt::format("{}: {} ({} {} --help)", line.command->name, error.what(), kProgram, line.command->name));
  } catch (const NotFoundError& error) {
    return report(ExitCode::kNotFound, error.what());
  } catch (const DatabaseUnavailableError& error) {
    return report(ExitCode::kDatabaseUnavailable, error.what());
  } catch (const std::exception& error) {
    // Service faults and every other failure of the library or the database.
    return report(ExitCode::kServiceFault, ReasonInWords(error.what(), nullptr, link ? RecordNameOf : Namer()));
  }
}

// A command through the host of --server: those that need the database's
// files are refused in one line, the others reach the host's services.
ExitCode ExecuteRemote(const CommandLine& line, const std::string& server, NameCatalog& catalog, bool terminal) {
  static const std::set<std::string> kOnTheDatabasesMachine{"import", "export", "check", "task"};
  const std::string& name = line.command->name;
  if (kOnTheDatabasesMachine.count(name) > 0) {
    std::cerr << kProgram << ": " << name << " runs on the database's machine, not through --server\n";
    return ExitCode::kUsage;
  }
  if (!NeedsDatabase(*line.command, *line.invocation)) {
    return Execute(line, nullptr, catalog, std::cout, std::cerr, terminal);
  }
  try {
    RemoteLink remote(server, line.global.cacert, line.global.user);
    return Execute(line, nullptr, catalog, std::cout, std::cerr, terminal, &remote);
  } catch (const DatabaseUnavailableError& error) {
    std::cerr << kProgram << ": " << OneLine(error.what()) << "\n";
    return ExitCode::kDatabaseUnavailable;
  }
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args.front() == kCompleteCommand) return RunCompletionRequest(args, std::cout);
  CommandLine line;
  try {
    const UserSettings settings = ReadUserSettings();
    ChooseTimeZone(args, settings);
    line = ParseCommandLine(args, LineSource::kProgram);
    ApplyUserSettings(line.global, settings);
  } catch (const UsageError& error) {
    std::cerr << kProgram << ": " << OneLine(error.what()) << "\n";
    return static_cast<int>(ExitCode::kUsage);
  }
  if (line.text) {
    std::cout << *line.text;
    return static_cast<int>(ExitCode::kDone);
  }
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  if (line.command == nullptr && !ServerUrl(line.global.server).empty()) {
    std::cerr << kProgram << ": the shell and scripts (-f, piped lines) run on the database's machine; through "
              << "--server give one command a line\n";
    return static_cast<int>(ExitCode::kUsage);
  }
  if (line.command == nullptr) {
    // No command: the shell, when there is a database to open.
    if (line.global.database.empty() && std::getenv("DORVIK_DATABASE") == nullptr && line.global.script.empty()) {
      std::cout << *ParseCommandLine({"--help"}, LineSource::kProgram).text;
      return static_cast<int>(ExitCode::kUsage);
    }
    return static_cast<int>(RunShell(line.global, terminal));
  }
  NameCatalog catalog;
  if (const std::string server = ServerUrl(line.global.server); !server.empty()) {
    return static_cast<int>(ExecuteRemote(line, server, catalog, terminal));
  }
  std::unique_ptr<DatabaseLink> link;
  if (NeedsDatabase(*line.command, *line.invocation)) {
    try {
      link = std::make_unique<DatabaseLink>(line.global.database);
    } catch (const DatabaseUnavailableError& error) {
      std::cerr << kProgram << ": " << OneLine(error.what()) << "\n";
      return static_cast<int>(ExitCode::kDatabaseUnavailable);
    }
  }
  return static_cast<int>(Execute(line, link.get(), catalog, std::cout, std::cerr, terminal));
}

}  // namespace vantrel::cli
