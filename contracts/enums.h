// Enumerations of the contracts with their fixed numbers, and their names as
// text (messages name an enumerator, and the JSON form uses the names).
// A value without a name (an unlisted number) formats as its number.
#ifndef VANTREL_CONTRACTS_ENUMS_H_
#define VANTREL_CONTRACTS_ENUMS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/date_time.h"

namespace vantrel::contracts {

enum class TagTypeEnum : int32_t {
  Other = 0,
  Definition = 1,
  RecordKind3 = 2,
  RecordKind19 = 3,
  RecordKind5 = 4,
  WithMapRecord = 5,
};

enum class FieldReferenceTypeEnum : int32_t {
  None = 0,
  Record = 1,
  Flagged = 2,
  DataType5 = 3,
  DataType6 = 4,
  Selector = 5,
};

enum class ReferenceSourceTypeEnum : int32_t {
  Calculation = 0,
  RecordReference = 1,
  SqlQuery = 2,
};

enum class HistoryRequestTypeEnum : int32_t {
  Kind4 = 4,
};

// Bit flags: which values just outside a history interval to add.
enum class OutsidersRequestTypeEnum : int32_t {
  None = 0,
  BeforeA = 1,
  AfterA = 2,
  BothA = 3,
  BeforeB = 8,
  AfterB = 16,
  BothB = 24,
  BeforeC = 32,
  AfterC = 64,
  BothC = 96,
};

// Value type codes of a FieldDefinition (the only ones the library sets).
enum class TypeCode : int32_t {
  Empty = 0,
  Int16 = 7,
  Int32 = 9,
  Single = 13,
  Double = 14,
  DateTime = 16,
  String = 18,
};

// The enumerator's name ("Kind4"), or the number as text when the value has
// no name.
std::string ToString(TagTypeEnum value);
std::string ToString(FieldReferenceTypeEnum value);
std::string ToString(ReferenceSourceTypeEnum value);
std::string ToString(HistoryRequestTypeEnum value);
std::string ToString(OutsidersRequestTypeEnum value);
std::string ToString(TypeCode value);
std::string ToString(DateTimeKind value);

// Parses an enumerator name (exact spelling) or a decimal int32 number
// ("-5" too; a number without a name is accepted, as bit flags need).
// Returns nothing for other text. Instantiated for every enum above.
template <typename Enum>
std::optional<Enum> ParseEnum(std::string_view text);

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_ENUMS_H_
