// The commands of vntaccess and what they run with.
//
// A command is declared once, as a CommandEntry: its name and texts, and a
// `define` function that declares its arguments and options on the CLI11
// subcommand (the one table that drives parsing, help, the man page and
// completion) bound to the fields of a plain struct. Parsing fills that
// struct and checks every value that needs no database (numbers, times,
// value types); running it (Invocation::Run) resolves names, calls the
// library and prints. Command files register their commands with a
// CommandRegistration; see cli/CMakeLists.txt for how to add one.
//
//   struct EnvArgs { std::vector<std::string> names; };
//   void DefineEnv(CLI::App& app, EnvArgs& args) { app.add_option("NAME", args.names, "...")->required(); }
//   ExitCode RunEnv(const EnvArgs& args, CommandContext& context) { ... }
//   const CommandRegistration kEnv({.name = "env", ..., .define = Define(DefineEnv, RunEnv)});
#ifndef VANTREL_CLI_COMMAND_H_
#define VANTREL_CLI_COMMAND_H_

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "views/errors.h"
#include "views/output.h"
#include "views/view_sources.h"

namespace vantrel::contracts {
class IManagementService;
class IServerManagementService;
}

namespace vantrel::cli {

inline constexpr std::string_view kProgram = "vntaccess";

class DatabaseLink;
class NameCatalog;
class RemoteLink;
class ToolAccess;

// The options before or after any command.
struct GlobalOptions {
  std::string database;      // --database (empty: DORVIK_DATABASE)
  std::string user;          // --user DOMAIN\user: run as that caller (with --server: logs in as user)
  OutputStyle output;        // --json, --csv, --text, --utc
  bool formatGiven = false;  // --json, --csv or --text was given (else the settings file's form)
  bool dryRun = false;       // --dry-run
  std::string timeZone;      // --tz (already the process's zone when parsed: cli/settings.h)
  bool earlier = false;      // --earlier / --later: a local time that occurs twice
  bool later = false;
  std::string script;        // -f FILE: run the file's lines as a script
  bool keepGoing = false;    // --keep-going: a script goes on after a failing line
  std::string server;        // --server https://HOST:PORT (empty: VNTACCESS_SERVER; none: in process)
  std::string cacert;        // --cacert FILE: the authorities that vouch for the server's certificate
};

// What a running command works with. Access(), Manage() and Server() are the
// data, management and server management services of this command, each
// made on first use as the --user caller (one per command, as a host makes
// one per call): the library's own in process, or with --server the host's
// (vantrel_client). This is the one place that chooses; the commands are
// written against the contracts' interfaces and cannot tell the two apart.
class CommandContext : public ViewSources {
 public:
  CommandContext(const GlobalOptions& options, Output& output, DatabaseLink* link, NameCatalog* catalog);
  ~CommandContext() override;
  CommandContext(const CommandContext&) = delete;
  CommandContext& operator=(const CommandContext&) = delete;

  const GlobalOptions& Options() const { return options_; }
  Output& Out() { return output_; }
  bool DryRun() const { return options_.dryRun; }
  ToolAccess& Access() override;
  contracts::IManagementService& Manage() override;
  contracts::IServerManagementService& Server();
  bool Remote() const { return remote_ != nullptr; }
  NameCatalog& Catalog() override;
  // With --server: the host's services (before the first service is made).
  void SetRemote(RemoteLink* remote) { remote_ = remote; }

 private:
  const GlobalOptions& options_;
  Output& output_;
  DatabaseLink* link_;
  NameCatalog* catalog_;
  RemoteLink* remote_ = nullptr;
  std::unique_ptr<ToolAccess> access_;
  // In process, the library's objects owned here; through a host, the link's.
  std::unique_ptr<contracts::IManagementService> ownManagement_;
  std::unique_ptr<contracts::IServerManagementService> ownServer_;
  contracts::IManagementService* management_ = nullptr;
  contracts::IServerManagementService* server_ = nullptr;
};

// A parsed command with its checked arguments, ready to run.
class Invocation {
 public:
  virtual ~Invocation() = default;
  virtual ExitCode Run(CommandContext& context) = 0;
  // Whether this run needs the database, when its arguments decide it; else
  // the command's entry does.
  virtual std::optional<bool> NeedsDatabase() const { return std::nullopt; }
};

// What the positional words of a command name, for completion; the last
// kind repeats. kValue is a value of the field named by the second word.
enum class WordKind { kNone, kRecord, kRecords, kField, kDefinition, kValue };

struct CommandEntry {
  std::string name{};
  std::string summary{};                // one line for the command list
  std::string description{};            // more for --help and the man page (may be empty)
  std::vector<std::string> examples{};  // command lines without "vntaccess"
  int order = 0;                        // place in the command list
  bool changesDatabase = false;         // --dry-run decides what it does
  bool needsDatabase = true;            // unless its invocation says (Invocation::NeedsDatabase)
  bool hidden = false;            // left out of help and completion (man)
  std::vector<WordKind> words{};  // positional words, for completion
  // Completion of the values of options ("--type") and positionals ("NAME").
  std::map<std::string, std::vector<std::string>> optionValues{};
  // Declares the arguments on the subcommand, bound to a new invocation.
  std::function<std::shared_ptr<Invocation>(CLI::App&)> define{};
};

// An invocation whose arguments are a plain Args struct, run by a function.
template <typename Args>
class BoundInvocation : public Invocation {
 public:
  using RunFunction = ExitCode (*)(const Args&, CommandContext&);
  explicit BoundInvocation(RunFunction run) : run_(run) {}
  ExitCode Run(CommandContext& context) override { return run_(args, context); }
  // Args may decide with a NeedsDatabase() member of its own.
  std::optional<bool> NeedsDatabase() const override {
    if constexpr (requires { args.NeedsDatabase(); }) {
      return args.NeedsDatabase();
    } else {
      return std::nullopt;
    }
  }

  Args args;

 private:
  RunFunction run_;
};

// The `define` of a command whose arguments are an Args struct: declare binds
// the options to its fields, run runs the parsed command.
template <typename Args>
std::function<std::shared_ptr<Invocation>(CLI::App&)> Define(void (*declare)(CLI::App&, Args&),
                                                             typename BoundInvocation<Args>::RunFunction run) {
  return [declare, run](CLI::App& app) {
    auto invocation = std::make_shared<BoundInvocation<Args>>(run);
    declare(app, invocation->args);
    return invocation;
  };
}

// Registers a command when the program starts (a namespace-scope constant in
// the command's file).
class CommandRegistration {
 public:
  explicit CommandRegistration(CommandEntry entry);
};

// Every registered command, by order and then name.
std::vector<const CommandEntry*> Commands();
const CommandEntry* FindCommand(std::string_view name);

// Whether a parsed command needs the database attached.
bool NeedsDatabase(const CommandEntry& entry, const Invocation& invocation);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_COMMAND_H_
