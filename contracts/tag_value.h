// TagValue: one value of one field with its quality and time, and the
// identifiers that record pointers carry. Plain value types; copy freely.
#ifndef VANTREL_CONTRACTS_TAG_VALUE_H_
#define VANTREL_CONTRACTS_TAG_VALUE_H_

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "contracts/date_time.h"

namespace vantrel::contracts {

// A record (or field) named with its number: a record name and record id,
// or, as the second entry of a record-and-field pointer, a field name and
// field tag.
class TagIdentifier {
 public:
  TagIdentifier() = default;
  TagIdentifier(std::string name, int32_t number) : Name(std::move(name)), number_(number) {}

  std::string Name;
  int32_t RecordID() const { return number_; }
  void SetRecordID(int32_t number) { number_ = number; }

  friend bool operator==(const TagIdentifier&, const TagIdentifier&) = default;

 private:
  int32_t number_ = 0;
};

using TagIdentifiers = std::vector<TagIdentifier>;

// The value of a TagValue: nothing, or one of the kinds a field can hold.
// A record pointer is its record's name (string); a record-and-field
// pointer is a TagIdentifiers list of two entries.
using Value = std::variant<std::monostate, bool, int16_t, int32_t, int64_t, float, double,
                           DateTime, std::string, TagIdentifiers>;

inline bool HasValue(const Value& value) {
  return !std::holds_alternative<std::monostate>(value);
}

// One value of one field: the value, its time and its quality. A value
// without quality has Status kNoStatus and Level kNoLevel; a value without a
// time has DateTime::MinValue.
class TagValue {
 public:
  static constexpr int32_t kNoStatus = -32768;
  static constexpr int32_t kNoLevel = -1;

  TagValue() = default;
  TagValue(contracts::Value value, DateTime timestamp, int32_t status, int32_t level)
      : Value(std::move(value)), Timestamp(timestamp), Status(status), Level(level) {}

  contracts::Value Value;
  DateTime Timestamp;
  int32_t Status = 0;
  int32_t Level = 0;

  friend bool operator==(const TagValue&, const TagValue&) = default;
};

using TagValues = std::vector<TagValue>;

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_TAG_VALUE_H_
