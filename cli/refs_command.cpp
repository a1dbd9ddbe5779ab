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

#include "cli/tool_services.h"
#include "cli/command.h"
#include "cli/name_catalog.h"
#include "cli/progress.h"
#include "cli/suggest.h"
#include "cli/text_compare.h"
#include "management/management.h"
#include "server/server_management.h"

namespace vantrel::cli {
namespace {

using contracts::ReferenceInfo;
using contracts::ReferenceSourceTypeEnum;

struct SourceName {
  std::string_view name;
  ReferenceSourceTypeEnum source;
};

constexpr std::array<SourceName, 3> kSources{{
    {"calc", ReferenceSourceTypeEnum::Calculation},
    {"fields", ReferenceSourceTypeEnum::RecordReference},
    {"sql", ReferenceSourceTypeEnum::SqlQuery},
}};
constexpr std::string_view kAllSources = "all";

std::string SourceText(ReferenceSourceTypeEnum source) {
  for (const auto& known : kSources) {
    if (known.source == source) return std::string(known.name);
  }
  return contracts::ToString(source);
}

struct RefsArgs {
  std::vector<std::string> names;
  std::optional<ReferenceSourceTypeEnum> source;  // none: every source
};

// One source, or none for "all"; any case.
std::optional<ReferenceSourceTypeEnum> ParseSource(const std::string& text) {
  if (EqualsIgnoringCase(text, kAllSources)) return std::nullopt;
  std::string names;
  for (const auto& known : kSources) {
    if (EqualsIgnoringCase(text, known.name)) return known.source;
    names += fmt::format("{}, ", known.name);
  }
  throw UsageError(fmt::format("--source: '{}' is not a source; sources: {}{}", text, names, kAllSources));
}

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

// The numbers or names listed after the colon of an Info text ("Line(s): 2,
// 5" or "Field(s):CALC_INPUT, CALC_TARGET"), for scripts.
std::vector<std::string> ListedItems(const std::string& info) {
  std::vector<std::string> items;
  const std::size_t colon = info.find(':');
  if (colon == std::string::npos) return items;
  std::size_t start = colon + 1;
  while (start <= info.size()) {
    const std::size_t comma = std::min(info.find(',', start), info.size());
    std::string item = info.substr(start, comma - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    if (!item.empty()) items.push_back(std::move(item));
    start = comma + 1;
  }
  return items;
}

// A reference as JSON: its source, definition and description, and the
// lines (numbers) or fields it lists.
Json ReferenceJson(const ReferenceInfo& info) {
  Json json{{"source", SourceText(info.Source)}, {"definition", info.DefinitionRecord}, {"info", info.Info}};
  const std::vector<std::string> items = ListedItems(info.Info);
  if (info.Source == ReferenceSourceTypeEnum::RecordReference) {
    json["fields"] = items;
    return json;
  }
  constexpr std::size_t kMaxDigits = 18;  // fits an int64_t
  const bool numbers = std::all_of(items.begin(), items.end(), [](const std::string& item) {
    return item.size() <= kMaxDigits &&
           std::all_of(item.begin(), item.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
  });
  if (numbers) {
    Json lines = Json::array();
    for (const auto& item : items) lines.push_back(std::stoll(item));
    json["lines"] = std::move(lines);
  }
  return json;
}

contracts::TagReferences Search(const RefsArgs& args, contracts::IManagementService& management) {
  const Progress progress("searching references");
  return args.source ? management.FindReferencesBySource(args.names, *args.source)
                     : management.FindReferences(args.names);
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
  const contracts::TagReferences found = Search(args, context.Manage());
  const std::optional<std::string> unsearched = UnsearchedQueryFolder(args, context);
  Shown shown;
  shown.table.columns = {{"NAME"}, {"SOURCE"}, {"WHERE"}, {"DEFINITION"}, {"FOUND"}};
  shown.json = Json::object();
  std::size_t places = 0;
  for (const auto& name : args.names) {
    if (shown.json.contains(name)) continue;
    Json& byPlace = shown.json[name] = Json::object();
    const auto entry = found.find(name);
    if (entry == found.end() || entry->second.empty()) {
      shown.table.rows.push_back({name, "", "(nowhere)", "", ""});
      continue;
    }
    for (const auto& [place, info] : entry->second) {
      shown.table.rows.push_back({name, SourceText(info.Source), place, info.DefinitionRecord, info.Info});
      byPlace[place] = ReferenceJson(info);
      ++places;
    }
  }
  const std::string where = args.source ? " in " + SourceText(*args.source) : "";
  shown.caption = fmt::format("{} place{} found{}", places, places == 1 ? "" : "s", where);
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
