// Reading the parts of a JSON database file (FORMAT.md) into a
// DatabasePlan: each function takes one parsed entry (a small tree) and
// checks it, its keys and its value kinds; errors are DatabaseError
// "origin: JSON path: what". The streaming import (json_import.cpp) reads a
// file a piece at a time and hands the pieces here. Stateless;
// thread-compatible.
#ifndef VANTREL_ENGINE_JSON_READER_H_
#define VANTREL_ENGINE_JSON_READER_H_

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "engine/code_page.h"
#include "engine/database_error.h"
#include "engine/database_plan.h"
#include "engine/values.h"

namespace dorvik {

using Json = nlohmann::ordered_json;

inline constexpr std::string_view kFormatName = "dorvik-database";
inline constexpr int kFormatVersion = 1;
inline constexpr std::string_view kTypeNames[] = {"pointer", "integer", "timestamp", "real",
                                                  "character", "character5", "count"};

// A JSON path built on the stack and turned into text only for an error.
class Path {
 public:
  Path() = default;
  Path(const Path& parent, std::string_view key) : parent_(&parent), key_(key) {}
  Path(const Path& parent, std::size_t index) : parent_(&parent), index_(index), isIndex_(true) {}

  std::string Text() const {
    if (parent_ == nullptr) return "";
    return parent_->Text() + "/" + (isIndex_ ? std::to_string(index_) : std::string(key_));
  }

 private:
  const Path* parent_ = nullptr;
  std::string_view key_;
  std::size_t index_ = 0;
  bool isIndex_ = false;
};

class Reader {
 public:
  explicit Reader(std::string_view origin) : origin_(origin) {}
  const std::string& Origin() const { return origin_; }

  [[noreturn]] void Fail(const Path& path, std::string_view what) const {
    const std::string text = path.Text();
    throw DatabaseError(fmt::format("{}: {}: {}", origin_, text.empty() ? "/" : text, what));
  }

  void ExpectObject(const Json& node, const Path& path, std::initializer_list<std::string_view> keys) const {
    if (!node.is_object()) Fail(path, "expected an object");
    for (const auto& [key, value] : node.items()) {
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) Fail(Path(path, key), "unknown key");
    }
  }

  const Json& ArrayAt(const Json& node, std::string_view key, const Path& path) const {
    static const Json kEmpty = Json::array();
    auto it = node.find(key);
    if (it == node.end()) return kEmpty;
    if (!it->is_array()) Fail(Path(path, key), "expected an array");
    return *it;
  }

  std::string Text(const Json& node, const Path& path) const {
    if (!node.is_string()) Fail(path, "expected a text");
    return Text(node.get_ref<const std::string&>(), path);
  }

  std::string Text(const std::string& utf8, const Path& path) const {
    std::string out;
    if (!FromUtf8(utf8, out)) Fail(path, "the text has a character the code page lacks");
    return out;
  }

  std::string TextAt(const Json& node, std::string_view key, const Path& path, bool required) const {
    auto it = node.find(key);
    if (it == node.end()) {
      if (required) Fail(Path(path, key), "missing");
      return {};
    }
    return Text(*it, Path(path, key));
  }

  int64_t Integer(const Json& node, const Path& path, int64_t min, int64_t max) const {
    if (!node.is_number_integer()) Fail(path, "expected an integer");
    const bool tooLarge = node.is_number_unsigned() && node.get<uint64_t>() > static_cast<uint64_t>(max);
    const auto value = tooLarge ? max : node.get<int64_t>();
    if (tooLarge || value < min || value > max) Fail(path, fmt::format("out of range {} to {}", min, max));
    return value;
  }

  template <typename T>
  T IntegerAt(const Json& node, std::string_view key, const Path& path, T fallback,
              int64_t min = std::numeric_limits<T>::min(), int64_t max = std::numeric_limits<T>::max()) const {
    auto it = node.find(key);
    if (it == node.end()) return fallback;
    return static_cast<T>(Integer(*it, Path(path, key), min, max));
  }

  bool Bool(const Json& node, const Path& path) const {
    if (!node.is_boolean()) Fail(path, "expected true or false");
    return node.get<bool>();
  }

  bool BoolAt(const Json& node, std::string_view key, const Path& path, bool fallback) const {
    auto it = node.find(key);
    return it == node.end() ? fallback : Bool(*it, Path(path, key));
  }

  Timestamp Time(const Json& node, const Path& path) const {
    if (!node.is_string()) Fail(path, "expected a time like \"2024-03-07T09:05:01Z\"");
    return TimeText(node.get_ref<const std::string&>(), path);
  }

  // A time the API can hand back: its XUSTS counts seconds since 1970 in
  // an int32, so a time outside 1901-12-13T20:45:52Z to
  // 2038-01-19T03:14:07Z could be stored but never read.
  Timestamp TimeText(std::string_view text, const Path& path) const {
    Micros time = 0;
    if (!ParseTime(text, time)) Fail(path, "expected a time like \"2024-03-07T09:05:01Z\"");
    XUSTS readable{};
    if (!ToXusts(time, readable)) {
      Fail(path, "the time lies outside what the database can hand back, 1901-12-13T20:45:52Z to "
                 "2038-01-19T03:14:07Z");
    }
    return Timestamp{time};
  }

  // A plain value: null, bool, number, text, or a pointer object.
  Value PlainValue(const Json& node, const Path& path) const {
    switch (node.type()) {
      case Json::value_t::null: return Value();
      case Json::value_t::boolean: return Value(node.get<bool>() ? 1 : 0);
      case Json::value_t::number_integer:
      case Json::value_t::number_unsigned:
        return Value(Integer(node, path, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()));
      case Json::value_t::number_float: return Value(node.get<double>());
      case Json::value_t::string: return Value(Text(node, path));
      case Json::value_t::object: return Link(node, path);
      default: Fail(path, "expected a value");
    }
  }

  Value Link(const Json& node, const Path& path) const {
    ExpectObject(node, path, {"record", "field", "occurrence"});
    auto record = node.find("record");
    if (record == node.end()) Fail(Path(path, "record"), "missing");
    RecordLink link;
    if (record->is_string()) {
      link.name = Text(*record, Path(path, "record"));
    } else {
      link.id = static_cast<int32_t>(Integer(*record, Path(path, "record"), 0, kMaxRecordId));
    }
    if (node.find("field") == node.end()) return Value(std::move(link));
    FieldLink field{std::move(link), TextAt(node, "field", path, true),
                    IntegerAt<int32_t>(node, "occurrence", path, 0, 0, kMaxOccurrences)};
    return Value(std::move(field));
  }

  Sample ReadSample(const Json& node, const Path& path) const {
    if (!node.is_object() || node.contains("record")) return Sample(PlainValue(node, path));
    ExpectObject(node, path, {"value", "status", "level", "time"});
    Sample sample;
    if (auto it = node.find("value"); it != node.end()) sample.value = PlainValue(*it, Path(path, "value"));
    sample.status = IntegerAt<int16_t>(node, "status", path, 0);
    sample.level = IntegerAt<int16_t>(node, "level", path, 0);
    if (auto it = node.find("time"); it != node.end()) sample.time = Time(*it, Path(path, "time"));
    return sample;
  }

 private:
  std::string origin_;
};

inline const Path kRoot;

// The entries of each part.
FieldSpec ReadFieldSpec(const Reader& reader, const Json& node, const Path& path);
void ReadDefinition(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan);
// [time, value] or [time, value, level], as a tree or as its items.
HistoryPoint ReadSample(const Reader& reader, const Json& sample, const Path& at);
HistoryPoint ReadSampleItems(const Reader& reader, std::span<const Json> items, const Path& at);
void ReadEnvironment(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan);
void ReadField(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan);
void ReadSelector(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan);
void ReadGrant(const Reader& reader, const Json& node, const Path& path, DatabasePlan& plan);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_JSON_READER_H_
