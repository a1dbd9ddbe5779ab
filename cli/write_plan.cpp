#include "cli/write_plan.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include <fmt/format.h>

#include "views/tool_services.h"
#include "views/errors.h"
#include "cli/reasons.h"
#include "views/time_parse.h"
#include "views/value_parse.h"
#include "views/text_compare.h"
#include "data/data_access.h"
#include "engine/control.h"
#include "management/management.h"
#include "platform/identity.h"

namespace vantrel::cli {
namespace {

using contracts::FieldReferenceTypeEnum;
using contracts::TypeCode;

constexpr int16_t kRecordIdLength = 4;

std::string What(const ResolvedField& field) { return field.FullName(); }

// A selector's text (any case) or one of its numbers.
int32_t SelectorNumber(std::string_view text, const ResolvedField& field) {
  std::string texts;
  std::string numbers;
  for (const auto& [number, name] : field.selectors) {
    if (EqualsIgnoringCase(text, name)) return number;
    texts += fmt::format("{}{}", texts.empty() ? "" : ", ", name);
    numbers += fmt::format("{}{}", numbers.empty() ? "" : ", ", number);
  }
  if (!text.empty() && (std::isdigit(static_cast<unsigned char>(text.front())) != 0 || text.front() == '-')) {
    const auto number = static_cast<int32_t>(ParseInteger(text, What(field), INT16_MIN, INT16_MAX));
    if (field.selectors.contains(number)) return number;
  }
  throw UsageError(fmt::format("{} takes {} (or {}), not '{}'", What(field), texts, numbers, text));
}

contracts::Value PointerValue(std::string_view text, const ResolvedField& field, ToolAccess& access) {
  const std::string value(text);
  if (field.definition.Length == kRecordIdLength) {
    if (access.GetRecordID(value) <= 0) {
      throw NotFoundError(fmt::format("{} points at a record: there is no record {}", What(field), value));
    }
    return value;
  }
  const std::size_t blank = value.rfind(' ');
  if (blank == std::string::npos || blank == 0) {
    throw UsageError(fmt::format("{} points at a field: write it as \"RECORD FIELD\", not '{}'", What(field), value));
  }
  const std::string record = value.substr(0, blank);
  const std::string name = value.substr(blank + 1);
  if (access.GetRecordID(record) <= 0) {
    throw NotFoundError(fmt::format("{} points at a field: there is no record {}", What(field), record));
  }
  if (access.GetAttributeID(name) <= 0) {
    throw NotFoundError(fmt::format("{} points at a field: there is no field {}", What(field), name));
  }
  return value;
}

}  // namespace

contracts::Value ParseFieldValue(std::string_view text, const ResolvedField& field, const contracts::DateTime& now,
                                 ToolAccess& access) {
  const auto& definition = field.definition;
  if (definition.FieldReferenceType == FieldReferenceTypeEnum::Selector) {
    return static_cast<int16_t>(SelectorNumber(text, field));
  }
  if (definition.FieldReferenceType == FieldReferenceTypeEnum::Record) return PointerValue(text, field, access);
  switch (definition.DataType) {
    case TypeCode::Int16: return static_cast<int16_t>(ParseInteger(text, What(field), INT16_MIN, INT16_MAX));
    case TypeCode::Int32: return static_cast<int32_t>(ParseInteger(text, What(field), INT32_MIN, INT32_MAX));
    case TypeCode::Single: {
      const double real = ParseReal(text, What(field));
      if (std::isfinite(real) && std::fabs(real) > std::numeric_limits<float>::max()) {
        throw UsageError(fmt::format("{}: {} is out of range for a 4-byte real", What(field), text));
      }
      return static_cast<float>(real);
    }
    case TypeCode::Double: return ParseReal(text, What(field));
    case TypeCode::DateTime: return ParseTime(text, now);
    default: return std::string(text);
  }
}

void WritePlan::Add(ResolvedField field, contracts::TagValues values) {
  // The database keeps a status and a level in 16 bits; a wider number would
  // be stored cut, as a different one.
  for (const auto& value : values) {
    for (const auto& [what, number] : {std::pair{"status", value.Status}, {"level", value.Level}}) {
      if (number < INT16_MIN || number > INT16_MAX) {
        throw UsageError(fmt::format("{}: the {} {} is out of range ({} to {})", field.FullName(), what, number,
                                     INT16_MIN, INT16_MAX));
      }
    }
  }
  auto same = std::find_if(fields_.begin(), fields_.end(), [&](const FieldWrite& planned) {
    return planned.field.recordId == field.recordId && planned.field.fieldTag == field.fieldTag;
  });
  if (same == fields_.end()) {
    fields_.push_back(FieldWrite{std::move(field), {}, 0, {}});
    same = fields_.end() - 1;
  }
  same->values.insert(same->values.end(), values.begin(), values.end());
  const auto given = static_cast<int32_t>(same->values.size());
  if (same->field.IsRepeatArea()) {
    same->written = std::min(given, same->field.occurrences);
    const int32_t count = same->field.occurrences;
    same->leftOver = fmt::format("{} has {} occurrence{}", same->field.Label(), count, count == 1 ? "" : "s");
  } else {
    same->written = std::min(given, 1);
    same->leftOver = fmt::format("{} holds one value", same->field.Label());
  }
}

int64_t WritePlan::Given() const {
  int64_t given = 0;
  for (const auto& planned : fields_) given += static_cast<int64_t>(planned.values.size());
  return given;
}

int64_t WritePlan::Written() const {
  int64_t written = 0;
  for (const auto& planned : fields_) written += planned.written;
  return written;
}

contracts::TagValuesByIds WritePlan::Request() const {
  contracts::TagValuesByIds request;
  for (const auto& planned : fields_) {
    if (planned.written == 0) continue;
    request[planned.field.recordId][planned.field.fieldTag] =
        contracts::TagValues(planned.values.begin(), planned.values.begin() + planned.written);
  }
  return request;
}

Shown WritePlan::Report(bool dryRun) const {
  const std::string done = dryRun ? "wouldWrite" : "written";
  Shown shown;
  shown.table.columns = {{"RECORD"}, {"FIELD"}, {"GIVEN", true}, {dryRun ? "WOULD WRITE" : "WRITTEN", true}, {"NOTE"}};
  shown.json = Json{{"dryRun", dryRun}, {"given", Given()}, {done, Written()}, {"fields", Json::array()}};
  std::string reasons;
  for (const auto& planned : fields_) {
    const bool whole = planned.written == static_cast<int32_t>(planned.values.size());
    const std::string note = whole ? "" : planned.leftOver;
    shown.table.rows.push_back({planned.field.record, planned.field.Label(), std::to_string(planned.values.size()),
                                std::to_string(planned.written), note});
    Json entry{{"record", planned.field.record},
               {"field", planned.field.Label()},
               {"given", planned.values.size()},
               {done, planned.written}};
    if (!whole) {
      entry["note"] = note;
      reasons += fmt::format("{}{}{}", reasons.empty() ? "" : "; ",
                             fields_.size() > 1 ? planned.field.record + " " : "", note);
    }
    shown.json["fields"].push_back(std::move(entry));
  }
  const int64_t written = Written();
  const std::string target =
      fields_.size() == 1 ? fields_.front().field.FullName() : fmt::format("{} fields", fields_.size());
  std::string sentence = Complete() ? fmt::format("{} value{} to {}", written, written == 1 ? "" : "s", target)
                                    : fmt::format("{} of {} values to {}: {}", written, Given(), target, reasons);
  if (Complete() && fields_.size() == 1 && fields_.front().field.IsRepeatArea() &&
      written < fields_.front().field.occurrences) {
    sentence += fmt::format(" (occurrences 1 to {} of {})", written, fields_.front().field.occurrences);
  }
  shown.sentence = dryRun ? fmt::format("dry run: would write {}; nothing was written", sentence)
                          : fmt::format("wrote {}", sentence);
  return shown;
}

namespace {

std::string Caller(CommandContext& context) {
  return context.Options().user.empty() ? platform::CurrentThreadAccount() : context.Options().user;
}

// Why the database would refuse field as the caller writes it now, in
// words; nothing when it would take the write.
std::optional<std::string> Refusal(const FieldWrite& planned, const contracts::FieldAccessRightsByTagId& rights,
                                   CommandContext& context) {
  const ResolvedField& field = planned.field;
  const contracts::FieldAccessRights* answer = FieldEntry(rights, field.recordId, field.fieldTag);
  if (answer == nullptr) return fmt::format("the database cannot tell whether {} may be written", field.FullName());
  if (answer->ReadOnly) {
    const auto& definition = field.definition;
    const std::string when = definition.ReadOnlyUsable && definition.ReadOnlyUnusable ? "always"
                             : definition.ReadOnlyUsable                              ? "while the record is usable"
                             : definition.ReadOnlyUnusable                            ? "while the record is unusable"
                                                                                      : "now";
    return fmt::format("{} is write-protected {}", field.FullName(), when);
  }
  if (answer->UserReadOnly) return fmt::format("the account {} may not write {}", Caller(context), field.FullName());
  return std::nullopt;
}

// What the database would refuse of a planned write: a read-only database,
// protected fields, fields the caller may not write. The same checks the
// write itself meets, asked without writing.
std::vector<std::string> Refusals(const WritePlan& plan, CommandContext& context) {
  if (auto refusal = context.Access().WholeDatabaseRefusal()) return {std::move(*refusal)};
  contracts::TagsById request;
  for (const auto& planned : plan.Fields()) {
    if (planned.written > 0) request[planned.field.recordId].push_back(planned.field.fieldTag);
  }
  if (request.empty()) return {};
  const contracts::FieldAccessRightsByTagId rights = context.Manage().AreFieldsReadOnly(request, true);
  std::vector<std::string> refusals;
  for (const auto& planned : plan.Fields()) {
    if (planned.written == 0) continue;
    if (auto refusal = Refusal(planned, rights, context)) refusals.push_back(std::move(*refusal));
  }
  return refusals;
}

// Names the field tags of the plan's fields (with or without occurrence).
Namer FieldNamer(const WritePlan& plan) {
  return [&plan](int32_t tag) -> std::string {
    for (const auto& planned : plan.Fields()) {
      if (planned.field.fieldTag == tag) return planned.field.Label();
      if (planned.field.definition.Number == tag) return planned.field.definition.Name;
    }
    return {};
  };
}

}  // namespace

ExitCode RunWritePlan(const WritePlan& plan, CommandContext& context, const std::function<void()>& write) {
  if (context.DryRun()) {
    const std::vector<std::string> refusals = Refusals(plan, context);
    if (!refusals.empty()) {
      std::string reasons;
      for (const auto& refusal : refusals) reasons += (reasons.empty() ? "" : "; ") + refusal;
      // The code the write itself would end with: the database refuses it.
      throw std::runtime_error(fmt::format("dry run: the write would be refused: {}; nothing was written", reasons));
    }
    context.Out().Show(plan.Report(true));
    return ExitCode::kDone;
  }
  // Each write the database acknowledges is durable; one it refuses throws.
  if (plan.Written() > 0) {
    try {
      write();
    } catch (const UsageError&) {
      throw;
    } catch (const NotFoundError&) {
      throw;
    } catch (const std::exception& failure) {
      ToolAccess& access = context.Access();
      const Namer records = [&access](int32_t id) { return access.RecordNameOf(id); };
      throw std::runtime_error(ReasonInWords(failure.what(), FieldNamer(plan), records));
    }
  }
  context.Out().Show(plan.Report(false));
  return plan.Complete() ? ExitCode::kDone : ExitCode::kPartlyDone;
}

}  // namespace vantrel::cli
