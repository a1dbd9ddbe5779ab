// Guid: a 128-bit identifier read from its usual text forms. A plain value,
// compared by value.
#ifndef VANTREL_SERVER_GUID_H_
#define VANTREL_SERVER_GUID_H_

#include <array>
#include <cstdint>
#include <string_view>

namespace vantrel::access {

struct Guid {
  std::array<uint8_t, 16> bytes{};  // the 32 hexadecimal digits, in text order

  // Reads 32 hexadecimal digits in either letter case, optionally grouped
  // 8-4-4-4-12 with hyphens, optionally enclosed in braces or parentheses:
  //   5c2e9a417b3d4f06a8e219d4c6b07f3a
  //   {5C2E9A41-7B3D-4F06-A8E2-19D4C6B07F3A}
  // Throws FormatException for any other text.
  static Guid Parse(std::string_view text);

  friend bool operator==(const Guid&, const Guid&) = default;
};

}  // namespace vantrel::access

#endif  // VANTREL_SERVER_GUID_H_
