// Browsing the database's configuration through the management service:
// definitions, records (of a definition, by name pattern), fields (what a
// definition defines), selectors, maps, type and version. They change
// nothing.
#include <algorithm>

#include <fmt/format.h>

#include "cli/tool_services.h"
#include "cli/command.h"
#include "cli/field_resolver.h"
#include "cli/name_catalog.h"
#include "cli/name_pattern.h"
#include "cli/progress.h"
#include "cli/record_names.h"
#include "data/data_access.h"
#include "management/management.h"
#include "server/server_management.h"

namespace vantrel::cli {
namespace {

using contracts::FieldDefinition;
using contracts::FieldReferenceTypeEnum;
using contracts::TagTypeEnum;

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

// --- definitions ----------------------------------------------------------------------

struct NoArgs {};

void DeclareNothing(CLI::App&, NoArgs&) {}

ExitCode RunDefinitions(const NoArgs&, CommandContext& context) {
  contracts::IManagementService& management = context.Manage();
  const contracts::TagNames names = management.GetAllDefinitionTags();
  Shown shown;
  shown.table.columns = {{"DEFINITION"}, {"ID", true}, {"RECORDS", true}, {"FIELDS", true}};
  shown.json = Json::object();
  {
    Progress progress("counting records", static_cast<int64_t>(names.size()));
    for (const std::string& name : names) {
      const int32_t id = management.GetTagID(name);
      const std::size_t records = context.Access().RecordsOf(name, {}).size();
      const std::size_t fields = context.Access().GetFieldDefinitions(id)->size();
      shown.table.rows.push_back({name, std::to_string(id), std::to_string(records), std::to_string(fields)});
      shown.json[name] = Json{{"id", id}, {"records", records}, {"fields", fields}};
      progress.Advance();
    }
  }
  shown.caption = fmt::format("{} in the database", Plural(names.size(), "definition"));
  context.Out().Show(shown);
  return ExitCode::kDone;
}

// --- records --------------------------------------------------------------------------

struct RecordsArgs {
  std::string name;
  std::vector<std::string> patterns;
};

void DeclareRecords(CLI::App& app, RecordsArgs& args) {
  app.add_option("DEFINITION", args.name, "a definition record, or a record (the records of its definition)")
      ->required();
  app.add_option("--like", args.patterns,
                 "only names that match PATTERN: * any characters, ? one character, letters in any case; give it "
                 "again for more patterns")
      ->type_name("PATTERN")
      ->expected(1)
      ->allow_extra_args(false)  // one pattern per --like; the next word is the definition
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.callback([&args] {
    for (const auto& pattern : args.patterns) {
      if (pattern.empty()) throw UsageError("--like: the pattern is empty; '*' lists every record");
    }
  });
}

ExitCode RunRecords(const RecordsArgs& args, CommandContext& context) {
  contracts::IManagementService& management = context.Manage();
  RecordNames resolver(context.Access(), context.Catalog());
  const auto subject = resolver.Record(args.name);
  resolver.Require();
  const contracts::TagNames names = context.Access().RecordsOf(subject->name, args.patterns);
  contracts::TagIds ids;
  for (const std::string& name : names) ids.push_back(context.Access().GetRecordID(name));
  const contracts::UsableByTagId usable = management.AreTagsUsable(ids);
  Shown shown;
  shown.table.columns = {{"RECORD"}, {"ID", true}, {"USABLE"}};
  Json records = Json::object();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool isUsable = usable.at(ids[i]);
    shown.table.rows.push_back({names[i], std::to_string(ids[i]), YesNo(isUsable)});
    AppendDistinct(records, names[i], Json{{"id", ids[i]}, {"usable", isUsable}});  // names are unique
  }
  std::string patterns;
  for (const auto& pattern : args.patterns) patterns += (patterns.empty() ? "" : " or ") + pattern;
  const std::string counted = Plural(names.size(), "record");
  shown.caption = args.patterns.empty() ? fmt::format("{} has {}", Subject(*subject), counted)
                                        : fmt::format("{} has {} matching {}", Subject(*subject), counted, patterns);
  shown.json = Json{{"definition", subject->definition}, {"records", std::move(records)}};
  context.Out().Show(shown);
  return ExitCode::kDone;
}

// --- fields ---------------------------------------------------------------------------

struct FieldsArgs {
  std::string name;
};

void DeclareFields(CLI::App& app, FieldsArgs& args) {
  app.add_option("NAME", args.name, "a definition record, or a record (its definition's fields, its own selectors)")
      ->required();
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

Json SelectorJson(const contracts::Selectors& selectors) {
  Json json = Json::object();
  for (const auto& [number, name] : selectors) json[std::to_string(number)] = name;
  return json;
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

ExitCode RunFields(const FieldsArgs& args, CommandContext& context) {
  contracts::IManagementService& management = context.Manage();
  RecordNames resolver(context.Access(), context.Catalog());
  const auto subject = resolver.Record(args.name);
  resolver.Require();
  const auto fields = context.Access().GetFieldDefinitions(subject->definitionId);
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
  context.Out().Show(shown);
  return ExitCode::kDone;
}

// The old name of fields, kept for scripts.
ExitCode RunDefinition(const FieldsArgs& args, CommandContext& context) {
  const ExitCode code = RunFields(args, context);
  context.Out().Note(fmt::format("{}: 'definition' is now 'fields'", kProgram));
  return code;
}

// --- selectors ------------------------------------------------------------------------

struct SelectorsArgs {
  std::string record;
  std::vector<std::string> fields;
};

void DeclareSelectors(CLI::App& app, SelectorsArgs& args) {
  app.add_option("RECORD", args.record, "the record")->required();
  app.add_option("FIELD", args.fields, "selector fields of the record")->required();
}

ExitCode RunSelectors(const SelectorsArgs& args, CommandContext& context) {
  FieldResolver resolver(context.Access(), context.Catalog());
  const std::vector<ResolvedField> fields = resolver.Resolve({args.record}, args.fields);
  contracts::TagsById request;
  for (const ResolvedField& field : fields) request[field.recordId].push_back(field.definition.Number);
  const contracts::SelectorsByTagId answer = context.Manage().GetSelectors(request);
  Shown shown;
  shown.table.columns = {{"FIELD"}, {"NUMBER", true}, {"TEXT"}};
  Json& byField = shown.json[fields.front().record] = Json::object();
  std::string without;
  for (const ResolvedField& field : fields) {
    const contracts::Selectors* selectors = FieldEntry(answer, field.recordId, field.definition.Number);
    if (selectors == nullptr) {
      without += (without.empty() ? "" : ", ") + field.definition.Name;
      continue;
    }
    for (const auto& [number, text] : *selectors) {
      shown.table.rows.push_back({field.definition.Name, std::to_string(number), text});
    }
    byField[field.definition.Name] = SelectorJson(*selectors);
  }
  const std::string none = fmt::format("{} has no selector texts for {}", fields.front().record, without);
  if (shown.table.rows.empty()) throw NotFoundError(none);
  context.Out().Show(shown);
  if (without.empty()) return ExitCode::kDone;
  context.Out().Note(fmt::format("{}: {}", kProgram, none));
  return ExitCode::kPartlyDone;
}

// --- maps -----------------------------------------------------------------------------

struct MapsArgs {
  std::vector<std::string> names;
  bool defaultOnly = false;
};

void DeclareMaps(CLI::App& app, MapsArgs& args) {
  app.add_option("DEFINITION", args.names, "definition records (or records: their definitions)")->required();
  app.add_flag("--default", args.defaultOnly,
               "only the map record each definition uses: its default one, else its first one");
}

ExitCode RunMaps(const MapsArgs& args, CommandContext& context) {
  contracts::IManagementService& management = context.Manage();
  RecordNames resolver(context.Access(), context.Catalog());
  std::vector<NamedRecord> asked;
  for (const auto& name : args.names) {
    if (auto record = resolver.Record(name)) asked.push_back(std::move(*record));
  }
  resolver.Require();
  contracts::TagNames definitions;
  for (const NamedRecord& record : asked) definitions.push_back(record.definition);
  // The answer is keyed by the definitions as the map records spell them.
  const contracts::TagNamesByDefinitionTag answer =
      management.GetMapRecordsByDefinitionTags(definitions, args.defaultOnly);
  Shown shown;
  shown.table.columns = {{"DEFINITION"}, {"MAP RECORD"}};
  shown.json = Json::object();
  for (const NamedRecord& record : asked) {
    if (shown.json.contains(record.definition)) continue;
    contracts::TagNames maps;
    for (const auto& [definition, names] : answer) {
      if (context.Access().GetDefinitionRecordID(definition) == record.definitionId) maps = names;
    }
    if (maps.empty()) shown.table.rows.push_back({record.definition, "(none)"});
    for (const auto& map : maps) shown.table.rows.push_back({record.definition, map});
    if (args.defaultOnly) {
      shown.json[record.definition] = maps.empty() ? Json() : Json(maps.front());
    } else {
      shown.json[record.definition] = maps;
    }
  }
  context.Out().Show(shown);
  return ExitCode::kDone;
}

// --- type -----------------------------------------------------------------------------

struct TypeArgs {
  std::vector<std::string> names;
};

void DeclareType(CLI::App& app, TypeArgs& args) {
  app.add_option("NAME", args.names, "record or definition names")->required();
}

std::string TypeMeaning(TagTypeEnum type) {
  switch (type) {
    case TagTypeEnum::Definition: return "a definition record";
    case TagTypeEnum::WithMapRecord: return "a record whose definition has a map record";
    case TagTypeEnum::RecordKind3: return "a record of kind 3";
    case TagTypeEnum::RecordKind5: return "a record of kind 5";
    case TagTypeEnum::RecordKind19: return "an external task record (kind 19)";
    case TagTypeEnum::Other: return "a record of no kind the library tells apart";
  }
  return {};
}

ExitCode RunType(const TypeArgs& args, CommandContext& context) {
  contracts::IManagementService& management = context.Manage();
  RecordNames resolver(context.Access(), context.Catalog());
  std::vector<NamedRecord> records;
  for (const auto& name : args.names) {
    if (auto record = resolver.Record(name)) records.push_back(std::move(*record));
  }
  resolver.Require();
  Shown shown;
  shown.table.columns = {{"NAME"}, {"TYPE"}, {"MEANING"}};
  shown.json = Json::object();
  for (const NamedRecord& record : records) {
    const TagTypeEnum type = management.GetTagTypeByName(record.name);
    shown.table.rows.push_back({record.name, contracts::ToString(type), TypeMeaning(type)});
    shown.json[record.name] = contracts::ToString(type);
  }
  context.Out().Show(shown);
  return ExitCode::kDone;
}

// --- version --------------------------------------------------------------------------

ExitCode RunVersion(const NoArgs&, CommandContext& context) {
  const contracts::Version library = context.Manage().GetServerVersion();
  const std::string database = context.Server().GetVntEnvironmentVariable("VANTREL_VERSION");
  Shown shown;
  shown.table.columns = {{"PART"}, {"VERSION"}};
  shown.table.rows = {{std::string(kProgram), std::string(VNTACCESS_VERSION)}, {"library", library.ToString()}};
  if (!database.empty()) shown.table.rows.push_back({"database (VANTREL_VERSION)", database});
  shown.json = Json{{"tool", VNTACCESS_VERSION},
                    {"library", library.ToString()},
                    {"database", database.empty() ? Json() : Json(database)}};
  context.Out().Show(shown);
  return ExitCode::kDone;
}

// --- registrations ----------------------------------------------------------------------

const CommandRegistration kDefinitions({
    .name = "definitions",
    .summary = "every definition record, with its number of records and fields",
    .examples = {"definitions", "definitions --json | jq 'keys'"},
    .order = 30,
    .define = Define(DeclareNothing, RunDefinitions),
});

const CommandRegistration kRecords({
    .name = "records",
    .summary = "the records of a definition, or those whose names match a pattern",
    .description = "Each record with its id and whether it is usable, in the database's order. A pattern "
                   "(--like) matches whole names: * stands for any characters, ? for one, letters match in any "
                   "case; quote it so that the shell leaves it alone.",
    .examples = {"records VN_AnalogDef", "records VN_AnalogDef --like 'TI*'",
                 "records VN_DiscreteDef --like 'P10?' --like 'XV*' --csv"},
    .order = 31,
    .words = {WordKind::kDefinition},
    .define = Define(DeclareRecords, RunRecords),
});

const CommandRegistration kFields({
    .name = "fields",
    .summary = "the fields a definition defines",
    .description = "Each field with its tag, type, text length, reference kind, repeat area (and its count "
                   "field), what it keeps (quality, time, history), when it is read-only and a selector's texts. "
                   "Named by a record, the selectors are that record's own.",
    .examples = {"fields VN_AnalogDef", "fields P101 --json", "fields VN_DiscreteDef --csv"},
    .order = 32,
    .words = {WordKind::kDefinition},
    .define = Define(DeclareFields, RunFields),
});

const CommandRegistration kDefinition({
    .name = "definition",
    .summary = "the former name of fields",
    .examples = {"definition VN_AnalogDef"},
    .order = 32,
    .hidden = true,
    .words = {WordKind::kDefinition},
    .define = Define(DeclareFields, RunDefinition),
});

const CommandRegistration kSelectors({
    .name = "selectors",
    .summary = "the texts of a record's selector fields, by number",
    .examples = {"selectors P101 MODE", "selectors P101 MODE --json"},
    .order = 33,
    .words = {WordKind::kRecord, WordKind::kField},
    .define = Define(DeclareSelectors, RunSelectors),
});

const CommandRegistration kMaps({
    .name = "maps",
    .summary = "the map records of definitions",
    .examples = {"maps VN_AnalogDef VN_DiscreteDef", "maps VN_AnalogDef --default --json"},
    .order = 34,
    .words = {WordKind::kDefinition},
    .define = Define(DeclareMaps, RunMaps),
});

const CommandRegistration kType({
    .name = "type",
    .summary = "what kind of record a name names",
    .examples = {"type TI101 VN_AnalogDef VN_SequenceTask", "type BATCH_ID --json"},
    .order = 35,
    .words = {WordKind::kRecord},
    .define = Define(DeclareType, RunType),
});

const CommandRegistration kVersion({
    .name = "version",
    .summary = "the versions of vntaccess, the library and the database",
    .examples = {"version", "version --json"},
    .order = 36,
    .define = Define(DeclareNothing, RunVersion),
});

}  // namespace
}  // namespace vantrel::cli
