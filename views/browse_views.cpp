#include "views/browse_views.h"

#include <algorithm>

#include <fmt/format.h>

#include "views/name_catalog.h"
#include "views/progress.h"
#include "views/record_names.h"
#include "views/tool_services.h"

namespace vantrel::cli {
namespace {

using contracts::FieldDefinition;
using contracts::FieldReferenceTypeEnum;

constexpr std::size_t kSelectorTextsShown = 8;

std::string Plural(std::size_t count, std::string_view word) {
  return fmt::format("{} {}{}", count, word, count == 1 ? "" : "s");
}

std::string YesNo(bool yes) { return yes ? "yes" : "no"; }

// The subject of a caption about a definition: "VN_AnalogDef", or "TI101 is
// a record of VN_AnalogDef, which".
std::string Subject(const NamedRecord& record) {
  return record.IsDefinition() ? record.name
                               : fmt::format("{} is a record of {}, which", record.name, record.definition);
}

std::string TagText(int32_t tag) { return fmt::format("0x{:08X}", static_cast<uint32_t>(tag)); }

// The name of the count field of a repeat area (its position in the list).
std::string CountFieldOf(const FieldDefinition& field, const contracts::FieldDefinitions& fields) {
  const auto position = static_cast<std::size_t>(field.RepeatArea - 1);
  return position < fields.size() ? fields[position].Name : fmt::format("#{}", field.RepeatArea);
}

// What a field refers to, in words.
std::string ReferenceText(const FieldDefinition& field) {
  constexpr int16_t kRecordIdLength = 4;
  switch (field.FieldReferenceType) {
    case FieldReferenceTypeEnum::None: return "";
    case FieldReferenceTypeEnum::Record: return field.Length == kRecordIdLength ? "record" : "record and field";
    case FieldReferenceTypeEnum::Flagged: return "flagged";
    case FieldReferenceTypeEnum::DataType5: return "type 5";
    case FieldReferenceTypeEnum::DataType6: return "type 6";
    case FieldReferenceTypeEnum::Selector: return "selector";
  }
  return contracts::ToString(field.FieldReferenceType);
}

std::string KeepsText(const FieldDefinition& field) {
  std::vector<std::string> kept;
  if (field.QualityField != 0) kept.emplace_back("quality");
  if (field.QualityField == 0 && field.TimestampField != 0) kept.emplace_back("time");
  if (field.HistoryPointer != 0) kept.emplace_back("history");
  std::string text;
  for (const auto& item : kept) text += (text.empty() ? "" : ", ") + item;
  return text;
}

std::string ReadOnlyText(const FieldDefinition& field) {
  if (field.ReadOnlyUsable && field.ReadOnlyUnusable) return "always";
  if (field.ReadOnlyUsable) return "while usable";
  if (field.ReadOnlyUnusable) return "while unusable";
  return "";
}

// "0=OFF 1=ON 2=AUTO", the first few of a long list and their number.
std::string SelectorSummary(const contracts::Selectors& selectors) {
  std::string text;
  std::size_t shown = 0;
  for (const auto& [number, name] : selectors) {
    if (shown++ == kSelectorTextsShown) return text + fmt::format(" ... ({} texts)", selectors.size());
    text += fmt::format("{}{}={}", text.empty() ? "" : " ", number, name);
  }
  return text;
}

// A field whose selector each record names for itself: the field that holds
// the record's selector record, or nothing.
const FieldDefinition* SelectorHolder(const FieldDefinition& field, const contracts::FieldDefinitions& fields) {
  if (!field.FormattedStrings.empty() || field.SelectorRecordId <= 0) return nullptr;
  const auto holder = std::find_if(fields.begin(), fields.end(),
                                   [&](const FieldDefinition& other) { return other.Id == field.SelectorRecordId; });
  return holder == fields.end() ? nullptr : &*holder;
}

// The selectors of a record's fields, its own ones included, by field tag.
contracts::SelectorsByIds RecordSelectors(const NamedRecord& record, const contracts::FieldDefinitions& fields,
                                          contracts::IManagementService& management) {
  contracts::TagsById request;
  for (const FieldDefinition& field : fields) {
    if (!field.FormattedStrings.empty() || field.SelectorRecordId > 0) request[record.id].push_back(field.Number);
  }
  if (request.empty()) return {};
  auto answer = management.GetSelectors(request);
  const auto found = answer.find(record.id);
  return found == answer.end() ? contracts::SelectorsByIds{} : found->second;
}

}  // namespace

Json SelectorJson(const contracts::Selectors& selectors) {
  Json json = Json::object();
  for (const auto& [number, name] : selectors) json[std::to_string(number)] = name;
  return json;
}

Shown DefinitionsView(ViewSources& sources) {
  contracts::IManagementService& management = sources.Manage();
  const contracts::TagNames names = management.GetAllDefinitionTags();
  Shown shown;
  shown.table.columns = {{"DEFINITION"}, {"ID", true}, {"RECORDS", true}, {"FIELDS", true}};
  shown.json = Json::object();
  {
    Progress progress("counting records", static_cast<int64_t>(names.size()));
    for (const std::string& name : names) {
      const int32_t id = management.GetTagID(name);
      const std::size_t records = sources.Access().RecordsOf(name, {}).size();
      const std::size_t fields = sources.Access().GetFieldDefinitions(id)->size();
      shown.table.rows.push_back({name, std::to_string(id), std::to_string(records), std::to_string(fields)});
      shown.json[name] = Json{{"id", id}, {"records", records}, {"fields", fields}};
      progress.Advance();
    }
  }
  shown.caption = fmt::format("{} in the database", Plural(names.size(), "definition"));
  return shown;
}

Shown RecordsView(const std::string& subjectName, const std::vector<std::string>& patterns, ViewSources& sources) {
  contracts::IManagementService& management = sources.Manage();
  RecordNames resolver(sources.Access(), sources.Catalog());
  const auto subject = resolver.Record(subjectName);
  resolver.Require();
  const contracts::TagNames names = sources.Access().RecordsOf(subject->name, patterns);
  contracts::TagIds ids;
  for (const std::string& name : names) ids.push_back(sources.Access().GetRecordID(name));
  const contracts::UsableByTagId usable = management.AreTagsUsable(ids);
  Shown shown;
  shown.table.columns = {{"RECORD"}, {"ID", true}, {"USABLE"}};
  Json records = Json::object();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool isUsable = usable.at(ids[i]);
    shown.table.rows.push_back({names[i], std::to_string(ids[i]), YesNo(isUsable)});
    AppendDistinct(records, names[i], Json{{"id", ids[i]}, {"usable", isUsable}});  // names are unique
  }
  std::string matching;
  for (const auto& pattern : patterns) matching += (matching.empty() ? "" : " or ") + pattern;
  const std::string counted = Plural(names.size(), "record");
  shown.caption = patterns.empty() ? fmt::format("{} has {}", Subject(*subject), counted)
                                   : fmt::format("{} has {} matching {}", Subject(*subject), counted, matching);
  shown.json = Json{{"definition", subject->definition}, {"records", std::move(records)}};
  return shown;
}

Shown FieldsView(const std::string& subjectName, ViewSources& sources) {
  contracts::IManagementService& management = sources.Manage();
  RecordNames resolver(sources.Access(), sources.Catalog());
  const auto subject = resolver.Record(subjectName);
  resolver.Require();
  const auto fields = sources.Access().GetFieldDefinitions(subject->definitionId);
  const contracts::SelectorsByIds own =
      subject->IsDefinition() ? contracts::SelectorsByIds{} : RecordSelectors(*subject, *fields, management);
  Shown shown;
  shown.table.columns = {{"FIELD"},  {"TAG"},   {"TYPE"},      {"LENGTH", true}, {"REFERENCE"},
                         {"REPEAT"}, {"KEEPS"}, {"READ-ONLY"}, {"SELECTOR"}};
  Json byName = Json::object();
  for (const FieldDefinition& field : *fields) {
    const auto ownSelectors = own.find(field.Number);
    const contracts::Selectors& selectors = ownSelectors != own.end() ? ownSelectors->second : field.FormattedStrings;
    const FieldDefinition* holder = SelectorHolder(field, *fields);
    std::string selectorText = SelectorSummary(selectors);
    if (selectorText.empty() && holder != nullptr) selectorText = fmt::format("each record's own, in {}", holder->Name);
    const std::string repeat = field.RepeatArea > 0 ? "count " + CountFieldOf(field, *fields) : "";
    const bool text = field.DataType == contracts::TypeCode::String;
    shown.table.rows.push_back({field.Name, TagText(field.Number), contracts::ToString(field.DataType),
                                text ? std::to_string(field.Length) : "", ReferenceText(field), repeat,
                                KeepsText(field), ReadOnlyText(field), selectorText});
    Json entry{{"tag", TagText(field.Number)},
               {"number", static_cast<uint32_t>(field.Number) >> 16},
               {"type", contracts::ToString(field.DataType)},
               {"reference", contracts::ToString(field.FieldReferenceType)},
               {"length", field.Length},
               {"quality", field.QualityField != 0},
               {"time", field.QualityField != 0 || field.TimestampField != 0},
               {"history", field.HistoryPointer != 0},
               {"repeatCount", field.RepeatArea > 0 ? Json(CountFieldOf(field, *fields)) : Json()},
               {"readOnlyUsable", field.ReadOnlyUsable},
               {"readOnlyUnusable", field.ReadOnlyUnusable},
               {"selector", SelectorJson(selectors)}};
    if (holder != nullptr) entry["selectorField"] = holder->Name;
    byName[field.Name] = std::move(entry);
  }
  shown.caption = fmt::format("{} defines {}", Subject(*subject), Plural(fields->size(), "field"));
  shown.json = Json{{"definition", subject->definition}, {"fields", std::move(byName)}};
  if (!subject->IsDefinition()) shown.json["record"] = subject->name;
  return shown;
}

}  // namespace vantrel::cli
