#include "contracts/json.h"

#include <algorithm>
#include <charconv>
#include <concepts>
#include <cmath>
#include <functional>
#include <limits>
#include <variant>

#include <fmt/format.h>

namespace vantrel::contracts {

namespace json_internal {

std::string EscapeSegment(std::string_view segment) {
  std::string escaped;
  escaped.reserve(segment.size());
  for (const char c : segment) {
    if (c == '~') {
      escaped += "~0";
    } else if (c == '/') {
      escaped += "~1";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace json_internal

namespace {

std::string DescribeError(const std::string& path, const std::string& reason) {
  return fmt::format("{}: {}", path.empty() ? "(root)" : path, reason);
}

}  // namespace

JsonFormatError::JsonFormatError(std::string path, std::string reason)
    : ArgumentException(DescribeError(path, reason)),
      path_(std::move(path)),
      reason_(std::move(reason)) {}

JsonFormatError JsonFormatError::WithParent(std::string_view segment) const {
  return JsonFormatError("/" + json_internal::EscapeSegment(segment) + path_, reason_);
}

namespace json_internal {

void Fail(std::string reason) { throw JsonFormatError("", std::move(reason)); }

int32_t ParseIntKey(const std::string& text) {
  int32_t key = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, key);
  // Canonical text only ("5", not "05" or "+5"), so that a key names one number once.
  if (error != std::errc() || stop != end || std::to_string(key) != text) {
    Fail("expected a key of decimal int32 text");
  }
  return key;
}

namespace {

template <typename T, typename Sink>
void Write(const T& value, Sink& sink) {
  Codec<T>::Write(value, sink);
}

template <typename T, typename Sink>
void Put(Sink& sink, const char* key, const T& value) {
  sink.MemberName(key);
  Codec<T>::Write(value, sink);
}

// Reads the members of one record object. Missing members keep the value
// they have; Finish() rejects members that were not asked for.
class ObjectReader {
 public:
  explicit ObjectReader(const Json& json) : json_(json) {
    if (!json.is_object()) Fail("expected an object");
  }

  template <typename T>
  void Member(const char* key, T& out) {
    known_.emplace_back(key);
    const auto it = json_.find(key);
    if (it != json_.end()) out = WithSegment(key, [&] { return Codec<T>::Read(*it); });
  }

  void Finish() const {
    for (auto it = json_.begin(); it != json_.end(); ++it) {
      if (std::find(known_.begin(), known_.end(), it.key()) == known_.end()) {
        throw JsonFormatError("", "unknown member").WithParent(it.key());
      }
    }
  }

 private:
  const Json& json_;
  std::vector<std::string_view> known_;
};

// ---- numbers and text

template <typename Integer>
Integer ReadInteger(const Json& json, std::string_view typeName) {
  if (!json.is_number_integer()) Fail("expected an integer");
  const bool inRange =
      json.is_number_unsigned()
          ? json.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<Integer>::max())
          : json.get<int64_t>() >= std::numeric_limits<Integer>::min() &&
                json.get<int64_t>() <= std::numeric_limits<Integer>::max();
  if (!inRange) Fail(fmt::format("{} is out of range for {}", json.dump(), typeName));
  return json.is_number_unsigned() ? static_cast<Integer>(json.get<uint64_t>())
                                   : static_cast<Integer>(json.get<int64_t>());
}

constexpr std::string_view kNaN = "NaN";
constexpr std::string_view kInfinity = "Infinity";
constexpr std::string_view kNegativeInfinity = "-Infinity";

// JSON has no NaN or infinities; they travel as text.
template <typename Sink>
void WriteReal(double value, Sink& sink) {
  if (std::isnan(value)) {
    sink.Text(kNaN);
  } else if (std::isinf(value)) {
    sink.Text(value > 0 ? kInfinity : kNegativeInfinity);
  } else {
    sink.Real(value);
  }
}

double ReadReal(const Json& json) {
  if (json.is_number()) return json.get<double>();
  if (json.is_string()) {
    const auto& text = json.get_ref<const std::string&>();
    if (text == kNaN) return std::numeric_limits<double>::quiet_NaN();
    if (text == kInfinity) return std::numeric_limits<double>::infinity();
    if (text == kNegativeInfinity) return -std::numeric_limits<double>::infinity();
  }
  Fail("expected a number");
}

// A float as the double of its shortest decimal text when that reads back
// as the same float ("1.1", not "1.100000023841858"), else exactly.
template <typename Sink>
void WriteSingle(float value, Sink& sink) {
  if (!std::isfinite(value)) return WriteReal(value, sink);
  const double shortest = std::strtod(fmt::format("{}", value).c_str(), nullptr);
  sink.Real(static_cast<float>(shortest) == value ? shortest : static_cast<double>(value));
}

// The least magnitude that rounds to a float infinity: the largest float
// plus half its last place. Below it a real rounds to a finite float, the
// largest float's own shortest text "3.4028235e+38" among them.
const double kFloatOverflow = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);

float ReadSingle(const Json& json) {
  const double value = ReadReal(json);
  if (std::isfinite(value) && std::fabs(value) >= kFloatOverflow) {
    Fail(fmt::format("{} is out of range for float", json.dump()));
  }
  return static_cast<float>(value);
}

const std::string& ReadText(const Json& json) {
  if (!json.is_string()) Fail("expected a text");
  return json.get_ref<const std::string&>();
}

// ---- enumerations

constexpr std::string_view EnumTypeName(TagTypeEnum) { return "TagTypeEnum"; }
constexpr std::string_view EnumTypeName(FieldReferenceTypeEnum) { return "FieldReferenceTypeEnum"; }
constexpr std::string_view EnumTypeName(ReferenceSourceTypeEnum) {
  return "ReferenceSourceTypeEnum";
}
constexpr std::string_view EnumTypeName(HistoryRequestTypeEnum) { return "HistoryRequestTypeEnum"; }
constexpr std::string_view EnumTypeName(OutsidersRequestTypeEnum) {
  return "OutsidersRequestTypeEnum";
}
constexpr std::string_view EnumTypeName(TypeCode) { return "TypeCode"; }

template <typename Enum, typename Sink>
void WriteEnum(Enum value, Sink& sink) {
  const auto number = static_cast<std::underlying_type_t<Enum>>(value);
  std::string name = ToString(value);
  if (name == std::to_string(number)) {
    sink.Integer(number);
  } else {
    sink.Text(name);
  }
}

template <typename Enum>
Enum ReadEnum(const Json& json) {
  if (json.is_number_integer()) {
    return static_cast<Enum>(ReadInteger<std::underlying_type_t<Enum>>(json, "int32"));
  }
  if (!json.is_string())
    Fail(fmt::format("expected a name of {} or a number", EnumTypeName(Enum{})));
  const auto& text = json.get_ref<const std::string&>();
  const auto value = ParseEnum<Enum>(text);
  if (!value) Fail(fmt::format("\"{}\" is not a name of {}", text, EnumTypeName(Enum{})));
  return *value;
}

// ---- leaves: one WriteLeaf and one ReadLeaf per type

template <typename Sink>
void WriteLeaf(bool value, Sink& sink) { sink.Bool(value); }
void ReadLeaf(const Json& json, bool& value) {
  if (!json.is_boolean()) Fail("expected true or false");
  value = json.get<bool>();
}

template <typename Sink>
void WriteLeaf(int16_t value, Sink& sink) { sink.Integer(value); }
void ReadLeaf(const Json& json, int16_t& value) { value = ReadInteger<int16_t>(json, "int16"); }

template <typename Sink>
void WriteLeaf(int32_t value, Sink& sink) { sink.Integer(value); }
void ReadLeaf(const Json& json, int32_t& value) { value = ReadInteger<int32_t>(json, "int32"); }

template <typename Sink>
void WriteLeaf(int64_t value, Sink& sink) { sink.Integer(value); }
void ReadLeaf(const Json& json, int64_t& value) { value = ReadInteger<int64_t>(json, "int64"); }

template <typename Sink>
void WriteLeaf(float value, Sink& sink) { WriteSingle(value, sink); }
void ReadLeaf(const Json& json, float& value) { value = ReadSingle(json); }

template <typename Sink>
void WriteLeaf(double value, Sink& sink) { WriteReal(value, sink); }
void ReadLeaf(const Json& json, double& value) { value = ReadReal(json); }

template <typename Sink>
void WriteLeaf(const std::string& value, Sink& sink) { sink.Text(value); }
void ReadLeaf(const Json& json, std::string& value) { value = ReadText(json); }

template <typename Sink>
void WriteLeaf(const DateTime& value, Sink& sink) {
  DateTime::TextBuffer buffer;
  sink.PlainText(value.ToRoundTripText(buffer));  // digits, '-', 'T', ':', '.', then 'Z' or "[local]"
}
void ReadLeaf(const Json& json, DateTime& value) {
  if (!json.is_string()) Fail("expected a date and time text");
  try {
    value = DateTime::Parse(json.get_ref<const std::string&>());
  } catch (const platform::FormatException& error) {
    Fail(error.what());
  }
}

template <typename Enum, typename Sink>
requires std::is_enum_v<Enum>
void WriteLeaf(Enum value, Sink& sink) { WriteEnum(value, sink); }
template <typename Enum>
requires std::is_enum_v<Enum>
void ReadLeaf(const Json& json, Enum& value) { value = ReadEnum<Enum>(json); }

template <typename Sink>
void WriteLeaf(const TagIdentifier& value, Sink& sink) {
  sink.BeginObject();
  Put(sink, "name", value.Name);
  Put(sink, "number", value.RecordID());
  sink.EndObject();
}
void ReadLeaf(const Json& json, TagIdentifier& value) {
  ObjectReader reader(json);
  int32_t number = value.RecordID();
  reader.Member("name", value.Name);
  reader.Member("number", number);
  reader.Finish();
  value.SetRecordID(number);
}

// The member names that tag a Value with its kind, in the order of the
// variant's alternatives.
constexpr std::array<std::string_view, std::variant_size_v<Value>> kValueKinds = {
    "", "bool", "int16", "int32", "int64", "float", "double", "time", "text", "ids"};
static_assert(std::is_same_v<std::variant_alternative_t<9, Value>, TagIdentifiers>);

template <typename Sink>
void WriteLeaf(const Value& value, Sink& sink) {
  if (!HasValue(value)) return sink.Null();
  std::visit(
      [&](const auto& held) {
        using Held = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<Held, std::monostate>) {
          sink.Null();
        } else {
          sink.BeginObject();
          sink.MemberName(kValueKinds[value.index()]);
          Write(held, sink);
          sink.EndObject();
        }
      },
      value);
}

// The alternative of Value with index Index, read from json.
template <size_t Index>
Value ReadAlternative(const Json& json) {
  using Held = std::variant_alternative_t<Index, Value>;
  return Value(std::in_place_index<Index>, Codec<Held>::Read(json));
}

template <size_t... Indices>
Value ReadValueOfKind(size_t kind, const Json& json, std::index_sequence<Indices...>) {
  using Reader = Value (*)(const Json&);
  // Index 0 (no value) has no kind name and is never looked up.
  constexpr Reader kReaders[] = {nullptr, &ReadAlternative<Indices + 1>...};
  return kReaders[kind](json);
}

void ReadLeaf(const Json& json, Value& value) {
  if (json.is_null()) {
    value = std::monostate{};
    return;
  }
  if (!json.is_object() || json.size() != 1) {
    Fail("expected null or an object with one member naming the kind of the value");
  }
  const std::string& kindName = json.begin().key();
  const auto kind = std::find(kValueKinds.begin() + 1, kValueKinds.end(), kindName);
  if (kind == kValueKinds.end()) {
    Fail(
        fmt::format("unknown kind of value \"{}\" (expected one of bool, int16, int32, int64, "
                    "float, double, time, text, ids)",
                    kindName));
  }
  const auto index = static_cast<size_t>(kind - kValueKinds.begin());
  value = WithSegment(kindName, [&] {
    return ReadValueOfKind(index, json.begin().value(),
                           std::make_index_sequence<std::variant_size_v<Value> - 1>());
  });
}

// ---- records: each lists its members once, for writing and for reading

template <typename T, typename Record>
concept RecordOf = std::same_as<std::remove_const_t<T>, Record>;

template <RecordOf<TagValue> T, typename Visit>
void EachMember(T& value, Visit&& visit) {
  visit("value", value.Value);
  visit("timestamp", value.Timestamp);
  visit("status", value.Status);
  visit("level", value.Level);
}

template <RecordOf<Field> T, typename Visit>
void EachMember(T& value, Visit&& visit) {
  visit("name", value.Name);
  visit("id", value.Id);
  visit("number", value.Number);
}

template <RecordOf<FieldDefinition> T, typename Visit>
void EachMember(T& value, Visit&& visit) {
  using Base = std::conditional_t<std::is_const_v<T>, const Field, Field>;
  EachMember(static_cast<Base&>(value), visit);
  visit("dataType", value.DataType);
  visit("fieldReferenceType", value.FieldReferenceType);
  visit("selectorRecordId", value.SelectorRecordId);
  visit("length", value.Length);
  visit("repeatArea", value.RepeatArea);
  visit("qualityField", value.QualityField);
  visit("timestampField", value.TimestampField);
  visit("historyPointer", value.HistoryPointer);
  visit("formattedStrings", value.FormattedStrings);
  visit("readOnlyUsable", value.ReadOnlyUsable);
  visit("readOnlyUnusable", value.ReadOnlyUnusable);
}

template <RecordOf<FieldAccessRights> T, typename Visit>
void EachMember(T& value, Visit&& visit) {
  visit("readOnly", value.ReadOnly);
  visit("userReadOnly", value.UserReadOnly);
}

template <RecordOf<TagHistoryInfo> T, typename Visit>
void EachMember(T& value, Visit&& visit) {
  visit("hasHistory", value.HasHistory);
  visit("isArchived", value.IsArchived);
}

template <RecordOf<ReferenceInfo> T, typename Visit>
void EachMember(T& value, Visit&& visit) {
  visit("source", value.Source);
  visit("info", value.Info);
  visit("definitionRecord", value.DefinitionRecord);
}

template <RecordOf<HistoryQuery> T, typename Visit>
void EachMember(T& value, Visit&& visit) {
  visit("startTime", value.StartTime);
  visit("endTime", value.EndTime);
  visit("maxCount", value.MaxCount);
  visit("requestType", value.RequestType);
  visit("ousidersType", value.OusidersType);
  visit("returnStep", value.ReturnStep);
}

template <RecordOf<HistoryRequestById> T, typename Visit>
void EachMember(T& value, Visit&& visit) {
  visit("tagId", value.TagId);
  visit("fieldId", value.FieldId);
  visit("query", value.Query);
}

template <RecordOf<Version> T, typename Visit>
void EachMember(T& value, Visit&& visit) {
  visit("major", value.Major);
  visit("minor", value.Minor);
  visit("build", value.Build);
  visit("revision", value.Revision);
}

template <typename T>
concept HasMemberList = requires(T& value) { EachMember(value, [](const char*, auto&) {}); };

template <HasMemberList T, typename Sink>
void WriteLeaf(const T& value, Sink& sink) {
  sink.BeginObject();
  EachMember(value, [&](const char* key, const auto& member) { Put(sink, key, member); });
  sink.EndObject();
}

template <HasMemberList T>
void ReadLeaf(const Json& json, T& value) {
  ObjectReader reader(json);
  EachMember(value, [&](const char* key, auto& member) { reader.Member(key, member); });
  reader.Finish();
}

template <typename Sink>
void WriteLeaf(const ServiceException& value, Sink& sink) {
  sink.BeginObject();
  Put(sink, "errorType", value.ErrorType());
  Put(sink, "message", value.Message());
  sink.EndObject();
}
void ReadLeaf(const Json& json, ServiceException& value) {
  ObjectReader reader(json);
  std::string errorType = value.ErrorType();
  std::string message = value.Message();
  reader.Member("errorType", errorType);
  reader.Member("message", message);
  reader.Finish();
  value = ServiceException(std::move(errorType), std::move(message));
}

}  // namespace

template <typename T>
template <typename Sink>
void LeafCodec<T>::Write(const T& value, Sink& sink) {
  WriteLeaf(value, sink);
}

template <typename T>
T LeafCodec<T>::Read(const Json& json) {
  T value{};
  ReadLeaf(json, value);
  return value;
}

template struct LeafCodec<bool>;
template void LeafCodec<bool>::Write(const bool&, TextSink&);
template void LeafCodec<bool>::Write(const bool&, DomSink&);
template struct LeafCodec<int16_t>;
template void LeafCodec<int16_t>::Write(const int16_t&, TextSink&);
template void LeafCodec<int16_t>::Write(const int16_t&, DomSink&);
template struct LeafCodec<int32_t>;
template void LeafCodec<int32_t>::Write(const int32_t&, TextSink&);
template void LeafCodec<int32_t>::Write(const int32_t&, DomSink&);
template struct LeafCodec<int64_t>;
template void LeafCodec<int64_t>::Write(const int64_t&, TextSink&);
template void LeafCodec<int64_t>::Write(const int64_t&, DomSink&);
template struct LeafCodec<float>;
template void LeafCodec<float>::Write(const float&, TextSink&);
template void LeafCodec<float>::Write(const float&, DomSink&);
template struct LeafCodec<double>;
template void LeafCodec<double>::Write(const double&, TextSink&);
template void LeafCodec<double>::Write(const double&, DomSink&);
template struct LeafCodec<std::string>;
template void LeafCodec<std::string>::Write(const std::string&, TextSink&);
template void LeafCodec<std::string>::Write(const std::string&, DomSink&);
template struct LeafCodec<DateTime>;
template void LeafCodec<DateTime>::Write(const DateTime&, TextSink&);
template void LeafCodec<DateTime>::Write(const DateTime&, DomSink&);
template struct LeafCodec<TagTypeEnum>;
template void LeafCodec<TagTypeEnum>::Write(const TagTypeEnum&, TextSink&);
template void LeafCodec<TagTypeEnum>::Write(const TagTypeEnum&, DomSink&);
template struct LeafCodec<FieldReferenceTypeEnum>;
template void LeafCodec<FieldReferenceTypeEnum>::Write(const FieldReferenceTypeEnum&, TextSink&);
template void LeafCodec<FieldReferenceTypeEnum>::Write(const FieldReferenceTypeEnum&, DomSink&);
template struct LeafCodec<ReferenceSourceTypeEnum>;
template void LeafCodec<ReferenceSourceTypeEnum>::Write(const ReferenceSourceTypeEnum&, TextSink&);
template void LeafCodec<ReferenceSourceTypeEnum>::Write(const ReferenceSourceTypeEnum&, DomSink&);
template struct LeafCodec<HistoryRequestTypeEnum>;
template void LeafCodec<HistoryRequestTypeEnum>::Write(const HistoryRequestTypeEnum&, TextSink&);
template void LeafCodec<HistoryRequestTypeEnum>::Write(const HistoryRequestTypeEnum&, DomSink&);
template struct LeafCodec<OutsidersRequestTypeEnum>;
template void LeafCodec<OutsidersRequestTypeEnum>::Write(const OutsidersRequestTypeEnum&, TextSink&);
template void LeafCodec<OutsidersRequestTypeEnum>::Write(const OutsidersRequestTypeEnum&, DomSink&);
template struct LeafCodec<TypeCode>;
template void LeafCodec<TypeCode>::Write(const TypeCode&, TextSink&);
template void LeafCodec<TypeCode>::Write(const TypeCode&, DomSink&);
template struct LeafCodec<TagIdentifier>;
template void LeafCodec<TagIdentifier>::Write(const TagIdentifier&, TextSink&);
template void LeafCodec<TagIdentifier>::Write(const TagIdentifier&, DomSink&);
template struct LeafCodec<Value>;
template void LeafCodec<Value>::Write(const Value&, TextSink&);
template void LeafCodec<Value>::Write(const Value&, DomSink&);
template struct LeafCodec<TagValue>;
template void LeafCodec<TagValue>::Write(const TagValue&, TextSink&);
template void LeafCodec<TagValue>::Write(const TagValue&, DomSink&);
template struct LeafCodec<Field>;
template void LeafCodec<Field>::Write(const Field&, TextSink&);
template void LeafCodec<Field>::Write(const Field&, DomSink&);
template struct LeafCodec<FieldDefinition>;
template void LeafCodec<FieldDefinition>::Write(const FieldDefinition&, TextSink&);
template void LeafCodec<FieldDefinition>::Write(const FieldDefinition&, DomSink&);
template struct LeafCodec<FieldAccessRights>;
template void LeafCodec<FieldAccessRights>::Write(const FieldAccessRights&, TextSink&);
template void LeafCodec<FieldAccessRights>::Write(const FieldAccessRights&, DomSink&);
template struct LeafCodec<TagHistoryInfo>;
template void LeafCodec<TagHistoryInfo>::Write(const TagHistoryInfo&, TextSink&);
template void LeafCodec<TagHistoryInfo>::Write(const TagHistoryInfo&, DomSink&);
template struct LeafCodec<ReferenceInfo>;
template void LeafCodec<ReferenceInfo>::Write(const ReferenceInfo&, TextSink&);
template void LeafCodec<ReferenceInfo>::Write(const ReferenceInfo&, DomSink&);
template struct LeafCodec<HistoryQuery>;
template void LeafCodec<HistoryQuery>::Write(const HistoryQuery&, TextSink&);
template void LeafCodec<HistoryQuery>::Write(const HistoryQuery&, DomSink&);
template struct LeafCodec<HistoryRequestById>;
template void LeafCodec<HistoryRequestById>::Write(const HistoryRequestById&, TextSink&);
template void LeafCodec<HistoryRequestById>::Write(const HistoryRequestById&, DomSink&);
template struct LeafCodec<Version>;
template void LeafCodec<Version>::Write(const Version&, TextSink&);
template void LeafCodec<Version>::Write(const Version&, DomSink&);
template struct LeafCodec<ServiceException>;
template void LeafCodec<ServiceException>::Write(const ServiceException&, TextSink&);
template void LeafCodec<ServiceException>::Write(const ServiceException&, DomSink&);

}  // namespace json_internal
}  // namespace vantrel::contracts
