// Browsing the database's configuration through the management service:
// definitions, records (of a definition, by name pattern), fields (what a
// definition defines), selectors, maps, type and version. They change
// nothing.
#include <algorithm>

#include <fmt/format.h>

#include "views/tool_services.h"
#include "cli/command.h"
#include "views/field_resolver.h"
#include "views/name_catalog.h"
#include "views/name_pattern.h"
#include "views/progress.h"
#include "views/record_names.h"
#include "views/browse_views.h"
#include "data/data_access.h"
#include "management/management.h"
#include "server/server_management.h"

namespace vantrel::cli {
namespace {

using contracts::TagTypeEnum;

struct NoArgs {};

void DeclareNothing(CLI::App&, NoArgs&) {}

ExitCode RunDefinitions(const NoArgs&, CommandContext& context) {
  context.Out().Show(DefinitionsView(context));
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
  context.Out().Show(RecordsView(args.name, args.patterns, context));
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

ExitCode RunFields(const FieldsArgs& args, CommandContext& context) {
  context.Out().Show(FieldsView(args.name, context));
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
