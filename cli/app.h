// The vntaccess program: parses a command line with the registered
// commands (CLI11), runs the command with the database attached, and turns
// what happened into one exit code (views/errors.h). The interactive shell
// (cli/shell.h) runs each of its lines through the same two steps.
#ifndef VANTREL_CLI_APP_H_
#define VANTREL_CLI_APP_H_

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/command.h"

namespace vantrel::cli {

// Where a command line comes from: the program's arguments, or a line of
// the interactive shell (which has no --database and no --version).
enum class LineSource { kProgram, kShell };

struct CommandLine {
  GlobalOptions global;
  const CommandEntry* command = nullptr;  // null: no command given
  std::shared_ptr<Invocation> invocation;
  std::optional<std::string> text;  // help or version text to print instead
};

// The CLI11 application of every registered command, its options bound to
// global and to a new invocation per command (returned in order).
struct BuiltApp {
  std::unique_ptr<CLI::App> app;
  std::vector<std::pair<const CommandEntry*, std::shared_ptr<Invocation>>> invocations;
};
BuiltApp BuildApp(GlobalOptions& global, LineSource source);

// Parses args (without the program name). Throws UsageError with one line,
// a suggestion for a mistyped option or command and where to find help.
// Touches no database.
CommandLine ParseCommandLine(const std::vector<std::string>& args, LineSource source);

// Runs a parsed command on link (null for commands that need no database),
// or on the host of remote when given, and reports any error on err in one
// line. Returns the exit code.
ExitCode Execute(const CommandLine& line, DatabaseLink* link, NameCatalog& catalog, std::ostream& out,
                 std::ostream& err, bool terminal, RemoteLink* remote = nullptr);

// The whole program: what main() returns.
int Main(int argc, char** argv);

// The help of the program (command empty) or of one command.
std::string HelpText(const CLI::App& root, const std::string& command);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_APP_H_
