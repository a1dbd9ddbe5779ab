// The commands of vntaccess. Each takes the parsed options, runs one or more
// operations of the library's services on the calling thread and prints the
// result to standard output (plain text, or JSON with --json). Errors are
// raised to the caller: service faults, usage errors (std::invalid_argument).
#ifndef VANTREL_CLI_COMMANDS_H_
#define VANTREL_CLI_COMMANDS_H_

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"

namespace vantrel::cli {

struct Command {
  std::string name;
  std::string usage;    // arguments, e.g. "RECORD FIELD..."
  std::string summary;  // one line
  std::function<void(const Options&, std::ostream&)> run;
  bool changesDatabase = false;
};

const std::vector<Command>& Commands();
const Command* FindCommand(const std::string& name);
void PrintHelp(std::ostream& out);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_COMMANDS_H_
