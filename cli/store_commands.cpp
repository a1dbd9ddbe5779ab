// Commands that make, copy and check a database as a whole: import, export
// and check. They name their database as an argument and open it themselves,
// without attaching through the library.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "cli/command.h"
#include "views/progress.h"
#include "engine/control.h"
#include "engine/unfinished_files.h"

namespace vantrel::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kStandardOutput = "-";  // export's FILE.json for standard output

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

// Removes what an import or export is making when SIGINT, SIGTERM or SIGHUP
// ends the tool, then lets the signal end it as it would have: a Ctrl-C
// leaves no hidden folder or temporary file behind. What a SIGKILL leaves,
// the next import or export into the folder removes.
class CleanUpOnSignal {
 public:
  CleanUpOnSignal() {
    struct sigaction action {};
    action.sa_handler = Handle;
    action.sa_flags = SA_RESETHAND;  // the re-raised signal takes its default action
    ::sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
  }
  ~CleanUpOnSignal() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
  }
  CleanUpOnSignal(const CleanUpOnSignal&) = delete;
  CleanUpOnSignal& operator=(const CleanUpOnSignal&) = delete;

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

  static void Handle(int signal) {
    const int savedErrno = errno;
    dorvik::RemoveUnfinishedEntries();
    ::raise(signal);  // delivered once the handler returns, with the default action
    errno = savedErrno;
  }

  struct sigaction previous_[std::size(kSignals)] {};
};

// A trial import's own folder (a hidden folder in the temporary folder),
// removed when it goes.
class ScratchFolder {
 public:
  ScratchFolder() : entry_(TrialTarget(), dorvik::UnfinishedKind::kImport) {}
  const fs::path& Path() const { return entry_.Path(); }

 private:
  static fs::path TrialTarget() {
    const fs::path target = fs::temp_directory_path() / "vntaccess-trial";
    dorvik::SweepUnfinished(target.parent_path());
    return target;
  }
  dorvik::UnfinishedEntry entry_;
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
  const CleanUpOnSignal cleanUp;
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
  app.add_option("FILE.json", args.to, "the JSON file to write (replaced whole when it exists); - writes to standard "
                                       "output")
      ->required();
}

// A folder only this user may enter, removed with what it holds at the end
// of the scope: where export writes before copying to standard output.
class PrivateTemporaryFolder {
 public:
  PrivateTemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vntaccess-export.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error(fmt::format("cannot make a temporary folder for the export: {}", std::strerror(errno)));
    }
    path_ = pattern;  // mkdtemp makes it with mode 0700
  }
  ~PrivateTemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  PrivateTemporaryFolder(const PrivateTemporaryFolder&) = delete;
  PrivateTemporaryFolder& operator=(const PrivateTemporaryFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// export DATABASE -: the JSON file written whole into a private temporary
// folder and opened, the folder removed, then the file copied to standard
// output: what a pipe gets is the very file export writes.
ExitCode ExportToStandardOutput(CommandContext& context) {
  std::ifstream written;
  {
    const PrivateTemporaryFolder folder;
    const std::filesystem::path file = folder.Path() / "database.json";
    dorvik::ExportDatabase(file.string());
    written.open(file, std::ios::binary);
  }  // removed while open: a reader that stops early (SIGPIPE) leaves nothing behind
  std::ostream& out = context.Out().Stream();
  out << written.rdbuf();
  out.flush();
  if (!written || !out) throw std::runtime_error("the export could not be copied to standard output");
  return ExitCode::kDone;
}

ExitCode RunExport(const CopyArgs& args, CommandContext& context) {
  OpenToRead(args.from);
  {
    const CleanUpOnSignal cleanUp;
    if (args.to == kStandardOutput) return ExportToStandardOutput(context);
    dorvik::ExportDatabase(args.to);
  }
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
                   "checked, and nothing is made. The file is read strictly: a key given twice in an object, a "
                   "number with a fraction for a field of whole numbers and a time outside 1901-12-13T20:45:52Z to "
                   "2038-01-19T03:14:07Z are refused with their JSON path. Ctrl-C removes the unfinished folder; "
                   "one left by a killed import goes at the next import into the folder.",
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
    .description = "Import then export gives back the same bytes for a file that export wrote. The file is written "
                   "beside FILE.json and renamed onto that name once whole: an existing file keeps its mode and "
                   "owner, a new file is private to you (0600), and a symbolic link at the name is replaced by the "
                   "file, never written through (one owned by another user, or in a sticky folder like /tmp, is "
                   "refused). Ctrl-C removes the unfinished file; one left by a killed export goes at the next "
                   "export into the folder. FILE - writes to standard output.",
    .examples = {"export plant.db plant.json", "export plant.db - | gzip > plant.json.gz"},
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
