// Field access: resolving a record id and field tag to a field of the
// record's definition, reading a field occurrence as a Scalar (the
// database's own fields are computed from the catalog), and storing a
// Scalar into a record's slot with the field kind's checks, repeat-area
// resizing and history.
//
// Reads take a View, stores a WriteView and the RecordBuffer they change;
// both belong to the calling thread's transaction.
#ifndef VANTREL_ENGINE_ACCESS_H_
#define VANTREL_ENGINE_ACCESS_H_

#include <cstdint>
#include <string>

#include "engine/history.h"
#include "engine/record_layout.h"
#include "engine/values.h"
#include "engine/view.h"

namespace dorvik {

// A resolved record field.
struct FieldAccess {
  RecordRef record;
  const FieldDef* field = nullptr;
  int32_t position = -1;   // in the definition; -1 for the name field of a user record
  int32_t occurrence = 0;  // as addressed; 0 for the fixed area or the base field
  int32_t Tag() const { return dorvik::api::FieldTag(field->number, occurrence); }
};

// Resolves (id, tag). Returns kOk, kErrRecordNotFound (detail: id),
// kErrFieldNotFound or kErrOccurrence (detail: tag). An occurrence on a
// fixed field, or above a repeat area's current count, is out of range;
// occurrence 0 of a repeated field is the base field.
int16_t Resolve(const View& view, int32_t id, int32_t tag, FieldAccess& out, int32_t& detail);
// The field number names in records of definition (the name field in every
// record); null when there is none. What Resolve finds, without the record.
const FieldDef* FieldOfNumber(const Definition& definition, int32_t number);
// The same for a record already found.
int16_t ResolveIn(const View& view, const RecordRef& record, int32_t tag, FieldAccess& out, int32_t& detail);

// Current number of occurrences of a repeated field; 1 for a fixed field.
int32_t OccurrenceCount(const View& view, const FieldAccess& access);

// The field's GETDATATYPES code (for selector texts the selector's width).
int16_t OwnType(const View& view, const FieldAccess& access);

// Reads occurrence (>= 1; 0 reads the fixed field, or the first occurrence
// of a repeated one). kErrOccurrence when there is no such occurrence.
int16_t ReadValue(const View& view, const FieldAccess& access, int32_t occurrence, Scalar& value, Quality& quality);

// Writes a fixed-area value of a user field straight into a record of the
// type the field itself has (a real as -21/-6, a float as -20/-5, an integer
// as -18/-3 or -19/-4, a text as -24/n). Returns false, writing nothing, for
// any other case, which then takes the general conversion path.
bool EncodeDirect(const FieldAccess& access, int16_t type, std::byte* out);

// kWrite is a client's write: a value without quality (or into a field
// without quality) gets status 0, level 0 and the time now, a history field
// appends to its history, and a selector field takes only the selector's
// entries. kLoad sets a value as a database file or builder gives it: the
// time as given, no history.
enum class StoreMode { kWrite, kLoad };

// Stores value into the addressed field occurrence of record. quality is
// null when the value carries none. Converts to the field's kind (errors:
// kErrConversion, kErrOutOfRange, kErrTextTooLong, kErrReferenceNotFound)
// and resizes the repeat area when a count field is written. Nothing
// changes on an error; the caller puts the record back.
int16_t StoreValue(WriteView& view, RecordBuffer& record, const FieldAccess& access, const Scalar& value,
                   const Quality* quality, Micros now, StoreMode mode = StoreMode::kWrite);

// Converts a value to a history sample of the field's kind; text keeps the
// characters when the value is a text.
int16_t ToHistoryValue(const View& view, const FieldDef& field, const Scalar& value, HistoryValue& out,
                       std::string& text);

// Whether the write-protection code allows a write in the record's state.
bool WriteAllowed(int16_t writeProtection, bool usable);

// Value of a history sample as a Scalar of the field's kind.
Scalar HistoryScalar(const FieldDef& field, const ChunkView& chunk, std::size_t index);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_ACCESS_H_
