// How a record is stored: one entry of the records table per record.
//
//   RecordHeader (12 bytes) | name (nameLength bytes) | values
//
// values: the fixed area (Definition::fixedSize bytes, each field's slot at
// FieldDef::offset), then the repeat areas one after another in repeatSlot
// order, each count x slotSize bytes, where count is the current value of
// the area's count field. A slot holds the native record of the field's
// kind (SlotKind) with status, level and time, so reading a value of the
// field's own type is one copy. All zero bytes is a field's default value.
//
// RecordRef points into the store's map and is valid while its transaction
// lives; RecordBuffer is a private copy that a write changes and puts back.
// Stateless functions, thread-compatible values.
#ifndef VANTREL_ENGINE_RECORD_LAYOUT_H_
#define VANTREL_ENGINE_RECORD_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "api/records.h"
#include "engine/catalog.h"

namespace dorvik {

#pragma pack(push, 1)
struct RecordHeader {
  int32_t definitionId;
  int32_t aux;          // a field description record: the field's number; else 0
  uint16_t nameLength;
  uint8_t usable;
  uint8_t reserved;
};
#pragma pack(pop)
static_assert(sizeof(RecordHeader) == 12);

// Where status, level and time sit in a slot of each kind.
struct SlotFormat {
  uint32_t status;
  uint32_t level;
  uint32_t time;
};
SlotFormat FormatOf(SlotKind kind);
// A text slot: int16 length at 0, the characters from kTextOffset.
inline constexpr std::size_t kTextOffset = 16;
// Value of a kWide slot: int64 at 0 (a pointer: IDANDFT at 0).
static_assert(offsetof(DVANDQU, STATUS) == 8 && offsetof(DVANDQU, TIME) == 12);

// A stored record, read in place.
struct RecordRef {
  int32_t id = 0;
  int32_t definitionId = 0;
  int32_t aux = 0;
  bool usable = false;
  std::string_view name;
  const Definition* definition = nullptr;
  const std::byte* values = nullptr;
  std::size_t valuesSize = 0;
};

// The header of a stored entry; throws a corruption error when too short.
RecordHeader ParseHeader(const void* data, std::size_t size);
// The record of a stored entry whose definition is definition; checks that
// the values have the size the definition and counts give.
RecordRef ParseRecord(int32_t id, const void* data, std::size_t size, const Definition& definition);

// Current number of occurrences of the repeat area whose count field is at
// countPosition.
int32_t AreaCount(const Definition& definition, const std::byte* values, int32_t countPosition);
// Size the values of a record must have, given its counts.
std::size_t ValuesSize(const Definition& definition, const std::byte* values, std::size_t available);
// The slot of the field at position, occurrence (>= 1) for a repeated
// field; null when there is no such occurrence.
const std::byte* SlotOf(const Definition& definition, const std::byte* values, int32_t position,
                        int32_t occurrence);

// A record's bytes, to change and put back.
class RecordBuffer {
 public:
  // A new record with default values.
  RecordBuffer(const Definition& definition, int32_t definitionId, std::string_view name, bool usable,
               int32_t aux = 0);
  // A copy of a stored record.
  explicit RecordBuffer(const RecordRef& record);

  const Definition& definition() const { return *definition_; }
  void SetUsable(bool usable);
  bool usable() const;
  // The writable slot of position/occurrence (see SlotOf).
  std::byte* SlotOf(int32_t position, int32_t occurrence);
  // Sets the count field at countPosition to count (its slot's value) and
  // grows or shrinks every field of that area; new occurrences are default.
  void ResizeArea(int32_t countPosition, int32_t count);
  std::string_view name() const;
  const std::byte* values() const { return bytes_.data() + valuesStart_; }
  const std::vector<std::byte>& bytes() const { return bytes_; }

 private:
  std::byte* mutableValues() { return bytes_.data() + valuesStart_; }
  const Definition* definition_;
  std::vector<std::byte> bytes_;
  std::size_t valuesStart_ = 0;
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_RECORD_LAYOUT_H_
