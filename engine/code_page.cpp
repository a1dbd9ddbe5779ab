#include "engine/code_page.h"

#include <algorithm>
#include <iterator>

namespace dorvik {
namespace {

// Windows-1252 bytes 0x80-0x9F as code points (the five unassigned bytes
// map to the C1 controls of the same value).
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

// Database text (single-byte) to UTF-8 for the file.
std::string ToUtf8(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    AppendUtf8(out, byte < 0x80 ? byte : byte < 0xA0 ? kCp1252High[byte - 0x80] : byte);
  }
  return out;
}

void AppendUtf8(std::string& text, char32_t code) {
  if (code < 0x80) {
    text += static_cast<char>(code);
  } else if (code < 0x800) {
    text += static_cast<char>(0xC0 | (code >> 6));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text += static_cast<char>(0xE0 | (code >> 12));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (code >> 18));
    text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// UTF-8 of the file to database text; false for a character the code page lacks.
bool FromUtf8(std::string_view text, std::string& out) {
  if (IsAscii(text)) {
    out.assign(text);
    return true;
  }
  out.clear();
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    char32_t code = lead;
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 0;
    if (length == 0 || i + length > text.size()) return false;
    if (length > 1) code = lead & (length == 2 ? 0x1F : 0x0F);
    for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += length;
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
      out += static_cast<char>(code);
      continue;
    }
    const char32_t* match = std::find(std::begin(kCp1252High), std::end(kCp1252High), code);
    if (match == std::end(kCp1252High)) return false;
    out += static_cast<char>(0x80 + (match - std::begin(kCp1252High)));
  }
  return true;
}

}  // namespace dorvik
