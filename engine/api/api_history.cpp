// History reads. A forward read returns, oldest first, the before-outsiders
// the flags ask for, the values inside [start, end] and the after-outsiders,
// cut at the count. Outsider kinds B (8, 16) and C (32, 64) are the same to
// this engine: up to two values beyond the edge. A reverse read returns the
// values inside [end, start], newest first, without outsiders.
#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "engine/access.h"
#include "engine/api/guard.h"
#include "engine/engine.h"
#include "engine/history.h"

using dorvik::ApiFunction;
using dorvik::SetError;

namespace {

constexpr int32_t kRawRequest = 4;
constexpr int32_t kOneBefore = 1, kOneAfter = 2;
constexpr int32_t kTwoBefore = 8 | 32, kTwoAfter = 16 | 64;

// The arguments both reads share, from the record id on.
struct HistoryArgs {
  int32_t id;
  int32_t valueFieldTag;
  const XUSTS* start;
  const XUSTS* end;
  int16_t fieldCount;
  const int16_t* types;
  int32_t count;
  int16_t* levels;
  XUSTS* times;
  void* const* buffers;
  int32_t* returned;
  int16_t* fieldsDone;
  ERRBLOCK* error;
};

// The field tag a read names: the caller passes it plus 1. A tag is a bit
// pattern, so the subtraction wraps instead of overflowing.
int32_t FieldTagOf(int32_t valueFieldTag) {
  return static_cast<int32_t>(static_cast<uint32_t>(valueFieldTag) - 1u);
}

int32_t HistoryStride(int16_t type) {
  switch (type) {
    case -24: case -6: case -4: case -17: return dorvik::SlotStride(type);
    default: return type > 0 ? dorvik::SlotStride(type) : 0;
  }
}

// Validates the arguments; kOk or the error, with detail (the 1-based
// position of a bad argument of RHIS21DATA, or the unsupported type).
int16_t CheckArgs(const HistoryArgs& args, int32_t& detail) {
  detail = 0;
  if (args.start == nullptr || args.end == nullptr) detail = 6;
  else if (args.fieldCount != 1) detail = 8;
  else if (args.types == nullptr) detail = 10;
  else if (args.count > 0 && (args.levels == nullptr || args.times == nullptr || args.buffers == nullptr ||
                              args.buffers[0] == nullptr)) detail = 12;
  if (detail != 0) return dorvik::kErrBadArgument;
  if (HistoryStride(args.types[0]) == 0) {
    detail = args.types[0];
    return dorvik::kErrTypeUnsupported;
  }
  return dorvik::kOk;
}

// Writes sample i of chunk into slot k of the caller's arrays.
int16_t Emit(const dorvik::View& view, const dorvik::FieldDef& field, const dorvik::ChunkView& chunk,
             std::size_t i, const HistoryArgs& args, int32_t k, char* scratch) {
  XUSTS time{};
  const dorvik::Micros micros = chunk.Time(i);
  if (!dorvik::ToXusts(micros, time)) return dorvik::kErrOutOfRange;
  const int16_t type = args.types[0];
  auto* slot = static_cast<std::byte*>(args.buffers[0]) + static_cast<std::ptrdiff_t>(k) * HistoryStride(type);
  const int16_t level = chunk.Level(i);
  if (type == dorvik::api::kTypeDouble && chunk.kind == dorvik::HistoryKind::kReal) {
    const double value = chunk.Real(i);
    std::memcpy(slot, &value, sizeof value);  // the common case, without the general conversion
  } else {
    const dorvik::Quality quality{0, level, micros};
    const int16_t code = dorvik::Encode(view, dorvik::HistoryScalar(field, chunk, i), quality, type, slot, scratch);
    if (code != dorvik::kOk) return code;
  }
  args.levels[k] = level;
  args.times[k] = time;
  return dorvik::kOk;
}

// Runs one read: resolves the field, lets select(reader, emit) walk the
// series and reports the outcome. emit() returns false once the read must
// stop (count reached or a value failed).
template <typename Select>
void ReadHistory(ApiFunction function, const dorvik::CallScope& call, const HistoryArgs& args, Select select) {
  if (args.returned != nullptr) *args.returned = 0;
  if (args.fieldsDone != nullptr) *args.fieldsDone = 0;
  int32_t detail = 0;
  int16_t code = call.FailsAt(0) ? call.FaultCode() : CheckArgs(args, detail);
  dorvik::ReadAccess access;
  if (code == dorvik::kOk && access.view == nullptr) code = dorvik::kErrNotLoaded;
  dorvik::FieldAccess field;
  if (code == dorvik::kOk) code = dorvik::Resolve(*access.view, args.id, FieldTagOf(args.valueFieldTag), field, detail);
  if (code == dorvik::kOk && field.field->historyPointer == 0) code = dorvik::kErrNoHistory;
  if (code != dorvik::kOk) return SetError(args.error, function, code, detail);
  int32_t written = 0;
  if (args.count > 0) {
    char scratch[dorvik::kScratchSize];
    dorvik::SeriesReader reader(*access.view, args.id, field.Tag());
    select(reader, [&](const dorvik::SeriesReader& at) {
      if (written >= args.count || code != dorvik::kOk) return false;
      code = Emit(*access.view, *field.field, at.chunk(), at.index(), args, written, scratch);
      if (code == dorvik::kOk) ++written;
      return code == dorvik::kOk && written < args.count;
    });
  }
  if (args.returned != nullptr) *args.returned = written;
  if (code != dorvik::kOk) return SetError(args.error, function, code, field.Tag());
  if (args.fieldsDone != nullptr) *args.fieldsDone = 1;
  SetError(args.error, function, dorvik::kOk);
}

// Outsiders asked for before the start and after the end: 0, 1 or 2.
int32_t Before(int32_t outsiders) { return (outsiders & kTwoBefore) != 0 ? 2 : (outsiders & kOneBefore) != 0 ? 1 : 0; }
int32_t After(int32_t outsiders) { return (outsiders & kTwoAfter) != 0 ? 2 : (outsiders & kOneAfter) != 0 ? 1 : 0; }

}  // namespace

extern "C" {

void DORVIK_CALL RHIS21DATA(int32_t requestType, int32_t returnStep, int32_t outsiders, int32_t id,
                            int32_t valueFieldTag, const XUSTS* start, const XUSTS* end, int16_t fieldCount,
                            const int32_t* fieldTags, const int16_t* types, int32_t count, int16_t* levels,
                            XUSTS* times, void* const* buffers, int32_t* returned, int16_t* fieldsDone,
                            ERRBLOCK* error) noexcept {
  if (returned != nullptr) *returned = 0;
  if (fieldsDone != nullptr) *fieldsDone = 0;
  dorvik::Guarded(ApiFunction::kRHIS21DATA, error, [&] {
    dorvik::CallScope call(ApiFunction::kRHIS21DATA, [&] {
      return fmt::format("type={} outsiders={} id={} ft=0x{:X} count={}", requestType, outsiders, id,
                         FieldTagOf(valueFieldTag), count);
    });
    (void)returnStep, (void)fieldTags;  // raw reads have no step; the field is valueFieldTag - 1
    const HistoryArgs args{id,    valueFieldTag, start, end,     fieldCount, types,      count,
                           levels, times,        buffers, returned, fieldsDone, error};
    if (requestType != kRawRequest) return SetError(error, call.function(), dorvik::kErrRequestType, requestType);
    ReadHistory(call.function(), call, args, [&](dorvik::SeriesReader& reader, auto emit) {
      const dorvik::Micros from = dorvik::ToMicros(*start), to = dorvik::ToMicros(*end);
      const int32_t before = Before(outsiders), after = After(outsiders);
      // Position on the first value to return: up to `before` values before from.
      bool at = reader.SeekFirstAtOrAfter(from);
      int32_t back = 0;
      if (!at && before > 0 && reader.SeekLast()) {
        at = true;
        back = 1;
      }
      while (at && back < before && reader.Prev()) ++back;
      int32_t beyond = 0;  // values after `to` returned so far
      for (; at; at = reader.Next()) {
        if (reader.Time() > to && reader.Time() >= from && ++beyond > after) return;
        if (!emit(reader)) return;
      }
    });
  });
}

void DORVIK_CALL RHIS21REV(int32_t reserved1, int32_t reserved2, int32_t reserved3, int32_t reserved4, int32_t id,
                           int32_t valueFieldTag, const XUSTS* start, const XUSTS* end, int16_t fieldCount,
                           const int32_t* fieldTags, const int16_t* types, int32_t count, int16_t* levels,
                           XUSTS* times, void* const* buffers, int32_t* returned, int16_t* fieldsDone,
                           ERRBLOCK* error) noexcept {
  if (returned != nullptr) *returned = 0;
  if (fieldsDone != nullptr) *fieldsDone = 0;
  dorvik::Guarded(ApiFunction::kRHIS21REV, error, [&] {
    dorvik::CallScope call(ApiFunction::kRHIS21REV, [&] {
      return fmt::format("id={} ft=0x{:X} count={}", id, FieldTagOf(valueFieldTag), count);
    });
    (void)fieldTags;
    const HistoryArgs args{id,    valueFieldTag, start, end,     fieldCount, types,      count,
                           levels, times,        buffers, returned, fieldsDone, error};
    if (reserved1 != 0 || reserved2 != 0 || reserved3 != 0 || reserved4 != 0) {
      return SetError(error, call.function(), dorvik::kErrBadArgument, 1);
    }
    ReadHistory(call.function(), call, args, [&](dorvik::SeriesReader& reader, auto emit) {
      const dorvik::Micros newest = dorvik::ToMicros(*start), oldest = dorvik::ToMicros(*end);
      for (bool at = reader.SeekLastAtOrBefore(newest); at && reader.Time() >= oldest; at = reader.Prev()) {
        if (!emit(reader)) return;
      }
    });
  });
}

}  // extern "C"
