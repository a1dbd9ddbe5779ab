// Names, identifiers, record kinds, record creation, references and lists.
#include <algorithm>
#include <charconv>
#include <cstring>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "engine/access.h"
#include "engine/api/guard.h"
#include "engine/engine.h"
#include "engine/group_commit.h"
#include "engine/id_reservations.h"

using dorvik::ApiFunction;
using dorvik::CallScope;
using dorvik::CatalogAccess;
using dorvik::Guarded;
using dorvik::GuardedValue;
using dorvik::ReadAccess;
using dorvik::RecordIdentity;
using dorvik::RecordRef;
using dorvik::SetError;
using dorvik::View;
using dorvik::api::kFieldNameBufferSize;

namespace {

// A name argument: length bytes of text, 1 to 256; empty when unusable.
std::string_view NameArgument(const char* name, int16_t length) {
  if (name == nullptr || length <= 0 || static_cast<std::size_t>(length) > dorvik::kMaxNameLength) return {};
  return std::string_view(name, static_cast<std::size_t>(length));
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Copies text into a caller buffer of capacity bytes; a terminator follows
// when there is room. Returns the number of characters copied.
int16_t CopyOut(std::string_view text, char* out, std::size_t capacity) {
  const std::size_t count = std::min(text.size(), capacity);
  std::memcpy(out, text.data(), count);
  if (count < capacity) out[count] = '\0';
  return static_cast<int16_t>(count);
}

// Splits "N NAME" into the occurrence N and NAME; "NAME" gives occurrence 0.
bool SplitOccurrence(std::string_view text, int32_t& occurrence, std::string_view& name) {
  occurrence = 0;
  name = text;
  const std::size_t blank = text.find_first_of(" \t");
  if (blank == std::string_view::npos) return true;
  const std::string_view number = text.substr(0, blank);
  auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), occurrence);
  if (error != std::errc() || end != number.data() + number.size() || occurrence < 1 ||
      occurrence > 0xFFFF) {
    return false;
  }
  name = TrimBlanks(text.substr(blank));
  return !name.empty();
}

void SetUsable(ApiFunction function, int32_t id, ERRBLOCK* error, bool usable) {
  CallScope call(function, [&] { return fmt::format("id={}", id); });
  if (call.FailsAt(0)) return SetError(error, function, call.FaultCode(), id);
  int16_t code = dorvik::kOk;
  int32_t detail = 0;
  const dorvik::Outcome committed = dorvik::Write([&](dorvik::WriteAccess& access) {
    if (access.view == nullptr) {
      code = access.refusal();
      return false;
    }
    const std::optional<RecordRef> record = access.view->FindRecord(id);
    detail = id;
    if (!record) {
      code = dorvik::kErrRecordNotFound;
    } else if (dorvik::RightsLevel(*access.view, *record) < 2) {
      code = dorvik::kErrNoWriteRight;
    } else {
      detail = 0;
    }
    if (code != dorvik::kOk || record->usable == usable) return false;
    dorvik::RecordBuffer changed(*record);
    changed.SetUsable(usable);
    access.view->PutRecord(id, changed);
    access.view->NoteCatalogChanged();
    return true;
  });
  if (!committed.ok()) return SetError(error, function, committed.code, committed.detail);
  SetError(error, function, code, detail);
}

// The check of CREATERECORD; kOk when the record may be created.
int16_t CheckNewRecord(const View& view, int32_t id, int32_t definitionId, std::string_view name, int32_t& detail) {
  const dorvik::Definition* definition = view.FindDefinition(definitionId);
  detail = definitionId;
  if (definition == nullptr || definition->system) return dorvik::kErrNotDefinition;
  detail = id;
  if (id <= 0 || id > dorvik::kMaxRecordId) return dorvik::kErrIdOutOfRange;
  if (view.IdInUse(id) || dorvik::ReservedByOther(view, id, dorvik::Now())) return dorvik::kErrIdInUse;
  detail = static_cast<int32_t>(name.size());
  if (!dorvik::IsValidRecordName(name)) return dorvik::kErrInvalidName;
  if (const std::optional<RecordRef> holder = view.FindRecordByName(name)) {
    detail = holder->id;
    return dorvik::kErrNameInUse;
  }
  detail = definitionId;
  if (dorvik::RightsLevel(view, *view.FindRecord(definitionId)) < 2) return dorvik::kErrNoWriteRight;
  return dorvik::kOk;
}

// The value of a pointer slot: the record it points at.
int32_t PointerTarget(const std::byte* slot) {
  int32_t id = 0;
  std::memcpy(&id, slot + offsetof(IDANDFT, ID), sizeof id);
  return id;
}

// Field tags of record that point at target, ascending, after `after`.
bool NextReferenceIn(const RecordRef& record, int32_t target, int32_t after, int32_t& found) {
  if (record.definitionId == target && after < 0) {
    found = 0;
    return true;
  }
  const dorvik::Definition& definition = *record.definition;
  for (int32_t position : definition.pointerFields) {
    const dorvik::FieldDef& field = definition.fields[static_cast<std::size_t>(position)];
    if (!field.IsRepeated()) {
      const int32_t tag = dorvik::api::FieldTag(field.number);
      if (tag > after && PointerTarget(record.values + field.offset) == target) {
        found = tag;
        return true;
      }
      continue;
    }
    const int32_t count = dorvik::AreaCount(definition, record.values, field.repeatArea - 1);
    for (int32_t k = 1; k <= count; ++k) {
      const int32_t tag = dorvik::api::FieldTag(field.number, k);
      if (tag > after && PointerTarget(dorvik::SlotOf(definition, record.values, position, k)) == target) {
        found = tag;
        return true;
      }
    }
  }
  return false;
}

// Fills entry i of a list: id, usable flag, name.
void ListEntry(const RecordRef& record, int32_t i, int32_t* ids, char* flags, char* names, int16_t* lengths) {
  ids[i] = record.id;
  flags[i] = record.usable ? 1 : 0;
  lengths[i] = CopyOut(record.name, names + static_cast<std::size_t>(i) * kFieldNameBufferSize, kFieldNameBufferSize);
}

}  // namespace

extern "C" {

int32_t DORVIK_CALL NAME2RECID(const char* name, int16_t length) noexcept {
  return GuardedValue<int32_t>(0, [&] {
    const std::string_view text = NameArgument(name, length);
    CallScope call(ApiFunction::kNAME2RECID, [&] { return std::string(text); });
    if (text.empty() || call.FailsAt(0)) return 0;
    CatalogAccess access;
    return access.loaded() ? access.IdOfName(TrimBlanks(text)) : 0;
  });
}

void DORVIK_CALL GETNAMDB_LNAME(const int32_t* id, char* name, int16_t* length) noexcept {
  if (length != nullptr) *length = 0;
  Guarded(ApiFunction::kGETNAMDB_LNAME, nullptr, [&] {
    CallScope call(ApiFunction::kGETNAMDB_LNAME, [&] { return fmt::format("id={}", id ? *id : 0); });
    if (length == nullptr || id == nullptr || name == nullptr || call.FailsAt(0)) return;
    CatalogAccess access;
    if (!access.loaded()) return;
    access.WithRecord(*id, [&](const RecordIdentity& record) {
      if (record.wellFormed) *length = CopyOut(record.name, name, dorvik::api::kNameBufferSize);
    });
  });
}

void DORVIK_CALL DECODFT(const char* name, int16_t length, int32_t* fieldTag, ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kDECODFT, error, [&] {
    const std::string_view text = NameArgument(name, length);
    CallScope call(ApiFunction::kDECODFT, [&] { return std::string(text); });
    const ApiFunction function = call.function();
    if (call.FailsAt(0)) return SetError(error, function, call.FaultCode());
    if (fieldTag == nullptr) return SetError(error, function, dorvik::kErrBadArgument, 3);
    int32_t occurrence = 0;
    std::string_view fieldName;
    if (!SplitOccurrence(TrimBlanks(text), occurrence, fieldName) || fieldName.empty()) {
      return SetError(error, function, dorvik::kErrUnknownFieldName, length);
    }
    CatalogAccess access;
    if (!access.loaded()) return SetError(error, function, dorvik::kErrNotLoaded);
    const dorvik::GlobalField* field = access.FieldByName(fieldName);
    if (field == nullptr) return SetError(error, function, dorvik::kErrUnknownFieldName, length);
    *fieldTag = dorvik::api::FieldTag(field->number, occurrence);
    SetError(error, function, dorvik::kOk);
  });
}

void DORVIK_CALL GETFTDB_LNAME(int32_t id, int32_t fieldTag, char* name, int16_t* length) noexcept {
  if (length != nullptr) *length = 0;
  Guarded(ApiFunction::kGETFTDB_LNAME, nullptr, [&] {
    CallScope call(ApiFunction::kGETFTDB_LNAME, [&] { return fmt::format("id={} ft=0x{:X}", id, fieldTag); });
    if (length == nullptr || name == nullptr || call.FailsAt(0)) return;
    CatalogAccess access;
    if (!access.loaded()) return;
    const dorvik::FieldDef* field = nullptr;
    access.WithRecord(id, [&](const RecordIdentity& record) {
      // Resolve's answer without the occurrence check: past the count still names the field.
      if (record.wellFormed) field = dorvik::FieldOfNumber(*record.definition, dorvik::api::FieldNumberOf(fieldTag));
    });
    if (field == nullptr) return;
    const dorvik::GlobalField* global = access.Field(field->number);
    if (global == nullptr) return;
    const int32_t occurrence = dorvik::api::OccurrenceOf(fieldTag);
    if (occurrence == 0) {
      *length = CopyOut(global->name, name, kFieldNameBufferSize);
    } else {
      *length = CopyOut(fmt::format("{} {}", occurrence, global->name), name, kFieldNameBufferSize);
    }
  });
}

int32_t DORVIK_CALL DEFINID(int32_t id) noexcept {
  return GuardedValue<int32_t>(0, [&] {
    CallScope call(ApiFunction::kDEFINID, [&] { return fmt::format("id={}", id); });
    if (call.FailsAt(0)) return 0;
    CatalogAccess access;
    int32_t definitionId = 0;
    if (access.loaded()) {
      access.WithRecord(id, [&](const RecordIdentity& record) { definitionId = record.definitionId; });
    }
    return definitionId;
  });
}

int32_t DORVIK_CALL RECTYPEOK(int32_t id, int32_t kind) noexcept {
  return GuardedValue<int32_t>(0, [&] {
    CallScope call(ApiFunction::kRECTYPEOK, [&] { return fmt::format("id={} kind={}", id, kind); });
    if (call.FailsAt(0)) return 0;
    CatalogAccess access;
    int32_t answer = 0;
    if (!access.loaded()) return answer;
    access.WithRecord(id, [&](const RecordIdentity& record) {
      if (!record.exists()) return;
      if (kind == dorvik::api::kKindDefinition) {
        answer = record.definitionId == dorvik::kDefinitionDefId ? 1 : 0;
      } else {
        answer = record.definition != nullptr && record.definition->HasKind(kind) ? 1 : 0;
      }
    });
    return answer;
  });
}

uint8_t DORVIK_CALL VALIDUSA(int32_t id) noexcept {
  return GuardedValue<uint8_t>(0, [&]() -> uint8_t {
    CallScope call(ApiFunction::kVALIDUSA, [&] { return fmt::format("id={}", id); });
    if (call.FailsAt(0)) return 0;
    ReadAccess access;
    const auto header = access.view != nullptr ? access.view->FindHeader(id) : std::nullopt;
    return header && header->usable != 0 ? 1 : 0;
  });
}

void DORVIK_CALL MAKUSABL(int32_t id, ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kMAKUSABL, error, [&] { SetUsable(ApiFunction::kMAKUSABL, id, error, true); });
}

void DORVIK_CALL MAKUNUSA(int32_t id, ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kMAKUNUSA, error, [&] { SetUsable(ApiFunction::kMAKUNUSA, id, error, false); });
}

namespace {

// The id NXTFREE answers, reserved for the calling thread so that no other
// caller is handed it before this one's CREATERECORD (id_reservations.h). A
// database this process may only read reserves nothing: its caller cannot
// create a record anyway. 0 when no id is left or the reservation is not saved.
int32_t ReserveNextFree() {
  int32_t id = 0;
  int16_t refusal = dorvik::kOk;
  const dorvik::Outcome committed = dorvik::Write([&](dorvik::WriteAccess& access) {
    refusal = access.refusal();
    if (access.view == nullptr) return false;
    id = dorvik::ReserveFreeId(*access.view, dorvik::Now());
    return true;
  });
  if (refusal == dorvik::kOk) return committed.ok() ? id : 0;
  if (refusal != dorvik::kErrReadOnly) return 0;
  ReadAccess access;
  return access.view != nullptr ? access.view->NextFreeId() : 0;
}

}  // namespace

void DORVIK_CALL NXTFREE(int32_t mode, int32_t* id) noexcept {
  if (id != nullptr) *id = 0;
  Guarded(ApiFunction::kNXTFREE, nullptr, [&] {
    CallScope call(ApiFunction::kNXTFREE, [&] { return fmt::format("mode={}", mode); });
    if (id == nullptr || mode != 1 || call.FailsAt(0)) return;
    *id = ReserveNextFree();
  });
}

void DORVIK_CALL CREATERECORD(int32_t id, int32_t definitionId, int32_t reserved1, int32_t reserved2,
                              const char* name, int16_t length, ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kCREATERECORD, error, [&] {
    const std::string_view text = NameArgument(name, length);
    CallScope call(ApiFunction::kCREATERECORD,
                   [&] { return fmt::format("id={} def={} name={}", id, definitionId, text); });
    const ApiFunction function = call.function();
    if (call.FailsAt(0)) return SetError(error, function, call.FaultCode(), id);
    if (reserved1 != 0) return SetError(error, function, dorvik::kErrBadArgument, 3);
    if (reserved2 != 0) return SetError(error, function, dorvik::kErrBadArgument, 4);
    if (text.empty()) return SetError(error, function, dorvik::kErrInvalidName, length);
    int16_t code = dorvik::kOk;
    int32_t detail = 0;
    const dorvik::Outcome committed = dorvik::Write([&](dorvik::WriteAccess& access) {
      if (access.view == nullptr) {
        code = access.refusal();
        return false;
      }
      code = CheckNewRecord(*access.view, id, definitionId, text, detail);
      if (code != dorvik::kOk) return false;
      detail = 0;
      const dorvik::Definition& definition = *access.view->FindDefinition(definitionId);
      access.view->AddRecord(id, dorvik::RecordBuffer(definition, definitionId, text, false));
      dorvik::UseReservation(*access.view, id);
      return true;
    });
    if (!committed.ok()) return SetError(error, function, committed.code, committed.detail);
    SetError(error, function, code, detail);
  });
}

void DORVIK_CALL NXTREFER(int32_t target, int32_t reserved, int32_t* record, int32_t* fieldTag) noexcept {
  Guarded(ApiFunction::kNXTREFER, nullptr, [&] {
    CallScope call(ApiFunction::kNXTREFER, [&] {
      return fmt::format("target={} at={}/0x{:X}", target, record ? *record : 0, fieldTag ? *fieldTag : 0);
    });
    (void)reserved;  // carries no meaning for this engine
    if (record == nullptr || fieldTag == nullptr) return;
    const int32_t fromRecord = *record;
    // A cursor of (0, 0) starts before every reference, the definition one included.
    const int32_t fromTag = fromRecord == 0 ? -1 : *fieldTag;
    *record = 0;
    *fieldTag = 0;
    if (target <= 0 || call.FailsAt(0)) return;
    ReadAccess access;
    if (access.view == nullptr) return;
    access.view->ForEachRecord(fromRecord, [&](const RecordRef& candidate) {
      int32_t found = 0;
      if (!NextReferenceIn(candidate, target, candidate.id == fromRecord ? fromTag : -1, found)) return true;
      *record = candidate.id;
      *fieldTag = found;
      return false;
    });
  });
}

void DORVIK_CALL GETRECORDLIST_LNAME(int32_t mode, int32_t definitionId, int32_t one1, int32_t one2,
                                     int32_t reserved, const DVKQUERYDEF* query, int32_t max, int32_t* cursor,
                                     int32_t* ids, char* flags, char* names, int16_t* lengths,
                                     int32_t* count) noexcept {
  if (count != nullptr) *count = 0;
  Guarded(ApiFunction::kGETRECORDLIST_LNAME, nullptr, [&] {
    CallScope call(ApiFunction::kGETRECORDLIST_LNAME, [&] {
      return fmt::format("mode={} def={} max={} at={}", mode, definitionId, max, cursor ? *cursor : 0);
    });
    (void)query;  // queries are not supported; the argument is ignored
    if (count == nullptr || cursor == nullptr || ids == nullptr || flags == nullptr || names == nullptr ||
        lengths == nullptr || max <= 0 || one1 != 1 || one2 != 1 || reserved != 0 || call.FailsAt(0)) {
      return;
    }
    ReadAccess access;
    if (access.view == nullptr || (mode != 1 && mode != 2)) return;
    const auto limit = static_cast<std::size_t>(max);
    const std::vector<int32_t> listed = mode == 1 ? access.view->RecordsOf(definitionId, *cursor, limit)
                                                  : access.view->DefinitionsAfter(*cursor, limit);
    int32_t filled = 0;
    for (int32_t listedId : listed) {
      const std::optional<RecordRef> entry = access.view->FindRecord(listedId);
      if (!entry) dorvik::storage::ThrowCorrupted("a listed record is missing");
      ListEntry(*entry, filled++, ids, flags, names, lengths);
    }
    *count = filled;
    if (filled > 0) *cursor = ids[filled - 1];
  });
}

void DORVIK_CALL GETFLDNAMS_LNAME(int32_t* cursor, int32_t reserved1, const void* reserved2, int32_t reserved3,
                                  int32_t reserved4, int32_t reserved5, int32_t capacity, int32_t* valuesA,
                                  int16_t* valuesB, char* flags, char* names, int16_t* lengths,
                                  int32_t* count) noexcept {
  if (count != nullptr) *count = 0;
  Guarded(ApiFunction::kGETFLDNAMS_LNAME, nullptr, [&] {
    CallScope call(ApiFunction::kGETFLDNAMS_LNAME,
                   [&] { return fmt::format("at={} capacity={}", cursor ? *cursor : 0, capacity); });
    (void)reserved1, (void)reserved2, (void)reserved3, (void)reserved4, (void)reserved5;
    if (count == nullptr || cursor == nullptr || valuesA == nullptr || valuesB == nullptr || flags == nullptr ||
        names == nullptr || lengths == nullptr || capacity <= 0 || call.FailsAt(0)) {
      return;
    }
    ReadAccess access;
    if (access.view == nullptr) return;
    int32_t filled = 0;
    for (int32_t number : access.view->FieldsAfter(*cursor, static_cast<std::size_t>(capacity))) {
      const dorvik::GlobalField* field = access.view->FindField(number);
      if (field == nullptr) dorvik::storage::ThrowCorrupted("a listed field is missing");
      valuesA[filled] = field->descriptionId;
      valuesB[filled] = static_cast<int16_t>(field->number);
      flags[filled] = (field->number & dorvik::api::kSystemFieldBit) != 0 ? 1 : 0;
      lengths[filled] = CopyOut(field->name, names + static_cast<std::size_t>(filled) * kFieldNameBufferSize,
                                kFieldNameBufferSize);
      ++filled;
    }
    *count = filled;
    if (filled > 0) *cursor = valuesB[filled - 1];
  });
}

}  // extern "C"
