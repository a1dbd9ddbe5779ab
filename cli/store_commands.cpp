#include "cli/store_commands.h"

#include <stdexcept>

#include <fmt/format.h>

#include "engine/control.h"

namespace vantrel::cli {
namespace {

const std::string& Argument(const Options& options, std::size_t index, const char* what) {
  if (index >= options.arguments.size()) throw std::invalid_argument(fmt::format("missing {}", what));
  return options.arguments[index];
}

void NoMoreArguments(const Options& options, std::size_t count) {
  if (options.arguments.size() > count) {
    throw std::invalid_argument(fmt::format("unexpected argument '{}'", options.arguments[count]));
  }
}

}  // namespace

void ImportCommand(const Options& options, std::ostream& out) {
  const std::string& json = Argument(options, 0, "JSON file");
  const std::string& database = Argument(options, 1, "database");
  NoMoreArguments(options, 2);
  if (options.dryRun) throw std::invalid_argument("import makes a database; --dry-run does not apply");
  dorvik::ImportDatabase(json, database);
  out << fmt::format("{}: made from {}\n", database, json);
}

void ExportCommand(const Options& options, std::ostream& out) {
  const std::string& database = Argument(options, 0, "database");
  const std::string& json = Argument(options, 1, "JSON file");
  NoMoreArguments(options, 2);
  dorvik::Open(database, {.readOnly = true});
  dorvik::ExportDatabase(json);
  out << fmt::format("{}: written from {}\n", json, database);
}

void CheckCommand(const Options& options, std::ostream& out) {
  const std::string& database = Argument(options, 0, "database");
  NoMoreArguments(options, 1);
  dorvik::Open(database, {.readOnly = true});
  const dorvik::CheckReport report = dorvik::CheckDatabase();
  out << fmt::format("{}: {} definitions, {} fields, {} selectors, {} records, {} history series with {} values, {} "
                     "pending activations\n",
                     database, report.definitions, report.fields, report.selectors, report.records, report.series,
                     report.samples, report.activations);
  for (const std::string& fault : report.faults) out << "fault: " << fault << "\n";
  if (!report.ok()) throw std::runtime_error(fmt::format("{}: {} faults found", database, report.faults.size()));
  out << "no fault found\n";
}

bool IsStoreCommand(const std::string& name) { return name == "import" || name == "export" || name == "check"; }

}  // namespace vantrel::cli
