// The in-memory database of the engine: records, definitions, global
// fields, selectors, values with quality, history, grants and environment.
//
// A Database is a plain data structure with the lookups and updates that the
// API functions need; it does no locking of its own. The engine keeps the
// current Database behind one reader-writer lock (engine.h): const members
// run under the shared lock, the others under the exclusive lock.
//
// Records, definitions, field description records and selector records all
// share one id space. The system catalog (the definitions of definitions,
// fields and selectors, and the description records of the database's own
// fields) occupies ids 1 to kFirstUserId - 1.
#ifndef VANTREL_ENGINE_DATABASE_H_
#define VANTREL_ENGINE_DATABASE_H_

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "api/records.h"
#include "engine/control.h"

namespace dorvik {

using Micros = int64_t;  // microseconds since 1970-01-01 00:00:00 UTC

// Database data types of a field (the definition's data type column).
inline constexpr int16_t kTypePointer = 0;
inline constexpr int16_t kTypeInteger = 1;
inline constexpr int16_t kTypeTimestamp = 2;
inline constexpr int16_t kTypeReal = 3;
inline constexpr int16_t kTypeCharacter = 4;
inline constexpr int16_t kTypeCharacter5 = 5;
inline constexpr int16_t kTypeCount = 6;

// Integer length word: bits in the low 6 bits, 0x40 signed, 0x400 flagged.
inline constexpr int16_t kLengthBitsMask = 0x3F;
inline constexpr int16_t kLengthSigned = 0x40;
inline constexpr int16_t kLengthFlagged = 0x400;
// Pointer length word of a record-id pointer; any other is record-and-field.
inline constexpr int16_t kRecordIdPointerLength = 4;

// Id space.
inline constexpr int32_t kDefinitionDefId = 1;  // "VN_DefinitionDef"
inline constexpr int32_t kFieldDefId = 2;       // "VN_FieldDef"
inline constexpr int32_t kSelectorDefId = 3;    // "VN_SelectorDef"
inline constexpr int32_t kFirstSystemFieldRecordId = 10;
inline constexpr int32_t kFirstUserId = 100;
inline constexpr int32_t kMaxRecordId = 9'999'999;  // ids index a dense table
inline constexpr int32_t kMaxUserFieldNumber = 0x0FFF;
inline constexpr std::size_t kMaxNameLength = dorvik::api::kMaxNameLength;  // 256
inline constexpr int32_t kMaxOccurrences = 0x7FFF;  // a count field is an int16

// Activation queued when a field is written.
struct TaskActivation {
  int32_t taskId = 0;
  int16_t priority = 0;
  int16_t code = 0;
  int8_t tail = 0;
};

// One field of a definition (one row of its column view).
struct FieldDef {
  int32_t number = 0;  // field number (tag >> 16)
  int16_t dataType = kTypeInteger;
  int16_t lengthWord = 0x4F;
  int16_t repeatArea = 0;  // 1-based position of the count field, 0 = fixed area
  int16_t qualityField = 0;
  int16_t timestampField = 0;
  int16_t historyPointer = 0;
  int32_t selectorId = 0;
  int16_t writeProtection = 3;  // 0 never, 1 while unusable, 2 while usable, 3 always
  bool operatorChange = true;
  bool operatorStrict = false;
  bool archived = false;
  std::optional<TaskActivation> activates;
  // Derived when the definition is finished.
  int16_t ownType = 0;      // the GETDATATYPES code
  int32_t repeatSlot = -1;  // index into Record::occurrences, -1 in the fixed area
  bool HasQuality() const { return qualityField != 0; }
  bool IsRepeated() const { return repeatArea != 0; }
  bool IsSystem() const { return (number & dorvik::api::kSystemFieldBit) != 0; }
};

// A definition record's field list and kinds.
struct Definition {
  int32_t id = 0;
  int16_t flags = 0;
  bool system = false;  // one of the three catalog definitions
  std::vector<int32_t> kinds;  // record kinds declared for its records (-3, -5, -19)
  std::vector<FieldDef> fields;
  std::vector<int32_t> recordIds;  // records of this definition, ascending
  // Lookup tables (Finish builds them).
  std::vector<int16_t> userPositions;    // field number -> position + 1
  std::vector<int16_t> systemPositions;  // field number - 0x1000 -> position + 1
  std::vector<int32_t> pointerFields;    // positions of pointer fields by number
  int32_t repeatedCount = 0;
  // Position of a field number in the list, or -1.
  int32_t Find(int32_t number) const;
  bool HasKind(int32_t kind) const;
  // Builds the lookup tables and the derived members of every field.
  void Finish();
};

// One stored value. Which members mean something depends on the field's
// data type: number (integer, count, timestamp micros, pointer record id),
// real, text; pointerField for record-and-field pointers.
struct Slot {
  std::string text;
  int64_t number = 0;
  double real = 0;
  Micros time = 0;  // quality time, or the time of the last write
  int32_t pointerField = 0;
  int16_t status = 0;
  int16_t level = 0;
};

struct Record {
  int32_t id = 0;
  int32_t definitionId = 0;
  const Definition* definition = nullptr;
  bool usable = false;
  std::string name;
  std::vector<Slot> slots;                     // one per field of the definition
  std::vector<std::vector<Slot>> occurrences;  // one per repeated field
};

struct GlobalField {
  int32_t number = 0;
  std::string name;
  int32_t descriptionId = 0;  // its field description record
};

struct SelectorData {
  int16_t first = 0;
  int16_t width = 0;
  std::vector<std::string> texts;
};

// History of one field occurrence: parallel arrays, time-ordered. Only the
// value array of the field's kind is filled.
struct HistorySeries {
  std::vector<Micros> times;
  std::vector<int16_t> levels;
  std::vector<int64_t> numbers;  // integer, count, timestamp, pointer kinds
  std::vector<double> reals;
  std::vector<std::string> texts;
  std::size_t size() const { return times.size(); }
};

struct EnvironmentEntry {
  std::string name;
  std::string value;
  bool folder = false;  // a relative value resolves against the database's folder
};

// Write rights of an account ("DOMAIN\user" or "*") on a record, or on a
// definition and all of its records.
struct Grant {
  std::string account;  // as given; compared case-insensitively
  int32_t targetId = 0;
  int16_t level = 2;    // 1 read, 2 write, 3 all
};

// ASCII case folding for names.
std::string FoldCase(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

class Database {
 public:
  Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // --- Lookups -------------------------------------------------------------
  const Record* FindRecord(int32_t id) const {
    return id > 0 && static_cast<std::size_t>(id) < byId_.size() ? byId_[id] : nullptr;
  }
  Record* FindRecord(int32_t id) {
    return id > 0 && static_cast<std::size_t>(id) < byId_.size() ? byId_[id] : nullptr;
  }
  const Record* FindRecordByName(std::string_view name) const;
  const Definition* FindDefinition(int32_t id) const;
  Definition& MutableDefinition(int32_t id) { return *definitions_.at(id); }
  bool IsDefinitionRecord(int32_t id) const { return FindDefinition(id) != nullptr; }
  const GlobalField* FindField(int32_t number) const;
  const GlobalField* FindFieldByName(std::string_view name) const;
  const SelectorData* FindSelector(int32_t id) const;
  // The field number a field description record describes, or 0.
  int32_t FieldNumberOfDescription(int32_t descriptionId) const;
  // Field numbers in ascending order (for paging the field list).
  const std::map<int32_t, GlobalField>& Fields() const { return fields_; }
  const std::vector<int32_t>& DefinitionIds() const { return definitionIds_; }
  // Highest id in use (0 when none).
  int32_t MaxId() const { return static_cast<int32_t>(byId_.size()) - 1; }
  // Lowest free user id, or 0 when none is left.
  int32_t NextFreeId() const;

  // --- Updates ---------------------------------------------------------------
  // Adds a global field; number 0 picks the next free user number and
  // descriptionId 0 the next free id. Throws DatabaseError on a clash.
  const GlobalField& AddField(std::string_view name, int32_t number, int32_t descriptionId);
  int32_t AddSelector(int32_t id, std::string_view name, SelectorData data);
  // Adds a definition record (id 0: next free id); fields must be complete.
  Definition& AddDefinition(int32_t id, std::string_view name, Definition definition);
  // Adds a record with default values. Throws DatabaseError.
  Record& AddRecord(int32_t id, std::string_view name, int32_t definitionId, bool usable);
  // Sets the number of occurrences of the repeat area whose count field is
  // at position countPosition; new occurrences hold default values.
  void ResizeRepeatArea(Record& record, int32_t countPosition, int32_t count);
  HistorySeries& History(int32_t id, int32_t fieldTag) { return history_[HistoryKey(id, fieldTag)]; }
  const HistorySeries* FindHistory(int32_t id, int32_t fieldTag) const;
  const std::unordered_map<uint64_t, HistorySeries>& AllHistory() const { return history_; }
  static uint64_t HistoryKey(int32_t id, int32_t fieldTag) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(id)) << 32) | static_cast<uint32_t>(fieldTag);
  }

  // --- Settings (public data) -----------------------------------------------
  std::string systemAccount;
  std::vector<EnvironmentEntry> environment;
  std::vector<Grant> grants;
  std::string folder;  // folder that relative folder variables resolve against
  std::string path;    // the file this database was opened from or saved to
  bool dirty = false;  // changed since loaded or saved

  // All records in id order (used by saving and reference walks).
  template <typename Visitor>
  void ForEachRecord(Visitor&& visit) const {
    for (const Record* record : byId_) {
      if (record != nullptr) visit(*record);
    }
  }

 private:
  void AddCatalog();
  Record& Place(int32_t id, std::string_view name, int32_t definitionId);
  void CheckNewId(int32_t id) const;
  void CheckNewName(std::string_view name) const;

  std::deque<Record> records_;
  std::vector<Record*> byId_;  // dense: index = id
  std::unordered_map<std::string, int32_t> idByName_;  // folded name -> id
  std::unordered_map<int32_t, std::unique_ptr<Definition>> definitions_;
  std::vector<int32_t> definitionIds_;  // ascending
  std::map<int32_t, GlobalField> fields_;
  std::unordered_map<std::string, int32_t> fieldByName_;  // folded name -> number
  std::unordered_map<int32_t, int32_t> fieldByDescription_;
  std::unordered_map<int32_t, SelectorData> selectors_;
  std::unordered_map<uint64_t, HistorySeries> history_;
  mutable int32_t freeHint_ = kFirstUserId;
};

// A record name is 1 to 256 printable single-byte characters, without
// leading or trailing blanks.
bool IsValidRecordName(std::string_view name);
// A field name is 1 to 256 printable characters without blanks that starts
// with a letter or an underscore.
bool IsValidFieldName(std::string_view name);

// The GETDATATYPES code of a field of the given kind.
int16_t OwnTypeCode(int16_t dataType, int16_t lengthWord, bool hasQuality);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_DATABASE_H_
