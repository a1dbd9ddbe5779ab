// Building a database in code: DatabaseBuilder collects a DatabasePlan from
// definitions (FieldSpec), records, values (Value, Sample, with Timestamp
// and pointers RecordLink and FieldLink) and history (HistoryPoint); Install
// or CreateDatabase (control.h) build it. A builder is used by one thread at
// a time; the values are plain copies.
#ifndef VANTREL_ENGINE_DATABASE_BUILDER_H_
#define VANTREL_ENGINE_DATABASE_BUILDER_H_

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/control_export.h"

namespace dorvik {

// A point in time: microseconds since 1970-01-01 00:00:00 UTC.
struct Timestamp {
  int64_t micros = 0;
  static constexpr Timestamp FromSeconds(int64_t seconds, int64_t micros = 0) {
    return Timestamp{seconds * 1'000'000 + micros};
  }
  // ISO 8601 ("2024-03-07T09:05:01.5Z") or "M/d/yyyy H:mm:ss", UTC.
  DORVIK_CONTROL_EXPORT static Timestamp Parse(std::string_view text);
  friend bool operator==(Timestamp, Timestamp) = default;
};

// A record pointer by name (or by id when the name is empty).
struct RecordLink {
  std::string name;
  int32_t id = 0;
};

// A record-and-field pointer: record, field name, occurrence.
struct FieldLink {
  RecordLink record;
  std::string field;
  int32_t occurrence = 0;
};

// A value as the builder takes it; it converts to the field's kind when the
// database is built (texts parse into numbers and times, a text names the
// record of a pointer field).
class DORVIK_CONTROL_EXPORT Value {
 public:
  using Variant = std::variant<std::monostate, int64_t, double, std::string, Timestamp, RecordLink, FieldLink>;
  Value() = default;
  template <std::integral T>
  Value(T value) : value_(static_cast<int64_t>(value)) {}
  Value(double value) : value_(value) {}
  Value(const char* value) : value_(std::string(value)) {}
  Value(std::string value) : value_(std::move(value)) {}
  Value(Timestamp value) : value_(value) {}
  Value(RecordLink value) : value_(std::move(value)) {}
  Value(FieldLink value) : value_(std::move(value)) {}
  const Variant& Get() const { return value_; }
  bool IsNone() const { return std::holds_alternative<std::monostate>(value_); }

 private:
  Variant value_;
};

// A value with quality. A field without quality keeps only the value and
// the time (its time of last write).
struct Sample {
  Sample() = default;
  Sample(Value v, int16_t s = 0, int16_t l = 0, Timestamp t = {})
      : value(std::move(v)), status(s), level(l), time(t) {}
  Value value;
  int16_t status = 0;
  int16_t level = 0;
  Timestamp time;
};

// One stored history value.
struct HistoryPoint {
  Timestamp time;
  Value value;
  int16_t level = 0;
};

// One field of a definition. Start with a kind, then refine:
//   FieldSpec::Real("VALUE").WithQuality().WithHistory()
//   FieldSpec::Real("TREND").InRepeatArea("TREND_COUNT")
class DORVIK_CONTROL_EXPORT FieldSpec {
 public:
  // Kinds (database data types 0 to 6).
  static FieldSpec Integer(std::string name, int bits = 15, bool isSigned = true);
  static FieldSpec Real(std::string name, int bytes = 8);
  static FieldSpec Text(std::string name, int16_t length);
  static FieldSpec Text5(std::string name, int16_t length);  // data type 5
  static FieldSpec Time(std::string name);
  static FieldSpec RecordPointer(std::string name);
  static FieldSpec FieldPointer(std::string name);
  static FieldSpec Count(std::string name);  // counts the occurrences of a repeat area
  static FieldSpec Raw(std::string name, int16_t dataType, int16_t lengthWord);

  FieldSpec& WithQuality(int16_t qualityField = 1);
  FieldSpec& WithTimestampField(int16_t timestampField);
  FieldSpec& WithHistory(bool archived = false, int16_t historyPointer = 1);
  FieldSpec& Flagged();  // integer length word bit 0x400
  FieldSpec& InRepeatArea(std::string countField);
  // A selector record, or a field naming each record's own selector record.
  FieldSpec& WithSelector(std::string selectorRecord);
  FieldSpec& WithWriteProtection(int16_t code);  // 0 never, 1 unusable, 2 usable, 3 always
  FieldSpec& WithOperator(bool change, bool strict = false);
  FieldSpec& ActivatesTask(std::string taskRecord, int16_t priority = 0, int16_t code = 0, int8_t tail = 0);

  struct Activation {
    std::string task;
    int16_t priority = 0;
    int16_t code = 0;
    int8_t tail = 0;
  };
  std::string name;
  int16_t dataType = 1;
  int16_t lengthWord = 0x4F;
  std::string repeatCountField;  // empty: fixed area
  int16_t qualityField = 0;
  int16_t timestampField = 0;
  int16_t historyPointer = 0;
  bool archived = false;
  std::string selector;
  int16_t writeProtection = 3;
  bool operatorChange = true;
  bool operatorStrict = false;
  std::optional<Activation> activates;
};

struct DefinitionOptions {
  int32_t id = 0;               // 0: the next free id
  std::vector<int32_t> kinds;   // record kinds of its records: -3, -5, -19
  int16_t flags = 0;            // the flags word 0x100E0000
};

struct RecordOptions {
  int32_t id = 0;  // 0: the next free id
  bool usable = true;
};

struct DatabasePlan;

// Builds a database in code. Names refer to each other freely (a record may
// name a definition or point at a record added later); everything is
// resolved and checked by Install or Build. Field names are global: the same
// name in two definitions is the same field.
class DORVIK_CONTROL_EXPORT DatabaseBuilder {
 public:
  DatabaseBuilder();
  ~DatabaseBuilder();
  DatabaseBuilder(DatabaseBuilder&&) noexcept;
  DatabaseBuilder& operator=(DatabaseBuilder&&) noexcept;

  DatabaseBuilder& SystemAccount(std::string account);
  DatabaseBuilder& Environment(std::string name, std::string value, bool folder = false);
  // Folder that relative folder variables resolve against (without one, the
  // folder that holds the database).
  DatabaseBuilder& Folder(std::string folder);
  // Declares a global field with a fixed number and description record id
  // (0: chosen); fields named only in definitions are numbered in order.
  DatabaseBuilder& Field(std::string name, int32_t number = 0, int32_t descriptionId = 0);
  DatabaseBuilder& Selector(std::string name, int16_t width, std::vector<std::string> texts, int16_t first = 0,
                            int32_t id = 0);
  DatabaseBuilder& Definition(std::string name, std::vector<FieldSpec> fields, DefinitionOptions options = {});
  DatabaseBuilder& Record(std::string name, std::string definition, RecordOptions options = {});
  // Value of a field of a record; field is "NAME" or "N NAME" (occurrence N,
  // growing the repeat area when needed).
  DatabaseBuilder& Set(std::string record, std::string field, Value value);
  DatabaseBuilder& Set(std::string record, std::string field, Sample sample);
  // All occurrences of a repeated field; sets the count to at least their number.
  DatabaseBuilder& SetOccurrences(std::string record, std::string field, std::vector<Sample> samples);
  DatabaseBuilder& History(std::string record, std::string field, std::vector<HistoryPoint> points);
  // Rights of account ("DOMAIN\user" or "*") on a record, or on a definition
  // and all its records: 1 read, 2 write, 3 all.
  DatabaseBuilder& Grant(std::string account, std::string target, int16_t level = 2);

  const DatabasePlan& Plan() const { return *plan_; }
  DatabasePlan& Plan() { return *plan_; }

 private:
  std::unique_ptr<DatabasePlan> plan_;
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_DATABASE_BUILDER_H_
