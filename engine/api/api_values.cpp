// Value reads and writes, data types, field definitions, permissions and
// history flags.
#include <cstring>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "engine/access.h"
#include "engine/api/guard.h"
#include "engine/engine.h"
#include "engine/group_commit.h"

using dorvik::ApiFunction;
using dorvik::CallScope;
using dorvik::FieldAccess;
using dorvik::Guarded;
using dorvik::ReadAccess;
using dorvik::RecordRef;
using dorvik::SetError;
using dorvik::View;
using dorvik::WriteView;

namespace {

// Where a batch reports its outcome: one block per item (the item's error,
// plus a summary in the first block when a later item fails) or one block
// for the whole call.
class BatchErrors {
 public:
  BatchErrors(ApiFunction function, ERRBLOCK* blocks, int32_t count, bool perItem)
      : function_(function), blocks_(blocks), perItem_(perItem) {
    if (blocks_ == nullptr) return;
    const int32_t toClear = perItem_ ? count : 1;
    for (int32_t i = 0; i < toClear; ++i) SetError(blocks_ + i, function_, dorvik::kOk);
  }

  void Fail(int32_t index, int16_t code, int32_t detail) {
    if (blocks_ == nullptr) return;
    if (!perItem_) return SetError(blocks_, function_, code, detail, index);
    SetError(blocks_ + index, function_, code, detail, index);
    if (index > 0) SetError(blocks_, function_, dorvik::kErrBatchStopped, code, index);
  }

 private:
  ApiFunction function_;
  ERRBLOCK* blocks_;
  bool perItem_;
};

// The record of the previous item, so that a run of items of one record
// looks the record up once.
class RecordMemo {
 public:
  const std::optional<RecordRef>& Find(const View& view, int32_t id) {
    if (!valid_ || id != id_) {
      record_ = view.FindRecord(id);
      id_ = id;
      valid_ = true;
    }
    return record_;
  }

 private:
  bool valid_ = false;
  int32_t id_ = 0;
  std::optional<RecordRef> record_;
};

// Reads item i of a batch as type into out.
int16_t ReadItem(const CallScope& call, const View& view, RecordMemo& memo, int32_t i, const IDANDFT& item,
                 int16_t type, std::byte* out, char* scratch, int32_t& detail) {
  detail = 0;
  if (call.FailsAt(i)) return call.FaultCode();
  const std::optional<RecordRef>& record = memo.Find(view, item.ID);
  if (!record) {
    detail = item.ID;
    return dorvik::kErrRecordNotFound;
  }
  FieldAccess access;
  int16_t code = dorvik::ResolveIn(view, *record, item.FT, access, detail);
  if (code != dorvik::kOk || dorvik::EncodeDirect(access, type, out)) return code;
  dorvik::Scalar value;
  dorvik::Quality quality;
  code = dorvik::ReadValue(view, access, access.occurrence, value, quality);
  return code != dorvik::kOk ? code : dorvik::Encode(view, value, quality, type, out, scratch);
}

// Reads the items of a batch into out. itemAt(i) gives item i. Returns the
// number of items read; stops at the first failure.
template <typename ItemAt>
int32_t ReadItems(const CallScope& call, const View& view, int32_t count, ItemAt itemAt, const int16_t* types,
                  std::byte* out, BatchErrors& errors) {
  char scratch[dorvik::kScratchSize];
  RecordMemo memo;
  const View::RecordCursorScope cursor(view);
  for (int32_t i = 0; i < count; ++i) {
    const int16_t type = types[i];
    const int32_t size = dorvik::ValueSize(type);
    int32_t detail = type;
    const int16_t code = size == 0 ? dorvik::kErrTypeUnsupported
                                   : ReadItem(call, view, memo, i, itemAt(i), type, out, scratch, detail);
    if (code != dorvik::kOk) {
      errors.Fail(i, code, detail);
      return i;
    }
    out += size;
  }
  return count;
}

// RDBVALS and DB2SHRT: n fields of one record, one error block.
void ReadRecordFields(const CallScope& call, int32_t id, int16_t n, const int32_t* fieldTags,
                      const int16_t* types, void* buffer, int16_t* done, ERRBLOCK* error) {
  BatchErrors errors(call.function(), error, 1, false);
  if (done != nullptr) *done = 0;
  if (n < 0 || (n > 0 && (fieldTags == nullptr || types == nullptr || buffer == nullptr))) {
    return errors.Fail(0, dorvik::kErrBadArgument, n < 0 ? 2 : 3);
  }
  ReadAccess access;
  if (access.view == nullptr) return errors.Fail(0, dorvik::kErrNotLoaded, 0);
  const int32_t read = ReadItems(
      call, *access.view, n, [&](int32_t i) { return IDANDFT{id, fieldTags[i]}; }, types,
      static_cast<std::byte*>(buffer), errors);
  if (done != nullptr) *done = static_cast<int16_t>(read);
}

// The checks of a write in their order: the item exists, it is not one of
// the database's own fields, the caller may write the record, and the
// write protection allows it in the record's state.
int16_t CheckWrite(const View& view, const IDANDFT& item, FieldAccess& access, int32_t& detail) {
  int16_t code = dorvik::Resolve(view, item.ID, item.FT, access, detail);
  if (code != dorvik::kOk) return code;
  if (access.field->IsSystem()) return dorvik::kErrDatabaseField;
  if (dorvik::RightsLevel(view, access.record) < 2) {
    detail = item.ID;
    return dorvik::kErrNoWriteRight;
  }
  if (!dorvik::WriteAllowed(access.field->writeProtection, access.record.usable)) {
    return dorvik::kErrWriteProtected;
  }
  return dorvik::kOk;
}

// MRDBOCCS for one field: occurrences first..last into out (none when last
// is 0).
int16_t ReadOccurrences(const View& view, int32_t id, int32_t fieldTag, int16_t type, int32_t first, int32_t last,
                        void* out, char* scratch, int32_t& detail) {
  FieldAccess field;
  int16_t code = dorvik::Resolve(view, id, dorvik::api::BaseTag(fieldTag), field, detail);
  if (code != dorvik::kOk) return code;
  if (!field.field->IsRepeated() || last > dorvik::OccurrenceCount(view, field)) return dorvik::kErrOccurrence;
  const int32_t stride = dorvik::SlotStride(type);
  if (stride == 0) {
    detail = type;
    return dorvik::kErrTypeUnsupported;
  }
  if (last == 0) return dorvik::kOk;
  if (out == nullptr) {
    detail = 7;
    return dorvik::kErrBadArgument;
  }
  auto* slot = static_cast<std::byte*>(out);
  for (int32_t k = first; k <= last; ++k, slot += stride) {
    dorvik::Scalar value;
    dorvik::Quality quality;
    code = dorvik::ReadValue(view, field, k, value, quality);
    if (code == dorvik::kOk) code = dorvik::Encode(view, value, quality, type, slot, scratch);
    if (code != dorvik::kOk) return code;
  }
  return dorvik::kOk;
}

int16_t WriteItem(WriteView& view, const IDANDFT& item, int16_t type, const std::byte* in, dorvik::Micros now,
                  int32_t& detail) {
  FieldAccess access;
  int16_t code = CheckWrite(view, item, access, detail);
  if (code != dorvik::kOk) return code;
  dorvik::Scalar value;
  dorvik::Quality quality;
  if ((code = dorvik::Decode(type, in, value, quality)) != dorvik::kOk) return code;
  dorvik::RecordBuffer record(access.record);
  const dorvik::Quality* carried = dorvik::CarriesQuality(type) ? &quality : nullptr;
  if ((code = dorvik::StoreValue(view, record, access, value, carried, now)) != dorvik::kOk) return code;
  view.PutRecord(item.ID, record);
  if (const auto& activation = access.field->activates) {
    view.QueueActivation(activation->taskId, dorvik::PendingActivation{item.ID, access.Tag(), activation->priority,
                                                                       activation->code, activation->tail});
  }
  return dorvik::kOk;
}

// Writes the items of an MWDBVALS call in order until the first that fails
// (its block says why); returns how many were written.
int16_t WriteItems(const CallScope& call, WriteView& view, int16_t n, const IDANDFT* items, const int16_t* types,
                   const std::byte* in, BatchErrors& batch) {
  const dorvik::Micros now = dorvik::Now();
  // Ends with this call, before the commit: the cursors belong to the transaction.
  const WriteView::BatchCursors cursors(view);
  int16_t written = 0;
  for (; written < n; ++written) {
    const int16_t type = types[written];
    const int32_t size = dorvik::ValueSize(type);
    int32_t detail = type;
    int16_t code = dorvik::kErrTypeUnsupported;
    if (call.FailsAt(written)) {
      code = call.FaultCode();
      detail = 0;
    } else if (size > 0) {
      code = WriteItem(view, items[written], type, in, now, detail);
    }
    if (code != dorvik::kOk) {
      batch.Fail(written, code, detail);
      break;
    }
    in += size;
  }
  return written;
}

// Common head of the per-field metadata calls: resolves (id, base tag).
int16_t ResolveField(const ReadAccess& access, int32_t id, int32_t fieldTag, FieldAccess& field,
                     int32_t& detail) {
  if (access.view == nullptr) return dorvik::kErrNotLoaded;
  return dorvik::Resolve(*access.view, id, dorvik::api::BaseTag(fieldTag), field, detail);
}

void FillDefinition(const View& view, const FieldAccess& access, int32_t fieldTag, FIELDDEFN& out) {
  const dorvik::FieldDef& field = *access.field;
  std::memset(&out, 0, sizeof out);
  if (const dorvik::GlobalField* global = view.FindField(field.number)) {
    std::memcpy(out.NAME, global->name.data(), std::min(global->name.size(), sizeof out.NAME - 1));
  }
  out.FIELDTAG = fieldTag;
  out.DBTYPE = field.dataType;
  out.LENGTHWORD = field.lengthWord;
  out.REPEATAREA = field.repeatArea;
  out.HISTORY = field.historyPointer;
  out.WRITEPROT = field.writeProtection;
  out.DATATYPE = dorvik::OwnType(view, access);
  out.CHGUNUSABLE = dorvik::WriteAllowed(field.writeProtection, false) ? 1 : 0;
  out.CHGUSABLE = dorvik::WriteAllowed(field.writeProtection, true) ? 1 : 0;
  out.OPERCHANGE = field.operatorChange ? 1 : 0;
  out.SELECTOR = field.selectorId != 0 ? 1 : 0;
  out.SELECTORID = field.selectorId;
  out.QUALITYFLD = field.qualityField;
  out.TIMEFLD = field.timestampField;
  out.OPERSTRICT = field.operatorStrict ? 1 : 0;
}

// The type GETDATATYPES gives an item that names a record's own field
// without an occurrence, from the catalog cache alone: such an answer
// depends on the record's definition only. False when the record must be
// read (an occurrence to check, a database field, a record that does not
// read whole, which the read reports).
bool TypeFromCatalog(dorvik::CatalogAccess& catalog, const IDANDFT& item, int16_t& type, int16_t& code,
                     int32_t& detail) {
  if (dorvik::api::OccurrenceOf(item.FT) != 0) return false;
  bool answered = false;
  catalog.WithRecord(item.ID, [&](const dorvik::RecordIdentity& record) {
    if (!record.exists()) {
      code = dorvik::kErrRecordNotFound;
      detail = item.ID;
      answered = true;
      return;
    }
    if (!record.wellFormed) return;
    const dorvik::FieldDef* field = dorvik::FieldOfNumber(*record.definition, dorvik::api::FieldNumberOf(item.FT));
    if (field == nullptr) {
      code = dorvik::kErrFieldNotFound;
      detail = item.FT;
      answered = true;
    } else if (!field->IsSystem()) {
      code = dorvik::kOk;
      type = field->ownType;
      answered = true;
    }
  });
  return answered;
}

}  // namespace

extern "C" {

void DORVIK_CALL GETDATATYPES(int32_t n, const IDANDFT* items, int16_t* types, ERRBLOCK* errors) noexcept {
  Guarded(ApiFunction::kGETDATATYPES, errors, [&] {
    CallScope call(ApiFunction::kGETDATATYPES, [&] { return fmt::format("n={}", n); });
    if (n <= 0 || items == nullptr || types == nullptr || errors == nullptr) return;
    dorvik::CatalogAccess access;
    RecordMemo memo;
    for (int32_t i = 0; i < n; ++i) {
      types[i] = 0;
      if (call.FailsAt(i)) {
        SetError(errors + i, call.function(), call.FaultCode(), 0, i);
        continue;
      }
      const View* view = nullptr;
      int16_t code = dorvik::kOk;
      int32_t detail = items[i].ID;
      if (!access.loaded() || (!TypeFromCatalog(access, items[i], types[i], code, detail) &&
                               (view = access.view()) == nullptr)) {
        SetError(errors + i, call.function(), dorvik::kErrNotLoaded, 0, i);
        continue;
      }
      if (view != nullptr) {
        FieldAccess field;
        const std::optional<RecordRef>& record = memo.Find(*view, items[i].ID);
        code = record ? dorvik::ResolveIn(*view, *record, items[i].FT, field, detail) : dorvik::kErrRecordNotFound;
        if (code == dorvik::kOk) types[i] = dorvik::OwnType(*view, field);
      }
      SetError(errors + i, call.function(), code, code == dorvik::kOk ? 0 : detail, i);
    }
  });
}

void DORVIK_CALL RDBVALS(int32_t id, int16_t n, const int32_t* fieldTags, const int16_t* types, void* buffer,
                         int16_t* done, ERRBLOCK* error) noexcept {
  if (done != nullptr) *done = 0;
  Guarded(ApiFunction::kRDBVALS, error, [&] {
    CallScope call(ApiFunction::kRDBVALS, [&] { return fmt::format("id={} n={}", id, n); });
    ReadRecordFields(call, id, n, fieldTags, types, buffer, done, error);
  });
}

void DORVIK_CALL MRDBVALS(int16_t n, const IDANDFT* items, const int16_t* types, void* buffer, int16_t* done,
                          ERRBLOCK* errors) noexcept {
  if (done != nullptr) *done = 0;
  Guarded(ApiFunction::kMRDBVALS, errors, [&] {
    CallScope call(ApiFunction::kMRDBVALS, [&] { return fmt::format("n={}", n); });
    if (n <= 0) return;
    BatchErrors batch(call.function(), errors, n, true);
    if (items == nullptr || types == nullptr || buffer == nullptr) return batch.Fail(0, dorvik::kErrBadArgument, 2);
    ReadAccess access;
    if (access.view == nullptr) return batch.Fail(0, dorvik::kErrNotLoaded, 0);
    const int32_t read = ReadItems(
        call, *access.view, n, [items](int32_t i) { return items[i]; }, types, static_cast<std::byte*>(buffer),
        batch);
    if (done != nullptr) *done = static_cast<int16_t>(read);
  });
}

void DORVIK_CALL MWDBVALS(int16_t n, const IDANDFT* items, const int16_t* types, const void* buffer,
                          int16_t* done, ERRBLOCK* errors) noexcept {
  if (done != nullptr) *done = 0;
  Guarded(ApiFunction::kMWDBVALS, errors, [&] {
    CallScope call(ApiFunction::kMWDBVALS, [&] { return fmt::format("n={}", n); });
    if (n <= 0) return;
    BatchErrors batch(call.function(), errors, n, true);
    if (items == nullptr || types == nullptr || buffer == nullptr) return batch.Fail(0, dorvik::kErrBadArgument, 2);
    int16_t written = 0;
    const dorvik::Outcome committed = dorvik::Write(
        [&](dorvik::WriteAccess& access) {
          if (access.view == nullptr) {
            batch.Fail(0, access.refusal(), 0);
            return false;
          }
          written = WriteItems(call, *access.view, n, items, types, static_cast<const std::byte*>(buffer), batch);
          if (written == 0) return false;
          dorvik::PassSyncPoint("MWDBVALS:committing");
          access.NoteValuesWritten();
          return true;
        },
        "MWDBVALS:committed");
    if (!committed.ok()) {
      // Nothing of the call is written: the first block says why.
      BatchErrors(call.function(), errors, n, true).Fail(0, committed.code, committed.detail);
      return;
    }
    if (done != nullptr) *done = written;
  });
}

void DORVIK_CALL MRDBOCCS(int32_t id, int16_t n, const int32_t* fieldTags, const int16_t* types, int16_t first,
                          int16_t last, void* const* buffers, int16_t* occurrences, int16_t* fieldsDone,
                          ERRBLOCK* error) noexcept {
  if (occurrences != nullptr) *occurrences = 0;
  if (fieldsDone != nullptr) *fieldsDone = 0;
  Guarded(ApiFunction::kMRDBOCCS, error, [&] {
    CallScope call(ApiFunction::kMRDBOCCS,
                   [&] { return fmt::format("id={} n={} first={} last={}", id, n, first, last); });
    const ApiFunction function = call.function();
    if (n < 0 || (n > 0 && (fieldTags == nullptr || types == nullptr || buffers == nullptr))) {
      return SetError(error, function, dorvik::kErrBadArgument, n < 0 ? 2 : 3);
    }
    const bool nothing = first == 1 && last == 0;
    if (!nothing && (first < 1 || last < first)) return SetError(error, function, dorvik::kErrBadArgument, 6);
    ReadAccess access;
    if (access.view == nullptr) return SetError(error, function, dorvik::kErrNotLoaded);
    char scratch[dorvik::kScratchSize];
    for (int16_t i = 0; i < n; ++i) {
      int32_t detail = 0;
      const int16_t code = call.FailsAt(i) ? call.FaultCode()
                                           : ReadOccurrences(*access.view, id, fieldTags[i], types[i], first,
                                                             nothing ? 0 : last, buffers[i], scratch, detail);
      if (code != dorvik::kOk) return SetError(error, function, code, detail, i);
      if (fieldsDone != nullptr) *fieldsDone = static_cast<int16_t>(i + 1);
    }
    if (occurrences != nullptr) *occurrences = nothing ? 0 : static_cast<int16_t>(last - first + 1);
    SetError(error, function, dorvik::kOk);
  });
}

void DORVIK_CALL DB2SHRT(int32_t id, int32_t fieldTag, int16_t* value, ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kDB2SHRT, error, [&] {
    CallScope call(ApiFunction::kDB2SHRT, [&] { return fmt::format("id={} ft=0x{:X}", id, fieldTag); });
    const int16_t type = dorvik::api::kTypeInt16;
    int16_t done = 0;
    int16_t read = 0;
    ReadRecordFields(call, id, 1, &fieldTag, &type, &read, &done, error);
    if (done == 1 && value != nullptr) *value = read;
  });
}

void DORVIK_CALL FIELDDEFNINFO(int32_t id, int32_t fieldTag, int32_t reserved, FIELDDEFN* definition,
                               int16_t* dataType, ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kFIELDDEFNINFO, error, [&] {
    CallScope call(ApiFunction::kFIELDDEFNINFO, [&] { return fmt::format("id={} ft=0x{:X}", id, fieldTag); });
    const ApiFunction function = call.function();
    if (call.FailsAt(0)) return SetError(error, function, call.FaultCode());
    if (reserved != 0) return SetError(error, function, dorvik::kErrBadArgument, 3);
    if (definition == nullptr) return SetError(error, function, dorvik::kErrBadArgument, 4);
    ReadAccess access;
    FieldAccess field;
    int32_t detail = 0;
    const int16_t code = ResolveField(access, id, fieldTag, field, detail);
    if (code != dorvik::kOk) return SetError(error, function, code, detail);
    FillDefinition(*access.view, field, fieldTag, *definition);
    if (dataType != nullptr) *dataType = field.field->dataType;
    SetError(error, function, dorvik::kOk);
  });
}

void DORVIK_CALL GETFLDPERMIS(int32_t id, int32_t fieldTag, int32_t accessKind, int32_t* allowed, int32_t* level,
                              ERRBLOCK* error) noexcept {
  Guarded(ApiFunction::kGETFLDPERMIS, error, [&] {
    CallScope call(ApiFunction::kGETFLDPERMIS,
                   [&] { return fmt::format("id={} ft=0x{:X} kind={}", id, fieldTag, accessKind); });
    const ApiFunction function = call.function();
    if (call.FailsAt(0)) return SetError(error, function, call.FaultCode());
    if (allowed == nullptr) return SetError(error, function, dorvik::kErrBadArgument, 4);
    ReadAccess access;
    FieldAccess field;
    int32_t detail = 0;
    const int16_t code = ResolveField(access, id, fieldTag, field, detail);
    if (code != dorvik::kOk) return SetError(error, function, code, detail);
    const int16_t rights = dorvik::RightsLevel(*access.view, field.record);
    if (accessKind == 2) {
      *allowed = rights >= 2 && !field.field->IsSystem() ? 1 : 0;
    } else {
      *allowed = rights >= 1 ? 1 : 0;
    }
    if (level != nullptr) *level = rights;
    SetError(error, function, dorvik::kOk);
  });
}

void DORVIK_CALL FieldHistoryInfo(int32_t n, const IDANDFT* items, int32_t* done, int32_t* flags,
                                  ERRBLOCK* error) noexcept {
  if (done != nullptr) *done = 0;
  Guarded(ApiFunction::kFieldHistoryInfo, error, [&] {
    CallScope call(ApiFunction::kFieldHistoryInfo, [&] { return fmt::format("n={}", n); });
    const ApiFunction function = call.function();
    if (n < 0 || (n > 0 && (items == nullptr || flags == nullptr))) {
      return SetError(error, function, dorvik::kErrBadArgument, n < 0 ? 1 : 2);
    }
    ReadAccess access;
    if (access.view == nullptr && n > 0) return SetError(error, function, dorvik::kErrNotLoaded);
    for (int32_t i = 0; i < n; ++i) {
      FieldAccess field;
      int32_t detail = 0;
      int16_t code = call.FailsAt(i) ? call.FaultCode()
                                     : dorvik::Resolve(*access.view, items[i].ID, items[i].FT, field, detail);
      if (code != dorvik::kOk) {
        if (done != nullptr) *done = i;
        return SetError(error, function, code, detail, i);
      }
      flags[i] = (field.field->historyPointer != 0 ? 1 : 0) | (field.field->archived ? 2 : 0);
    }
    if (done != nullptr) *done = n;
    SetError(error, function, dorvik::kOk);
  });
}

}  // extern "C"
