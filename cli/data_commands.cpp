// read, read-ids and write: current values of fields, named by the user.
// history lives in cli/history_command.cpp, call in cli/call_command.cpp.
#include "cli/data_commands.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "api/records.h"
#include "cli/command.h"
#include "views/duration.h"
#include "views/current_values.h"
#include "views/field_resolver.h"
#include "views/progress.h"
#include "views/record_patterns.h"
#include "views/suggest.h"
#include "views/time_parse.h"
#include "views/value_view.h"
#include "cli/values_view.h"
#include "cli/watch.h"
#include "cli/write_plan.h"
#include "views/text_compare.h"
#include "views/tool_services.h"
#include "data/data_access.h"
#include "data/value_conversion.h"
#include "platform/time_zone.h"

namespace vantrel::cli {

using contracts::DateTime;
using contracts::OutsidersRequestTypeEnum;
using contracts::TagValues;

namespace {

// --- read and read-ids --------------------------------------------------------

// A time option's value; errors name the option.
DateTime OptionTime(std::string_view option, const std::string& text, const DateTime& now) {
  try {
    return ParseTime(text, now);
  } catch (const UsageError& error) {
    throw UsageError(fmt::format("{}: {}", option, error.what()));
  }
}

void DeclareRead(CLI::App& app, ReadArgs& args) {
  app.add_option_function<std::string>(
         "RECORD", [&args](const std::string& text) { args.records = SplitRecordNames(text); },
         "a record name, several separated by commas (TI101,TI102), or a pattern of names ('TI*': * any "
         "characters, ? one); 'TI*.VALUE' reads that field of every match")
      ->required();
  app.add_option("FIELD", args.fields,
                 "field names: VALUE, a whole repeat area TREND, or one occurrence TREND[2]; none: every field of "
                 "the record's definition");
  app.add_option_function<std::string>(
         "--watch",
         [&args](const std::string& text) {
           args.watchTicks = ParseDuration(text, "--watch", DateTime::kTicksPerSecond, DateTime::kTicksPerDay);
         },
         fmt::format("read again every LENGTH until Ctrl-C: in place on a terminal, appended with the time of each "
                     "read in a pipe ({})",
                     kDurationForms))
      ->type_name("LENGTH");
  AddRoundsOption(app, args.count, "with --watch: stop after N reads");
  app.callback([&args] {
    if (args.count && !args.watchTicks) throw UsageError("--count counts the reads of --watch");
    TakeDottedField(args.records, args.fields);
  });
}

ExitCode RunRead(const ReadArgs& args, CommandContext& context) {
  std::vector<ResolvedField> fields = ResolveReadFields(args.records, args.fields, context);
  if (args.watchTicks) return WatchCurrentValues(std::move(fields), context, *args.watchTicks, args.count);
  return ShowCurrentValues(std::move(fields), context);
}

void DeclareReadIds(CLI::App& app, ReadIdsArgs& args) {
  app.add_option_function<std::string>(
         "RECORD-ID", [&args](const std::string& text) { args.record = ParseIdentifier(text, "record id"); },
         "a record id (decimal or 0x hex)")
      ->required();
  app.add_option_function<std::vector<std::string>>(
         "FIELD-TAG",
         [&args](const std::vector<std::string>& texts) {
           for (const auto& text : texts) args.fieldTags.push_back(ParseIdentifier(text, "field tag"));
         },
         "field tags as read-ids and definition print them (0x00020000), an occurrence in the low 16 bits")
      ->required();
}

ExitCode RunReadIds(const ReadIdsArgs& args, CommandContext& context) {
  FieldResolver resolver(context.Access(), context.Catalog());
  return ShowCurrentValues(resolver.ResolveIds(args.record, args.fieldTags), context);
}

// --- write --------------------------------------------------------------------

void DeclareWrite(CLI::App& app, WriteArgs& args) {
  args.now = platform::UtcNow();
  app.add_option("RECORD", args.record, "the record")->required();
  app.add_option("FIELD", args.field, "the field: VALUE, a repeat area TREND (one value per occurrence), TREND[2]")
      ->required();
  app.add_option("VALUE", args.texts,
                 "the value, read as the field's kind: a number with a point for decimals (74.25, -3e2), a "
                 "selector's text or number (AUTO or 2), a time, a record name; a value that begins with - and is "
                 "no number goes after -- (write TI101 DESCRIPTION -- -x)")
      ->required();
  app.add_flag("--lossy", args.lossy,
               "store a number the field cannot hold exactly as the nearest it holds (1e-50 as 0 in a 4-byte real); "
               "without it such a number is refused");
  app.add_option_function<std::string>(
         "--type", [&args](const std::string& text) { args.type = ParseValueType(text); },
         "send the values as this kind instead: text, int16, int32, float, double, time, bool (true, false, 1, 0)")
      ->type_name("TYPE");
  app.add_option_function<std::string>(
         "--status", [&args](const std::string& text) { args.status = ParseStatus(text); },
         fmt::format("quality status, {} to {} (default 0)", kMinStatus, kMaxStatus))
      ->type_name("N");
  app.add_option_function<std::string>(
         "--level", [&args](const std::string& text) { args.level = ParseLevel(text); },
         fmt::format("quality level, {} to {} (default 0)", kMinLevel, kMaxLevel))
      ->type_name("N");
  app.add_option_function<std::string>(
         "--time", [&args](const std::string& text) { args.time = OptionTime("--time", text, args.now); },
         "the value's time (default now)")
      ->type_name("TIME");
  app.callback([&args] {
    if (!args.type) return;
    for (const auto& text : args.texts) args.typedValues.push_back(ParseTypedValue(text, *args.type, args.now));
  });
}

// Whether a value of the kind --type names can go into field.
void CheckTypeFits(ValueType type, const ResolvedField& field) {
  using contracts::FieldReferenceTypeEnum;
  using contracts::TypeCode;
  const auto& definition = field.definition;
  const bool numeric = type != ValueType::kText && type != ValueType::kTime;
  bool fits = false;
  if (definition.FieldReferenceType == FieldReferenceTypeEnum::Record) {
    fits = type == ValueType::kText;
  } else if (definition.DataType == TypeCode::String) {
    fits = true;
  } else if (definition.DataType == TypeCode::DateTime) {
    fits = type == ValueType::kTime;
  } else {
    fits = numeric;
  }
  if (!fits) {
    const auto name = std::find_if(kValueTypes.begin(), kValueTypes.end(), [&](auto& t) { return t.type == type; });
    throw UsageError(fmt::format("{} holds a {} value; --type {} does not fit it", field.FullName(),
                                 contracts::ToString(definition.DataType), name->name));
  }
}

void CheckQualityOptions(const WriteArgs& args, const ResolvedField& field) {
  if (field.HasQuality()) return;
  if (args.status || args.level) {
    throw UsageError(fmt::format("{} keeps no quality: --status and --level do not apply", field.FullName()));
  }
  if (args.time) throw UsageError(fmt::format("{} keeps no time: --time does not apply", field.FullName()));
}

ExitCode RunWrite(const WriteArgs& args, CommandContext& context) {
  ToolAccess& access = context.Access();
  FieldResolver resolver(access, context.Catalog());
  const ResolvedField field = resolver.Resolve({args.record}, {args.field}).front();
  CheckQualityOptions(args, field);
  if (args.type) CheckTypeFits(*args.type, field);
  if (!field.IsRepeatArea() && args.texts.size() > 1) {
    throw UsageError(fmt::format("{} holds one value; {} given", field.FullName(), args.texts.size()));
  }
  TagValues values;
  for (std::size_t i = 0; i < args.texts.size(); ++i) {
    contracts::Value value = args.type ? args.typedValues[i] : ParseFieldValue(args.texts[i], field, args.now, access);
    if (const auto change = ValueChange(args.texts[i], value, field.definition.DataType); change && !args.lossy) {
      throw UsageError(fmt::format("{}: {}; --lossy stores it so", field.FullName(), *change));
    }
    values.emplace_back(std::move(value), args.time.value_or(args.now), args.status.value_or(0),
                        args.level.value_or(0));
  }
  WritePlan plan;
  plan.Add(field, std::move(values));
  return RunWritePlan(plan, context, [&] { access.SetTagValues(plan.Request()); });
}

const CommandRegistration kRead({
    .name = "read",
    .summary = "current values of fields of records, by names",
    .description = "One row per field (per occurrence of a repeat area), in the order asked; without field "
                   "names, every field of the record's definition in its order. Status and level show for fields "
                   "that keep quality, a time for fields that keep one. A selector shows its text. Names that do "
                   "not resolve are errors (exit 4); nothing is read then.",
    .examples = {"--database plant.json read TI101 VALUE UNITS", "read TI101,TI102,PI201 VALUE --csv",
                 "read 'TI*' VALUE UNITS", "read 'TI*.VALUE'", "read TI101 TREND TREND_COUNT --json",
                 "read P101 MODE STATE", "read P101",
                 "read TI101,PI201 VALUE --watch 2s", "read TI101 VALUE --watch 5s --count 3 --csv"},
    .order = 10,
    .words = {WordKind::kRecords, WordKind::kField},
    .define = Define(DeclareRead, RunRead),
});

const CommandRegistration kReadIds({
    .name = "read-ids",
    .summary = "current values by record id and field tags",
    .examples = {"read-ids 12 0x00020000", "read-ids 12 0x00070002 --json"},
    .order = 11,
    .define = Define(DeclareReadIds, RunReadIds),
});

const CommandRegistration kWrite({
    .name = "write",
    .summary = "write a field's current value (several values fill a repeat area)",
    .description = "The value is read strictly as the field's kind: numbers with a point for decimals and no "
                   "thousands separators, whole numbers within the field's range, a selector's text or number. "
                   "The report says exactly what was written; when a repeat area has fewer occurrences than "
                   "values given, only those are written and the exit code is 5.\n\n"
                   "Numbers: " + std::string(kNonNumbersRule) + ". A number the field would store as another one "
                   "(1e-50 underflowing to 0 in a 4-byte real, 16777217 beyond its exact whole numbers) is refused "
                   "with the nearest value it holds; --lossy stores it anyway. A negative number is typed as it is "
                   "(write TI101 VALUE -5.5); another value that begins with - goes after --.\n\n"
                   "--dry-run checks what the write itself would meet: the field's protection, the account's write "
                   "right and whether the database can be written, and exits as the write would.",
    .examples = {"write TI101 VALUE 74.25", "write TI101 VALUE 74.25 --status 0 --level 2 --time \"2024-03-07 01:00\"",
                 "write P101 MODE AUTO", "write TI101 TREND 68.5 69 70.25", "--dry-run write TI101 VALUE 80"},
    .order = 12,
    .changesDatabase = true,
    .words = {WordKind::kRecord, WordKind::kField, WordKind::kValue},
    .optionValues = {{"--type", {"text", "int16", "int32", "float", "double", "time", "bool"}}},
    .define = Define(DeclareWrite, RunWrite),
});


}  // namespace
}  // namespace vantrel::cli
