// JSON form of every contract record and collection, as nlohmann::json
// adl_serializers on contracts::Json (nlohmann::ordered_json, which keeps
// the order of object members), for the command-line tool and any remote
// host. Reading checks the shape completely: input that does not match
// throws JsonFormatError (an ArgumentException) whose message is the JSON
// path and what is wrong, "/5/1073741824/0/value/int16: 70000 is out of
// range for int16". Stateless; safe to use from any thread.
//
// The format:
//   DateTime            text: "2024-03-31T01:59:59.1234567Z" for UTC, no suffix
//                       for unspecified, "2024-03-31T01:59:59.1234567[local]"
//                       for local (DateTime::ToRoundTripString). Reading takes
//                       any text DateTime::Parse accepts.
//   enums               the enumerator's name, "Kind4"; a value without a name
//                       as a number. Reading takes a name or an integer.
//   TagIdentifier       {"name": "T1", "number": 5}
//   Value               null when there is none, else an object with one member
//                       that names the kind: {"bool": true}, {"int16": 3},
//                       {"int32": 3}, {"int64": 3}, {"float": 1.5},
//                       {"double": 1.5}, {"time": <DateTime>}, {"text": "abc"},
//                       {"ids": [<TagIdentifier>, ...]}. A real that JSON cannot
//                       hold is the text "NaN", "Infinity" or "-Infinity".
//   TagValue            {"value", "timestamp", "status", "level"}
//   Field               {"name", "id", "number"}
//   FieldDefinition     the members of Field, then "dataType",
//                       "fieldReferenceType", "selectorRecordId", "length",
//                       "repeatArea", "qualityField", "timestampField",
//                       "historyPointer", "formattedStrings", "readOnlyUsable",
//                       "readOnlyUnusable"
//   FieldAccessRights   {"readOnly", "userReadOnly"}
//   TagHistoryInfo      {"hasHistory", "isArchived"}
//   ReferenceInfo       {"source", "info", "definitionRecord"}
//   HistoryQuery        {"startTime", "endTime", "maxCount", "requestType",
//                       "ousidersType", "returnStep"} (the property's spelling)
//   HistoryRequestById  {"tagId", "fieldId", "query"}
//   Version             {"major", "minor", "build", "revision"}
//   ServiceException    {"errorType", "message"}
//   lists               arrays
//   maps                objects in the map's order; an int32 key is written as
//                       its decimal text ("5", "-65536") and read only in that
//                       canonical form, so two keys cannot name one number.
// Members of a record object may be missing on input (they keep the value of
// a default-constructed record); members the record does not have are errors.
//
// Include this header wherever a contract type meets nlohmann::json, so that
// every translation unit sees the same serializers.
#ifndef VANTREL_CONTRACTS_JSON_H_
#define VANTREL_CONTRACTS_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <tsl/ordered_map.h>

#include "contracts/collections.h"
#include "contracts/date_time.h"
#include "contracts/enums.h"
#include "contracts/json_sink.h"
#include "contracts/records.h"
#include "contracts/service_exception.h"
#include "contracts/tag_value.h"
#include "platform/exceptions.h"

namespace vantrel::contracts {

using Json = nlohmann::ordered_json;

// JSON input that does not match a contract shape. Path() is a JSON pointer
// ("" for the document itself); what() is "<path>: <reason>".
class JsonFormatError : public platform::ArgumentException {
 public:
  JsonFormatError(std::string path, std::string reason);

  const std::string& Path() const { return path_; }
  const std::string& Reason() const { return reason_; }
  // The same error seen from the parent: segment (an object key or an array
  // index, unescaped) is put in front of the path.
  JsonFormatError WithParent(std::string_view segment) const;

 private:
  std::string path_;
  std::string reason_;
};

// The JSON form of any contract type, collection or plain list (TagNames,
// TagIds), and back. FromJson throws JsonFormatError.
template <typename T>
Json ToJson(const T& value);
// The same form as text, written straight from the value without a
// document: byte for byte ToJson(value).dump(-1, ' ', false,
// error_handler_t::replace). AppendJsonText appends it to out.
template <typename T>
std::string ToJsonText(const T& value);
template <typename T>
void AppendJsonText(const T& value, std::string& out);
template <typename T>
T FromJson(const Json& json);
// Parses JSON text and reads T from it; malformed text throws
// JsonFormatError too.
template <typename T>
T ParseJson(std::string_view text);

namespace json_internal {

// A key or an index as a segment of a JSON pointer ("~" and "/" escaped).
std::string EscapeSegment(std::string_view segment);

// The contract records, enumerations, DateTime and Value.
template <typename T>
inline constexpr bool kIsContractRecord =
    std::is_same_v<T, DateTime> || std::is_same_v<T, TagTypeEnum> ||
    std::is_same_v<T, FieldReferenceTypeEnum> || std::is_same_v<T, ReferenceSourceTypeEnum> ||
    std::is_same_v<T, HistoryRequestTypeEnum> || std::is_same_v<T, OutsidersRequestTypeEnum> ||
    std::is_same_v<T, TypeCode> || std::is_same_v<T, TagIdentifier> || std::is_same_v<T, Value> ||
    std::is_same_v<T, TagValue> || std::is_same_v<T, Field> || std::is_same_v<T, FieldDefinition> ||
    std::is_same_v<T, FieldAccessRights> || std::is_same_v<T, TagHistoryInfo> ||
    std::is_same_v<T, ReferenceInfo> || std::is_same_v<T, HistoryQuery> ||
    std::is_same_v<T, HistoryRequestById> || std::is_same_v<T, Version> ||
    std::is_same_v<T, ServiceException>;

// The types whose codec json.cpp defines (and explicitly instantiates).
template <typename T>
inline constexpr bool kIsLeaf =
    kIsContractRecord<T> || std::is_same_v<T, bool> || std::is_same_v<T, int16_t> ||
    std::is_same_v<T, int32_t> || std::is_same_v<T, int64_t> || std::is_same_v<T, float> ||
    std::is_same_v<T, double> || std::is_same_v<T, std::string>;

// Write and Read of one type; defined for the leaves and for lists and
// maps of codable types, undefined (so not Codable) for anything else.
// Write(value, sink) writes to a TextSink or a DomSink (json_sink.h).
template <typename T>
struct Codec;

template <typename T>
concept Codable = requires {
  sizeof(Codec<T>);
};

// The codec of a leaf, defined in json.cpp and instantiated there for every
// leaf type. A separate unconstrained template, because out-of-line members
// of a constrained partial specialization are not portable (clang 14).
template <typename T>
struct LeafCodec {
  template <typename Sink>
  static void Write(const T& value, Sink& sink);
  static T Read(const Json& json);
};

template <typename T>
requires kIsLeaf<T>
struct Codec<T> : LeafCodec<T> {};

// Runs read(); an error inside is reported under segment of the path.
template <typename Read>
auto WithSegment(std::string_view segment, Read&& read) -> decltype(read()) {
  try {
    return std::forward<Read>(read)();
  } catch (const JsonFormatError& error) {
    throw error.WithParent(segment);
  }
}

[[noreturn]] void Fail(std::string reason);
// The key of an int32-keyed map, which must be canonical decimal text.
int32_t ParseIntKey(const std::string& text);

template <Codable T, typename Allocator>
struct Codec<std::vector<T, Allocator>> {
  using List = std::vector<T, Allocator>;

  template <typename Sink>
  static void Write(const List& list, Sink& sink) {
    sink.BeginArray();
    for (const T& element : list) Codec<T>::Write(element, sink);
    sink.EndArray();
  }
  static List Read(const Json& json) {
    if (!json.is_array()) Fail("expected an array");
    List list;
    list.reserve(json.size());
    for (size_t i = 0; i < json.size(); ++i) {
      list.push_back(WithSegment(std::to_string(i), [&] { return Codec<T>::Read(json[i]); }));
    }
    return list;
  }
};

template <typename Key, Codable Mapped, typename... Rest>
requires std::is_same_v<Key, int32_t> || std::is_same_v<Key, std::string>
struct Codec<tsl::ordered_map<Key, Mapped, Rest...>> {
  using Map = tsl::ordered_map<Key, Mapped, Rest...>;

  template <typename Sink>
  static void Write(const Map& map, Sink& sink) {
    sink.BeginObject();
    for (const auto& [key, mapped] : map) {
      if constexpr (std::is_same_v<Key, int32_t>) {
        sink.IntKey(key);
      } else {
        sink.Key(key);
      }
      Codec<Mapped>::Write(mapped, sink);
    }
    sink.EndObject();
  }
  static Map Read(const Json& json) {
    if (!json.is_object()) Fail("expected an object");
    Map map;
    map.reserve(json.size());
    for (auto it = json.begin(); it != json.end(); ++it) {
      const std::string& text = it.key();
      Key key = WithSegment(text, [&] { return KeyFrom(text); });
      Mapped mapped = WithSegment(text, [&] { return Codec<Mapped>::Read(it.value()); });
      map.emplace(std::move(key), std::move(mapped));
    }
    return map;
  }

 private:
  static Key KeyFrom(const std::string& text) {
    if constexpr (std::is_same_v<Key, int32_t>) {
      return ParseIntKey(text);
    } else {
      return text;
    }
  }
};

// The types that get an nlohmann adl_serializer: the contract types and the
// lists and maps built of them. Plain strings, numbers and lists of them
// keep nlohmann's own handling (use ToJson/FromJson for TagNames, TagIds).
template <typename T>
inline constexpr bool kIsContractType = kIsContractRecord<T>;
template <typename T, typename Allocator>
inline constexpr bool kIsContractType<std::vector<T, Allocator>> = kIsContractType<T>;
template <typename Key, typename Mapped, typename... Rest>
inline constexpr bool kIsContractType<tsl::ordered_map<Key, Mapped, Rest...>> =
    Codable<tsl::ordered_map<Key, Mapped, Rest...>>;

}  // namespace json_internal

template <typename T>
Json ToJson(const T& value) {
  json_internal::DomSink sink;
  json_internal::Codec<T>::Write(value, sink);
  return sink.Take();
}

template <typename T>
void AppendJsonText(const T& value, std::string& out) {
  json_internal::TextSink sink(out);
  json_internal::Codec<T>::Write(value, sink);
}

template <typename T>
std::string ToJsonText(const T& value) {
  std::string out;
  AppendJsonText(value, out);
  return out;
}

template <typename T>
T FromJson(const Json& json) {
  return json_internal::Codec<T>::Read(json);
}

// Parses JSON text into a document (contracts/json_parse.cpp). Malformed
// text, and a number too large for a double, throw JsonFormatError naming
// the JSON path where it happened. A repeated key keeps its first place and
// its last value. Linear in the text, however many members an object has.
Json ParseJsonText(std::string_view text);

template <typename T>
T ParseJson(std::string_view text) {
  return FromJson<T>(ParseJsonText(text));
}

}  // namespace vantrel::contracts

namespace nlohmann {

template <typename T>
struct adl_serializer<T, std::enable_if_t<vantrel::contracts::json_internal::kIsContractType<T>>> {
  static void to_json(vantrel::contracts::Json& json, const T& value) {
    json = vantrel::contracts::ToJson(value);
  }
  static void from_json(const vantrel::contracts::Json& json, T& value) {
    value = vantrel::contracts::FromJson<T>(json);
  }
};

}  // namespace nlohmann

#endif  // VANTREL_CONTRACTS_JSON_H_
