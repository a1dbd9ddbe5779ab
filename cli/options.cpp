#include "cli/options.h"

#include <stdexcept>

namespace vantrel::cli {
namespace {

// Options that take a value; every other "--name" is a flag.
const std::set<std::string> kValueOptions{"database", "user", "from", "to", "max", "outsiders", "status",
                                          "level", "time", "type"};

}  // namespace

std::optional<std::string> Options::Named(const std::string& name) const {
  const auto found = named.find(name);
  if (found == named.end()) return std::nullopt;
  return found->second;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--", 0) != 0 || argument.size() == 2) {
      if (options.command.empty()) {
        options.command = argument;
      } else {
        options.arguments.push_back(argument);
      }
      continue;
    }
    const std::string name = argument.substr(2);
    if (kValueOptions.count(name) != 0) {
      if (i + 1 >= argc) throw std::invalid_argument("option --" + name + " needs a value");
      const std::string value = argv[++i];
      if (name == "database") {
        options.database = value;
      } else if (name == "user") {
        options.user = value;
      } else {
        options.named[name] = value;
      }
    } else if (name == "json") {
      options.json = true;
    } else if (name == "dry-run") {
      options.dryRun = true;
    } else if (name == "help") {
      options.command = "help";
    } else {
      options.flags.insert(name);
    }
  }
  if (options.command.empty()) options.command = "help";
  return options;
}

}  // namespace vantrel::cli
