#include "cli/commands.h"

#include <algorithm>
#include <charconv>
#include <iomanip>
#include <map>
#include <stdexcept>

#include <fmt/format.h>

#include "api/records.h"
#include "cli/store_commands.h"
#include "contracts/json.h"
#include "data/data_access.h"
#include "data/value_conversion.h"
#include "platform/time_zone.h"

namespace vantrel::cli {
namespace {

using access::DataAccess;
using contracts::DateTime;
using contracts::Json;
using contracts::TagValue;
using contracts::TagValues;

[[noreturn]] void Usage(const std::string& message) { throw std::invalid_argument(message); }

int32_t ParseNumber(const std::string& text, const char* what) {
  int32_t number = 0;
  const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
  const char* begin = text.data() + (hex ? 2 : 0);
  const char* end = text.data() + text.size();
  uint32_t unsignedNumber = 0;
  const auto [stop, error] =
      hex ? std::from_chars(begin, end, unsignedNumber, 16) : std::from_chars(begin, end, number);
  if (error != std::errc() || stop != end || begin == end) Usage(fmt::format("{} '{}' is not a number", what, text));
  return hex ? static_cast<int32_t>(unsignedNumber) : number;
}

const std::string& Argument(const Options& options, std::size_t index, const char* what) {
  if (index >= options.arguments.size()) Usage(fmt::format("missing {}", what));
  return options.arguments[index];
}

// --- Output ---------------------------------------------------------------

std::string ValueText(const contracts::Value& value) {
  if (!contracts::HasValue(value)) return "<none>";
  if (const auto* time = std::get_if<DateTime>(&value)) return time->ToIsoString();
  return access::ToText(value);
}

std::string QualityText(const TagValue& value) {
  std::string text;
  if (value.Status != TagValue::kNoStatus) text += fmt::format("status {} ", value.Status);
  if (value.Level != TagValue::kNoLevel) text += fmt::format("level {} ", value.Level);
  if (value.Timestamp != DateTime::MinValue) text += value.Timestamp.ToIsoString();
  return text;
}

void PrintValues(std::ostream& out, const std::string& field, const TagValues& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string label = values.size() > 1 ? fmt::format("{}[{}]", field, i + 1) : field;
    out << fmt::format("  {:<20} {:<28} {}\n", label, ValueText(values[i].Value), QualityText(values[i]));
  }
}

template <typename ByRecord>
void PrintRecords(std::ostream& out, const ByRecord& records) {
  for (const auto& [record, fields] : records) {
    out << fmt::format("{}\n", record);
    for (const auto& [field, values] : fields) PrintValues(out, fmt::format("{}", field), values);
  }
}

template <typename T>
void PrintJson(std::ostream& out, const T& value) {
  out << contracts::ToJson(value).dump(2) << "\n";
}

// --- Values from the command line -------------------------------------------

DateTime ParseTime(const std::string& text) {
  if (text == "now") return platform::UtcNow();
  return DateTime::Parse(text);
}

contracts::Value ParseValue(const std::string& text, const std::optional<std::string>& type) {
  const std::string kind = type.value_or("auto");
  if (kind == "text") return text;
  if (kind == "int16") return access::ToInt16(text);
  if (kind == "int32") return access::ToInt32(text);
  if (kind == "double") return access::ToDouble(text);
  if (kind == "float") return access::ToSingle(text);
  if (kind == "time") return ParseTime(text);
  if (kind == "bool") return text == "true" || text == "1";
  if (kind != "auto") Usage(fmt::format("unknown value type '{}'", kind));
  // Numbers as numbers, anything else as text.
  int32_t integer = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), integer).ptr == text.data() + text.size() &&
      !text.empty()) {
    return integer;
  }
  double real = 0;
  if (std::from_chars(text.data(), text.data() + text.size(), real).ptr == text.data() + text.size() &&
      !text.empty()) {
    return real;
  }
  return text;
}

// --- Commands -----------------------------------------------------------------

void Read(const Options& options, std::ostream& out) {
  contracts::Tags tags;
  auto& fields = tags[Argument(options, 0, "record name")];
  fields.assign(options.arguments.begin() + 1, options.arguments.end());
  if (fields.empty()) Usage("missing field names");
  DataAccess access;
  const auto values = access.GetTagValues(tags);
  options.json ? PrintJson(out, values) : PrintRecords(out, values);
}

void ReadIds(const Options& options, std::ostream& out) {
  contracts::TagsById tags;
  auto& fields = tags[ParseNumber(Argument(options, 0, "record id"), "record id")];
  for (std::size_t i = 1; i < options.arguments.size(); ++i) {
    fields.push_back(ParseNumber(options.arguments[i], "field tag"));
  }
  if (fields.empty()) Usage("missing field tags");
  DataAccess access;
  const auto values = access.GetTagValues(tags);
  options.json ? PrintJson(out, values) : PrintRecords(out, values);
}

void Write(const Options& options, std::ostream& out) {
  const std::string& record = Argument(options, 0, "record name");
  const std::string& field = Argument(options, 1, "field name");
  if (options.arguments.size() < 3) Usage("missing value");
  TagValues values;
  const auto status = options.Named("status");
  const auto level = options.Named("level");
  const auto time = options.Named("time");
  for (std::size_t i = 2; i < options.arguments.size(); ++i) {
    values.emplace_back(ParseValue(options.arguments[i], options.Named("type")),
                        time ? ParseTime(*time) : platform::UtcNow(),
                        status ? ParseNumber(*status, "status") : 0, level ? ParseNumber(*level, "level") : 0);
  }
  contracts::TagValuesByNames request;
  request[record][field] = values;
  DataAccess access;
  access.SetTagValues(request);
  out << fmt::format("wrote {} value{} to {} {}\n", values.size(), values.size() == 1 ? "" : "s", record, field);
}

void History(const Options& options, std::ostream& out) {
  const std::string& record = Argument(options, 0, "record name");
  const std::string& field = Argument(options, 1, "field name");
  DataAccess access;
  contracts::HistoryRequestById request;
  request.TagId = access.GetRecordID(record);
  request.FieldId = access.GetAttributeID(field);
  if (request.TagId <= 0) Usage(fmt::format("no record named '{}'", record));
  if (request.FieldId <= 0) Usage(fmt::format("no field named '{}'", field));
  const auto from = options.Named("from");
  const auto to = options.Named("to");
  request.Query.StartTime = from ? ParseTime(*from) : DateTime::MinValue;
  request.Query.EndTime = to ? ParseTime(*to) : DateTime::MaxValue;
  request.Query.MaxCount = ParseNumber(options.Named("max").value_or("100"), "count");
  request.Query.ReturnStep = options.Flag("step");
  if (const auto kind = options.Named("outsiders")) {
    const auto parsed = contracts::ParseEnum<contracts::OutsidersRequestTypeEnum>(*kind);
    if (!parsed) Usage(fmt::format("unknown outsiders kind '{}'", *kind));
    request.Query.OusidersType = *parsed;
  }
  const auto values = access.GetHistoryValuesByIds({request});
  if (options.json) return PrintJson(out, values);
  for (const auto& [id, fields] : values) {
    out << fmt::format("{} {}\n", record, field);
    for (const auto& [tag, list] : fields) {
      for (const auto& value : list) {
        out << fmt::format("  {:<30} {:<20} level {}\n", value.Timestamp.ToIsoString(), ValueText(value.Value),
                           value.Level);
      }
    }
  }
}

void Definitions(const Options& options, std::ostream& out) {
  DataAccess session;
  const std::string& name = Argument(options, 0, "definition name");
  const int32_t definitionId = session.GetDefinitionRecordID(name);
  if (definitionId <= 0) Usage(fmt::format("no record named '{}'", name));
  const auto definitions = session.GetFieldDefinitions(definitionId);
  if (options.json) return PrintJson(out, *definitions);
  out << fmt::format("{} ({} fields)\n", session.GetRecordName(definitionId), definitions->size());
  for (const auto& definition : *definitions) {
    std::string extras;
    if (definition.RepeatArea > 0) extras += fmt::format(" repeat-area:{}", definition.RepeatArea);
    if (definition.QualityField != 0) extras += " quality";
    if (definition.HistoryPointer != 0) extras += " history";
    if (definition.ReadOnlyUsable) extras += " read-only-usable";
    if (definition.ReadOnlyUnusable) extras += " read-only-unusable";
    if (!definition.FormattedStrings.empty()) {
      std::string texts;
      for (const auto& [number, text] : definition.FormattedStrings) texts += fmt::format("{}{}={}", texts.empty() ? "" : ",", number, text);
      extras += " selector:" + texts;
    }
    out << fmt::format("  {:<20} 0x{:08X} {:<9} {:<10}{}\n", definition.Name, static_cast<uint32_t>(definition.Number),
                       contracts::ToString(definition.DataType), contracts::ToString(definition.FieldReferenceType),
                       extras);
  }
}

void Environment(const Options& options, std::ostream& out) {
  DataAccess session;
  out << session.GetDorvikEnvironmentVariable(Argument(options, 0, "variable name")) << "\n";
}

// Any operation of the access service, arguments and result in JSON.
void Call(const Options& options, std::ostream& out) {
  using contracts::ParseJson;
  using contracts::ToJson;
  using Operation = std::function<Json(DataAccess&, std::string_view)>;
  static const std::map<std::string, Operation> kOperations{
      {"GetTagValues",
       [](DataAccess& a, std::string_view j) { return ToJson(a.GetTagValues(ParseJson<contracts::Tags>(j))); }},
      {"GetTagValuesByIds",
       [](DataAccess& a, std::string_view j) { return ToJson(a.GetTagValues(ParseJson<contracts::TagsById>(j))); }},
      {"SetTagValues",
       [](DataAccess& a, std::string_view j) {
         a.SetTagValues(ParseJson<contracts::TagValuesByNames>(j));
         return Json();
       }},
      {"SetTagValuesByIds",
       [](DataAccess& a, std::string_view j) {
         a.SetTagValues(ParseJson<contracts::TagValuesByIds>(j));
         return Json();
       }},
      {"GetHistoryValuesByIds",
       [](DataAccess& a, std::string_view j) {
         return ToJson(a.GetHistoryValuesByIds(ParseJson<contracts::HistoryRequests>(j)));
       }},
  };
  const std::string& name = Argument(options, 0, "operation name");
  const auto operation = kOperations.find(name);
  if (operation == kOperations.end()) {
    std::string names;
    for (const auto& entry : kOperations) names += " " + entry.first;
    Usage(fmt::format("unknown operation '{}'; operations:{}", name, names));
  }
  const std::string& argument = Argument(options, 1, "JSON argument");
  DataAccess access;
  out << operation->second(access, argument).dump(2) << "\n";
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands{
      {"read", "RECORD FIELD...", "current values of fields of a record, by names", Read},
      {"read-ids", "RECORD-ID FIELD-TAG...", "current values by record id and field tags (decimal or 0x hex)",
       ReadIds},
      {"write", "RECORD FIELD VALUE... [--type T] [--status N] [--level N] [--time T]",
       "write a field (several values fill a repeat area's occurrences)", Write, true},
      {"history", "RECORD FIELD [--from T] [--to T] [--max N] [--outsiders KIND] [--step]",
       "history of a field; a start after the end reads backwards", History},
      {"definition", "DEFINITION", "the field definitions of a definition record (or of a record's definition)",
       Definitions},
      {"env", "NAME", "a database environment variable", Environment},
      {"call", "OPERATION JSON",
       "any access operation with its argument in JSON (GetTagValues, GetTagValuesByIds, SetTagValues, "
       "SetTagValuesByIds, GetHistoryValuesByIds)",
       Call, true},
      {"import", "FILE.json DATABASE", "make a new database (a folder) from a JSON file", ImportCommand, true},
      {"export", "DATABASE FILE.json", "write a database to a JSON file", ExportCommand},
      {"check", "DATABASE", "check a database: every table, every record; fails on any fault", CheckCommand},
  };
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const auto& command : Commands()) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

void PrintHelp(std::ostream& out) {
  out << "usage: vntaccess [--database FILE] [--user DOMAIN\\user] [--json] [--dry-run] COMMAND [ARGS]\n\n"
         "Serves the tag access library's operations on a database file (or the database\n"
         "named by DORVIK_DATABASE). Times are ISO-8601 (\"2024-03-07T09:05:01Z\") or \"now\".\n\n"
         "commands:\n";
  for (const auto& command : Commands()) {
    out << fmt::format("  {:<11} {}\n  {:<11}   {}\n", command.name, command.usage, "", command.summary);
  }
}

}  // namespace vantrel::cli
