#include "engine/database.h"

#include <algorithm>

#include <fmt/format.h>

namespace dorvik {
namespace {

using dorvik::api::kSystemFieldBit;

// One of the database's own fields.
struct CatalogField {
  int32_t number;
  std::string_view name;
  int16_t dataType;
  int16_t lengthWord;
  int16_t repeatArea;
};

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

void InsertSorted(std::vector<int32_t>& ids, int32_t id) {
  if (ids.empty() || ids.back() < id) {
    ids.push_back(id);
  } else {
    ids.insert(std::lower_bound(ids.begin(), ids.end(), id), id);
  }
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
  repeatedCount = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    FieldDef& field = fields[i];
    if (field.IsSystem()) {
      SetPosition(systemPositions, static_cast<std::size_t>(field.number - kSystemFieldBit), i);
    } else {
      SetPosition(userPositions, static_cast<std::size_t>(field.number), i);
    }
    field.ownType = OwnTypeCode(field.dataType, field.lengthWord, field.HasQuality());
    field.repeatSlot = field.IsRepeated() ? repeatedCount++ : -1;
    if (field.dataType == kTypePointer && !system) pointerFields.push_back(static_cast<int32_t>(i));
  }
  std::sort(pointerFields.begin(), pointerFields.end(),
            [this](int32_t a, int32_t b) { return fields[a].number < fields[b].number; });
}

Database::Database() { AddCatalog(); }

void Database::AddCatalog() {
  struct CatalogEntry {
    int32_t id;
    std::string_view name;
    Definition definition;
  };
  CatalogEntry catalog[] = {
      {kDefinitionDefId, "VN_DefinitionDef", CatalogDefinition(kDefinitionFields)},
      {kFieldDefId, "VN_FieldDef", CatalogDefinition(kFieldDefFields)},
      {kSelectorDefId, "VN_SelectorDef", CatalogDefinition(kSelectorFields)},
  };
  for (CatalogEntry& entry : catalog) AddDefinition(entry.id, entry.name, std::move(entry.definition));

  int32_t descriptionId = kFirstSystemFieldRecordId;
  auto addFields = [&](const auto& fields) {
    for (const CatalogField& field : fields) {
      if (fields_.count(field.number) == 0) AddField(field.name, field.number, descriptionId++);
    }
  };
  addFields(kDefinitionFields);
  addFields(kFieldDefFields);
  addFields(kSelectorFields);
  dirty = false;
}

const Record* Database::FindRecordByName(std::string_view name) const {
  auto it = idByName_.find(FoldCase(name));
  return it == idByName_.end() ? nullptr : FindRecord(it->second);
}

const Definition* Database::FindDefinition(int32_t id) const {
  auto it = definitions_.find(id);
  return it == definitions_.end() ? nullptr : it->second.get();
}

const GlobalField* Database::FindField(int32_t number) const {
  auto it = fields_.find(number);
  return it == fields_.end() ? nullptr : &it->second;
}

const GlobalField* Database::FindFieldByName(std::string_view name) const {
  auto it = fieldByName_.find(FoldCase(name));
  return it == fieldByName_.end() ? nullptr : FindField(it->second);
}

const SelectorData* Database::FindSelector(int32_t id) const {
  auto it = selectors_.find(id);
  return it == selectors_.end() ? nullptr : &it->second;
}

int32_t Database::FieldNumberOfDescription(int32_t descriptionId) const {
  auto it = fieldByDescription_.find(descriptionId);
  return it == fieldByDescription_.end() ? 0 : it->second;
}

const HistorySeries* Database::FindHistory(int32_t id, int32_t fieldTag) const {
  auto it = history_.find(HistoryKey(id, fieldTag));
  return it == history_.end() ? nullptr : &it->second;
}

int32_t Database::NextFreeId() const {
  int32_t id = freeHint_;
  while (id <= kMaxRecordId && FindRecord(id) != nullptr) ++id;
  return id <= kMaxRecordId ? id : 0;
}

void Database::CheckNewId(int32_t id) const {
  if (id <= 0 || id > kMaxRecordId) {
    throw DatabaseError(fmt::format("record id {} lies outside 1 to {}", id, kMaxRecordId));
  }
  if (const Record* existing = FindRecord(id)) {
    throw DatabaseError(fmt::format("record id {} is already used by \"{}\"", id, existing->name));
  }
}

void Database::CheckNewName(std::string_view name) const {
  if (!IsValidRecordName(name)) {
    throw DatabaseError(fmt::format("\"{}\" is not a valid record name", name));
  }
  if (idByName_.count(FoldCase(name)) != 0) {
    throw DatabaseError(fmt::format("the record name \"{}\" is already used", name));
  }
}

Record& Database::Place(int32_t id, std::string_view name, int32_t definitionId) {
  const Definition* definition = FindDefinition(definitionId);
  Record& record = records_.emplace_back();
  record.id = id;
  record.name = std::string(name);
  record.definitionId = definitionId;
  record.definition = definition;
  if (!definition->system) {
    record.slots.resize(definition->fields.size());
    record.occurrences.resize(static_cast<std::size_t>(definition->repeatedCount));
  }
  if (byId_.size() <= static_cast<std::size_t>(id)) byId_.resize(static_cast<std::size_t>(id) + 1, nullptr);
  byId_[static_cast<std::size_t>(id)] = &record;
  if (definitionId != kFieldDefId) idByName_.emplace(FoldCase(name), id);
  if (auto it = definitions_.find(definitionId); it != definitions_.end()) {
    InsertSorted(it->second->recordIds, id);
  }
  while (freeHint_ <= kMaxRecordId && FindRecord(freeHint_) != nullptr) ++freeHint_;
  dirty = true;
  return record;
}

const GlobalField& Database::AddField(std::string_view name, int32_t number, int32_t descriptionId) {
  if (!IsValidFieldName(name)) throw DatabaseError(fmt::format("\"{}\" is not a valid field name", name));
  if (fieldByName_.count(FoldCase(name)) != 0) {
    throw DatabaseError(fmt::format("the field name \"{}\" is already used", name));
  }
  if (number == 0) {
    number = 1;
    auto firstSystem = fields_.lower_bound(kSystemFieldBit);
    if (firstSystem != fields_.begin()) number = std::prev(firstSystem)->first + 1;
  }
  const bool system = (number & kSystemFieldBit) != 0;
  if (number <= 0 || (!system && number > kMaxUserFieldNumber) || number > 0xFFFF) {
    throw DatabaseError(fmt::format("field number {} lies outside 1 to {}", number, kMaxUserFieldNumber));
  }
  if (const GlobalField* existing = FindField(number)) {
    throw DatabaseError(fmt::format("field number {} is already used by \"{}\"", number, existing->name));
  }
  if (descriptionId == 0) descriptionId = NextFreeId();
  CheckNewId(descriptionId);
  Place(descriptionId, name, kFieldDefId);
  GlobalField& field = fields_[number];
  field = GlobalField{number, std::string(name), descriptionId};
  fieldByName_.emplace(FoldCase(name), number);
  fieldByDescription_.emplace(descriptionId, number);
  return field;
}

int32_t Database::AddSelector(int32_t id, std::string_view name, SelectorData data) {
  if (id == 0) id = NextFreeId();
  CheckNewId(id);
  CheckNewName(name);
  Place(id, name, kSelectorDefId).usable = true;
  selectors_[id] = std::move(data);
  return id;
}

Definition& Database::AddDefinition(int32_t id, std::string_view name, Definition definition) {
  if (id == 0) id = NextFreeId();
  CheckNewId(id);
  CheckNewName(name);
  definition.id = id;
  definition.recordIds.clear();
  definition.Finish();
  auto owned = std::make_unique<Definition>(std::move(definition));
  Definition& stored = *owned;
  definitions_[id] = std::move(owned);
  InsertSorted(definitionIds_, id);
  Place(id, name, kDefinitionDefId).usable = true;
  return stored;
}

Record& Database::AddRecord(int32_t id, std::string_view name, int32_t definitionId, bool usable) {
  const Definition* definition = FindDefinition(definitionId);
  if (definition == nullptr) {
    throw DatabaseError(fmt::format("record {} is not a definition record", definitionId));
  }
  if (definition->system) {
    throw DatabaseError(fmt::format("records of the database definition {} are made by their own calls",
                                    definitionId));
  }
  if (id == 0) id = NextFreeId();
  CheckNewId(id);
  CheckNewName(name);
  Record& record = Place(id, name, definitionId);
  record.usable = usable;
  return record;
}

void Database::ResizeRepeatArea(Record& record, int32_t countPosition, int32_t count) {
  const Definition& definition = *record.definition;
  record.slots[static_cast<std::size_t>(countPosition)].number = count;
  for (const FieldDef& field : definition.fields) {
    if (field.repeatArea == countPosition + 1) {
      record.occurrences[static_cast<std::size_t>(field.repeatSlot)].resize(static_cast<std::size_t>(count));
    }
  }
  dirty = true;
}

}  // namespace dorvik
