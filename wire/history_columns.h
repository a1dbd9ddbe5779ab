// The columnar history answer: the result of GetHistoryValuesByIds as
// columns of fixed-size numbers, for clients that turn a million values
// into arrays without parsing a JSON object per value (the media type
// application/x-vantrel-columns). A client asks for it with that type in
// its Accept header; every other client keeps the contracts' JSON form.
//
// Layout (little-endian; every block starts at a multiple of 8 bytes):
//
//   header, 16 bytes
//     0  char[4]  magic "VHC1"
//     4  uint32   series count S
//     8  uint64   length of the whole body in bytes
//   S series, in the result map's order (records, then their fields)
//     0  int32    tagId
//     4  int32    fieldId
//     8  uint32   value count N
//    12  uint32   text block length T in bytes (0: no value is text)
//    16           int64[N]   times, nanoseconds since 1970-01-01 UTC
//                 float64[N] values: numbers and booleans as numbers, NaN
//                            for none and for values that are not numbers
//                 int16[N]   status, clamped to int16
//                 int16[N]   level, clamped to int16
//                 T bytes    text block: N entries "uint32 L, L bytes UTF-8",
//                            L = 0xFFFFFFFF for a value without text
//                 zeros up to the next multiple of 8
//
// A time outside the int64 nanosecond range (before 1677 or after 2262)
// is clamped to the range's end; the store keeps 1901 to 2038.
//
// Decoding trusts nothing of the body: every count and length is checked
// against the bytes that are there before it is used.
//
// Stateless functions; safe from any thread.
#ifndef VANTREL_WIRE_HISTORY_COLUMNS_H_
#define VANTREL_WIRE_HISTORY_COLUMNS_H_

#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "contracts/collections.h"
#include "contracts/records.h"

namespace vantrel::wire {

inline constexpr std::string_view kColumnsMediaType = "application/x-vantrel-columns";
inline constexpr std::string_view kColumnsMagic = "VHC1";
inline constexpr uint32_t kNoText = 0xFFFFFFFFu;

// A body that is not a well-formed columnar answer; what() names the first
// fault and where it is.
class ColumnsFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A time as nanoseconds since 1970-01-01 UTC (its ticks read as UTC),
// clamped to the int64 range. Inline: it runs once per value.
inline int64_t NanosecondsOf(const contracts::DateTime& time) {
  constexpr int64_t kNanosecondsPerTick = 100;
  constexpr int64_t kMaxTicks = std::numeric_limits<int64_t>::max() / kNanosecondsPerTick;
  const int64_t ticks = time.Ticks() - contracts::DateTime::kUnixEpochTicks;
  if (ticks > kMaxTicks) return std::numeric_limits<int64_t>::max();
  if (ticks < -kMaxTicks) return std::numeric_limits<int64_t>::min();
  return ticks * kNanosecondsPerTick;
}

// A value as a number: numbers and booleans as themselves, none as NaN, and
// NaN with isNumber set false for texts, times and record pointers. Inline:
// it runs once per value, and reals, the usual kind, come first.
inline double NumberOf(const contracts::Value& value, bool& isNumber) {
  if (const auto* real = std::get_if<double>(&value)) return *real;
  return std::visit(
      [&isNumber](const auto& held) -> double {
        using Held = std::decay_t<decltype(held)>;
        if constexpr (std::is_arithmetic_v<Held>) {
          return static_cast<double>(held);
        } else if constexpr (std::is_same_v<Held, std::monostate>) {
          return std::numeric_limits<double>::quiet_NaN();
        } else {
          isNumber = false;
          return std::numeric_limits<double>::quiet_NaN();
        }
      },
      value);
}
// A value that is not a number as text (a time as ISO text, record
// identifiers joined by blanks); nothing for none and numbers.
std::optional<std::string> NonNumericText(const contracts::Value& value);

// The columnar body of a GetHistoryValuesByIds result.
std::string EncodeHistoryColumns(const contracts::TagValuesByIds& result);

// One field's history as decoded columns.
struct HistorySeries {
  int32_t tagId = 0;
  int32_t fieldId = 0;
  std::vector<int64_t> times;
  std::vector<double> values;
  std::vector<int16_t> status;
  std::vector<int16_t> level;
  std::vector<std::optional<std::string>> texts;  // empty when no value is text
};

// Reads a columnar body; throws ColumnsFormatError.
std::vector<HistorySeries> DecodeHistoryColumns(std::string_view body);

}  // namespace vantrel::wire

#endif  // VANTREL_WIRE_HISTORY_COLUMNS_H_
