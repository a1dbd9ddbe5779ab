#include "contracts/enums.h"

#include <array>
#include <charconv>
#include <type_traits>

namespace vantrel::contracts {
namespace {

template <typename Enum>
struct EnumName {
  Enum value;
  std::string_view name;
};

constexpr std::array<EnumName<TagTypeEnum>, 6> kTagTypeNames = {{
    {TagTypeEnum::Other, "Other"},
    {TagTypeEnum::Definition, "Definition"},
    {TagTypeEnum::RecordKind3, "RecordKind3"},
    {TagTypeEnum::RecordKind19, "RecordKind19"},
    {TagTypeEnum::RecordKind5, "RecordKind5"},
    {TagTypeEnum::WithMapRecord, "WithMapRecord"},
}};

constexpr std::array<EnumName<FieldReferenceTypeEnum>, 6> kFieldReferenceTypeNames = {{
    {FieldReferenceTypeEnum::None, "None"},
    {FieldReferenceTypeEnum::Record, "Record"},
    {FieldReferenceTypeEnum::Flagged, "Flagged"},
    {FieldReferenceTypeEnum::DataType5, "DataType5"},
    {FieldReferenceTypeEnum::DataType6, "DataType6"},
    {FieldReferenceTypeEnum::Selector, "Selector"},
}};

constexpr std::array<EnumName<ReferenceSourceTypeEnum>, 3> kReferenceSourceTypeNames = {{
    {ReferenceSourceTypeEnum::Calculation, "Calculation"},
    {ReferenceSourceTypeEnum::RecordReference, "RecordReference"},
    {ReferenceSourceTypeEnum::SqlQuery, "SqlQuery"},
}};

constexpr std::array<EnumName<HistoryRequestTypeEnum>, 1> kHistoryRequestTypeNames = {{
    {HistoryRequestTypeEnum::Kind4, "Kind4"},
}};

constexpr std::array<EnumName<OutsidersRequestTypeEnum>, 10> kOutsidersRequestTypeNames = {{
    {OutsidersRequestTypeEnum::None, "None"},
    {OutsidersRequestTypeEnum::BeforeA, "BeforeA"},
    {OutsidersRequestTypeEnum::AfterA, "AfterA"},
    {OutsidersRequestTypeEnum::BothA, "BothA"},
    {OutsidersRequestTypeEnum::BeforeB, "BeforeB"},
    {OutsidersRequestTypeEnum::AfterB, "AfterB"},
    {OutsidersRequestTypeEnum::BothB, "BothB"},
    {OutsidersRequestTypeEnum::BeforeC, "BeforeC"},
    {OutsidersRequestTypeEnum::AfterC, "AfterC"},
    {OutsidersRequestTypeEnum::BothC, "BothC"},
}};

constexpr std::array<EnumName<TypeCode>, 7> kTypeCodeNames = {{
    {TypeCode::Empty, "Empty"},
    {TypeCode::Int16, "Int16"},
    {TypeCode::Int32, "Int32"},
    {TypeCode::Single, "Single"},
    {TypeCode::Double, "Double"},
    {TypeCode::DateTime, "DateTime"},
    {TypeCode::String, "String"},
}};

constexpr std::array<EnumName<DateTimeKind>, 3> kDateTimeKindNames = {{
    {DateTimeKind::Unspecified, "Unspecified"},
    {DateTimeKind::Utc, "Utc"},
    {DateTimeKind::Local, "Local"},
}};

// The name table of each enum, chosen by overload on a value of that enum.
constexpr const auto& NamesOf(TagTypeEnum) { return kTagTypeNames; }
constexpr const auto& NamesOf(FieldReferenceTypeEnum) { return kFieldReferenceTypeNames; }
constexpr const auto& NamesOf(ReferenceSourceTypeEnum) { return kReferenceSourceTypeNames; }
constexpr const auto& NamesOf(HistoryRequestTypeEnum) { return kHistoryRequestTypeNames; }
constexpr const auto& NamesOf(OutsidersRequestTypeEnum) { return kOutsidersRequestTypeNames; }
constexpr const auto& NamesOf(TypeCode) { return kTypeCodeNames; }
constexpr const auto& NamesOf(DateTimeKind) { return kDateTimeKindNames; }

template <typename Enum>
std::string NameOrNumber(Enum value) {
  for (const auto& entry : NamesOf(value)) {
    if (entry.value == value) return std::string(entry.name);
  }
  return std::to_string(static_cast<std::underlying_type_t<Enum>>(value));
}

}  // namespace

std::string ToString(TagTypeEnum value) { return NameOrNumber(value); }
std::string ToString(FieldReferenceTypeEnum value) { return NameOrNumber(value); }
std::string ToString(ReferenceSourceTypeEnum value) { return NameOrNumber(value); }
std::string ToString(HistoryRequestTypeEnum value) { return NameOrNumber(value); }
std::string ToString(OutsidersRequestTypeEnum value) { return NameOrNumber(value); }
std::string ToString(TypeCode value) { return NameOrNumber(value); }
std::string ToString(DateTimeKind value) { return NameOrNumber(value); }

template <typename Enum>
std::optional<Enum> ParseEnum(std::string_view text) {
  for (const auto& entry : NamesOf(Enum{})) {
    if (entry.name == text) return entry.value;
  }
  std::underlying_type_t<Enum> number{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return static_cast<Enum>(number);
}

template std::optional<TagTypeEnum> ParseEnum<TagTypeEnum>(std::string_view);
template std::optional<FieldReferenceTypeEnum> ParseEnum<FieldReferenceTypeEnum>(std::string_view);
template std::optional<ReferenceSourceTypeEnum> ParseEnum<ReferenceSourceTypeEnum>(
    std::string_view);
template std::optional<HistoryRequestTypeEnum> ParseEnum<HistoryRequestTypeEnum>(std::string_view);
template std::optional<OutsidersRequestTypeEnum> ParseEnum<OutsidersRequestTypeEnum>(
    std::string_view);
template std::optional<TypeCode> ParseEnum<TypeCode>(std::string_view);
template std::optional<DateTimeKind> ParseEnum<DateTimeKind>(std::string_view);

}  // namespace vantrel::contracts
