// refs NAME...: where names are referenced, through the management
// service's reference search: in the lines of calculation records (calc),
// in the fields of other records that point at a record (fields), and in
// SQL, the lines of query records and the query files of the database's
// query folder (sql). Text is matched as a whole word in any case, so a
// name needs to name no record to be searched for.
#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <optional>

#include <fmt/format.h>

#include "views/refs_view.h"
#include "views/tool_services.h"
#include "cli/command.h"
#include "views/name_catalog.h"
#include "views/progress.h"
#include "views/suggest.h"
#include "views/text_compare.h"
#include "management/management.h"
#include "server/server_management.h"

namespace vantrel::cli {
namespace {

using contracts::ReferenceSourceTypeEnum;

void DeclareRefs(CLI::App& app, RefsArgs& args) {
  app.add_option("NAME", args.names, "names to look for, as given (a name need not name a record)")->required();
  app.add_option_function<std::string>(
         "--source", [&args](const std::string& text) { args.source = ParseSource(text); },
         "where to look: calc (calculation lines), fields (fields of other records), sql (query records and "
         "query files) or all (the default)")
      ->type_name("SOURCE");
  app.callback([&args] {
    for (const auto& name : args.names) {
      if (name.empty()) throw UsageError("a name to look for cannot be empty");
    }
  });
}

// A note for names that name no record: maybe a typo. Texts may still
// hold them; no field can point at them.
void NoteUnknownNames(const RefsArgs& args, CommandContext& context) {
  std::string unknown;
  for (const auto& name : args.names) {
    if (context.Access().GetRecordID(name) > 0) continue;
    unknown += fmt::format("{}{}{}", unknown.empty() ? "" : ", ", name, DidYouMean(name, context.Catalog().Records()));
  }
  if (unknown.empty()) return;
  const std::string consequence = !args.source ? "; looked for in the texts only"
                                  : *args.source == ReferenceSourceTypeEnum::RecordReference
                                      ? "; fields point only at records"
                                      : "";
  context.Out().Note(fmt::format("{}: no record is named {}{}", kProgram, unknown, consequence));
}

// Why the query files could not be searched, when SQL is searched and the
// folder COMPRESS_SOURCE names is missing; nothing when they could be (or
// no folder is set, so there are none). The folder of a host's database
// lies on the host's machine, which only the host can look into.
std::optional<std::string> UnsearchedQueryFolder(const RefsArgs& args, CommandContext& context) {
  if (args.source && *args.source != ReferenceSourceTypeEnum::SqlQuery) return std::nullopt;
  if (context.Remote()) return std::nullopt;
  const std::string folder = context.Server().GetVntEnvironmentVariable("COMPRESS_SOURCE");
  if (folder.empty()) return std::nullopt;
  std::error_code error;
  if (std::filesystem::is_directory(folder, error)) return std::nullopt;
  return fmt::format("the query folder {} (COMPRESS_SOURCE) does not exist, so no query file was searched; put "
                     "the query files there",
                     folder);
}

ExitCode RunRefs(const RefsArgs& args, CommandContext& context) {
  const Shown shown = RefsView(args, context.Manage());
  const std::optional<std::string> unsearched = UnsearchedQueryFolder(args, context);
  context.Out().Show(shown);
  NoteUnknownNames(args, context);
  if (!unsearched) return ExitCode::kDone;
  context.Out().Note(fmt::format("{}: {}", kProgram, *unsearched));
  return ExitCode::kPartlyDone;
}

const CommandRegistration kRefs({
    .name = "refs",
    .summary = "where names are referenced: calculations, fields of other records, SQL",
    .description = "Looks for each name as a whole word, in any case and optionally quoted, in the lines of "
                   "calculation records (calc), in the lines of query records and in the query files of the "
                   "folder COMPRESS_SOURCE names (sql), and finds the fields of other records that point at the "
                   "record it names (fields). WHERE is the record (and its line field) or the query file's "
                   "record; FOUND lists the lines or fields. A name that names no record is still looked for in "
                   "the texts, with a note.",
    .examples = {"refs TI101", "refs TI101 PI201 --source sql", "refs FI301 --json | jq '.FI301 | keys'"},
    .order = 39,
    .words = {WordKind::kRecord},
    .optionValues = {{"--source", {"calc", "fields", "sql", "all"}}},
    .define = Define(DeclareRefs, RunRefs),
});

}  // namespace
}  // namespace vantrel::cli
