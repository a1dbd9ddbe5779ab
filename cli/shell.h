// The interactive shell: `vntaccess --database DB` without a command. The
// database stays attached between commands; each line is a command as on
// the command line, without "vntaccess" (quotes and backslashes work as in
// a POSIX shell). "quit", "exit", "\q" or the end of input leave it.
//
// On a terminal, lines are read with libedit: editing, a history kept in
// ~/.vntaccess_history (VNTACCESS_HISTORY names another file, empty none,
// saved after every line) and tab completion of commands, options, record
// and field names. A bad line prints its one-line error and the shell goes
// on; Ctrl-C drops the line being typed, Ctrl-D leaves.
//
// Standard input that is not a terminal, and the file of -f FILE, run as a
// script: lines without a prompt, stopping at the first line that fails
// with that line's number and exit code; --keep-going runs every line and
// ends with the gravest code.
#ifndef VANTREL_CLI_SHELL_H_
#define VANTREL_CLI_SHELL_H_

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command.h"

namespace vantrel::cli {

// Opens the database of global.database and runs the shell on standard
// input, or the script of global.script. Returns kDatabaseUnavailable when
// the database cannot be opened; else kDone for an interactive shell, and
// for a script what it ended with.
ExitCode RunShell(const GlobalOptions& global, bool terminal);

// A line split into words: blanks separate, '...' and "..." quote, a
// backslash takes the next character as it is. Throws UsageError for an
// unclosed quote.
std::vector<std::string> SplitWords(std::string_view line);

// One line of a shell whose database is attached: runs it and reports on
// out and err. Returns false when the line asks to leave.
class ShellSession {
 public:
  ShellSession(const GlobalOptions& defaults, DatabaseLink& link, NameCatalog& catalog, std::ostream& out,
               std::ostream& err, bool terminal)
      : defaults_(defaults), link_(link), catalog_(catalog), out_(out), err_(err), terminal_(terminal) {}

  bool RunLine(std::string_view line);
  ExitCode LastExitCode() const { return last_; }

 private:
  const GlobalOptions& defaults_;
  DatabaseLink& link_;
  NameCatalog& catalog_;
  std::ostream& out_;
  std::ostream& err_;
  bool terminal_;
  ExitCode last_ = ExitCode::kDone;
};

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_SHELL_H_
