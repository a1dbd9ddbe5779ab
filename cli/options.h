// Command-line options of vntaccess: the global options before the command,
// then the command and its arguments, with "--name value" options anywhere
// among them.
#ifndef VANTREL_CLI_OPTIONS_H_
#define VANTREL_CLI_OPTIONS_H_

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vantrel::cli {

struct Options {
  std::optional<std::string> database;  // --database FILE
  std::optional<std::string> user;      // --user DOMAIN\user
  bool json = false;                    // --json
  bool dryRun = false;                  // --dry-run: changes are not saved
  std::string command;
  std::vector<std::string> arguments;
  std::map<std::string, std::string> named;  // --from, --to, --max, ...
  std::set<std::string> flags;               // --step, ...

  std::optional<std::string> Named(const std::string& name) const;
  bool Flag(const std::string& name) const { return flags.count(name) != 0; }
};

// Parses argv; throws std::invalid_argument with a message for the user.
Options ParseOptions(int argc, char** argv);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_OPTIONS_H_
