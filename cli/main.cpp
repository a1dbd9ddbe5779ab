// vntaccess: serves the tag access library's operations to a person, on a
// database file or the database named by DORVIK_DATABASE.
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "api/dorvik.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "engine/control.h"
#include "platform/fault.h"
#include "platform/operation_context.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitDatabase = 2;
constexpr int kExitUsage = 64;

// Attaches to the database for the length of one command; detaching saves
// the changes a command made to a database file.
class DatabaseLink {
 public:
  explicit DatabaseLink(const vantrel::cli::Options& options) : save_(!options.dryRun) {
    if (options.database) dorvik::Open(*options.database);
    if (INIDORV() == 0) {
      throw dorvik::DatabaseError(
          "no database: name a database file with --database or the DORVIK_DATABASE variable");
    }
  }
  ~DatabaseLink() {
    if (save_) ENDDORV();
  }
  DatabaseLink(const DatabaseLink&) = delete;
  DatabaseLink& operator=(const DatabaseLink&) = delete;

 private:
  bool save_;
};

int Run(int argc, char** argv) {
  const auto options = vantrel::cli::ParseOptions(argc, argv);
  if (options.command == "help") {
    vantrel::cli::PrintHelp(std::cout);
    return EXIT_SUCCESS;
  }
  const auto* command = vantrel::cli::FindCommand(options.command);
  if (command == nullptr) throw std::invalid_argument("unknown command '" + options.command + "'");

  DatabaseLink link(options);
  std::optional<vantrel::platform::OperationContextScope> caller;
  if (options.user) {
    caller.emplace(vantrel::platform::OperationContext{vantrel::platform::ServiceSecurityContext{*options.user}});
  }
  command->run(options, std::cout);
  return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::invalid_argument& error) {
    std::cerr << "vntaccess: " << error.what() << "\n(see vntaccess help)\n";
    return kExitUsage;
  } catch (const dorvik::DatabaseError& error) {
    std::cerr << "vntaccess: " << error.what() << "\n";
    return kExitDatabase;
  } catch (const vantrel::platform::FaultException& fault) {
    std::cerr << "vntaccess: " << fault.what() << " (" << fault.Detail().ErrorType() << ")\n";
    return kExitFailure;
  } catch (const std::exception& error) {
    std::cerr << "vntaccess: " << error.what() << "\n";
    return kExitFailure;
  }
}
