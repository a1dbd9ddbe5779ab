#include "views/field_resolver.h"

#include <algorithm>

#include <fmt/format.h>

#include "api/records.h"
#include "views/tool_services.h"
#include "views/errors.h"
#include "views/name_catalog.h"
#include "views/progress.h"
#include "views/record_names.h"
#include "views/suggest.h"
#include "views/value_parse.h"
#include "data/data_access.h"

namespace vantrel::cli {
namespace {

namespace api = dorvik::api;
using contracts::FieldDefinition;
using contracts::FieldReferenceTypeEnum;
using contracts::TypeCode;

constexpr int64_t kMaxOccurrence = api::kOccurrenceMask;
constexpr std::size_t kFieldsListed = 10;

std::vector<std::string> NamesOf(const std::vector<FieldDefinition>& fields) {
  std::vector<std::string> names;
  for (const auto& field : fields) names.push_back(field.Name);
  return names;
}

// "DESCRIPTION, VALUE, ... (12 fields)": what a definition has, briefly.
std::string FieldList(const std::vector<FieldDefinition>& fields) {
  std::string text;
  for (std::size_t i = 0; i < fields.size() && i < kFieldsListed; ++i) {
    text += fmt::format("{}{}", i == 0 ? "" : ", ", fields[i].Name);
  }
  if (fields.size() > kFieldsListed) text += fmt::format(", ... ({} fields)", fields.size());
  return text.empty() ? "no fields" : text;
}

}  // namespace

bool ResolvedField::IsNumeric() const {
  if (definition.FieldReferenceType == FieldReferenceTypeEnum::Record) return false;
  switch (definition.DataType) {
    case TypeCode::Int16:
    case TypeCode::Int32:
    case TypeCode::Single:
    case TypeCode::Double: return true;
    default: return false;
  }
}

std::string ResolvedField::Label() const {
  return occurrence > 0 ? fmt::format("{}[{}]", definition.Name, occurrence) : definition.Name;
}

std::string ResolvedField::FullName() const { return record + " " + Label(); }

FieldName ParseFieldName(std::string_view text) {
  if (!text.empty() && text.back() == ']') {
    const std::size_t open = text.rfind('[');
    if (open == std::string_view::npos || open == 0) {
      throw UsageError(fmt::format("'{}' is not a field name; name an occurrence as TREND[2]", text));
    }
    const std::string_view number = text.substr(open + 1, text.size() - open - 2);
    return {std::string(text.substr(0, open)),
            static_cast<int32_t>(
                ParseInteger(number, fmt::format("occurrence of {}", text.substr(0, open)), 1, kMaxOccurrence))};
  }
  const std::size_t blank = text.find(' ');
  if (blank != std::string_view::npos && !text.empty() && text.front() >= '0' && text.front() <= '9') {
    const std::string_view name = text.substr(text.find_first_not_of(' ', blank));
    return {std::string(name), static_cast<int32_t>(ParseInteger(
                                   text.substr(0, blank), fmt::format("occurrence of {}", name), 1, kMaxOccurrence))};
  }
  return {std::string(text), 0};
}

std::vector<ResolvedField> FieldResolver::Resolve(const std::vector<std::string>& records,
                                                  const std::vector<std::string>& fields) {
  problems_.clear();
  std::vector<FieldName> names;
  std::vector<int32_t> baseTags;
  for (const auto& typed : fields) {
    names.push_back(ParseFieldName(typed));
    const int32_t tag = access_.GetAttributeID(names.back().name);
    baseTags.push_back(tag > 0 ? api::BaseTag(tag) : 0);
  }
  return ResolveEach(records, [&](const Record& record, std::vector<ResolvedField>& resolved) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (baseTags[i] <= 0) {
        const std::string problem =
            fmt::format("there is no field {}{}", names[i].name, DidYouMean(names[i].name, NamesOf(record.fields)));
        if (std::find(problems_.begin(), problems_.end(), problem) == problems_.end()) problems_.push_back(problem);
        continue;
      }
      if (auto field = FindField(record, fields[i], baseTags[i], names[i].occurrence)) {
        resolved.push_back(std::move(*field));
      }
    }
  });
}

std::vector<std::string> SplitRecordNames(const std::string& text) {
  std::vector<std::string> records;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (name.empty()) throw UsageError(fmt::format("'{}' has an empty record name", text));
    records.push_back(name);
    if (comma == std::string::npos) return records;
    start = comma + 1;
  }
}

std::vector<ResolvedField> FieldResolver::ResolveAllFields(const std::vector<std::string>& records) {
  problems_.clear();
  return ResolveEach(records, [&](const Record& record, std::vector<ResolvedField>& resolved) {
    for (const FieldDefinition& field : record.fields) {
      if (auto found = FindField(record, field.Name, field.Number, 0)) resolved.push_back(std::move(*found));
    }
  });
}

std::vector<ResolvedField> FieldResolver::ResolveEach(const std::vector<std::string>& records,
                                                      const FieldsOfRecord& fieldsOf) {
  std::vector<ResolvedField> resolved;
  {
    Progress progress("resolving names", static_cast<int64_t>(records.size()));
    for (const auto& name : records) {
      const auto record = FindRecord(name);
      progress.Advance();
      if (record) fieldsOf(*record, resolved);
    }
  }
  if (!problems_.empty()) Fail();
  return resolved;
}

std::vector<ResolvedField> FieldResolver::ResolveIds(int32_t recordId, const std::vector<int32_t>& fieldTags) {
  problems_.clear();
  const auto record = FindRecord(recordId);
  if (!record) Fail();
  std::vector<ResolvedField> resolved;
  for (const int32_t tag : fieldTags) {
    const std::string typed = fmt::format("0x{:08X}", static_cast<uint32_t>(tag));
    if (auto field = FindField(*record, typed, api::BaseTag(tag), api::OccurrenceOf(tag))) {
      resolved.push_back(std::move(*field));
    }
  }
  if (!problems_.empty()) Fail();
  return resolved;
}

std::optional<FieldResolver::Record> FieldResolver::FindRecord(const std::string& name) {
  const int32_t id = access_.GetRecordID(name);
  if (id <= 0) {
    problems_.push_back(fmt::format("there is no record {}{}", name, DidYouMean(name, catalog_.Records())));
    return std::nullopt;
  }
  return Describe(id);
}

std::optional<FieldResolver::Record> FieldResolver::FindRecord(int32_t id) {
  if (id <= 0 || access_.RecordNameOf(id).empty()) {
    problems_.push_back(fmt::format("there is no record with id {}", id));
    return std::nullopt;
  }
  return Describe(id);
}

FieldResolver::Record FieldResolver::Describe(int32_t id) {
  Record record;
  record.id = id;
  record.name = access_.RecordNameOf(id);  // decoded from the code page, as the tool prints it
  const int32_t definitionId = access_.GetDefinitionID(id);
  record.definitionName = access_.RecordNameOf(definitionId);
  if (const auto fields = access_.GetFieldDefinitions(definitionId)) record.fields = *fields;
  return record;
}

std::optional<ResolvedField> FieldResolver::FindField(const Record& record, const std::string& typed, int32_t baseTag,
                                                      int32_t occurrence) {
  const auto definition = std::find_if(record.fields.begin(), record.fields.end(),
                                       [&](const FieldDefinition& field) { return field.Number == baseTag; });
  if (definition == record.fields.end()) {
    problems_.push_back(fmt::format("{} has no field {} (a {} has {})", record.name, typed, record.definitionName,
                                    FieldList(record.fields)));
    return std::nullopt;
  }
  ResolvedField field;
  field.recordId = record.id;
  field.record = record.name;
  field.definitionName = record.definitionName;
  field.definition = *definition;
  field.occurrence = occurrence;
  field.fieldTag = baseTag + occurrence;
  if (definition->RepeatArea > 0) {
    const int32_t count = access_.GetMaximumOcurrences(record.name, definition->Name);
    if (occurrence > count) {
      problems_.push_back(fmt::format("{} {} has {} occurrence{}; there is no {}", record.name, definition->Name, count,
                                      count == 1 ? "" : "s", field.Label()));
      return std::nullopt;
    }
    field.occurrences = occurrence > 0 ? 1 : count;
  } else if (occurrence > 0) {
    problems_.push_back(
        fmt::format("{} {} is not a repeat area; there is no {}", record.name, definition->Name, field.Label()));
    return std::nullopt;
  }
  if (definition->FieldReferenceType == FieldReferenceTypeEnum::Selector) {
    field.selectors = access_.GetRecordSpecificSelectors(record.id, *definition);
    if (field.selectors.empty()) field.selectors = definition->FormattedStrings;
  }
  return field;
}

void FieldResolver::Fail() const {
  std::string message;
  for (const auto& problem : problems_) message += (message.empty() ? "" : "; ") + problem;
  throw NotFoundError(message);
}

}  // namespace vantrel::cli
