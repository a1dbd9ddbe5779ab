// Browsing the database's configuration: definition (the fields a
// definition record defines) and env (database environment variables).
#include <fmt/format.h>

#include "cli/command.h"
#include "cli/name_catalog.h"
#include "cli/suggest.h"
#include "data/data_access.h"

namespace vantrel::cli {
namespace {

using contracts::FieldDefinition;
using contracts::FieldReferenceTypeEnum;

// --- definition ---------------------------------------------------------------

struct DefinitionArgs {
  std::string name;
};

void DeclareDefinition(CLI::App& app, DefinitionArgs& args) {
  app.add_option("NAME", args.name, "a definition record, or any record (its definition is shown)")->required();
}

std::string TagText(int32_t tag) { return fmt::format("0x{:08X}", static_cast<uint32_t>(tag)); }

// The name of the count field of a repeat area (its position in the list).
std::string CountFieldOf(const FieldDefinition& field, const contracts::FieldDefinitions& fields) {
  const auto position = static_cast<std::size_t>(field.RepeatArea - 1);
  return position < fields.size() ? fields[position].Name : fmt::format("#{}", field.RepeatArea);
}

std::string Properties(const FieldDefinition& field, const contracts::FieldDefinitions& fields) {
  std::vector<std::string> properties;
  if (field.QualityField != 0) properties.emplace_back("quality");
  if (field.HistoryPointer != 0) properties.emplace_back("history");
  if (field.RepeatArea > 0) properties.push_back(fmt::format("repeated (count {})", CountFieldOf(field, fields)));
  if (field.ReadOnlyUsable) properties.emplace_back("read-only when usable");
  if (field.ReadOnlyUnusable) properties.emplace_back("read-only when unusable");
  std::string text;
  for (const auto& property : properties) text += (text.empty() ? "" : ", ") + property;
  return text;
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

std::string SelectorText(const contracts::Selectors& selectors) {
  std::string text;
  for (const auto& [number, name] : selectors) text += fmt::format("{}{}={}", text.empty() ? "" : " ", number, name);
  return text;
}

ExitCode RunDefinition(const DefinitionArgs& args, CommandContext& context) {
  access::DataAccess& access = context.Access();
  const int32_t recordId = access.GetRecordID(args.name);
  if (recordId <= 0) {
    throw NotFoundError(
        fmt::format("no record or definition {}{}", args.name, DidYouMean(args.name, context.Catalog().Records())));
  }
  const int32_t definitionId = access.GetDefinitionRecordID(args.name);
  const std::string definition = access.GetRecordName(definitionId);
  const auto fields = access.GetFieldDefinitions(definitionId);
  Shown shown;
  shown.table.columns = {{"FIELD"}, {"TAG"}, {"TYPE"}, {"REFERENCE"}, {"PROPERTIES"}, {"SELECTOR"}};
  Json byName = Json::object();
  for (const FieldDefinition& field : *fields) {
    shown.table.rows.push_back({field.Name, TagText(field.Number), contracts::ToString(field.DataType),
                                ReferenceText(field), Properties(field, *fields),
                                SelectorText(field.FormattedStrings)});
    Json selector = Json::object();
    for (const auto& [number, name] : field.FormattedStrings) selector[std::to_string(number)] = name;
    byName[field.Name] = Json{{"tag", TagText(field.Number)},
                              {"type", contracts::ToString(field.DataType)},
                              {"reference", contracts::ToString(field.FieldReferenceType)},
                              {"length", field.Length},
                              {"quality", field.QualityField != 0},
                              {"history", field.HistoryPointer != 0},
                              {"repeatCount", field.RepeatArea > 0 ? Json(CountFieldOf(field, *fields)) : Json()},
                              {"readOnlyUsable", field.ReadOnlyUsable},
                              {"readOnlyUnusable", field.ReadOnlyUnusable},
                              {"selector", std::move(selector)}};
  }
  const std::string count = fmt::format("{} field{}", fields->size(), fields->size() == 1 ? "" : "s");
  shown.caption = definitionId == recordId ? fmt::format("{} defines {}", definition, count)
                                           : fmt::format("{} is a record of {}, which defines {}",
                                                         access.GetRecordName(recordId), definition, count);
  shown.json = Json{{"definition", definition}, {"fields", std::move(byName)}};
  context.Out().Show(shown);
  return ExitCode::kDone;
}

// --- env --------------------------------------------------------------------------

struct EnvArgs {
  std::vector<std::string> names;
};

void DeclareEnv(CLI::App& app, EnvArgs& args) { app.add_option("NAME", args.names, "variable names")->required(); }

ExitCode RunEnv(const EnvArgs& args, CommandContext& context) {
  access::DataAccess& access = context.Access();
  Shown shown;
  shown.table.columns = {{"NAME"}, {"VALUE"}};
  shown.json = Json::object();
  std::string unset;
  for (const auto& name : args.names) {
    const std::string value = access.GetDorvikEnvironmentVariable(name);
    if (value.empty()) {
      unset += (unset.empty() ? "" : ", ") + name;
      continue;
    }
    shown.table.rows.push_back({name, value});
    shown.json[name] = value;
  }
  if (!unset.empty()) throw NotFoundError(fmt::format("the database has no environment variable {}", unset));
  context.Out().Show(shown);
  return ExitCode::kDone;
}

const CommandRegistration kDefinition({
    .name = "definition",
    .summary = "the fields a definition record defines",
    .description = "Each field with its tag, type, reference kind, properties (quality, history, repeat area "
                   "and its count field, write protection) and a selector's values.",
    .examples = {"definition VN_AnalogDef", "definition TI101 --json"},
    .order = 30,
    .words = {WordKind::kDefinition},
    .define = Define(DeclareDefinition, RunDefinition),
});

const CommandRegistration kEnv({
    .name = "env",
    .summary = "database environment variables",
    .examples = {"env DORVIK_GROUP_NAME VANTREL_VERSION", "env COMPRESS_SOURCE --json"},
    .order = 40,
    .optionValues = {{"NAME", {"DORVIK_GROUP_NAME", "DORVIK_GROUP_FOLDER_NAME", "VANTREL_VERSION", "COMPRESS_SOURCE"}}},
    .define = Define(DeclareEnv, RunEnv),
});

}  // namespace
}  // namespace vantrel::cli
