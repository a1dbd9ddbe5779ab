// Commands that make, copy and check a database as a whole: import, export
// and check. They name their database as an argument and open it themselves,
// without attaching through the library.
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "cli/command.h"
#include "cli/progress.h"
#include "engine/control.h"

namespace vantrel::cli {
namespace {

namespace fs = std::filesystem;

struct CopyArgs {
  std::string from;
  std::string to;
  std::string group;  // import: the group the new database is shared with
};

struct CheckArgs {
  std::string database;
};

// Opens a database for reading only, as a database that cannot be opened.
void OpenToRead(const std::string& database) {
  try {
    dorvik::Open(database, {.readOnly = true});
  } catch (const dorvik::DatabaseError& error) {
    throw DatabaseUnavailableError(fmt::format("cannot open the database: {}", error.what()));
  }
}

// A folder of its own for a trial import, removed when it goes.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "vntaccess-import.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

void DeclareImport(CLI::App& app, CopyArgs& args) {
  app.add_option("FILE.json", args.from, "the database as a JSON file")->required();
  app.add_option("DATABASE", args.to, "the folder to make; it must not exist")->required();
  app.add_option("--group", args.group,
                 "share the new database with GROUP (readers in it may read; folder 2750, files 0640, lock.mdb "
                 "0660); without it the database is private (0700, files 0600)");
}

ExitCode RunImport(const CopyArgs& args, CommandContext& context) {
  if (fs::exists(args.to)) throw UsageError(fmt::format("{} exists already; import makes a new database", args.to));
  if (context.DryRun()) {
    const ScratchFolder scratch;
    {
      const Progress progress(fmt::format("checking {}", args.from));
      dorvik::ImportDatabase(args.from, (scratch.Path() / "trial.db").string(), {.group = args.group});
    }
    Shown shown;
    shown.sentence = fmt::format("dry run: {} imports cleanly; nothing was made", args.from);
    shown.json = Json{{"dryRun", true}, {"file", args.from}, {"database", args.to}};
    context.Out().Show(shown);
    return ExitCode::kDone;
  }
  {
    const Progress progress(fmt::format("importing {}", args.from));
    dorvik::ImportDatabase(args.from, args.to, {.group = args.group});
  }
  Shown shown;
  shown.sentence = fmt::format("{}: made from {}", args.to, args.from);
  shown.json = Json{{"file", args.from}, {"database", args.to}};
  context.Out().Show(shown);
  return ExitCode::kDone;
}

void DeclareExport(CLI::App& app, CopyArgs& args) {
  app.add_option("DATABASE", args.from, "the database folder")->required();
  app.add_option("FILE.json", args.to, "the JSON file to write (replaced whole when it exists)")->required();
}

ExitCode RunExport(const CopyArgs& args, CommandContext& context) {
  OpenToRead(args.from);
  dorvik::ExportDatabase(args.to);
  Shown shown;
  shown.sentence = fmt::format("{}: written from {}", args.to, args.from);
  shown.json = Json{{"database", args.from}, {"file", args.to}};
  context.Out().Show(shown);
  return ExitCode::kDone;
}

void DeclareCheck(CLI::App& app, CheckArgs& args) {
  app.add_option("DATABASE", args.database, "the database folder")->required();
}

ExitCode RunCheck(const CheckArgs& args, CommandContext& context) {
  OpenToRead(args.database);
  const dorvik::CheckReport report = dorvik::CheckDatabase();
  const std::pair<const char*, int64_t> counts[] = {
      {"definitions", report.definitions}, {"fields", report.fields},   {"selectors", report.selectors},
      {"records", report.records},         {"history series", report.series}, {"history values", report.samples},
      {"pending activations", report.activations},
  };
  Shown shown;
  shown.table.columns = {{"TABLE"}, {"COUNT", true}};
  shown.json = Json{{"database", args.database}, {"faults", report.faults}};
  for (const auto& [name, count] : counts) {
    shown.table.rows.push_back({std::string(name), std::to_string(count)});
    shown.json[name] = count;
  }
  shown.footer = report.ok() ? "no fault found" : fmt::format("{} faults found", report.faults.size());
  context.Out().Show(shown);
  for (const std::string& fault : report.faults) context.Out().Note(fmt::format("fault: {}", fault));
  if (!report.ok()) throw std::runtime_error(fmt::format("{}: {} faults found", args.database, report.faults.size()));
  return ExitCode::kDone;
}

const CommandRegistration kImport({
    .name = "import",
    .summary = "make a new database (a folder) from a JSON file",
    .description = "The file is read as a stream; the database appears whole or not at all, readable by its owner "
                   "only unless --group shares it. With --dry-run the file is imported into a temporary folder and "
                   "checked, and nothing is made.",
    .examples = {"import examples/plant.json plant.db", "import plant.json plant.db --group operators",
                 "--dry-run import plant.json plant.db"},
    .order = 80,
    .changesDatabase = true,
    .needsDatabase = false,
    .define = Define(DeclareImport, RunImport),
});

const CommandRegistration kExport({
    .name = "export",
    .summary = "write a database to a JSON file",
    .description = "Import then export gives back the same bytes for a file that export wrote.",
    .examples = {"export plant.db plant.json"},
    .order = 81,
    .needsDatabase = false,
    .define = Define(DeclareExport, RunExport),
});

const CommandRegistration kCheck({
    .name = "check",
    .summary = "check a database's integrity: every table, every record",
    .description = "Counts what the database holds and fails (exit 1) on any fault, listing each on standard error.",
    .examples = {"check plant.db", "check plant.db --json"},
    .order = 82,
    .needsDatabase = false,
    .define = Define(DeclareCheck, RunCheck),
});

}  // namespace
}  // namespace vantrel::cli
