// vntaccess: serves the tag access library's operations to a person, on the
// database named by --database or DORVIK_DATABASE.
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "api/dorvik.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/store_commands.h"
#include "engine/control.h"
#include "platform/fault.h"
#include "platform/operation_context.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitDatabase = 2;
constexpr int kExitUsage = 64;

// Attaches to the database for the length of one command. Every write is
// on disk when its call returns; --dry-run opens the database read-only, so
// a command that would change it fails instead.
class DatabaseLink {
 public:
  explicit DatabaseLink(const vantrel::cli::Options& options) {
    const char* fromEnvironment = std::getenv("DORVIK_DATABASE");
    if (options.database) {
      dorvik::Open(*options.database, {.readOnly = options.dryRun});
    } else if (options.dryRun && fromEnvironment != nullptr && *fromEnvironment != '\0') {
      dorvik::Open(fromEnvironment, {.readOnly = true});
    }
    if (INIDORV() == 0) {
      const std::string reason = dorvik::LastOpenError();
      throw dorvik::DatabaseError(reason.empty() ? "the database is shutting down"
                                                 : reason + " (name a database with --database)");
    }
  }
  ~DatabaseLink() { ENDDORV(); }
  DatabaseLink(const DatabaseLink&) = delete;
  DatabaseLink& operator=(const DatabaseLink&) = delete;
};

int Run(int argc, char** argv) {
  const auto options = vantrel::cli::ParseOptions(argc, argv);
  if (options.command == "help") {
    vantrel::cli::PrintHelp(std::cout);
    return EXIT_SUCCESS;
  }
  const auto* command = vantrel::cli::FindCommand(options.command);
  if (command == nullptr) throw std::invalid_argument("unknown command '" + options.command + "'");

  std::optional<DatabaseLink> link;
  if (!vantrel::cli::IsStoreCommand(command->name)) link.emplace(options);
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
