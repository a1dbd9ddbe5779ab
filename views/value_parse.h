// Strict parsers of the numbers and values people type on the command line.
// Numbers are invariant: an optional sign, digits, a point for decimals and
// an optional exponent; no blanks, no thousands separators, no decimal
// comma ("74,5" is refused, never read as 745). Every parser throws
// UsageError with one line that quotes the text and says what is accepted.
// Stateless and thread-safe.
#ifndef VANTREL_VIEWS_VALUE_PARSE_H_
#define VANTREL_VIEWS_VALUE_PARSE_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/date_time.h"
#include "contracts/enums.h"
#include "contracts/tag_value.h"

namespace vantrel::cli {

// A whole decimal number in [min, max]; `what` names it in messages ("--max").
int64_t ParseInteger(std::string_view text, std::string_view what, int64_t min, int64_t max);
// A record id or field tag: decimal, or hexadecimal after "0x" (up to 32 bits,
// so that field tags such as 0xFFFF0000 can be typed as printed).
int32_t ParseIdentifier(std::string_view text, std::string_view what);
// A real number; also a value that is not a number: NaN, Infinity or inf
// with an optional sign, in any case (kNonNumbersRule says so in help).
double ParseReal(std::string_view text, std::string_view what);
extern const std::string_view kNonNumbersRule;
// true, false (any case), 1 or 0.
bool ParseBool(std::string_view text, std::string_view what);

// Quality of a written value. A status is an int16 other than -32768, which
// marks a value without quality; a level is 0 to 32767.
inline constexpr int32_t kMinStatus = -32767;
inline constexpr int32_t kMaxStatus = 32767;
inline constexpr int32_t kMinLevel = 0;
inline constexpr int32_t kMaxLevel = 32767;
int16_t ParseStatus(std::string_view text);
int16_t ParseLevel(std::string_view text);

// The kinds of value `write --type` sends, by name.
enum class ValueType { kText, kInt16, kInt32, kFloat, kDouble, kTime, kBool };
struct ValueTypeName {
  std::string_view name;
  ValueType type;
};
inline constexpr std::array<ValueTypeName, 7> kValueTypes{{
    {"text", ValueType::kText},
    {"int16", ValueType::kInt16},
    {"int32", ValueType::kInt32},
    {"float", ValueType::kFloat},
    {"double", ValueType::kDouble},
    {"time", ValueType::kTime},
    {"bool", ValueType::kBool},
}};
ValueType ParseValueType(std::string_view text);
// Why storing the number typed as text in a field of type `field` would
// store another number, or nothing when it stores it as typed (to the
// field's precision): a number that underflows to zero or loses its
// smallest digits below the field's normal range, a whole number beyond
// the range a real holds exactly (2^24 in 4 bytes, 2^53 in 8), a fraction
// or an out-of-range number sent to a whole-number field. The reason names
// the value that would be stored and the nearest the field can hold.
std::optional<std::string> ValueChange(std::string_view text, const contracts::Value& value,
                                       contracts::TypeCode field);

// text as a value of the given kind; times are read with ParseTime against now.
contracts::Value ParseTypedValue(std::string_view text, ValueType type, const contracts::DateTime& now);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_VALUE_PARSE_H_
