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

template <typename T>
T LoadAt(const std::byte* in, std::size_t offset) {
  T value;
  std::memcpy(&value, in + offset, sizeof value);
  return value;
}

template <typename T>
void StoreAt(std::byte* out, std::size_t offset, T value) {
  std::memcpy(out + offset, &value, sizeof value);
}

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

// A value on its way into a slot, converted to the field's kind.
struct Converted {
  std::string text;
  int64_t number = 0;
  double real = 0;
  int32_t pointerField = 0;
  int16_t status = 0;
  int16_t level = 0;
  Micros time = 0;
};

// Column value of the definition's field at 0-based index.
Scalar DefinitionColumn(const View& view, const Definition& definition, int32_t number, std::size_t index) {
  const FieldDef& field = definition.fields[index];
  switch (number) {
    case kDescription: {
      const GlobalField* global = view.FindField(field.number);
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

int16_t ReadSystemValue(const View& view, const RecordRef& record, int32_t number, int32_t occurrence, Scalar& value) {
  if (number == kName) {
    value = Scalar::Text(record.name);
    return kOk;
  }
  const std::size_t index = occurrence > 0 ? static_cast<std::size_t>(occurrence - 1) : 0;
  if (record.definitionId == kDefinitionDefId) {
    const Definition* definition = view.FindDefinition(record.id);
    if (definition == nullptr) return kErrFieldNotFound;
    if (number == kFieldCount) {
      value = Scalar::Integer(static_cast<int64_t>(definition->fields.size()));
    } else if (number == kDefinitionFlags) {
      value = Scalar::Integer(definition->flags);
    } else if (index < definition->fields.size()) {
      value = DefinitionColumn(view, *definition, number, index);
    } else {
      return kErrOccurrence;
    }
    return kOk;
  }
  if (record.definitionId == kSelectorDefId) {
    const SelectorData* selector = view.FindSelector(record.id);
    if (selector == nullptr) return kErrFieldNotFound;
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
  if (number == kFieldNumber && record.definitionId == kFieldDefId) {
    value = Scalar::Integer(record.aux);
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

int16_t ToPointer(const View& view, const Scalar& value, int32_t& id, int32_t& field) {
  field = 0;
  int64_t number = 0;
  bool named = false;  // found by its name: it exists
  if (value.kind == Scalar::Kind::kReference) {
    number = value.number;
    field = value.field;
  } else if (value.kind == Scalar::Kind::kText) {
    std::string_view text = value.text;
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (const std::optional<int32_t> target = text.empty() ? std::nullopt : view.IdOfName(text)) {
      number = *target;
      named = true;
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
  if (id != 0 && !named && !view.IdInUse(id)) return kErrReferenceNotFound;
  if (id == 0) field = 0;
  return kOk;
}

// The entries a selector offers: first to first + count - 1.
bool SelectorOffers(const View& view, const FieldDef& field, int64_t number) {
  if (field.selectorId == 0 || (field.dataType != kTypeInteger && field.dataType != kTypeCount)) return true;
  const SelectorData* selector = view.FindSelector(field.selectorId);
  if (selector == nullptr) return true;
  return number >= selector->first && number < selector->first + static_cast<int64_t>(selector->texts.size());
}

// Converts value to the field's kind.
int16_t ConvertForField(const View& view, const FieldDef& field, const Scalar& value, Converted& out) {
  int16_t code = kOk;
  switch (field.dataType) {
    case kTypePointer: {
      int32_t id = 0, tag = 0;
      if ((code = ToPointer(view, value, id, tag)) != kOk) return code;
      out.number = id;
      out.pointerField = field.lengthWord == kRecordIdPointerLength ? 0 : tag;
      return kOk;
    }
    case kTypeInteger:
      if ((code = ToInteger(value, out.number)) != kOk) return code;
      return IntegerFits(out.number, field.lengthWord) ? kOk : kErrOutOfRange;
    case kTypeCount:
      if ((code = ToInteger(value, out.number)) != kOk) return code;
      return out.number >= 0 && out.number <= kMaxOccurrences ? kOk : kErrOutOfRange;
    case kTypeTimestamp: {
      if ((code = ToTime(value, out.number)) != kOk) return code;
      XUSTS native{};
      return ToXusts(out.number, native) ? kOk : kErrOutOfRange;
    }
    case kTypeReal:
      if ((code = ToReal(value, out.real)) != kOk) return code;
      if (field.lengthWord == 4) {
        if (std::isfinite(out.real) && std::fabs(out.real) > std::numeric_limits<float>::max()) return kErrOutOfRange;
        out.real = static_cast<float>(out.real);
      }
      return kOk;
    default: {
      char scratch[kScratchSize];
      const std::string_view text = ToText(view, value, scratch);
      if (text.size() > static_cast<std::size_t>(std::max<int16_t>(field.lengthWord, 0))) return kErrTextTooLong;
      out.text.assign(text.data(), text.size());
      return kOk;
    }
  }
}

// Writes a converted value with its quality into a slot of the field's kind.
void PutSlot(const FieldDef& field, const Converted& value, const XUSTS& time, std::byte* slot) {
  std::memset(slot, 0, field.slotSize);
  switch (field.slotKind) {
    case SlotKind::kReal64: StoreAt(slot, 0, value.real); break;
    case SlotKind::kReal32: StoreAt(slot, 0, static_cast<float>(value.real)); break;
    case SlotKind::kInt16: StoreAt(slot, 0, static_cast<int16_t>(value.number)); break;
    case SlotKind::kInt32: StoreAt(slot, 0, static_cast<int32_t>(value.number)); break;
    case SlotKind::kWide:
      if (field.dataType == kTypePointer) {
        StoreAt(slot, 0, IDANDFT{static_cast<int32_t>(value.number), value.pointerField});
      } else {
        StoreAt(slot, 0, value.number);
      }
      break;
    case SlotKind::kText:
      StoreAt(slot, 0, static_cast<int16_t>(value.text.size()));
      std::memcpy(slot + kTextOffset, value.text.data(), value.text.size());
      break;
    case SlotKind::kNone: return;
  }
  const SlotFormat format = FormatOf(field.slotKind);
  StoreAt(slot, format.status, value.status);
  StoreAt(slot, format.level, value.level);
  StoreAt(slot, format.time, time);
}

Scalar SlotScalar(const FieldDef& field, const std::byte* slot) {
  switch (field.slotKind) {
    case SlotKind::kReal64: return Scalar::Real(LoadAt<double>(slot, 0));
    case SlotKind::kReal32: return Scalar::Real(LoadAt<float>(slot, 0), true);
    case SlotKind::kInt16: return Scalar::Integer(LoadAt<int16_t>(slot, 0));
    case SlotKind::kInt32: return Scalar::Integer(LoadAt<int32_t>(slot, 0));
    case SlotKind::kText: {
      const auto length = std::clamp<int16_t>(LoadAt<int16_t>(slot, 0), 0, field.lengthWord);
      return Scalar::Text(
          std::string_view(reinterpret_cast<const char*>(slot + kTextOffset), static_cast<std::size_t>(length)));
    }
    case SlotKind::kWide:
    case SlotKind::kNone: break;
  }
  if (field.dataType == kTypePointer) {
    const auto pointer = LoadAt<IDANDFT>(slot, 0);
    return Scalar::Reference(pointer.ID, pointer.FT);
  }
  if (field.dataType == kTypeTimestamp) return Scalar::Time(LoadAt<int64_t>(slot, 0));
  return Scalar::Integer(LoadAt<int64_t>(slot, 0));
}

Quality SlotQuality(const FieldDef& field, const std::byte* slot) {
  const SlotFormat format = FormatOf(field.slotKind);
  return Quality{LoadAt<int16_t>(slot, format.status), LoadAt<int16_t>(slot, format.level),
                 ToMicros(LoadAt<XUSTS>(slot, format.time))};
}

}  // namespace

int16_t ResolveIn(const View& view, const RecordRef& record, int32_t tag, FieldAccess& out, int32_t& detail) {
  detail = tag;
  const int32_t number = FieldNumberOf(tag);
  const int32_t position = record.definition->Find(number);
  out.record = record;
  out.position = position;
  out.occurrence = OccurrenceOf(tag);
  out.field = position >= 0 ? &record.definition->fields[static_cast<std::size_t>(position)]
                            : (number == kName ? &NameField() : nullptr);
  if (out.field == nullptr) return kErrFieldNotFound;
  if (out.occurrence == 0) return kOk;
  if (!out.field->IsRepeated() || out.occurrence > OccurrenceCount(view, out)) return kErrOccurrence;
  return kOk;
}

const FieldDef* FieldOfNumber(const Definition& definition, int32_t number) {
  const int32_t position = definition.Find(number);
  if (position >= 0) return &definition.fields[static_cast<std::size_t>(position)];
  return number == kName ? &NameField() : nullptr;
}

int16_t Resolve(const View& view, int32_t id, int32_t tag, FieldAccess& out, int32_t& detail) {
  const std::optional<RecordRef> record = view.FindRecord(id);
  if (!record) {
    detail = id;
    return kErrRecordNotFound;
  }
  return ResolveIn(view, *record, tag, out, detail);
}

int32_t OccurrenceCount(const View& view, const FieldAccess& access) {
  const FieldDef& field = *access.field;
  if (!field.IsRepeated()) return 1;
  const RecordRef& record = access.record;
  if (!record.definition->system) return AreaCount(*record.definition, record.values, field.repeatArea - 1);
  if (record.definitionId == kDefinitionDefId) {
    const Definition* definition = view.FindDefinition(record.id);
    return definition != nullptr ? static_cast<int32_t>(definition->fields.size()) : 0;
  }
  if (record.definitionId == kSelectorDefId) {
    const SelectorData* selector = view.FindSelector(record.id);
    return selector != nullptr ? static_cast<int32_t>(selector->texts.size()) : 0;
  }
  return 0;
}

int16_t OwnType(const View& view, const FieldAccess& access) {
  if (access.field->number == kSelectorTexts) {
    const SelectorData* selector = view.FindSelector(access.record.id);
    return selector != nullptr ? selector->width : 0;
  }
  return access.field->ownType;
}

int16_t ReadValue(const View& view, const FieldAccess& access, int32_t occurrence, Scalar& value, Quality& quality) {
  const FieldDef& field = *access.field;
  if (field.IsRepeated() && occurrence == 0) occurrence = 1;
  if (field.IsSystem()) {
    quality = Quality{};
    return ReadSystemValue(view, access.record, field.number, occurrence, value);
  }
  const std::byte* slot = SlotOf(*access.record.definition, access.record.values, access.position, occurrence);
  if (slot == nullptr) return kErrOccurrence;
  value = SlotScalar(field, slot);
  quality = SlotQuality(field, slot);
  return kOk;
}

int16_t StoreValue(WriteView& view, RecordBuffer& record, const FieldAccess& access, const Scalar& value,
                   const Quality* quality, Micros now, StoreMode mode) {
  const FieldDef& field = *access.field;
  Converted converted;
  if (int16_t code = ConvertForField(view, field, value, converted); code != kOk) return code;
  if (mode == StoreMode::kWrite && !SelectorOffers(view, field, converted.number)) return kErrOutOfRange;
  const bool qualified = quality != nullptr && field.HasQuality();
  if (qualified) {
    converted.status = quality->status;
    converted.level = quality->level;
    converted.time = quality->time;
  } else {
    converted.time = mode == StoreMode::kLoad ? (quality != nullptr ? quality->time : 0) : now;
  }
  XUSTS time{};
  if (!ToXusts(converted.time, time)) return kErrOutOfRange;
  const int32_t occurrence = field.IsRepeated() && access.occurrence == 0 ? 1 : access.occurrence;
  if (record.SlotOf(access.position, occurrence) == nullptr) return kErrOccurrence;
  if (field.dataType == kTypeCount) record.ResizeArea(access.position, static_cast<int32_t>(converted.number));
  PutSlot(field, converted, time, record.SlotOf(access.position, occurrence));
  if (field.historyPointer != 0 && mode == StoreMode::kWrite) {
    const Micros at = qualified && quality->time != 0 ? quality->time : now;
    const HistoryValue sample{converted.number, converted.real, converted.text};
    AddSample(view, access.record.id, access.Tag(), HistoryKindOf(field), at, converted.level, sample);
  }
  return kOk;
}

int16_t ToHistoryValue(const View& view, const FieldDef& field, const Scalar& value, HistoryValue& out,
                       std::string& text) {
  Converted converted;
  if (int16_t code = ConvertForField(view, field, value, converted); code != kOk) return code;
  text = std::move(converted.text);
  out = HistoryValue{converted.number, converted.real, text};
  return kOk;
}

bool EncodeDirect(const FieldAccess& access, int16_t type, std::byte* out) {
  const FieldDef& field = *access.field;
  if (access.position < 0 || field.IsRepeated() || field.IsSystem()) return false;
  const std::byte* slot = access.record.values + field.offset;
  switch (field.slotKind) {
    case SlotKind::kReal64:
      if (type == -21) std::memcpy(out, slot, sizeof(DVANDQU));
      else if (type == -6) std::memcpy(out, slot, sizeof(double));
      return type == -21 || type == -6;
    case SlotKind::kReal32:
      if (type == -20) std::memcpy(out, slot, sizeof(RVANDQU));
      else if (type == -5) std::memcpy(out, slot, sizeof(float));
      return type == -20 || type == -5;
    case SlotKind::kInt16:
      if (type == -18) std::memcpy(out, slot, sizeof(SVANDQU));
      else if (type == -3) std::memcpy(out, slot, sizeof(int16_t));
      return type == -18 || type == -3;
    case SlotKind::kInt32:
      if (type == -19) std::memcpy(out, slot, sizeof(LVANDQU));
      else if (type == -4) std::memcpy(out, slot, sizeof(int32_t));
      return type == -19 || type == -4;
    case SlotKind::kText: {
      const auto length = static_cast<std::size_t>(std::clamp<int16_t>(LoadAt<int16_t>(slot, 0), 0, field.lengthWord));
      if (type > 0) {
        const std::size_t count = std::min(length, static_cast<std::size_t>(type));
        std::memcpy(out, slot + kTextOffset, count);
        std::memset(out + count, ' ', static_cast<std::size_t>(type) - count);
        return true;
      }
      if (type != -24) return false;
      char* text = LoadAt<char*>(out, offsetof(TVANDQU, TEXT));
      const auto capacity = LoadAt<int16_t>(out, offsetof(TVANDQU, LENGTH));
      if (text == nullptr || capacity <= 0) return false;  // the general path reports it
      const auto count = static_cast<int16_t>(std::min(length, static_cast<std::size_t>(capacity - 1)));
      std::memcpy(text, slot + kTextOffset, static_cast<std::size_t>(count));
      StoreAt(out, offsetof(TVANDQU, LENGTH), count);
      const SlotFormat format = FormatOf(SlotKind::kText);
      std::memcpy(out + offsetof(TVANDQU, STATUS), slot + format.status, 2 * sizeof(int16_t));
      std::memcpy(out + offsetof(TVANDQU, TIME), slot + format.time, sizeof(XUSTS));
      return true;
    }
    case SlotKind::kWide:
    case SlotKind::kNone: break;
  }
  return false;
}

bool WriteAllowed(int16_t writeProtection, bool usable) {
  switch (writeProtection) {
    case 1: return !usable;
    case 2: return usable;
    case 3: return true;
    default: return false;
  }
}

Scalar HistoryScalar(const FieldDef& field, const ChunkView& chunk, std::size_t index) {
  // A chunk holds values of one kind only, laid out for it: one of another
  // kind than the field's is damage, and reading it as the field's would
  // read past its values.
  if (chunk.kind != HistoryKindOf(field) || index >= chunk.count) storage::ThrowCorrupted("history chunk kind");
  switch (field.dataType) {
    case kTypeReal: return Scalar::Real(chunk.Real(index), field.lengthWord == 4);
    case kTypeCharacter:
    case kTypeCharacter5: return Scalar::Text(chunk.Text(index));
    case kTypeTimestamp: return Scalar::Time(chunk.Number(index));
    case kTypePointer: return Scalar::Reference(static_cast<int32_t>(chunk.Number(index)));
    default: return Scalar::Integer(chunk.Number(index));
  }
}

}  // namespace dorvik
