// FieldResolver: turns the record and field names (or ids) of a command into
// fields the database really has, before anything is read or written, so
// that no name is dropped silently. Every name that does not resolve is
// collected; then one NotFoundError names them all, with a suggestion for
// likely typos:
//
//   no record TI999 (did you mean TI101?); TI101 has no field VALU (did you mean VALUE?)
//
// A field is named as "VALUE", a whole repeat area "TREND", or one of its
// occurrences "TREND[2]" (also "2 TREND", the database's own form). A field
// must belong to the record's definition. Used by one thread.
#ifndef VANTREL_VIEWS_FIELD_RESOLVER_H_
#define VANTREL_VIEWS_FIELD_RESOLVER_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/records.h"
#include "contracts/selectors.h"

namespace vantrel::cli {

class ToolAccess;

class NameCatalog;

struct ResolvedField {
  int32_t recordId = 0;
  std::string record;          // as the database spells it
  std::string definitionName;  // of the record
  int32_t fieldTag = 0;        // base tag, plus the occurrence when one was named
  int32_t occurrence = 0;      // 0: the whole field
  int32_t occurrences = 1;     // values the field has now (the count of a repeat area)
  contracts::FieldDefinition definition;
  contracts::Selectors selectors;  // a selector field's texts, by number

  bool IsRepeatArea() const { return definition.RepeatArea > 0 && occurrence == 0; }
  bool HasQuality() const { return definition.QualityField != 0; }
  bool HasTime() const { return HasQuality() || definition.TimestampField != 0; }
  bool IsNumeric() const;
  std::string Label() const;     // "VALUE", "TREND", "TREND[2]"
  std::string FullName() const;  // "TI101 TREND[2]"
};

// A field as typed: its name and the occurrence named (0: none).
struct FieldName {
  std::string name;
  int32_t occurrence = 0;
};
// "TREND[2]" or "2 TREND"; throws UsageError for a malformed occurrence.
FieldName ParseFieldName(std::string_view text);
// "TI101,TI102" as record names; throws UsageError for an empty one.
std::vector<std::string> SplitRecordNames(const std::string& text);

// The entry of an answer by record id and field tag (SelectorsByTagId,
// HistoryInfoByTagId, ...) for one field, or null when it has none.
template <typename Answer>
auto FieldEntry(const Answer& answer, int32_t recordId, int32_t fieldTag)
    -> const typename Answer::mapped_type::mapped_type* {
  const auto record = answer.find(recordId);
  if (record == answer.end()) return nullptr;
  const auto entry = record->second.find(fieldTag);
  return entry == record->second.end() ? nullptr : &entry->second;
}

class FieldResolver {
 public:
  FieldResolver(ToolAccess& access, NameCatalog& catalog) : access_(access), catalog_(catalog) {}

  // The fields of each record, record by record, in the order given.
  std::vector<ResolvedField> Resolve(const std::vector<std::string>& records, const std::vector<std::string>& fields);
  // Every field of each record's definition (whole repeat areas), record by
  // record, in the definition's order.
  std::vector<ResolvedField> ResolveAllFields(const std::vector<std::string>& records);
  // The same for one record id and field tags (which may carry an occurrence).
  std::vector<ResolvedField> ResolveIds(int32_t recordId, const std::vector<int32_t>& fieldTags);

 private:
  struct Record {
    int32_t id = 0;
    std::string name;
    std::string definitionName;
    std::vector<contracts::FieldDefinition> fields;
  };
  // The fields fieldsOf picks of each record that resolves, record by
  // record; throws naming every name that does not resolve.
  using FieldsOfRecord = std::function<void(const Record&, std::vector<ResolvedField>&)>;
  std::vector<ResolvedField> ResolveEach(const std::vector<std::string>& records, const FieldsOfRecord& fieldsOf);
  std::optional<Record> FindRecord(const std::string& name);
  std::optional<Record> FindRecord(int32_t id);
  Record Describe(int32_t id);
  std::optional<ResolvedField> FindField(const Record& record, const std::string& typed, int32_t baseTag,
                                         int32_t occurrence);
  [[noreturn]] void Fail() const;

  ToolAccess& access_;
  NameCatalog& catalog_;
  std::vector<std::string> problems_;
};

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_FIELD_RESOLVER_H_
