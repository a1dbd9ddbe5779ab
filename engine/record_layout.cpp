#include "engine/record_layout.h"

#include <cstring>

#include "engine/storage/env.h"

namespace dorvik {
namespace {

constexpr std::size_t kHeaderSize = sizeof(RecordHeader);

// Byte offset of repeat area slot `slot` within values (after the fixed area
// and every earlier area).
std::size_t AreaStart(const Definition& definition, const std::byte* values, int32_t slot) {
  std::size_t offset = definition.fixedSize;
  for (int32_t k = 0; k < slot; ++k) {
    const FieldDef& field =
        definition.fields[static_cast<std::size_t>(definition.repeated[static_cast<std::size_t>(k)])];
    offset += static_cast<std::size_t>(AreaCount(definition, values, field.repeatArea - 1)) * field.slotSize;
  }
  return offset;
}

}  // namespace

SlotFormat FormatOf(SlotKind kind) {
  switch (kind) {
    case SlotKind::kReal64:
    case SlotKind::kWide: return {offsetof(DVANDQU, STATUS), offsetof(DVANDQU, LEVEL), offsetof(DVANDQU, TIME)};
    case SlotKind::kReal32: return {offsetof(RVANDQU, STATUS), offsetof(RVANDQU, LEVEL), offsetof(RVANDQU, TIME)};
    case SlotKind::kInt16: return {offsetof(SVANDQU, STATUS), offsetof(SVANDQU, LEVEL), offsetof(SVANDQU, TIME)};
    case SlotKind::kInt32: return {offsetof(LVANDQU, STATUS), offsetof(LVANDQU, LEVEL), offsetof(LVANDQU, TIME)};
    case SlotKind::kText:
    case SlotKind::kNone: break;
  }
  return {2, 4, 8};  // a text slot: length, status, level, pad, time
}

RecordHeader ParseHeader(const void* data, std::size_t size) {
  RecordHeader header;
  if (size < kHeaderSize) storage::ThrowCorrupted("record header");
  std::memcpy(&header, data, kHeaderSize);
  if (kHeaderSize + header.nameLength > size) storage::ThrowCorrupted("record name");
  return header;
}

RecordRef ParseRecord(int32_t id, const void* data, std::size_t size, const Definition& definition) {
  const RecordHeader header = ParseHeader(data, size);
  const auto* bytes = static_cast<const std::byte*>(data);
  RecordRef record;
  record.id = id;
  record.definitionId = header.definitionId;
  record.aux = header.aux;
  record.usable = header.usable != 0;
  record.name = std::string_view(reinterpret_cast<const char*>(bytes + kHeaderSize), header.nameLength);
  record.definition = &definition;
  record.values = bytes + kHeaderSize + header.nameLength;
  record.valuesSize = size - kHeaderSize - header.nameLength;
  if (ValuesSize(definition, record.values, record.valuesSize) != record.valuesSize) {
    storage::ThrowCorrupted("record values");
  }
  return record;
}

int32_t AreaCount(const Definition& definition, const std::byte* values, int32_t countPosition) {
  int16_t count = 0;
  std::memcpy(&count, values + definition.fields[static_cast<std::size_t>(countPosition)].offset, sizeof count);
  return count;
}

std::size_t ValuesSize(const Definition& definition, const std::byte* values, std::size_t available) {
  // The catalog definitions' records keep no values, count fields included:
  // reading one would read past the record (past the end of the file when
  // the record ends the last page).
  if (definition.system) return 0;
  if (available < definition.fixedSize) return definition.fixedSize;
  std::size_t size = definition.fixedSize;
  for (int32_t position : definition.repeated) {
    const FieldDef& field = definition.fields[static_cast<std::size_t>(position)];
    const int32_t count = AreaCount(definition, values, field.repeatArea - 1);
    if (count < 0) return 0;
    size += static_cast<std::size_t>(count) * field.slotSize;
  }
  return size;
}

const std::byte* SlotOf(const Definition& definition, const std::byte* values, int32_t position,
                        int32_t occurrence) {
  const FieldDef& field = definition.fields[static_cast<std::size_t>(position)];
  if (!field.IsRepeated()) return values + field.offset;
  if (occurrence < 1 || occurrence > AreaCount(definition, values, field.repeatArea - 1)) return nullptr;
  return values + AreaStart(definition, values, field.repeatSlot) +
         static_cast<std::size_t>(occurrence - 1) * field.slotSize;
}

RecordBuffer::RecordBuffer(const Definition& definition, int32_t definitionId, std::string_view name, bool usable,
                           int32_t aux)
    : definition_(&definition) {
  const RecordHeader header{definitionId, aux, static_cast<uint16_t>(name.size()), static_cast<uint8_t>(usable), 0};
  valuesStart_ = kHeaderSize + name.size();
  bytes_.assign(valuesStart_ + definition.fixedSize, std::byte{0});
  std::memcpy(bytes_.data(), &header, kHeaderSize);
  std::memcpy(bytes_.data() + kHeaderSize, name.data(), name.size());
}

RecordBuffer::RecordBuffer(const RecordRef& record) : definition_(record.definition) {
  const auto* start = record.values - kHeaderSize - record.name.size();
  valuesStart_ = kHeaderSize + record.name.size();
  bytes_.assign(start, record.values + record.valuesSize);
}

void RecordBuffer::SetUsable(bool usable) {
  bytes_[offsetof(RecordHeader, usable)] = std::byte{usable ? uint8_t{1} : uint8_t{0}};
}

bool RecordBuffer::usable() const { return bytes_[offsetof(RecordHeader, usable)] != std::byte{0}; }

std::string_view RecordBuffer::name() const {
  return std::string_view(reinterpret_cast<const char*>(bytes_.data() + kHeaderSize), valuesStart_ - kHeaderSize);
}

std::byte* RecordBuffer::SlotOf(int32_t position, int32_t occurrence) {
  return const_cast<std::byte*>(dorvik::SlotOf(*definition_, mutableValues(), position, occurrence));
}

void RecordBuffer::ResizeArea(int32_t countPosition, int32_t count) {
  const Definition& definition = *definition_;
  const int32_t old = AreaCount(definition, mutableValues(), countPosition);
  // Each field of the area, from the last, so that earlier offsets stay put.
  for (auto it = definition.repeated.rbegin(); it != definition.repeated.rend(); ++it) {
    const FieldDef& field = definition.fields[static_cast<std::size_t>(*it)];
    if (field.repeatArea != countPosition + 1) continue;
    const std::size_t start = valuesStart_ + AreaStart(definition, mutableValues(), field.repeatSlot);
    const std::size_t keep = static_cast<std::size_t>(std::min(old, count)) * field.slotSize;
    const auto at = static_cast<std::ptrdiff_t>(start + keep);
    if (count > old) {
      bytes_.insert(bytes_.begin() + at, static_cast<std::size_t>(count - old) * field.slotSize, std::byte{0});
    } else if (count < old) {
      bytes_.erase(bytes_.begin() + at,
                   bytes_.begin() + at + static_cast<std::ptrdiff_t>((old - count) * field.slotSize));
    }
  }
  const auto narrow = static_cast<int16_t>(count);
  std::memcpy(mutableValues() + definition.fields[static_cast<std::size_t>(countPosition)].offset, &narrow,
              sizeof narrow);
}

}  // namespace dorvik
