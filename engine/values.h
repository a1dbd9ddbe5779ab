// Conversion between stored values and the native value records of the API.
//
// A Scalar is a value on its way in or out: an integer, a real, a time, a
// text (a view, no copy) or a record reference. Encode writes a Scalar into
// one native record of a requested type code, Decode reads one; both work on
// unaligned buffers with std::memcpy and never allocate. Text forms use the
// invariant culture: "." as decimal point, the shortest round-trip form of
// reals, and times as ISO 8601 in UTC ("2024-03-07T09:05:01.25Z").
// All functions are stateless and thread-safe.
#ifndef VANTREL_ENGINE_VALUES_H_
#define VANTREL_ENGINE_VALUES_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "api/records.h"
#include "engine/catalog.h"

namespace dorvik {

class View;

struct Scalar {
  enum class Kind : uint8_t { kInteger, kReal, kTime, kText, kReference };
  Kind kind = Kind::kInteger;
  bool single = false;  // a float32 real: its text form is the float's
  int64_t number = 0;   // integer, time (micros), reference (record id)
  double real = 0;
  std::string_view text;
  int32_t field = 0;    // reference: field tag, 0 for a record reference

  static Scalar Integer(int64_t value) { return Scalar{Kind::kInteger, false, value, 0, {}, 0}; }
  static Scalar Real(double value, bool single = false) { return Scalar{Kind::kReal, single, 0, value, {}, 0}; }
  static Scalar Time(Micros value) { return Scalar{Kind::kTime, false, value, 0, {}, 0}; }
  static Scalar Text(std::string_view value) { return Scalar{Kind::kText, false, 0, 0, value, 0}; }
  static Scalar Reference(int32_t id, int32_t fieldTag = 0) {
    return Scalar{Kind::kReference, false, id, 0, {}, fieldTag};
  }
};

// Status, level and time that travel with a value.
struct Quality {
  int16_t status = 0;
  int16_t level = 0;
  Micros time = 0;
};

// Bytes of scratch space that Encode and ToText may need for text forms
// (a record name, a blank, an occurrence number, a blank and a field name).
inline constexpr std::size_t kScratchSize = 2 * kMaxNameLength + 16;
inline constexpr std::size_t kTimeTextSize = 40;

// Size of one value of a type code in a value buffer (positive n: n bytes);
// 0 for a type code that value buffers do not support.
int32_t ValueSize(int16_t type);
// Stride of one occurrence or history slot: positive n rounded up to even.
int32_t SlotStride(int16_t type);
// True for the type codes that carry status, level and time.
bool CarriesQuality(int16_t type);

// Writes value into one record of type at out. Returns kOk or an error code
// (kErrConversion, kErrOutOfRange, kErrBadArgument for an unusable TVANDQU,
// kErrTypeUnsupported).
int16_t Encode(const View& view, const Scalar& value, const Quality& quality, int16_t type,
               std::byte* out, char* scratch);

// Reads one record of type at in. Text values are views into the caller's
// buffer. Returns kOk, kErrTypeUnsupported or kErrBadArgument.
int16_t Decode(int16_t type, const std::byte* in, Scalar& value, Quality& quality);

// Conversions between kinds; kErrConversion when the kinds do not convert
// (times and numbers) or a text does not parse, kErrOutOfRange when a real
// does not fit an int64.
int16_t ToInteger(const Scalar& value, int64_t& out);
int16_t ToReal(const Scalar& value, double& out);
int16_t ToTime(const Scalar& value, Micros& out);
// Text form of a value; may use scratch (kScratchSize bytes).
std::string_view ToText(const View& view, const Scalar& value, char* scratch);

// Rounds to the nearest integer, halves to the even neighbour.
double RoundHalfEven(double value);

// ISO 8601 text of a time in UTC: "yyyy-mm-ddThh:mm:ss[.ffffff]Z" (fraction
// digits only as many as needed). Returns the length written to out
// (kTimeTextSize bytes).
std::size_t FormatTime(Micros time, char* out);
// Parses ISO 8601 ("2024-03-07", "2024-03-07T09:05", "...:01.5", optional
// "Z"; always taken as UTC) and "M/d/yyyy[ H:mm[:ss]]".
bool ParseTime(std::string_view text, Micros& out);

// Microseconds of an XUSTS, carrying MICROSECS of any size into seconds.
inline Micros ToMicros(const XUSTS& time) {
  return static_cast<Micros>(time.SECONDS) * 1'000'000 + time.MICROSECS;
}
// XUSTS of a time; false when the seconds do not fit an int32.
bool ToXusts(Micros time, XUSTS& out);

// The current time.
Micros Now();

}  // namespace dorvik

#endif  // VANTREL_ENGINE_VALUES_H_
