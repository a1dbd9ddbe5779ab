#include "server/guid.h"

#include <array>
#include <cstddef>
#include <optional>

#include "platform/exceptions.h"

namespace vantrel::access {
namespace {

// Digits of each hyphen-separated group, in order.
constexpr std::array<std::size_t, 5> kGroups = {8, 4, 4, 4, 12};
constexpr std::size_t kDigits = 32;
constexpr const char* kNotAGuid =
    "The key is not a GUID: 32 hexadecimal digits are expected, optionally grouped 8-4-4-4-12 with hyphens and "
    "enclosed in braces or parentheses.";

std::optional<uint8_t> HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

// The text without its enclosing braces or parentheses, if it has a pair.
std::string_view Unenclosed(std::string_view text) {
  if (text.size() >= 2 && ((text.front() == '{' && text.back() == '}') || (text.front() == '(' && text.back() == ')'))) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

// Whether a body of the right length has hyphens between its groups;
// nullopt when its length fits neither form.
std::optional<bool> IsGrouped(std::string_view body) {
  if (body.size() == kDigits) return false;
  if (body.size() == kDigits + kGroups.size() - 1) return true;
  return std::nullopt;
}

}  // namespace

Guid Guid::Parse(std::string_view text) {
  const std::string_view body = Unenclosed(text);
  const auto grouped = IsGrouped(body);
  if (!grouped) throw platform::FormatException(kNotAGuid);
  Guid guid;
  std::size_t position = 0;
  std::size_t digit = 0;
  for (std::size_t group = 0; group < kGroups.size(); ++group) {
    if (*grouped && group > 0 && body[position++] != '-') throw platform::FormatException(kNotAGuid);
    for (std::size_t i = 0; i < kGroups[group]; ++i, ++digit) {
      const auto value = HexValue(body[position++]);
      if (!value) throw platform::FormatException(kNotAGuid);
      guid.bytes[digit / 2] = static_cast<uint8_t>(guid.bytes[digit / 2] | (*value << (digit % 2 == 0 ? 4 : 0)));
    }
  }
  return guid;
}

}  // namespace vantrel::access
