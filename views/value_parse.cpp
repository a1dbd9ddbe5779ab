#include "views/value_parse.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "views/errors.h"
#include "views/time_parse.h"
#include "views/text_compare.h"

namespace vantrel::cli {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether text is [sign] digits [. digits] [e [sign] digits], with a digit
// before or after the point.
bool IsPlainReal(std::string_view text) {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t start = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    return i - start;
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t mantissa = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

// The message for a number written with a comma: both readings, since a
// comma may be meant as a decimal point or as a thousands separator.
std::string CommaHint(std::string_view text) {
  if (std::count(text.begin(), text.end(), ',') != 1) {
    return "write numbers without thousands separators and with a point for decimals";
  }
  std::string point(text);
  std::replace(point.begin(), point.end(), ',', '.');
  std::string joined(text);
  joined.erase(std::remove(joined.begin(), joined.end(), ','), joined.end());
  return fmt::format("a comma is neither a decimal point nor a thousands separator here: write {} or {}", point,
                     joined);
}

[[noreturn]] void NotANumber(std::string_view text, std::string_view what, std::string_view kind) {
  if (text.find(',') != std::string_view::npos) {
    throw UsageError(fmt::format("{}: '{}' is not a number; {}", what, text, CommaHint(text)));
  }
  throw UsageError(fmt::format("{}: '{}' is not {}", what, text, kind));
}

// Whether text is a whole number in digits alone (no point, no exponent).
bool IsWholeNumberText(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit);
}

// The digits of a whole number without sign and leading zeros ("0" for zero).
std::string_view Magnitude(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  return text;
}

std::optional<double> NumberOf(const contracts::Value& value) {
  if (const auto* real = std::get_if<double>(&value)) return *real;
  if (const auto* real = std::get_if<float>(&value)) return static_cast<double>(*real);
  if (const auto* number = std::get_if<int32_t>(&value)) return *number;
  if (const auto* number = std::get_if<int16_t>(&value)) return *number;
  return std::nullopt;
}

// A real field's change of number, as typed in text, to stored.
std::optional<std::string> RealChange(std::string_view text, double typed, double stored, bool single) {
  const std::string_view kind = single ? "a 4-byte real" : "an 8-byte real";
  const double smallest = single ? std::numeric_limits<float>::denorm_min() : std::numeric_limits<double>::denorm_min();
  const double normal = single ? std::numeric_limits<float>::min() : std::numeric_limits<double>::min();
  const double epsilon = single ? std::numeric_limits<float>::epsilon() : std::numeric_limits<double>::epsilon();
  if (typed != 0 && stored == 0) {
    return fmt::format("{} is too small for {}: it would be stored as 0 (the nearest value it holds is {:g} or 0)",
                       text, kind, std::copysign(smallest, typed));
  }
  // Below the normal range a real keeps fewer digits than its precision; an
  // 8-byte real lost them when the text was read, so its very range tells.
  const bool lostDigits = single ? std::fabs(stored - typed) > std::fabs(typed) * epsilon : true;
  if (std::fabs(typed) < normal && lostDigits) {
    return fmt::format("{} is below the precise range of {}: it would be stored as {:.9g}, the nearest value it holds",
                       text, kind, stored);
  }
  if (IsWholeNumberText(text) && fmt::format("{:.0f}", std::fabs(stored)) != Magnitude(text)) {
    return fmt::format("{} is beyond the whole numbers {} holds exactly: it would be stored as {:.0f}, the nearest "
                       "value it holds",
                       text, kind, stored);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ValueChange(std::string_view text, const contracts::Value& value,
                                       contracts::TypeCode field) {
  // The number as typed, not as a --type may already have cut it.
  if (!NumberOf(value)) return std::nullopt;
  std::optional<double> typed;
  try {
    typed = ParseReal(text, "");
  } catch (const UsageError&) {
    return std::nullopt;
  }
  if (std::isnan(*typed) || std::isinf(*typed)) return std::nullopt;
  switch (field) {
    case contracts::TypeCode::Single: {
      if (std::fabs(*typed) > std::numeric_limits<float>::max()) {
        return fmt::format("{} is out of range for a 4-byte real (at most {:g})", text,
                           std::numeric_limits<float>::max());
      }
      return RealChange(text, *typed, static_cast<float>(*typed), true);
    }
    case contracts::TypeCode::Double: return RealChange(text, *typed, *typed, false);
    case contracts::TypeCode::Int16:
    case contracts::TypeCode::Int32: {
      const bool narrow = field == contracts::TypeCode::Int16;
      const double low = narrow ? INT16_MIN : INT32_MIN;
      const double high = narrow ? INT16_MAX : INT32_MAX;
      const double nearest = std::clamp(std::round(*typed), low, high);
      if (nearest == *typed) return std::nullopt;
      return fmt::format("{} is not a whole number from {:.0f} to {:.0f}; the nearest value the field holds is {:.0f}",
                         text, low, high, nearest);
    }
    default: return std::nullopt;
  }
}

int64_t ParseInteger(std::string_view text, std::string_view what, int64_t min, int64_t max) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  int64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  const bool wellFormed = !digits.empty() && end == digits.data() + digits.size() &&
                          error != std::errc::invalid_argument && IsDigit(digits.back()) &&
                          (digits.size() == text.size() || IsDigit(digits.front()));
  if (!wellFormed) NotANumber(text, what, "a whole number");
  if (error == std::errc::result_out_of_range || number < min || number > max) {
    throw UsageError(fmt::format("{}: {} is out of range ({} to {})", what, text, min, max));
  }
  return number;
}

int32_t ParseIdentifier(std::string_view text, std::string_view what) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    uint32_t number = 0;
    const std::string_view hex = text.substr(2);
    const auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), number, 16);
    if (error == std::errc::result_out_of_range) {
      throw UsageError(fmt::format("{}: {} is out of range (at most 0xFFFFFFFF)", what, text));
    }
    if (error != std::errc() || end != hex.data() + hex.size()) NotANumber(text, what, "a number (decimal or 0x hex)");
    return static_cast<int32_t>(number);
  }
  const std::string_view digits = !text.empty() && text.front() == '-' ? text.substr(1) : text;
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit)) {
    NotANumber(text, what, "a number (decimal or 0x hex)");
  }
  return static_cast<int32_t>(
      ParseInteger(text, what, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

const std::string_view kNonNumbersRule =
    "NaN, Infinity and inf (any case, Infinity and inf with an optional sign) write values that are not numbers";

double ParseReal(std::string_view text, std::string_view what) {
  const std::string_view unsigned_ = !text.empty() && (text[0] == '+' || text[0] == '-') ? text.substr(1) : text;
  if (EqualsIgnoringCase(text, "nan")) return std::numeric_limits<double>::quiet_NaN();
  if (EqualsIgnoringCase(unsigned_, "infinity") || EqualsIgnoringCase(unsigned_, "inf")) {
    return text[0] == '-' ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (!IsPlainReal(text)) NotANumber(text, what, "a number (digits with an optional point and exponent: 74.5, -3e2)");
  std::string_view digits = text;
  if (digits.front() == '+') digits.remove_prefix(1);
  double number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error == std::errc::result_out_of_range) {
    throw UsageError(fmt::format("{}: {} is out of range for a real number", what, text));
  }
  if (error != std::errc() || end != digits.data() + digits.size()) NotANumber(text, what, "a number");
  return number;
}

bool ParseBool(std::string_view text, std::string_view what) {
  if (text == "1" || EqualsIgnoringCase(text, "true")) return true;
  if (text == "0" || EqualsIgnoringCase(text, "false")) return false;
  throw UsageError(fmt::format("{}: '{}' is not a truth value; use true, false, 1 or 0", what, text));
}

int16_t ParseStatus(std::string_view text) {
  return static_cast<int16_t>(ParseInteger(text, "--status", kMinStatus, kMaxStatus));
}

int16_t ParseLevel(std::string_view text) {
  return static_cast<int16_t>(ParseInteger(text, "--level", kMinLevel, kMaxLevel));
}

ValueType ParseValueType(std::string_view text) {
  std::string names;
  for (const auto& entry : kValueTypes) {
    if (entry.name == text) return entry.type;
    names += fmt::format("{}{}", names.empty() ? "" : ", ", entry.name);
  }
  throw UsageError(fmt::format("--type: '{}' is not a value type; types: {}", text, names));
}

contracts::Value ParseTypedValue(std::string_view text, ValueType type, const contracts::DateTime& now) {
  switch (type) {
    case ValueType::kText: return std::string(text);
    case ValueType::kInt16: return static_cast<int16_t>(ParseInteger(text, "--type int16", INT16_MIN, INT16_MAX));
    case ValueType::kInt32: return static_cast<int32_t>(ParseInteger(text, "--type int32", INT32_MIN, INT32_MAX));
    case ValueType::kFloat: {
      const double real = ParseReal(text, "--type float");
      if (std::isfinite(real) && std::fabs(real) > std::numeric_limits<float>::max()) {
        throw UsageError(fmt::format("--type float: {} is out of range for a 4-byte real", text));
      }
      return static_cast<float>(real);
    }
    case ValueType::kDouble: return ParseReal(text, "--type double");
    case ValueType::kTime: try { return ParseTime(text, now);
      } catch (const UsageError& error) {
        throw UsageError(fmt::format("--type time: {}", error.what()));
      }
    case ValueType::kBool: return ParseBool(text, "--type bool");
  }
  return std::string(text);
}

}  // namespace vantrel::cli
