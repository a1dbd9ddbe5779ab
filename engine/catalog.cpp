#include "engine/catalog.h"

#include <algorithm>

#include "engine/storage/codec.h"

namespace dorvik {
namespace {

using dorvik::api::kSystemFieldBit;

constexpr int16_t kInt16Length = 0x4F;  // 15 bits, signed
constexpr int16_t kNameLength = static_cast<int16_t>(kMaxNameLength);

constexpr CatalogField kNameField = {0x1002, "VN_Name", kTypeCharacter, kNameLength, 0};

// The fields of "VN_DefinitionDef": name, field count, flags and the nine
// columns of the field list (repeat area counted by VN_FieldCount).
constexpr CatalogField kDefinitionFields[] = {
    kNameField,
    {0x100B, "VN_FieldCount", kTypeCount, 0, 0},
    {0x100E, "VN_DefinitionFlags", kTypeInteger, kInt16Length, 0},
    {0x1016, "VN_FieldDescription", kTypePointer, kRecordIdPointerLength, 2},
    {0x1015, "VN_DataType", kTypeInteger, kInt16Length, 2},
    {0x1013, "VN_RepeatArea", kTypeInteger, kInt16Length, 2},
    {0x1012, "VN_LengthWord", kTypeInteger, kInt16Length, 2},
    {0x102F, "VN_QualityField", kTypeInteger, kInt16Length, 2},
    {0x1030, "VN_TimestampField", kTypeInteger, kInt16Length, 2},
    {0x1024, "VN_HistoryPointer", kTypeInteger, kInt16Length, 2},
    {0x1017, "VN_SelectorRecord", kTypePointer, kRecordIdPointerLength, 2},
    {0x101E, "VN_WriteProtection", kTypeInteger, kInt16Length, 2},
};

constexpr CatalogField kFieldDefFields[] = {
    kNameField,
    {0x100A, "VN_FieldNumber", kTypeInteger, kInt16Length, 0},
};

// The text width of a selector is the selector record's own; the
// definition's length word is 0.
constexpr CatalogField kSelectorFields[] = {
    kNameField,
    {0x1006, "VN_SelectorCount", kTypeCount, 0, 0},
    {0x1007, "VN_SelectorFirst", kTypeInteger, kInt16Length, 0},
    {0x1008, "VN_SelectorText", kTypeCharacter, 0, 2},
};

template <std::size_t N>
Definition CatalogDefinition(const CatalogField (&fields)[N]) {
  Definition definition;
  definition.system = true;
  for (const CatalogField& field : fields) {
    FieldDef def;
    def.number = field.number;
    def.dataType = field.dataType;
    def.lengthWord = field.lengthWord;
    def.repeatArea = field.repeatArea;
    def.writeProtection = 0;
    def.operatorChange = false;
    definition.fields.push_back(def);
  }
  return definition;
}

void SetPosition(std::vector<int16_t>& table, std::size_t index, std::size_t position) {
  if (table.size() <= index) table.resize(index + 1, 0);
  table[index] = static_cast<int16_t>(position + 1);
}

SlotKind KindOf(const FieldDef& field) {
  switch (field.dataType) {
    case kTypeReal: return field.lengthWord == 4 ? SlotKind::kReal32 : SlotKind::kReal64;
    case kTypeCount: return SlotKind::kInt16;
    case kTypeCharacter:
    case kTypeCharacter5: return SlotKind::kText;
    case kTypeInteger: {
      // Signed integers hold [-2^bits, 2^bits), unsigned ones [0, 2^bits).
      const int bits = field.lengthWord & kLengthBitsMask;
      if (bits == 0 || bits >= 63) return SlotKind::kWide;
      if ((field.lengthWord & kLengthSigned) != 0 && bits <= 15) return SlotKind::kInt16;
      return bits <= 31 ? SlotKind::kInt32 : SlotKind::kWide;
    }
    default: return SlotKind::kWide;  // pointers and times
  }
}

uint32_t SlotSize(SlotKind kind, int16_t lengthWord) {
  switch (kind) {
    case SlotKind::kReal64:
    case SlotKind::kWide: return 24;
    case SlotKind::kReal32:
    case SlotKind::kInt16:
    case SlotKind::kInt32: return 16;
    case SlotKind::kText: return 16 + static_cast<uint32_t>(std::max<int16_t>(lengthWord, 0));
    case SlotKind::kNone: break;
  }
  return 0;
}

}  // namespace

std::string FoldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool IsValidRecordName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  if (name.front() == ' ' || name.back() == ' ') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte != 0x7F;
  });
}

bool IsValidFieldName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  const char first = name.front();
  if (!((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first == '_')) {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte != 0x7F;
  });
}

int16_t OwnTypeCode(int16_t dataType, int16_t lengthWord, bool hasQuality) {
  switch (dataType) {
    case kTypePointer:
      return lengthWord == kRecordIdPointerLength ? -1 : -2;
    case kTypeInteger: {
      const int bits = lengthWord & kLengthBitsMask;
      const bool isSigned = (lengthWord & kLengthSigned) != 0;
      const bool fitsInt16 =
          (lengthWord & kLengthFlagged) == 0 && ((!isSigned && bits <= 16) || (isSigned && bits <= 15));
      if (fitsInt16) return hasQuality ? -18 : -3;
      return hasQuality ? -19 : -4;
    }
    case kTypeTimestamp:
      return -17;
    case kTypeReal:
      if (lengthWord == 4) return hasQuality ? -20 : -5;
      return hasQuality ? -21 : -6;
    case kTypeCharacter:
    case kTypeCharacter5:
      return lengthWord;
    case kTypeCount:
      return -3;
    default:
      return 0;
  }
}

int32_t Definition::Find(int32_t number) const {
  std::size_t index;
  const std::vector<int16_t>* table;
  if ((number & kSystemFieldBit) != 0) {
    index = static_cast<std::size_t>(number - kSystemFieldBit);
    table = &systemPositions;
  } else {
    index = static_cast<std::size_t>(number);
    table = &userPositions;
  }
  if (number < 0 || index >= table->size()) return -1;
  return static_cast<int32_t>((*table)[index]) - 1;
}

bool Definition::HasKind(int32_t kind) const {
  return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

void Definition::Finish() {
  userPositions.clear();
  systemPositions.clear();
  pointerFields.clear();
  repeated.clear();
  repeatedCount = 0;
  fixedSize = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    FieldDef& field = fields[i];
    if (field.IsSystem()) {
      SetPosition(systemPositions, static_cast<std::size_t>(field.number - kSystemFieldBit), i);
    } else {
      SetPosition(userPositions, static_cast<std::size_t>(field.number), i);
    }
    field.ownType = OwnTypeCode(field.dataType, field.lengthWord, field.HasQuality());
    field.repeatSlot = field.IsRepeated() ? repeatedCount++ : -1;
    if (field.IsRepeated()) repeated.push_back(static_cast<int32_t>(i));
    if (field.dataType == kTypePointer && !system) pointerFields.push_back(static_cast<int32_t>(i));
    // The catalog definitions' records keep no values: their fields are computed.
    field.slotKind = system ? SlotKind::kNone : KindOf(field);
    field.slotSize = SlotSize(field.slotKind, field.lengthWord);
    field.offset = fixedSize;
    if (!field.IsRepeated()) fixedSize += field.slotSize;
  }
  std::sort(pointerFields.begin(), pointerFields.end(),
            [this](int32_t a, int32_t b) { return fields[a].number < fields[b].number; });
}

const SystemCatalog& TheSystemCatalog() {
  static const SystemCatalog catalog = [] {
    SystemCatalog made;
    made.definitions.push_back({kDefinitionDefId, "VN_DefinitionDef", CatalogDefinition(kDefinitionFields)});
    made.definitions.push_back({kFieldDefId, "VN_FieldDef", CatalogDefinition(kFieldDefFields)});
    made.definitions.push_back({kSelectorDefId, "VN_SelectorDef", CatalogDefinition(kSelectorFields)});
    for (SystemCatalog::Entry& entry : made.definitions) {
      entry.definition.id = entry.id;
      entry.definition.Finish();
    }
    auto addFields = [&](const auto& fields) {
      for (const CatalogField& field : fields) {
        const bool known = std::any_of(made.fields.begin(), made.fields.end(),
                                       [&](const CatalogField& f) { return f.number == field.number; });
        if (!known) made.fields.push_back(field);
      }
    };
    addFields(kDefinitionFields);
    addFields(kFieldDefFields);
    addFields(kSelectorFields);
    return made;
  }();
  return catalog;
}

// --- Binary forms -------------------------------------------------------------------

using storage::ByteReader;
using storage::ByteWriter;

std::vector<std::byte> EncodeDefinition(const Definition& definition) {
  ByteWriter out;
  out.Put(definition.flags).Put(static_cast<uint8_t>(definition.system));
  out.Put(static_cast<uint32_t>(definition.kinds.size()));
  for (int32_t kind : definition.kinds) out.Put(kind);
  out.Put(static_cast<uint32_t>(definition.fields.size()));
  for (const FieldDef& field : definition.fields) {
    out.Put(field.number).Put(field.dataType).Put(field.lengthWord).Put(field.repeatArea);
    out.Put(field.qualityField).Put(field.timestampField).Put(field.historyPointer).Put(field.selectorId);
    out.Put(field.writeProtection).Put(static_cast<uint8_t>(field.operatorChange));
    out.Put(static_cast<uint8_t>(field.operatorStrict)).Put(static_cast<uint8_t>(field.archived));
    out.Put(static_cast<uint8_t>(field.activates.has_value()));
    if (field.activates.has_value()) {
      out.Put(field.activates->taskId).Put(field.activates->priority).Put(field.activates->code);
      out.Put(field.activates->tail);
    }
  }
  return out.bytes();
}

namespace {

// A decoded definition's layout is what records are read by: every count
// field a repeat area names must be a slot of the fixed area wide enough for
// its int16 (AreaCount reads it), and a text slot's length must be one that
// SlotSize and the readers' clamps accept. The catalog's own definitions keep
// no values, so their layout is never read.
void CheckLayout(const Definition& definition) {
  if (definition.system) return;
  for (const FieldDef& field : definition.fields) {
    if (field.slotKind == SlotKind::kText && (field.lengthWord < 0 || field.lengthWord > kMaxTextLength)) {
      storage::ThrowCorrupted("definition text length");
    }
    if (!field.IsRepeated()) continue;
    const FieldDef& count = definition.fields[static_cast<std::size_t>(field.repeatArea - 1)];
    if (count.IsRepeated() || count.slotSize < sizeof(int16_t)) storage::ThrowCorrupted("definition repeat area");
  }
}

}  // namespace

Definition DecodeDefinition(int32_t id, const void* data, std::size_t size) {
  ByteReader in(MDB_val{size, const_cast<void*>(data)}, "definition");
  Definition definition;
  definition.id = id;
  definition.flags = in.Get<int16_t>();
  definition.system = in.Get<uint8_t>() != 0;
  for (auto count = in.Get<uint32_t>(); count > 0; --count) definition.kinds.push_back(in.Get<int32_t>());
  const auto fieldCount = in.Get<uint32_t>();
  // Positions are kept as int16 (Definition::Find).
  if (fieldCount > in.left() || fieldCount > static_cast<uint32_t>(INT16_MAX)) {
    storage::ThrowCorrupted("definition field count");
  }
  for (uint32_t i = 0; i < fieldCount; ++i) {
    FieldDef field;
    field.number = in.Get<int32_t>();
    field.dataType = in.Get<int16_t>();
    field.lengthWord = in.Get<int16_t>();
    field.repeatArea = in.Get<int16_t>();
    field.qualityField = in.Get<int16_t>();
    field.timestampField = in.Get<int16_t>();
    field.historyPointer = in.Get<int16_t>();
    field.selectorId = in.Get<int32_t>();
    field.writeProtection = in.Get<int16_t>();
    field.operatorChange = in.Get<uint8_t>() != 0;
    field.operatorStrict = in.Get<uint8_t>() != 0;
    field.archived = in.Get<uint8_t>() != 0;
    if (in.Get<uint8_t>() != 0) {
      TaskActivation activation;
      activation.taskId = in.Get<int32_t>();
      activation.priority = in.Get<int16_t>();
      activation.code = in.Get<int16_t>();
      activation.tail = in.Get<int8_t>();
      field.activates = activation;
    }
    const bool validKind = field.dataType >= kTypePointer && field.dataType <= kTypeCount;
    const bool validArea = field.repeatArea >= 0 && static_cast<uint32_t>(field.repeatArea) <= fieldCount &&
                           static_cast<uint32_t>(field.repeatArea) != i + 1;
    if (!validKind || !validArea || (field.number & 0xFFFF0000) != 0) storage::ThrowCorrupted("definition field");
    definition.fields.push_back(field);
  }
  definition.Finish();
  CheckLayout(definition);
  return definition;
}

std::vector<std::byte> EncodeSelector(const SelectorData& selector) {
  ByteWriter out;
  out.Put(selector.first).Put(selector.width).Put(static_cast<uint32_t>(selector.texts.size()));
  for (const std::string& text : selector.texts) out.Text(text);
  return out.bytes();
}

SelectorData DecodeSelector(const void* data, std::size_t size) {
  ByteReader in(MDB_val{size, const_cast<void*>(data)}, "selector");
  SelectorData selector;
  selector.first = in.Get<int16_t>();
  selector.width = in.Get<int16_t>();
  for (auto count = in.Get<uint32_t>(); count > 0; --count) selector.texts.emplace_back(in.Text());
  return selector;
}

std::vector<std::byte> EncodeEnvironment(const std::vector<EnvironmentEntry>& entries) {
  ByteWriter out;
  out.Put(static_cast<uint32_t>(entries.size()));
  for (const EnvironmentEntry& entry : entries)
    out.Text(entry.name).Text(entry.value).Put(static_cast<uint8_t>(entry.folder));
  return out.bytes();
}

std::vector<EnvironmentEntry> DecodeEnvironment(const void* data, std::size_t size) {
  ByteReader in(MDB_val{size, const_cast<void*>(data)}, "environment");
  std::vector<EnvironmentEntry> entries;
  for (auto count = in.Get<uint32_t>(); count > 0; --count) {
    EnvironmentEntry entry;
    entry.name = in.Text();
    entry.value = in.Text();
    entry.folder = in.Get<uint8_t>() != 0;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<std::byte> EncodeGrants(const std::vector<Grant>& grants) {
  ByteWriter out;
  out.Put(static_cast<uint32_t>(grants.size()));
  for (const Grant& grant : grants) out.Text(grant.account).Put(grant.targetId).Put(grant.level);
  return out.bytes();
}

std::vector<Grant> DecodeGrants(const void* data, std::size_t size) {
  ByteReader in(MDB_val{size, const_cast<void*>(data)}, "grants");
  std::vector<Grant> grants;
  for (auto count = in.Get<uint32_t>(); count > 0; --count) {
    Grant grant;
    grant.account = in.Text();
    grant.targetId = in.Get<int32_t>();
    grant.level = in.Get<int16_t>();
    grants.push_back(std::move(grant));
  }
  return grants;
}

}  // namespace dorvik
