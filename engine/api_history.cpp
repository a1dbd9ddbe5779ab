// History reads. A forward read returns, oldest first, the before-outsiders
// the flags ask for, the values inside [start, end] and the after-outsiders,
// cut at the count. Outsider kinds B (8, 16) and C (32, 64) are the same to
// this engine: up to two values beyond the edge. A reverse read returns the
// values inside [end, start], newest first, without outsiders.
#include <algorithm>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "engine/access.h"
#include "engine/engine.h"

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

// Writes sample index of series into slot k of the caller's arrays.
int16_t Emit(const dorvik::Database& database, const dorvik::FieldDef& field, const dorvik::HistorySeries& series,
             std::size_t index, const HistoryArgs& args, int32_t k, char* scratch) {
  XUSTS time{};
  if (!dorvik::ToXusts(series.times[index], time)) return dorvik::kErrOutOfRange;
  const int16_t type = args.types[0];
  auto* slot = static_cast<std::byte*>(args.buffers[0]) + static_cast<std::ptrdiff_t>(k) * HistoryStride(type);
  const dorvik::Quality quality{0, series.levels[index], series.times[index]};
  const int16_t code =
      dorvik::Encode(database, dorvik::HistoryValue(field, series, index), quality, type, slot, scratch);
  if (code != dorvik::kOk) return code;
  args.levels[k] = series.levels[index];
  args.times[k] = time;
  return dorvik::kOk;
}

// Runs one read: resolves the field, picks the sample indices with
// select(series, emit) and reports the outcome.
template <typename Select>
void ReadHistory(ApiFunction function, const dorvik::CallScope& call, const HistoryArgs& args, Select select) {
  if (args.returned != nullptr) *args.returned = 0;
  if (args.fieldsDone != nullptr) *args.fieldsDone = 0;
  int32_t detail = 0;
  int16_t code = call.FailsAt(0) ? call.FaultCode() : CheckArgs(args, detail);
  dorvik::ReadAccess access;
  if (code == dorvik::kOk && access.database == nullptr) code = dorvik::kErrNotLoaded;
  dorvik::FieldAccess field;
  if (code == dorvik::kOk) {
    code = dorvik::Resolve(*access.database, args.id, FieldTagOf(args.valueFieldTag), field, detail);
  }
  if (code == dorvik::kOk && field.field->historyPointer == 0) code = dorvik::kErrNoHistory;
  if (code != dorvik::kOk) return SetError(args.error, function, code, detail);
  int32_t written = 0;
  const dorvik::HistorySeries* series = access.database->FindHistory(args.id, field.Tag());
  if (series != nullptr && args.count > 0) {
    char scratch[dorvik::kScratchSize];
    select(*series, [&](std::size_t index) {
      if (written >= args.count || code != dorvik::kOk) return false;
      code = Emit(*access.database, *field.field, *series, index, args, written, scratch);
      if (code == dorvik::kOk) ++written;
      return code == dorvik::kOk;
    });
  }
  if (args.returned != nullptr) *args.returned = written;
  if (code != dorvik::kOk) return SetError(args.error, function, code, field.Tag());
  if (args.fieldsDone != nullptr) *args.fieldsDone = 1;
  SetError(args.error, function, dorvik::kOk);
}

}  // namespace

extern "C" {

void DORVIK_CALL RHIS21DATA(int32_t requestType, int32_t returnStep, int32_t outsiders, int32_t id,
                            int32_t valueFieldTag, const XUSTS* start, const XUSTS* end, int16_t fieldCount,
                            const int32_t* fieldTags, const int16_t* types, int32_t count, int16_t* levels,
                            XUSTS* times, void* const* buffers, int32_t* returned, int16_t* fieldsDone,
                            ERRBLOCK* error) {
  dorvik::CallScope call(ApiFunction::kRHIS21DATA, [&] {
    return fmt::format("type={} outsiders={} id={} ft=0x{:X} count={}", requestType, outsiders, id,
                       FieldTagOf(valueFieldTag), count);
  });
  (void)returnStep, (void)fieldTags;  // raw reads have no step; the field is valueFieldTag - 1
  const HistoryArgs args{id, valueFieldTag, start, end, fieldCount, types, count, levels, times, buffers,
                         returned, fieldsDone, error};
  if (requestType != kRawRequest) {
    if (returned != nullptr) *returned = 0;
    if (fieldsDone != nullptr) *fieldsDone = 0;
    return SetError(error, call.function(), dorvik::kErrRequestType, requestType);
  }
  ReadHistory(call.function(), call, args, [&](const dorvik::HistorySeries& series, auto emit) {
    const dorvik::Micros from = dorvik::ToMicros(*start), to = dorvik::ToMicros(*end);
    const auto& t = series.times;
    const auto lo = static_cast<std::size_t>(std::lower_bound(t.begin(), t.end(), from) - t.begin());
    const auto hi = std::max(lo, static_cast<std::size_t>(std::upper_bound(t.begin(), t.end(), to) - t.begin()));
    const std::size_t before = (outsiders & kTwoBefore) != 0 ? 2 : (outsiders & kOneBefore) != 0 ? 1 : 0;
    const std::size_t after = (outsiders & kTwoAfter) != 0 ? 2 : (outsiders & kOneAfter) != 0 ? 1 : 0;
    const std::size_t last = std::min(t.size(), hi + after);
    for (std::size_t i = lo - std::min(lo, before); i < last; ++i) {
      if (!emit(i)) return;
    }
  });
}

void DORVIK_CALL RHIS21REV(int32_t reserved1, int32_t reserved2, int32_t reserved3, int32_t reserved4, int32_t id,
                           int32_t valueFieldTag, const XUSTS* start, const XUSTS* end, int16_t fieldCount,
                           const int32_t* fieldTags, const int16_t* types, int32_t count, int16_t* levels,
                           XUSTS* times, void* const* buffers, int32_t* returned, int16_t* fieldsDone,
                           ERRBLOCK* error) {
  dorvik::CallScope call(ApiFunction::kRHIS21REV, [&] {
    return fmt::format("id={} ft=0x{:X} count={}", id, FieldTagOf(valueFieldTag), count);
  });
  (void)fieldTags;
  const HistoryArgs args{id, valueFieldTag, start, end, fieldCount, types, count, levels, times, buffers,
                         returned, fieldsDone, error};
  if (reserved1 != 0 || reserved2 != 0 || reserved3 != 0 || reserved4 != 0) {
    if (returned != nullptr) *returned = 0;
    if (fieldsDone != nullptr) *fieldsDone = 0;
    return SetError(error, call.function(), dorvik::kErrBadArgument, 1);
  }
  ReadHistory(call.function(), call, args, [&](const dorvik::HistorySeries& series, auto emit) {
    const dorvik::Micros newest = dorvik::ToMicros(*start), oldest = dorvik::ToMicros(*end);
    const auto& t = series.times;
    const auto lo = static_cast<std::size_t>(std::lower_bound(t.begin(), t.end(), oldest) - t.begin());
    const auto hi = static_cast<std::size_t>(std::upper_bound(t.begin(), t.end(), newest) - t.begin());
    for (std::size_t i = hi; i > lo; --i) {
      if (!emit(i - 1)) return;
    }
  });
}

}  // extern "C"
