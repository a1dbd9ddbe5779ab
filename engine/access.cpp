#include "engine/access.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/errors.h"

namespace dorvik {
namespace {

using dorvik::api::FieldNumberOf;
using dorvik::api::OccurrenceOf;

// Field numbers of the database's own fields.
constexpr int32_t kName = 0x1002;
constexpr int32_t kSelectorCount = 0x1006;
constexpr int32_t kSelectorFirst = 0x1007;
constexpr int32_t kSelectorTexts = 0x1008;
constexpr int32_t kFieldNumber = 0x100A;
constexpr int32_t kFieldCount = 0x100B;
constexpr int32_t kDefinitionFlags = 0x100E;
constexpr int32_t kLengthWord = 0x1012;
constexpr int32_t kRepeatArea = 0x1013;
constexpr int32_t kDataType = 0x1015;
constexpr int32_t kDescription = 0x1016;
constexpr int32_t kSelectorRecord = 0x1017;
constexpr int32_t kWriteProtection = 0x101E;
constexpr int32_t kHistoryPointer = 0x1024;
constexpr int32_t kQualityField = 0x102F;
constexpr int32_t kTimestampField = 0x1030;

// Every record has a name, also when its definition does not list the field.
const FieldDef& NameField() {
  static const FieldDef field = [] {
    FieldDef def;
    def.number = kName;
    def.dataType = kTypeCharacter;
    def.lengthWord = static_cast<int16_t>(kMaxNameLength);
    def.writeProtection = 0;
    def.operatorChange = false;
    def.ownType = def.lengthWord;
    return def;
  }();
  return field;
}

// Column value of the definition's field at 0-based index.
Scalar DefinitionColumn(const Database& database, const Definition& definition, int32_t number,
                        std::size_t index) {
  const FieldDef& field = definition.fields[index];
  switch (number) {
    case kDescription: {
      const GlobalField* global = database.FindField(field.number);
      return Scalar::Reference(global != nullptr ? global->descriptionId : 0);
    }
    case kDataType: return Scalar::Integer(field.dataType);
    case kRepeatArea: return Scalar::Integer(field.repeatArea);
    case kLengthWord: return Scalar::Integer(field.lengthWord);
    case kQualityField: return Scalar::Integer(field.qualityField);
    case kTimestampField: return Scalar::Integer(field.timestampField);
    case kHistoryPointer: return Scalar::Integer(field.historyPointer);
    case kSelectorRecord: return Scalar::Reference(field.selectorId);
    case kWriteProtection: return Scalar::Integer(field.writeProtection);
    default: return Scalar::Integer(0);
  }
}

int16_t ReadSystemValue(const Database& database, const Record& record, int32_t number, int32_t occurrence,
                        Scalar& value) {
  if (number == kName) {
    value = Scalar::Text(record.name);
    return kOk;
  }
  const std::size_t index = occurrence > 0 ? static_cast<std::size_t>(occurrence - 1) : 0;
  if (const Definition* definition = database.FindDefinition(record.id)) {
    if (number == kFieldCount) {
      value = Scalar::Integer(static_cast<int64_t>(definition->fields.size()));
    } else if (number == kDefinitionFlags) {
      value = Scalar::Integer(definition->flags);
    } else if (index < definition->fields.size()) {
      value = DefinitionColumn(database, *definition, number, index);
    } else {
      return kErrOccurrence;
    }
    return kOk;
  }
  if (const SelectorData* selector = database.FindSelector(record.id)) {
    if (number == kSelectorCount) {
      value = Scalar::Integer(static_cast<int64_t>(selector->texts.size()));
    } else if (number == kSelectorFirst) {
      value = Scalar::Integer(selector->first);
    } else if (index < selector->texts.size()) {
      value = Scalar::Text(selector->texts[index]);
    } else {
      return kErrOccurrence;
    }
    return kOk;
  }
  if (number == kFieldNumber) {
    value = Scalar::Integer(database.FieldNumberOfDescription(record.id));
    return kOk;
  }
  return kErrFieldNotFound;
}

bool IntegerFits(int64_t value, int16_t lengthWord) {
  const int bits = lengthWord & kLengthBitsMask;
  if (bits == 0 || bits >= 63) return true;
  if ((lengthWord & kLengthSigned) != 0) {
    const int64_t limit = int64_t{1} << bits;
    return value >= -limit && value < limit;
  }
  return value >= 0 && value < (int64_t{1} << bits);
}

int16_t ToPointer(const Database& database, const Scalar& value, int32_t& id, int32_t& field) {
  field = 0;
  int64_t number = 0;
  if (value.kind == Scalar::Kind::kReference) {
    number = value.number;
    field = value.field;
  } else if (value.kind == Scalar::Kind::kText) {
    std::string_view text = value.text;
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (const Record* target = text.empty() ? nullptr : database.FindRecordByName(text)) {
      number = target->id;
    } else if (!text.empty() && ToInteger(value, number) != kOk) {
      return kErrReferenceNotFound;  // neither a record name nor an id
    }
  } else if (value.kind == Scalar::Kind::kInteger) {
    number = value.number;
  } else {
    return kErrConversion;
  }
  if (number < 0 || number > std::numeric_limits<int32_t>::max()) return kErrReferenceNotFound;
  id = static_cast<int32_t>(number);
  if (id != 0 && database.FindRecord(id) == nullptr) return kErrReferenceNotFound;
  if (id == 0) field = 0;
  return kOk;
}

// Converts value to the field's kind into slot (a scratch copy).
int16_t ConvertForField(const Database& database, const FieldDef& field, const Scalar& value, Slot& slot) {
  int16_t code = kOk;
  switch (field.dataType) {
    case kTypePointer: {
      int32_t id = 0, tag = 0;
      if ((code = ToPointer(database, value, id, tag)) != kOk) return code;
      slot.number = id;
      slot.pointerField = field.lengthWord == kRecordIdPointerLength ? 0 : tag;
      return kOk;
    }
    case kTypeInteger:
      if ((code = ToInteger(value, slot.number)) != kOk) return code;
      return IntegerFits(slot.number, field.lengthWord) ? kOk : kErrOutOfRange;
    case kTypeCount:
      if ((code = ToInteger(value, slot.number)) != kOk) return code;
      return slot.number >= 0 && slot.number <= kMaxOccurrences ? kOk : kErrOutOfRange;
    case kTypeTimestamp: {
      if ((code = ToTime(value, slot.number)) != kOk) return code;
      XUSTS native{};
      return ToXusts(slot.number, native) ? kOk : kErrOutOfRange;
    }
    case kTypeReal:
      if ((code = ToReal(value, slot.real)) != kOk) return code;
      if (field.lengthWord == 4) {
        if (std::isfinite(slot.real) && std::fabs(slot.real) > std::numeric_limits<float>::max()) {
          return kErrOutOfRange;
        }
        slot.real = static_cast<float>(slot.real);
      }
      return kOk;
    default: {
      char scratch[kScratchSize];
      const std::string_view text = ToText(database, value, scratch);
      if (text.size() > static_cast<std::size_t>(std::max<int16_t>(field.lengthWord, 0))) return kErrTextTooLong;
      slot.text.assign(text.data(), text.size());
      return kOk;
    }
  }
}

void AppendHistory(Database& database, const Record& record, const FieldAccess& access, const Slot& slot,
                   Micros time) {
  HistorySeries& series = database.History(record.id, access.Tag());
  const auto at = static_cast<std::size_t>(
      std::upper_bound(series.times.begin(), series.times.end(), time) - series.times.begin());
  const auto offset = static_cast<std::ptrdiff_t>(at);
  series.times.insert(series.times.begin() + offset, time);
  series.levels.insert(series.levels.begin() + offset, slot.level);
  switch (access.field->dataType) {
    case kTypeReal: series.reals.insert(series.reals.begin() + offset, slot.real); break;
    case kTypeCharacter:
    case kTypeCharacter5: series.texts.insert(series.texts.begin() + offset, slot.text); break;
    default: series.numbers.insert(series.numbers.begin() + offset, slot.number); break;
  }
}

}  // namespace

int16_t Resolve(const Database& database, int32_t id, int32_t tag, FieldAccess& out, int32_t& detail) {
  const Record* record = database.FindRecord(id);
  if (record == nullptr) {
    detail = id;
    return kErrRecordNotFound;
  }
  detail = tag;
  const int32_t number = FieldNumberOf(tag);
  const int32_t position = record->definition->Find(number);
  out.record = record;
  out.position = position;
  out.occurrence = OccurrenceOf(tag);
  if (position >= 0) {
    out.field = &record->definition->fields[static_cast<std::size_t>(position)];
  } else if (number == kName) {
    out.field = &NameField();
  } else {
    return kErrFieldNotFound;
  }
  if (out.occurrence == 0) return kOk;
  if (!out.field->IsRepeated() || out.occurrence > OccurrenceCount(database, out)) return kErrOccurrence;
  return kOk;
}

int32_t OccurrenceCount(const Database& database, const FieldAccess& access) {
  const FieldDef& field = *access.field;
  if (!field.IsRepeated()) return 1;
  const Record& record = *access.record;
  if (!record.definition->system) {
    return static_cast<int32_t>(record.occurrences[static_cast<std::size_t>(field.repeatSlot)].size());
  }
  if (const Definition* definition = database.FindDefinition(record.id)) {
    return static_cast<int32_t>(definition->fields.size());
  }
  if (const SelectorData* selector = database.FindSelector(record.id)) {
    return static_cast<int32_t>(selector->texts.size());
  }
  return 0;
}

int16_t OwnType(const Database& database, const FieldAccess& access) {
  if (access.field->number == kSelectorTexts) {
    const SelectorData* selector = database.FindSelector(access.record->id);
    return selector != nullptr ? selector->width : 0;
  }
  return access.field->ownType;
}

int16_t ReadValue(const Database& database, const FieldAccess& access, int32_t occurrence, Scalar& value,
                  Quality& quality) {
  const FieldDef& field = *access.field;
  const Record& record = *access.record;
  if (field.IsRepeated() && occurrence == 0) occurrence = 1;
  if (field.IsSystem()) {
    quality = Quality{};
    return ReadSystemValue(database, record, field.number, occurrence, value);
  }
  const Slot* slot;
  if (field.IsRepeated()) {
    const auto& area = record.occurrences[static_cast<std::size_t>(field.repeatSlot)];
    if (occurrence < 1 || static_cast<std::size_t>(occurrence) > area.size()) return kErrOccurrence;
    slot = &area[static_cast<std::size_t>(occurrence - 1)];
  } else {
    slot = &record.slots[static_cast<std::size_t>(access.position)];
  }
  quality = Quality{slot->status, slot->level, slot->time};
  switch (field.dataType) {
    case kTypePointer: value = Scalar::Reference(static_cast<int32_t>(slot->number), slot->pointerField); break;
    case kTypeTimestamp: value = Scalar::Time(slot->number); break;
    case kTypeReal: value = Scalar::Real(slot->real, field.lengthWord == 4); break;
    case kTypeCharacter:
    case kTypeCharacter5: value = Scalar::Text(slot->text); break;
    default: value = Scalar::Integer(slot->number); break;
  }
  return kOk;
}

int16_t StoreValue(Database& database, Record& record, const FieldAccess& access, const Scalar& value,
                   const Quality* quality, Micros now, StoreMode mode) {
  const FieldDef& field = *access.field;
  Slot converted;
  if (int16_t code = ConvertForField(database, field, value, converted); code != kOk) return code;
  const bool qualified = quality != nullptr && field.HasQuality();
  if (qualified) {
    converted.status = quality->status;
    converted.level = quality->level;
    converted.time = quality->time;
  } else {
    converted.time = mode == StoreMode::kLoad ? (quality != nullptr ? quality->time : 0) : now;
  }
  int32_t occurrence = access.occurrence;
  if (field.IsRepeated() && occurrence == 0) occurrence = 1;
  Slot* slot;
  if (field.IsRepeated()) {
    auto& area = record.occurrences[static_cast<std::size_t>(field.repeatSlot)];
    if (occurrence < 1 || static_cast<std::size_t>(occurrence) > area.size()) return kErrOccurrence;
    slot = &area[static_cast<std::size_t>(occurrence - 1)];
  } else {
    slot = &record.slots[static_cast<std::size_t>(access.position)];
  }
  *slot = std::move(converted);
  if (field.dataType == kTypeCount) {
    database.ResizeRepeatArea(record, access.position, static_cast<int32_t>(slot->number));
  }
  if (field.historyPointer != 0 && mode == StoreMode::kWrite) {
    const Micros time = qualified && quality->time != 0 ? quality->time : now;
    AppendHistory(database, record, access, *slot, time);
  }
  database.dirty = true;
  return kOk;
}

int16_t AddHistorySample(Database& database, const FieldAccess& access, const Scalar& value, Micros time,
                         int16_t level) {
  Slot converted;
  if (int16_t code = ConvertForField(database, *access.field, value, converted); code != kOk) return code;
  converted.level = level;
  AppendHistory(database, *access.record, access, converted, time);
  return kOk;
}

namespace {

template <typename T>
void PutAt(std::byte* out, std::size_t offset, T value) {
  std::memcpy(out + offset, &value, sizeof value);
}

// Writes member by member: building the packed record on the stack and
// copying it would stall on the unaligned TIME member.
template <typename Native, typename Value>
bool PutQualified(std::byte* out, Value value, const Slot& slot) {
  XUSTS time{};
  if (!ToXusts(slot.time, time)) return false;
  std::memset(out, 0, sizeof(Native));
  PutAt(out, offsetof(Native, VALUE), value);
  PutAt(out, offsetof(Native, STATUS), slot.status);
  PutAt(out, offsetof(Native, LEVEL), slot.level);
  PutAt(out, offsetof(Native, TIME), time);
  return true;
}

}  // namespace

bool EncodeDirect(const FieldAccess& access, int16_t type, std::byte* out) {
  const FieldDef& field = *access.field;
  if (access.position < 0 || field.IsRepeated() || field.IsSystem()) return false;
  const Slot& slot = access.record->slots[static_cast<std::size_t>(access.position)];
  switch (field.dataType) {
    case kTypeReal:
      if (type == -21) return PutQualified<DVANDQU>(out, slot.real, slot);
      if (type != -6) return false;
      PutAt(out, 0, slot.real);
      return true;
    case kTypeInteger:
      if (type == -18 && slot.number >= INT16_MIN && slot.number <= INT16_MAX) {
        return PutQualified<SVANDQU>(out, static_cast<int16_t>(slot.number), slot);
      }
      if (type == -19 && slot.number >= INT32_MIN && slot.number <= INT32_MAX) {
        return PutQualified<LVANDQU>(out, static_cast<int32_t>(slot.number), slot);
      }
      return false;
    case kTypeCharacter:
    case kTypeCharacter5:
      if (type > 0) {
        const std::size_t count = std::min(slot.text.size(), static_cast<std::size_t>(type));
        std::memcpy(out, slot.text.data(), count);
        std::memset(out + count, ' ', static_cast<std::size_t>(type) - count);
        return true;
      }
      return false;
    default:
      return false;
  }
}

bool WriteAllowed(int16_t writeProtection, bool usable) {
  switch (writeProtection) {
    case 1: return !usable;
    case 2: return usable;
    case 3: return true;
    default: return false;
  }
}

Scalar HistoryValue(const FieldDef& field, const HistorySeries& series, std::size_t index) {
  switch (field.dataType) {
    case kTypeReal: return Scalar::Real(series.reals[index], field.lengthWord == 4);
    case kTypeCharacter:
    case kTypeCharacter5: return Scalar::Text(series.texts[index]);
    case kTypeTimestamp: return Scalar::Time(series.numbers[index]);
    case kTypePointer: return Scalar::Reference(static_cast<int32_t>(series.numbers[index]));
    default: return Scalar::Integer(series.numbers[index]);
  }
}

}  // namespace dorvik
