// The catalog of a database: definitions with their fields, the global
// field list and selectors, plus the settings (environment, grants) and the
// name rules they share.
//
// Records, definitions, field description records and selector records all
// share one id space. The system catalog (the definitions of definitions,
// fields and selectors, and the description records of the database's own
// fields) occupies ids 1 to kFirstUserId - 1.
//
// These are plain values. A store writes its catalog once, when it is made;
// every process decodes the entries it needs (Catalog in view.h) and keeps
// them for as long as it has the store open.
#ifndef VANTREL_ENGINE_CATALOG_H_
#define VANTREL_ENGINE_CATALOG_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/records.h"

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
inline constexpr int32_t kMaxRecordId = 9'999'999;
inline constexpr int32_t kMaxUserFieldNumber = 0x0FFF;
inline constexpr std::size_t kMaxNameLength = dorvik::api::kMaxNameLength;  // 256
inline constexpr int32_t kMaxOccurrences = 0x7FFF;  // a count field is an int16
inline constexpr int16_t kMaxTextLength = 4096;     // of a character field

// Activation queued when a field is written.
struct TaskActivation {
  int32_t taskId = 0;
  int16_t priority = 0;
  int16_t code = 0;
  int8_t tail = 0;
};

// How a field's current value is stored in a record (record_layout.h): the
// native record of the field's kind, with status, level and time.
enum class SlotKind : uint8_t {
  kNone,    // the database's own fields: computed, not stored
  kReal64,  // DVANDQU
  kReal32,  // RVANDQU
  kInt16,   // SVANDQU (integers of at most 15 bits and a sign, counts)
  kInt32,   // LVANDQU (integers that fit 32 bits signed)
  kWide,    // DVANDQU's shape with an int64: wider integers, times, pointers
  kText,    // length, status, level, time, then the characters
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
  int32_t repeatSlot = -1;  // index among the repeated fields, -1 in the fixed area
  SlotKind slotKind = SlotKind::kNone;
  uint32_t slotSize = 0;    // bytes of one stored value
  uint32_t offset = 0;      // fixed area: where its slot starts in a record's values
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
  // Lookup tables and layout (Finish builds them).
  std::vector<int16_t> userPositions;    // field number -> position + 1
  std::vector<int16_t> systemPositions;  // field number - 0x1000 -> position + 1
  std::vector<int32_t> pointerFields;    // positions of pointer fields by number
  std::vector<int32_t> repeated;         // positions of repeated fields, by repeatSlot
  int32_t repeatedCount = 0;
  uint32_t fixedSize = 0;                // bytes of the fixed area of a record's values
  // Position of a field number in the list, or -1.
  int32_t Find(int32_t number) const;
  bool HasKind(int32_t kind) const;
  // Builds the lookup tables, the layout and the derived members of every field.
  void Finish();
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

// One of the database's own fields (numbers carry the 0x1000 bit).
struct CatalogField {
  int32_t number;
  std::string_view name;
  int16_t dataType;
  int16_t lengthWord;
  int16_t repeatArea;
};

// The system catalog: the three catalog definitions (ids 1 to 3) and every
// database field in the order their description records take ids from
// kFirstSystemFieldRecordId.
struct SystemCatalog {
  struct Entry {
    int32_t id;
    std::string_view name;
    Definition definition;
  };
  std::vector<Entry> definitions;
  std::vector<CatalogField> fields;
};
const SystemCatalog& TheSystemCatalog();

// ASCII case folding for names.
std::string FoldCase(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// A record name is 1 to 256 printable single-byte characters, without
// leading or trailing blanks.
bool IsValidRecordName(std::string_view name);
// A field name is 1 to 256 printable characters without blanks that starts
// with a letter or an underscore.
bool IsValidFieldName(std::string_view name);

// The GETDATATYPES code of a field of the given kind.
int16_t OwnTypeCode(int16_t dataType, int16_t lengthWord, bool hasQuality);

// Binary forms of the catalog entries and settings as the store keeps them.
std::vector<std::byte> EncodeDefinition(const Definition& definition);
Definition DecodeDefinition(int32_t id, const void* data, std::size_t size);
std::vector<std::byte> EncodeSelector(const SelectorData& selector);
SelectorData DecodeSelector(const void* data, std::size_t size);
std::vector<std::byte> EncodeEnvironment(const std::vector<EnvironmentEntry>& entries);
std::vector<EnvironmentEntry> DecodeEnvironment(const void* data, std::size_t size);
std::vector<std::byte> EncodeGrants(const std::vector<Grant>& grants);
std::vector<Grant> DecodeGrants(const void* data, std::size_t size);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_CATALOG_H_
