#include "data/value_conversion.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

#include <fmt/format.h>

#include "platform/codepage.h"
#include "platform/exceptions.h"

namespace vantrel::access {
namespace {

using contracts::DateTime;
using contracts::TagIdentifiers;
using contracts::Value;

const char* KindName(const Value& value) {
  static constexpr const char* kNames[] = {"no value", "Boolean", "Int16",  "Int32",  "Int64",
                                           "Single",   "Double",  "DateTime", "String", "TagIdentifiers"};
  return kNames[value.index()];
}

[[noreturn]] void ThrowInvalidCast(const Value& value, const char* target) {
  throw platform::InvalidCastException(fmt::format("Invalid cast from '{}' to '{}'.", KindName(value), target));
}

template <typename Integer>
[[noreturn]] void ThrowOverflow() {
  throw platform::OverflowException(fmt::format("Value was either too large or too small for an {}.",
                                                std::is_same_v<Integer, int16_t> ? "Int16" : "Int32"));
}

// An integer text: optional blanks, an optional sign, digits.
template <typename Integer>
Integer ParseInteger(std::string_view text) {
  text = platform::Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int64_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || end != text.data() + text.size() || error == std::errc::invalid_argument) {
    throw platform::FormatException(fmt::format("The text '{}' is not an integer.", text));
  }
  if (error == std::errc::result_out_of_range || number < std::numeric_limits<Integer>::min() ||
      number > std::numeric_limits<Integer>::max()) {
    ThrowOverflow<Integer>();
  }
  return static_cast<Integer>(number);
}

// A real text in the invariant culture: "." decimal point, optional
// exponent, "," thousands separators before the point, and the named values.
double ParseReal(std::string_view original) {
  std::string_view text = platform::Trim(original);
  if (text == "Infinity" || text == "+Infinity" || text == "\u221E") return std::numeric_limits<double>::infinity();
  if (text == "-Infinity" || text == "-\u221E") return -std::numeric_limits<double>::infinity();
  if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
  std::string digits;
  const auto point = text.find_first_of(".eE");
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ',' && i < point && i > 0) continue;
    digits += text[i];
  }
  std::string_view view = digits;
  if (!view.empty() && view.front() == '+') view.remove_prefix(1);
  double number = 0;
  const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), number);
  if (view.empty() || end != view.data() + view.size() || error == std::errc::invalid_argument) {
    throw platform::FormatException(fmt::format("The text '{}' is not a number.", original));
  }
  if (error == std::errc::result_out_of_range) {
    throw platform::OverflowException(fmt::format("The number '{}' is outside the range of a Double.", original));
  }
  return number;
}

template <typename Integer>
Integer RealToInteger(double real) {
  const double rounded = std::nearbyint(real);  // the default rounding: half to even
  if (std::isnan(rounded) || rounded < static_cast<double>(std::numeric_limits<Integer>::min()) ||
      rounded > static_cast<double>(std::numeric_limits<Integer>::max())) {
    ThrowOverflow<Integer>();
  }
  return static_cast<Integer>(rounded);
}

template <typename Integer>
Integer ToInteger(const Value& value, const char* target) {
  return std::visit(
      [&](const auto& v) -> Integer {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0;
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? 1 : 0;
        } else if constexpr (std::is_integral_v<T>) {
          if (v < std::numeric_limits<Integer>::min() || v > std::numeric_limits<Integer>::max()) {
            ThrowOverflow<Integer>();
          }
          return static_cast<Integer>(v);
        } else if constexpr (std::is_floating_point_v<T>) {
          return RealToInteger<Integer>(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return ParseInteger<Integer>(v);
        } else {
          ThrowInvalidCast(value, target);
        }
      },
      value);
}

template <typename Real>
std::string RealText(Real real) {
  if (std::isnan(real)) return "NaN";
  if (std::isinf(real)) return real > 0 ? "Infinity" : "-Infinity";
  std::string text = fmt::format("{}", real);
  if (const auto e = text.find('e'); e != std::string::npos) text[e] = 'E';
  return text;
}

}  // namespace

int16_t ToInt16(const Value& value) { return ToInteger<int16_t>(value, "Int16"); }
int32_t ToInt32(const Value& value) { return ToInteger<int32_t>(value, "Int32"); }

double ToDouble(const Value& value) {
  return std::visit(
      [&](const auto& v) -> double {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0;
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? 1 : 0;
        } else if constexpr (std::is_arithmetic_v<T>) {
          return static_cast<double>(v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return ParseReal(v);
        } else {
          ThrowInvalidCast(value, "Double");
        }
      },
      value);
}

float ToSingle(const Value& value) {
  if (const auto* single = std::get_if<float>(&value)) return *single;
  const double real = ToDouble(value);
  if (std::isfinite(real) && std::fabs(real) > std::numeric_limits<float>::max()) {
    throw platform::OverflowException("Value was either too large or too small for a Single.");
  }
  return static_cast<float>(real);
}

DateTime ToDateTime(const Value& value) {
  if (std::holds_alternative<std::monostate>(value)) return DateTime::MinValue;
  if (const auto* time = std::get_if<DateTime>(&value)) return *time;
  if (const auto* text = std::get_if<std::string>(&value)) return DateTime::Parse(platform::Trim(*text));
  ThrowInvalidCast(value, "DateTime");
}

std::string ToText(const Value& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return {};
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "True" : "False";
        } else if constexpr (std::is_integral_v<T>) {
          return fmt::format("{}", v);
        } else if constexpr (std::is_floating_point_v<T>) {
          return RealText(v);
        } else if constexpr (std::is_same_v<T, DateTime>) {
          return v.ToGeneralString();
        } else if constexpr (std::is_same_v<T, std::string>) {
          return v;
        } else {
          // A record-and-field pointer as the text a write accepts back.
          std::string text;
          for (const auto& identifier : v) text += (text.empty() ? "" : " ") + identifier.Name;
          return text;
        }
      },
      value);
}

}  // namespace vantrel::access
