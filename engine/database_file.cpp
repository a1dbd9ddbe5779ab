#include "engine/database_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "engine/access.h"
#include "engine/database_plan.h"
#include "engine/values.h"

namespace dorvik {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kFormatName = "dorvik-database";
constexpr int kFormatVersion = 1;
constexpr std::string_view kTypeNames[] = {"pointer", "integer", "timestamp", "real",
                                           "character", "character5", "count"};

// Windows-1252 bytes 0x80-0x9F as code points (the five unassigned bytes
// map to the C1 controls of the same value).
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Database text (single-byte) to UTF-8 for the file.
std::string ToUtf8(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const char32_t code = byte < 0x80 ? byte : byte < 0xA0 ? kCp1252High[byte - 0x80] : byte;
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

// UTF-8 of the file to database text; false for a character the code page lacks.
bool FromUtf8(std::string_view text, std::string& out) {
  if (IsAscii(text)) {
    out.assign(text);
    return true;
  }
  out.clear();
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    char32_t code = lead;
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 0;
    if (length == 0 || i + length > text.size()) return false;
    if (length > 1) code = lead & (length == 2 ? 0x1F : 0x0F);
    for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
      out += static_cast<char>(code);
      continue;
    }
    const char32_t* match = std::find(std::begin(kCp1252High), std::end(kCp1252High), code);
    if (match == std::end(kCp1252High)) return false;
    out += static_cast<char>(0x80 + (match - std::begin(kCp1252High)));
  }
  return true;
}

// --- Reading ------------------------------------------------------------------------

// A JSON path built on the stack and turned into text only for an error.
class Path {
 public:
  Path() = default;
  Path(const Path& parent, std::string_view key) : parent_(&parent), key_(key) {}
  Path(const Path& parent, std::size_t index) : parent_(&parent), index_(index), isIndex_(true) {}

  std::string Text() const {
    if (parent_ == nullptr) return "";
    return parent_->Text() + "/" + (isIndex_ ? std::to_string(index_) : std::string(key_));
  }

 private:
  const Path* parent_ = nullptr;
  std::string_view key_;
  std::size_t index_ = 0;
  bool isIndex_ = false;
};

class Reader {
 public:
  explicit Reader(std::string_view origin) : origin_(origin) {}
  const std::string& Origin() const { return origin_; }

  [[noreturn]] void Fail(const Path& path, std::string_view what) const {
    const std::string text = path.Text();
    throw DatabaseError(fmt::format("{}: {}: {}", origin_, text.empty() ? "/" : text, what));
  }

  void ExpectObject(const Json& node, const Path& path, std::initializer_list<std::string_view> keys) const {
    if (!node.is_object()) Fail(path, "expected an object");
    for (const auto& [key, value] : node.items()) {
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) Fail(Path(path, key), "unknown key");
    }
  }

  const Json& ArrayAt(const Json& node, std::string_view key, const Path& path) const {
    static const Json kEmpty = Json::array();
    auto it = node.find(key);
    if (it == node.end()) return kEmpty;
    if (!it->is_array()) Fail(Path(path, key), "expected an array");
    return *it;
  }

  std::string Text(const Json& node, const Path& path) const {
    if (!node.is_string()) Fail(path, "expected a text");
    return Text(node.get_ref<const std::string&>(), path);
  }

  std::string Text(const std::string& utf8, const Path& path) const {
    std::string out;
    if (!FromUtf8(utf8, out)) Fail(path, "the text has a character the code page lacks");
    return out;
  }

  std::string TextAt(const Json& node, std::string_view key, const Path& path, bool required) const {
    auto it = node.find(key);
    if (it == node.end()) {
      if (required) Fail(Path(path, key), "missing");
      return {};
    }
    return Text(*it, Path(path, key));
  }

  int64_t Integer(const Json& node, const Path& path, int64_t min, int64_t max) const {
    if (!node.is_number_integer()) Fail(path, "expected an integer");
    const bool tooLarge = node.is_number_unsigned() && node.get<uint64_t>() > static_cast<uint64_t>(max);
    const auto value = tooLarge ? max : node.get<int64_t>();
    if (tooLarge || value < min || value > max) Fail(path, fmt::format("out of range {} to {}", min, max));
    return value;
  }

  template <typename T>
  T IntegerAt(const Json& node, std::string_view key, const Path& path, T fallback,
              int64_t min = std::numeric_limits<T>::min(), int64_t max = std::numeric_limits<T>::max()) const {
    auto it = node.find(key);
    if (it == node.end()) return fallback;
    return static_cast<T>(Integer(*it, Path(path, key), min, max));
  }

  bool BoolAt(const Json& node, std::string_view key, const Path& path, bool fallback) const {
    auto it = node.find(key);
    if (it == node.end()) return fallback;
    if (!it->is_boolean()) Fail(Path(path, key), "expected true or false");
    return it->get<bool>();
  }

  Timestamp Time(const Json& node, const Path& path) const {
    Micros time = 0;
    if (!node.is_string() || !ParseTime(node.get_ref<const std::string&>(), time)) {
      Fail(path, "expected a time like \"2024-03-07T09:05:01Z\"");
    }
    return Timestamp{time};
  }

  // A plain value: null, bool, number, text, or a pointer object.
  Value PlainValue(const Json& node, const Path& path) const {
    switch (node.type()) {
      case Json::value_t::null: return Value();
      case Json::value_t::boolean: return Value(node.get<bool>() ? 1 : 0);
      case Json::value_t::number_integer:
      case Json::value_t::number_unsigned:
        return Value(Integer(node, path, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()));
      case Json::value_t::number_float: return Value(node.get<double>());
      case Json::value_t::string: return Value(Text(node, path));
      case Json::value_t::object: return Link(node, path);
      default: Fail(path, "expected a value");
    }
  }

  Value Link(const Json& node, const Path& path) const {
    ExpectObject(node, path, {"record", "field", "occurrence"});
    auto record = node.find("record");
    if (record == node.end()) Fail(Path(path, "record"), "missing");
    RecordLink link;
    if (record->is_string()) {
      link.name = Text(*record, Path(path, "record"));
    } else {
      link.id = static_cast<int32_t>(Integer(*record, Path(path, "record"), 0, kMaxRecordId));
    }
    if (node.find("field") == node.end()) return Value(std::move(link));
    FieldLink field{std::move(link), TextAt(node, "field", path, true),
                    IntegerAt<int32_t>(node, "occurrence", path, 0, 0, kMaxOccurrences)};
    return Value(std::move(field));
  }

  Sample ReadSample(const Json& node, const Path& path) const {
    if (!node.is_object() || node.contains("record")) return Sample(PlainValue(node, path));
    ExpectObject(node, path, {"value", "status", "level", "time"});
    Sample sample;
    if (auto it = node.find("value"); it != node.end()) sample.value = PlainValue(*it, Path(path, "value"));
    sample.status = IntegerAt<int16_t>(node, "status", path, 0);
    sample.level = IntegerAt<int16_t>(node, "level", path, 0);
    if (auto it = node.find("time"); it != node.end()) sample.time = Time(*it, Path(path, "time"));
    return sample;
  }

 private:
  std::string origin_;
};

const Path kRoot;

int16_t TypeCode(const Reader& reader, const Json& node, const Path& path) {
  if (node.is_string()) {
    for (std::size_t i = 0; i < std::size(kTypeNames); ++i) {
      if (node.get_ref<const std::string&>() == kTypeNames[i]) return static_cast<int16_t>(i);
    }
    reader.Fail(path, "unknown type name");
  }
  return static_cast<int16_t>(reader.Integer(node, path, 0, 6));
}

FieldSpec ReadFieldSpec(const Reader& reader, const Json& node, const Path& path) {
  reader.ExpectObject(node, path, {"name", "type", "length", "repeatArea", "quality", "timestamp", "history", "archived",
                                   "selector", "writeProtection", "operatorChange", "operatorStrict", "activates"});
  auto type = node.find("type");
  if (type == node.end()) reader.Fail(Path(path, "type"), "missing");
  FieldSpec field = FieldSpec::Raw(reader.TextAt(node, "name", path, true), TypeCode(reader, *type, Path(path, "type")), 0);
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
    field.activates = FieldSpec::Activation{reader.TextAt(*it, "task", at, true), reader.IntegerAt<int16_t>(*it, "priority", at, 0),
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

void ReadRecord(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan) {
  reader.ExpectObject(node, path, {"id", "name", "definition", "usable", "values"});
  RecordPlan record;
  record.where = path.Text();
  record.id = reader.IntegerAt<int32_t>(node, "id", path, 0, 0, kMaxRecordId);
  record.name = reader.TextAt(node, "name", path, true);
  record.definition = reader.TextAt(node, "definition", path, true);
  record.usable = reader.BoolAt(node, "usable", path, true);
  if (auto values = node.find("values"); values != node.end()) {
    const Path valuesPath(path, "values");
    if (!values->is_object()) reader.Fail(valuesPath, "expected an object");
    record.values.reserve(values->size());
    for (const auto& [key, value] : values->items()) {
      const Path valuePath(valuesPath, key);
      ValuePlan entry{reader.Text(key, valuePath), value.is_array(), {}};
      if (value.is_array()) {
        entry.samples.reserve(value.size());
        for (std::size_t k = 0; k < value.size(); ++k) entry.samples.push_back(reader.ReadSample(value[k], Path(valuePath, k)));
      } else {
        entry.samples.push_back(reader.ReadSample(value, valuePath));
      }
      record.values.push_back(std::move(entry));
    }
  }
  plan.records.push_back(std::move(record));
}

void ReadHistoryEntry(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan) {
  reader.ExpectObject(node, path, {"record", "field", "samples"});
  const Path samplesPath(path, "samples");
  HistoryPlan history{reader.TextAt(node, "record", path, true), reader.TextAt(node, "field", path, true), {},
                      samplesPath.Text()};
  const Json& samples = reader.ArrayAt(node, "samples", path);
  history.points.reserve(samples.size());
  for (std::size_t k = 0; k < samples.size(); ++k) {
    const Path at(samplesPath, k);
    const Json& sample = samples[k];
    if (!sample.is_array() || sample.size() < 2 || sample.size() > 3) reader.Fail(at, "expected [time, value] or [time, value, level]");
    HistoryPoint point{reader.Time(sample[0], Path(at, 0)), reader.PlainValue(sample[1], Path(at, 1)), 0};
    if (sample.size() == 3) point.level = static_cast<int16_t>(reader.Integer(sample[2], Path(at, 2), INT16_MIN, INT16_MAX));
    history.points.push_back(std::move(point));
  }
  plan.history.push_back(std::move(history));
}

void ReadSettings(const Reader& reader, const Json& root, DatabasePlan& plan) {
  plan.systemAccount = reader.TextAt(root, "systemAccount", kRoot, false);
  const Path environmentPath(kRoot, "environment");
  const Json& environment = reader.ArrayAt(root, "environment", kRoot);
  for (std::size_t i = 0; i < environment.size(); ++i) {
    const Path path(environmentPath, i);
    reader.ExpectObject(environment[i], path, {"name", "value", "folder"});
    plan.environment.push_back(EnvironmentPlan{reader.TextAt(environment[i], "name", path, true),
                                               reader.TextAt(environment[i], "value", path, true),
                                               reader.BoolAt(environment[i], "folder", path, false), path.Text()});
  }
  const Path fieldsPath(kRoot, "fields");
  const Json& fields = reader.ArrayAt(root, "fields", kRoot);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const Path path(fieldsPath, i);
    reader.ExpectObject(fields[i], path, {"name", "number", "id"});
    plan.fields.push_back(GlobalFieldPlan{reader.TextAt(fields[i], "name", path, true),
                                          reader.IntegerAt<int32_t>(fields[i], "number", path, 0, 0, kMaxUserFieldNumber),
                                          reader.IntegerAt<int32_t>(fields[i], "id", path, 0, 0, kMaxRecordId), path.Text()});
  }
  const Path selectorsPath(kRoot, "selectors");
  const Json& selectors = reader.ArrayAt(root, "selectors", kRoot);
  for (std::size_t i = 0; i < selectors.size(); ++i) {
    const Path path(selectorsPath, i);
    const Json& node = selectors[i];
    reader.ExpectObject(node, path, {"id", "name", "first", "width", "texts"});
    SelectorPlan selector{reader.IntegerAt<int32_t>(node, "id", path, 0, 0, kMaxRecordId), reader.TextAt(node, "name", path, true),
                          reader.IntegerAt<int16_t>(node, "first", path, 0), reader.IntegerAt<int16_t>(node, "width", path, 0),
                          {}, path.Text()};
    const Path textsPath(path, "texts");
    const Json& texts = reader.ArrayAt(node, "texts", path);
    for (std::size_t k = 0; k < texts.size(); ++k) selector.texts.push_back(reader.Text(texts[k], Path(textsPath, k)));
    plan.selectors.push_back(std::move(selector));
  }
  const Path grantsPath(kRoot, "grants");
  const Json& grants = reader.ArrayAt(root, "grants", kRoot);
  for (std::size_t i = 0; i < grants.size(); ++i) {
    const Path path(grantsPath, i);
    reader.ExpectObject(grants[i], path, {"account", "target", "level"});
    plan.grants.push_back(GrantPlan{reader.TextAt(grants[i], "account", path, true), reader.TextAt(grants[i], "target", path, true),
                                    reader.IntegerAt<int16_t>(grants[i], "level", path, 2, 1, 3), path.Text()});
  }
  const Path definitionsPath(kRoot, "definitions");
  const Json& definitions = reader.ArrayAt(root, "definitions", kRoot);
  for (std::size_t i = 0; i < definitions.size(); ++i) ReadDefinition(reader, definitions[i], Path(definitionsPath, i), plan);
}

// Parses the text into plan. Records and history entries, the bulk of a
// file, go into the plan as soon as each is parsed and are dropped from the
// JSON tree, so the tree never holds more than one of them.
void ParseInto(std::string_view text, const Reader& reader, DatabasePlan& plan) {
  std::string section;
  std::size_t index = 0;
  const Path recordsPath(kRoot, "records"), historyPath(kRoot, "history");
  auto streamed = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (depth == 1 && event == Json::parse_event_t::key) {
      section = parsed.get<std::string>();
      index = 0;
    } else if (depth == 2 && event == Json::parse_event_t::object_end && section == "records") {
      ReadRecord(reader, parsed, Path(recordsPath, index++), plan);
      return false;
    } else if (depth == 2 && event == Json::parse_event_t::object_end && section == "history") {
      ReadHistoryEntry(reader, parsed, Path(historyPath, index++), plan);
      return false;
    } else if (depth == 2 && (event == Json::parse_event_t::value || event == Json::parse_event_t::array_end) &&
               (section == "records" || section == "history")) {
      reader.Fail(Path(section == "records" ? recordsPath : historyPath, index), "expected an object");
    }
    return true;
  };
  Json root;
  try {
    root = Json::parse(text.begin(), text.end(), streamed);
  } catch (const Json::parse_error& error) {
    throw DatabaseError(fmt::format("{}: not valid JSON: {}", reader.Origin(), error.what()));
  }
  reader.ExpectObject(root, kRoot, {"format", "version", "systemAccount", "environment", "fields", "selectors",
                                    "definitions", "records", "history", "grants"});
  if (reader.TextAt(root, "format", kRoot, true) != kFormatName) reader.Fail(Path(kRoot, "format"), "expected \"dorvik-database\"");
  if (reader.IntegerAt<int32_t>(root, "version", kRoot, 0) != kFormatVersion) {
    reader.Fail(Path(kRoot, "version"), "only version 1 is known");
  }
  for (std::string_view streamedKey : {"records", "history"}) {
    if (auto it = root.find(streamedKey); it != root.end() && !it->is_array()) reader.Fail(Path(kRoot, streamedKey), "expected an array");
  }
  ReadSettings(reader, root, plan);
}

// --- Writing ------------------------------------------------------------------------------

std::string TimeText(Micros time) {
  char text[kTimeTextSize];
  return std::string(text, FormatTime(time, text));
}

Json RealJson(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  return value;
}

Json PointerJson(const Database& database, const FieldDef& field, int64_t id, int32_t pointerField) {
  if (id == 0) return nullptr;
  const Record* target = database.FindRecord(static_cast<int32_t>(id));
  Json record = target != nullptr ? Json(ToUtf8(target->name)) : Json(id);
  if (field.lengthWord == kRecordIdPointerLength) return record;
  Json link = {{"record", record}};
  if (pointerField != 0) {
    const GlobalField* global = database.FindField(dorvik::api::FieldNumberOf(pointerField));
    link["field"] = global != nullptr ? ToUtf8(global->name) : std::to_string(pointerField);
    if (const int32_t occurrence = dorvik::api::OccurrenceOf(pointerField); occurrence != 0) link["occurrence"] = occurrence;
  }
  return link;
}

Json PlainJson(const Database& database, const FieldDef& field, const Slot& slot) {
  switch (field.dataType) {
    case kTypePointer: return PointerJson(database, field, slot.number, slot.pointerField);
    case kTypeTimestamp: return TimeText(slot.number);
    case kTypeReal: return RealJson(slot.real);
    case kTypeCharacter:
    case kTypeCharacter5: return ToUtf8(slot.text);
    default: return slot.number;
  }
}

bool IsDefault(const Slot& slot) {
  return slot.number == 0 && slot.real == 0 && !std::signbit(slot.real) && slot.text.empty() &&
         slot.pointerField == 0 && slot.status == 0 && slot.level == 0 && slot.time == 0;
}

Json SlotJson(const Database& database, const FieldDef& field, const Slot& slot) {
  Json value = PlainJson(database, field, slot);
  if (slot.status == 0 && slot.level == 0 && slot.time == 0) return value;
  Json sample = {{"value", std::move(value)}};
  if (slot.status != 0) sample["status"] = slot.status;
  if (slot.level != 0) sample["level"] = slot.level;
  if (slot.time != 0) sample["time"] = TimeText(slot.time);
  return sample;
}

Json FieldSpecJson(const Database& database, const Definition& definition, const FieldDef& field) {
  Json node = {{"name", ToUtf8(database.FindField(field.number)->name)},
               {"type", kTypeNames[field.dataType]},
               {"length", field.lengthWord}};
  if (field.repeatArea != 0) {
    const FieldDef& count = definition.fields[static_cast<std::size_t>(field.repeatArea - 1)];
    node["repeatArea"] = ToUtf8(database.FindField(count.number)->name);
  }
  if (field.qualityField != 0) node["quality"] = field.qualityField;
  if (field.timestampField != 0) node["timestamp"] = field.timestampField;
  if (field.historyPointer != 0) node["history"] = field.historyPointer;
  if (field.archived) node["archived"] = true;
  if (field.selectorId != 0) node["selector"] = ToUtf8(database.FindRecord(field.selectorId)->name);
  if (field.writeProtection != 3) node["writeProtection"] = field.writeProtection;
  if (!field.operatorChange) node["operatorChange"] = false;
  if (field.operatorStrict) node["operatorStrict"] = true;
  if (field.activates.has_value()) {
    node["activates"] = {{"task", ToUtf8(database.FindRecord(field.activates->taskId)->name)},
                         {"priority", field.activates->priority},
                         {"code", field.activates->code},
                         {"tail", field.activates->tail}};
  }
  return node;
}

Json RecordJson(const Database& database, const Record& record) {
  const Definition& definition = *record.definition;
  Json values = Json::object();
  for (std::size_t i = 0; i < definition.fields.size(); ++i) {
    const FieldDef& field = definition.fields[i];
    const std::string name = ToUtf8(database.FindField(field.number)->name);
    if (field.IsRepeated()) {
      const auto& area = record.occurrences[static_cast<std::size_t>(field.repeatSlot)];
      if (area.empty()) continue;
      Json list = Json::array();
      for (const Slot& slot : area) list.push_back(SlotJson(database, field, slot));
      values[name] = std::move(list);
    } else if (!IsDefault(record.slots[i])) {
      values[name] = SlotJson(database, field, record.slots[i]);
    }
  }
  Json node = {{"id", record.id},
               {"name", ToUtf8(record.name)},
               {"definition", ToUtf8(database.FindRecord(record.definitionId)->name)},
               {"usable", record.usable}};
  if (!values.empty()) node["values"] = std::move(values);
  return node;
}

Json HistoryJson(const Database& database) {
  std::vector<uint64_t> keys;
  for (const auto& [key, series] : database.AllHistory()) {
    if (series.size() != 0) keys.push_back(key);
  }
  std::sort(keys.begin(), keys.end());
  Json list = Json::array();
  for (uint64_t key : keys) {
    const auto id = static_cast<int32_t>(key >> 32);
    const auto tag = static_cast<int32_t>(static_cast<uint32_t>(key));
    const Record& record = *database.FindRecord(id);
    const FieldDef& field = record.definition->fields[static_cast<std::size_t>(
        record.definition->Find(dorvik::api::FieldNumberOf(tag)))];
    const HistorySeries& series = *database.FindHistory(id, tag);
    std::string fieldName = ToUtf8(database.FindField(field.number)->name);
    if (const int32_t occurrence = dorvik::api::OccurrenceOf(tag); occurrence != 0) {
      fieldName = fmt::format("{} {}", occurrence, fieldName);
    }
    Json samples = Json::array();
    for (std::size_t i = 0; i < series.size(); ++i) {
      Slot slot;
      if (field.dataType == kTypeReal) slot.real = series.reals[i];
      else if (field.dataType == kTypeCharacter || field.dataType == kTypeCharacter5) slot.text = series.texts[i];
      else slot.number = series.numbers[i];
      Json sample = Json::array({TimeText(series.times[i]), PlainJson(database, field, slot)});
      if (series.levels[i] != 0) sample.push_back(series.levels[i]);
      samples.push_back(std::move(sample));
    }
    list.push_back({{"record", ToUtf8(record.name)}, {"field", fieldName}, {"samples", std::move(samples)}});
  }
  return list;
}

Json CatalogJson(const Database& database, Json& root) {
  Json fields = Json::array(), selectors = Json::array(), definitions = Json::array();
  for (const auto& [number, field] : database.Fields()) {
    if ((number & dorvik::api::kSystemFieldBit) != 0) continue;
    fields.push_back({{"name", ToUtf8(field.name)}, {"number", number}, {"id", field.descriptionId}});
  }
  Json records = Json::array();
  database.ForEachRecord([&](const Record& record) {
    if (record.id < kFirstUserId) return;
    if (const SelectorData* selector = database.FindSelector(record.id)) {
      Json texts = Json::array();
      for (const std::string& text : selector->texts) texts.push_back(ToUtf8(text));
      selectors.push_back({{"id", record.id}, {"name", ToUtf8(record.name)}, {"first", selector->first},
                           {"width", selector->width}, {"texts", std::move(texts)}});
    } else if (const Definition* definition = database.FindDefinition(record.id)) {
      Json list = Json::array();
      for (const FieldDef& field : definition->fields) list.push_back(FieldSpecJson(database, *definition, field));
      Json node = {{"id", record.id}, {"name", ToUtf8(record.name)}};
      if (definition->flags != 0) node["flags"] = definition->flags;
      if (!definition->kinds.empty()) node["kinds"] = definition->kinds;
      node["fields"] = std::move(list);
      definitions.push_back(std::move(node));
    } else if (!record.definition->system) {
      records.push_back(RecordJson(database, record));
    }
  });
  root["fields"] = std::move(fields);
  root["selectors"] = std::move(selectors);
  root["definitions"] = std::move(definitions);
  return records;
}

void WriteAll(int fd, const std::string& text, const std::string& path) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) throw DatabaseError(fmt::format("{}: cannot write: {}", path, std::strerror(errno)));
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace

std::unique_ptr<Database> ParseDatabase(std::string_view text, std::string_view origin) {
  DatabasePlan plan;
  ParseInto(text, Reader(origin), plan);
  return BuildDatabase(plan, origin);
}

std::unique_ptr<Database> LoadDatabaseFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) throw DatabaseError(fmt::format("{}: cannot open the database file", path));
  std::string content(static_cast<std::size_t>(file.tellg()), '\0');
  file.seekg(0);
  if (!file.read(content.data(), static_cast<std::streamsize>(content.size()))) {
    throw DatabaseError(fmt::format("{}: cannot read the database file", path));
  }
  std::unique_ptr<Database> database = ParseDatabase(content, path);
  const std::filesystem::path absolute = std::filesystem::absolute(path);
  database->path = absolute.string();
  database->folder = absolute.parent_path().string();
  return database;
}

std::string SerializeDatabase(const Database& database) {
  Json root = {{"format", kFormatName}, {"version", kFormatVersion}, {"systemAccount", ToUtf8(database.systemAccount)}};
  Json environment = Json::array();
  for (const EnvironmentEntry& entry : database.environment) {
    Json node = {{"name", ToUtf8(entry.name)}, {"value", ToUtf8(entry.value)}};
    if (entry.folder) node["folder"] = true;
    environment.push_back(std::move(node));
  }
  root["environment"] = std::move(environment);
  Json records = CatalogJson(database, root);
  root["records"] = std::move(records);
  root["history"] = HistoryJson(database);
  Json grants = Json::array();
  for (const Grant& grant : database.grants) {
    grants.push_back({{"account", ToUtf8(grant.account)}, {"target", ToUtf8(database.FindRecord(grant.targetId)->name)},
                      {"level", grant.level}});
  }
  root["grants"] = std::move(grants);
  return root.dump(1) + "\n";
}

void SaveDatabaseFile(const Database& database, const std::string& path) {
  const std::string text = SerializeDatabase(database);
  const std::filesystem::path target(path);
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string temporary = (folder / (target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) throw DatabaseError(fmt::format("{}: cannot create a temporary file: {}", path, std::strerror(errno)));
  try {
    struct stat existing{};
    ::fchmod(fd, ::stat(path.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0644);
    WriteAll(fd, text, path);
    if (::fsync(fd) != 0) throw DatabaseError(fmt::format("{}: cannot flush: {}", path, std::strerror(errno)));
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw DatabaseError(fmt::format("{}: cannot replace the file: {}", path, std::strerror(error)));
  }
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
}

}  // namespace dorvik
