#include "engine/json/json_reader.h"

namespace dorvik {
namespace {

int16_t TypeCode(const Reader& reader, const Json& node, const Path& path) {
  if (node.is_string()) {
    for (std::size_t i = 0; i < std::size(kTypeNames); ++i) {
      if (node.get_ref<const std::string&>() == kTypeNames[i]) return static_cast<int16_t>(i);
    }
    reader.Fail(path, "unknown type name");
  }
  return static_cast<int16_t>(reader.Integer(node, path, 0, 6));
}

}  // namespace

FieldSpec ReadFieldSpec(const Reader& reader, const Json& node, const Path& path) {
  reader.ExpectObject(node, path,
                      {"name", "type", "length", "repeatArea", "quality", "timestamp", "history", "archived",
                       "selector", "writeProtection", "operatorChange", "operatorStrict", "activates"});
  auto type = node.find("type");
  if (type == node.end()) reader.Fail(Path(path, "type"), "missing");
  FieldSpec field =
      FieldSpec::Raw(reader.TextAt(node, "name", path, true), TypeCode(reader, *type, Path(path, "type")), 0);
  field.lengthWord = reader.IntegerAt<int16_t>(node, "length", path, 0);
  field.repeatCountField = reader.TextAt(node, "repeatArea", path, false);
  field.qualityField = reader.IntegerAt<int16_t>(node, "quality", path, 0);
  field.timestampField = reader.IntegerAt<int16_t>(node, "timestamp", path, 0);
  field.historyPointer = reader.IntegerAt<int16_t>(node, "history", path, 0);
  field.archived = reader.BoolAt(node, "archived", path, false);
  field.selector = reader.TextAt(node, "selector", path, false);
  field.writeProtection = reader.IntegerAt<int16_t>(node, "writeProtection", path, 3, 0, 3);
  field.operatorChange = reader.BoolAt(node, "operatorChange", path, true);
  field.operatorStrict = reader.BoolAt(node, "operatorStrict", path, false);
  if (auto it = node.find("activates"); it != node.end()) {
    const Path at(path, "activates");
    reader.ExpectObject(*it, at, {"task", "priority", "code", "tail"});
    field.activates = FieldSpec::Activation{
        reader.TextAt(*it, "task", at, true), reader.IntegerAt<int16_t>(*it, "priority", at, 0),
        reader.IntegerAt<int16_t>(*it, "code", at, 0), reader.IntegerAt<int8_t>(*it, "tail", at, 0)};
  }
  return field;
}

void ReadDefinition(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan) {
  reader.ExpectObject(node, path, {"id", "name", "flags", "kinds", "fields"});
  DefinitionPlan definition;
  definition.where = path.Text();
  definition.id = reader.IntegerAt<int32_t>(node, "id", path, 0, 0, kMaxRecordId);
  definition.name = reader.TextAt(node, "name", path, true);
  definition.flags = reader.IntegerAt<int16_t>(node, "flags", path, 0);
  const Path kindsPath(path, "kinds");
  const Json& kinds = reader.ArrayAt(node, "kinds", path);
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    definition.kinds.push_back(static_cast<int32_t>(reader.Integer(kinds[k], Path(kindsPath, k), -19, -3)));
  }
  const Path fieldsPath(path, "fields");
  const Json& fields = reader.ArrayAt(node, "fields", path);
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const Path fieldPath(fieldsPath, k);
    definition.fields.push_back(ReadFieldSpec(reader, fields[k], fieldPath));
    definition.fieldWhere.push_back(fieldPath.Text());
  }
  plan.definitions.push_back(std::move(definition));
}

HistoryPoint ReadSample(const Reader& reader, const Json& sample, const Path& at) {
  if (!sample.is_array()) reader.Fail(at, "expected [time, value] or [time, value, level]");
  return ReadSampleItems(reader, std::span<const Json>(sample.get_ref<const Json::array_t&>()), at);
}

HistoryPoint ReadSampleItems(const Reader& reader, std::span<const Json> items, const Path& at) {
  if (items.size() < 2 || items.size() > 3) reader.Fail(at, "expected [time, value] or [time, value, level]");
  HistoryPoint point{reader.Time(items[0], Path(at, 0)), reader.PlainValue(items[1], Path(at, 1)), 0};
  if (items.size() == 3)
    point.level = static_cast<int16_t>(reader.Integer(items[2], Path(at, 2), INT16_MIN, INT16_MAX));
  return point;
}

void ReadEnvironment(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan) {
  reader.ExpectObject(node, path, {"name", "value", "folder"});
  plan.environment.push_back(EnvironmentPlan{reader.TextAt(node, "name", path, true),
                                             reader.TextAt(node, "value", path, true),
                                             reader.BoolAt(node, "folder", path, false), path.Text()});
}

void ReadField(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan) {
  reader.ExpectObject(node, path, {"name", "number", "id"});
  plan.fields.push_back(GlobalFieldPlan{reader.TextAt(node, "name", path, true),
                                        reader.IntegerAt<int32_t>(node, "number", path, 0, 0, kMaxUserFieldNumber),
                                        reader.IntegerAt<int32_t>(node, "id", path, 0, 0, kMaxRecordId), path.Text()});
}

void ReadSelector(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan) {
  reader.ExpectObject(node, path, {"id", "name", "first", "width", "texts"});
  SelectorPlan selector{reader.IntegerAt<int32_t>(node, "id", path, 0, 0, kMaxRecordId),
                        reader.TextAt(node, "name", path, true),
                        reader.IntegerAt<int16_t>(node, "first", path, 0),
                        reader.IntegerAt<int16_t>(node, "width", path, 0),
                        {},
                        path.Text()};
  const Path textsPath(path, "texts");
  const Json& texts = reader.ArrayAt(node, "texts", path);
  for (std::size_t k = 0; k < texts.size(); ++k) selector.texts.push_back(reader.Text(texts[k], Path(textsPath, k)));
  plan.selectors.push_back(std::move(selector));
}

void ReadGrant(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan) {
  reader.ExpectObject(node, path, {"account", "target", "level"});
  plan.grants.push_back(GrantPlan{reader.TextAt(node, "account", path, true), reader.TextAt(node, "target", path, true),
                                  reader.IntegerAt<int16_t>(node, "level", path, 2, 1, 3), path.Text()});
}

}  // namespace dorvik
