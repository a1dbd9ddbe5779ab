#include "views/refs_view.h"

#include <algorithm>
#include <array>
#include <cctype>

#include <fmt/format.h>

#include "views/errors.h"
#include "views/progress.h"
#include "views/text_compare.h"

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

}  // namespace

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

Shown RefsView(const RefsArgs& args, contracts::IManagementService& management) {
  const contracts::TagReferences found = Search(args, management);
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
  return shown;
}

}  // namespace vantrel::cli
