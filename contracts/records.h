// Contract records other than TagValue: field descriptions, access rights,
// history requests, reference descriptions and the version. Plain data with
// public members; copy freely.
#ifndef VANTREL_CONTRACTS_RECORDS_H_
#define VANTREL_CONTRACTS_RECORDS_H_

#include <cstdint>
#include <string>
#include <utility>

#include "contracts/date_time.h"
#include "contracts/enums.h"
#include "contracts/selectors.h"

namespace vantrel::contracts {

// A field that the database defines: its name, the id of the record that
// describes it, and its field tag (field number shifted left by 16).
class Field {
 public:
  Field() = default;
  // fieldNumber is the 16-bit field number (stored as its field tag in
  // Number); id is the field description record's id.
  Field(std::string name, int32_t fieldNumber, int32_t id)
      : Name(std::move(name)),
        Id(id),
        Number(static_cast<int32_t>(static_cast<uint32_t>(fieldNumber) << 16)) {}

  std::string Name;
  int32_t Id = 0;
  int32_t Number = 0;

  friend bool operator==(const Field&, const Field&) = default;
};

// How a definition record describes one of its fields.
class FieldDefinition : public Field {
 public:
  TypeCode DataType = TypeCode::Empty;
  FieldReferenceTypeEnum FieldReferenceType = FieldReferenceTypeEnum::None;
  int32_t SelectorRecordId = 0;
  int16_t Length = 0;
  int16_t RepeatArea = 0;
  int16_t QualityField = 0;
  int16_t TimestampField = 0;
  int16_t HistoryPointer = 0;
  Selectors FormattedStrings;
  bool ReadOnlyUsable = false;
  bool ReadOnlyUnusable = false;

  friend bool operator==(const FieldDefinition&, const FieldDefinition&) = default;
};

struct FieldAccessRights {
  bool ReadOnly = false;
  bool UserReadOnly = false;

  friend bool operator==(const FieldAccessRights&, const FieldAccessRights&) = default;
};

// History flags of a field: bit 0 (the field keeps history) and bit 1 (its
// history is archived) of the database's flag word.
class TagHistoryInfo {
 public:
  TagHistoryInfo() = default;
  TagHistoryInfo(bool hasHistory, bool isArchived)
      : HasHistory(hasHistory), IsArchived(isArchived) {}

  bool HasHistory = false;
  bool IsArchived = false;

  friend bool operator==(const TagHistoryInfo&, const TagHistoryInfo&) = default;
};

// Where a tag is referenced.
struct ReferenceInfo {
  ReferenceSourceTypeEnum Source = ReferenceSourceTypeEnum::Calculation;
  std::string Info;
  std::string DefinitionRecord;

  friend bool operator==(const ReferenceInfo&, const ReferenceInfo&) = default;
};

// One history query. StartTime and EndTime at DateTime::MinValue or
// DateTime::MaxValue mean that the bound is not given.
class HistoryQuery {
 public:
  DateTime StartTime;
  DateTime EndTime;
  int32_t MaxCount = 0;
  HistoryRequestTypeEnum RequestType = HistoryRequestTypeEnum::Kind4;
  OutsidersRequestTypeEnum OusidersType = OutsidersRequestTypeEnum::None;
  bool ReturnStep = false;

  friend bool operator==(const HistoryQuery&, const HistoryQuery&) = default;
};

struct HistoryRequestById {
  int32_t TagId = 0;
  int32_t FieldId = 0;
  HistoryQuery Query;

  friend bool operator==(const HistoryRequestById&, const HistoryRequestById&) = default;
};

// A version of four non-negative numbers, "major.minor.build.revision".
struct Version {
  int32_t Major = 0;
  int32_t Minor = 0;
  int32_t Build = 0;
  int32_t Revision = 0;

  std::string ToString() const;
  friend auto operator<=>(const Version&, const Version&) = default;
};

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_RECORDS_H_
