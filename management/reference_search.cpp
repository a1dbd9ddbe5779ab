// Management: where tags are referenced, in the lines of calculation and
// query records, in the fields of other records, and in the query files of
// the query folder.
#include <array>
#include <filesystem>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "data/data_access.h"
#include "data/value_conversion.h"
#include "management/management.h"
#include "management/name_search.h"
#include "management/query_folder.h"
#include "management/query_text.h"
#include "platform/exceptions.h"
#include "platform/fault.h"

namespace vantrel::access {
namespace {

using contracts::ReferenceInfo;
using contracts::ReferenceSourceTypeEnum;
using contracts::TagNames;
using contracts::TagReference;
using contracts::TagReferences;
using platform::RunServiceOperation;

constexpr const char* kCalcDefinition = "VN_CalcDef";
constexpr const char* kCalcLineField = "CALC_LINE";
constexpr const char* kQueryLineField = "QUERY_LINE";
constexpr const char* kQueryFolderVariable = "COMPRESS_SOURCE";
constexpr std::array<const char*, 3> kQueryFileDefinitions{"CompQueryDef", "ProcedureDef", "ViewDef"};
// A name as a whole word, optionally between apostrophes, vertical bars or
// quotation marks.
constexpr std::string_view kNamePattern = R"(\b+['|"]?{0}['|"]?\b+)";
constexpr char kSeparator = std::filesystem::path::preferred_separator;

// Each name once, in the order first given: a name given twice is searched
// once (its references would otherwise be added twice under one key).
TagNames Distinct(const TagNames& names) {
  TagNames distinct;
  std::unordered_set<std::string_view> seen;
  for (const std::string& name : names) {
    if (seen.insert(name).second) distinct.push_back(name);
  }
  return distinct;
}

// "Line(s): 2, 5, 9".
std::string LineList(std::string lineInfo, std::span<const int32_t> lines) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    lineInfo += i == 0 ? " " : ", ";
    lineInfo += std::to_string(lines[i]);
  }
  return lineInfo;
}

// Adds a reference under key to the name's entry, which is created when
// missing.
void AddReference(TagReferences& tagReferences, const std::string& name, const std::string& key, ReferenceInfo info) {
  if (!tagReferences[name].emplace(key, std::move(info)).second) {
    throw platform::ArgumentException(
        fmt::format("The references of {0} hold the key {1} already; it cannot be added twice.", name, key));
  }
}

// The lines of a record: the texts of its values of the line field.
std::vector<std::string> LinesOf(const std::string& record, const std::string& field,
                                 const contracts::TagValues& values) {
  std::vector<std::string> lines;
  lines.reserve(values.size());
  for (const contracts::TagValue& value : values) {
    if (!contracts::HasValue(value.Value)) {
      throw platform::ApplicationException(
          fmt::format("The record {0} has no value in {1}: its lines could not be read.", record, field));
    }
    lines.push_back(ToText(value.Value));
  }
  return lines;
}

// The pattern text of each name, made by patternText.
std::vector<std::string> PatternTexts(const TagNames& names, std::string (*patternText)(std::string_view)) {
  std::vector<std::string> texts;
  texts.reserve(names.size());
  for (const std::string& name : names) texts.push_back(patternText(name));
  return texts;
}

}  // namespace

TagReferences Management::FindReferences(const TagNames& tagNames) {
  return RunServiceOperation([&] {
    TagReferences tagReferences;
    for (const auto source : {ReferenceSourceTypeEnum::Calculation, ReferenceSourceTypeEnum::RecordReference,
                              ReferenceSourceTypeEnum::SqlQuery}) {
      FindReferencesBySource(tagNames, source, tagReferences);
    }
    return tagReferences;
  });
}

TagReferences Management::FindReferencesBySource(const TagNames& tagNames, ReferenceSourceTypeEnum source) {
  return RunServiceOperation([&] {
    TagReferences tagReferences;
    FindReferencesBySource(tagNames, source, tagReferences);
    return tagReferences;
  });
}

void Management::FindReferencesBySource(const TagNames& tagNames, ReferenceSourceTypeEnum source,
                                        TagReferences& tagReferences) {
  const TagNames names = Distinct(tagNames);
  switch (source) {
    case ReferenceSourceTypeEnum::Calculation:
      return FindReferencesKorvaneCalcOnly(names, tagReferences);
    case ReferenceSourceTypeEnum::RecordReference:
      return FindReferencesVntOnly(names, tagReferences);
    case ReferenceSourceTypeEnum::SqlQuery:
      FindReferencesFromPlainSqlQueries(names, tagReferences);
      return FindReferencesFromCompressedSqlQueries(names, tagReferences);
  }
  const std::string pattern = GetResourceString(resource::kUnknownReferenceSourceError).value();
  throw platform::InvalidOperationException(fmt::format(fmt::runtime(pattern), static_cast<int32_t>(source)));
}

void Management::FindReferences(ReferenceSourceTypeEnum sourceType, const std::vector<std::string>& defintionNames,
                                const std::string& repeatArea, const TagNames& tagNames, TagReferences& tagReferences) {
  RunServiceOperation([&] {
    DataAccess reader;
    NameSearch search(tagNames, PatternTexts(tagNames, NamePatternText));
    const std::string lineInfo = GetResourceString(resource::kLineInfo).value();
    for (const std::string& definition : defintionNames) {
      const TagNames records = GetTagNamesByDefinition(definition);
      if (records.empty()) continue;
      contracts::Tags request;
      for (const std::string& record : records) request.emplace(record, contracts::FieldNames{repeatArea});
      const contracts::TagValuesByNames read = reader.GetTagValues(request);
      const std::string definitionRecord =
          sourceType == ReferenceSourceTypeEnum::Calculation
              ? fmt::format("{0} ({1})", definition, GetResourceString(resource::kSharedCalc).value())
              : definition;
      for (const auto& [record, fields] : read) {
        for (const auto& [field, values] : fields) {
          const std::vector<std::string> lines = LinesOf(record, field, values);
          for (std::size_t name = 0; name < tagNames.size(); ++name) {
            std::vector<int32_t> matched;
            for (std::size_t line = 0; line < lines.size(); ++line) {
              if (search.Matches(name, lines[line])) matched.push_back(static_cast<int32_t>(line + 1));
            }
            if (matched.empty()) continue;
            AddReference(tagReferences, tagNames[name], fmt::format("{0} ({1})", record, field),
                         ReferenceInfo{sourceType, LineList(lineInfo, matched), definitionRecord});
          }
        }
      }
    }
  });
}

void Management::FindReferencesKorvaneCalcOnly(const TagNames& tagNames, TagReferences& tagReferences) {
  FindReferences(ReferenceSourceTypeEnum::Calculation, {kCalcDefinition}, kCalcLineField, tagNames, tagReferences);
}

void Management::FindReferencesFromPlainSqlQueries(const TagNames& tagNames, TagReferences& tagReferences) {
  FindReferences(ReferenceSourceTypeEnum::SqlQuery, {"QueryDef", "TextViewDef"}, kQueryLineField, tagNames,
                 tagReferences);
}

void Management::FindReferencesVntOnly(const TagNames& tagNames, TagReferences& tagReferences) {
  const std::string fieldInfo = GetResourceString(resource::kFieldInfo).value();
  for (const std::string& name : tagNames) {
    tagReferences[name];  // every searched name has an entry, also when nothing refers to it
    const int32_t target = GetTagID(name);
    int32_t record = 0;
    int32_t fieldTag = 0;
    NXTREFER(target, 0, &record, &fieldTag);
    while (record != 0) {
      if (fieldTag != 0) {
        TagReference& entry = tagReferences[name];
        const std::string referrer = GetTagName(record);
        const std::string field = GetAttributeNameWithOccurenceNumber(record, fieldTag);
        if (auto found = entry.find(referrer); found != entry.end()) {
          found.value().Info += ", " + field;
        } else {
          entry.emplace(referrer, ReferenceInfo{ReferenceSourceTypeEnum::RecordReference, fieldInfo + field,
                                                GetTagName(DEFINID(record))});
        }
      }
      const int32_t previousRecord = record;
      const int32_t previousFieldTag = fieldTag;
      NXTREFER(target, 0, &record, &fieldTag);
      // A cursor that does not move would list one reference forever.
      if (record != 0 && record == previousRecord && fieldTag == previousFieldTag) {
        throw platform::ApplicationException(fmt::format("NXTREFER returned the reference {0}/0x{1:X} to {2} twice.",
                                                         record, static_cast<uint32_t>(fieldTag), name));
      }
    }
  }
}

void Management::FindReferencesFromCompressedSqlQueries(const TagNames& tagNames, TagReferences& tagReferences) {
  RunServiceOperation([&] {
    const std::string folderPath = GetCompressedSqlQueryPath();
    if (folderPath.empty()) return;
    QueryFolder folder(folderPath);
    if (!folder.Problem().empty()) LogError({"FindReferencesFromCompressedSqlQueries", folder.Problem()});
    NameSearch search(tagNames, PatternTexts(tagNames, NamePatternText));
    const std::string lineInfo = GetResourceString(resource::kLineInfo).value();
    std::string decoded;
    for (const char* definition : kQueryFileDefinitions) {
      for (const std::string& record : GetTagNamesByDefinition(definition)) {
        const std::string path = fmt::format("{0}{1}{2}.sql", folderPath, kSeparator, record);
        const QueryFolder::File file = folder.Read(record, path);
        if (file.status == QueryFolder::Status::kRefused) {
          LogError({"FindReferencesFromCompressedSqlQueries",
                    fmt::format("The query file of {0} is not searched: {1}.", record, file.refusal)});
        }
        if (file.status != QueryFolder::Status::kRead) continue;
        const auto& lines = search.MatchingLines(DecodeQueryText(file.bytes, decoded));
        for (std::size_t name = 0; name < tagNames.size(); ++name) {
          if (lines[name].empty()) continue;
          const bool held = tagReferences[tagNames[name]].contains(record);
          AddReference(tagReferences, tagNames[name], held ? record + " (QUERY_LINE)" : record,
                       ReferenceInfo{ReferenceSourceTypeEnum::SqlQuery, LineList(lineInfo, lines[name]), definition});
        }
      }
    }
  });
}

std::string Management::GetCompressedSqlQueryPath() { return GetDorvikEnvironmentVariable(kQueryFolderVariable); }

std::string Management::NamePatternText(std::string_view name) {
  return fmt::format(fmt::runtime(kNamePattern), EscapeMetaCharacter(name));
}

std::string Management::EscapeMetaCharacter(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    if (kMetaCharacters.find(c) != std::string_view::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace vantrel::access
