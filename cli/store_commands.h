// The commands that make, write and check a database as a whole: import,
// export and check. They name their database as an argument and open it
// themselves (no link through INIDORV); each prints one summary.
#ifndef VANTREL_CLI_STORE_COMMANDS_H_
#define VANTREL_CLI_STORE_COMMANDS_H_

#include <ostream>
#include <string>

#include "cli/options.h"

namespace vantrel::cli {

// import FILE.json DATABASE: a new database from a JSON file.
void ImportCommand(const Options& options, std::ostream& out);
// export DATABASE FILE.json: the database as a JSON file.
void ExportCommand(const Options& options, std::ostream& out);
// check DATABASE: walks every table; throws (a non-zero exit) on any fault.
void CheckCommand(const Options& options, std::ostream& out);
// Whether a command opens its database itself.
bool IsStoreCommand(const std::string& name);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_STORE_COMMANDS_H_
