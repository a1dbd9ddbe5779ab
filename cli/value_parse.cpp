#include "cli/value_parse.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "cli/errors.h"
#include "cli/time_parse.h"
#include "cli/text_compare.h"

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

}  // namespace

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

double ParseReal(std::string_view text, std::string_view what) {
  if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (text == "Infinity" || text == "+Infinity") return std::numeric_limits<double>::infinity();
  if (text == "-Infinity") return -std::numeric_limits<double>::infinity();
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
