#include "platform/codepage.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "platform/exceptions.h"

namespace vantrel::platform {
namespace {

constexpr char kSubstitute = '?';
constexpr char32_t kMaxCodePoint = 0x10FFFF;

// Windows-1252 bytes 0x80-0x9F; every other byte is the code point of the
// same number. The five bytes the code page leaves unassigned (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) are the C1 controls of their number, as Windows maps them.
constexpr uint8_t kFirstSpecialByte = 0x80;
constexpr std::array<char16_t, 32> kSpecialBytes = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr char32_t AnsiToCodePoint(uint8_t byte) {
  if (byte >= kFirstSpecialByte && byte < kFirstSpecialByte + kSpecialBytes.size()) {
    return kSpecialBytes[byte - kFirstSpecialByte];
  }
  return byte;
}

// The code page's byte for a code point; nothing when it has none.
std::optional<char> CodePointToAnsi(char32_t codePoint) {
  const bool special =
      codePoint >= kFirstSpecialByte && codePoint < kFirstSpecialByte + kSpecialBytes.size();
  if (codePoint <= 0xFF && !special) return static_cast<char>(codePoint);
  for (size_t i = 0; i < kSpecialBytes.size(); ++i) {
    if (kSpecialBytes[i] == codePoint) return static_cast<char>(kFirstSpecialByte + i);
  }
  return std::nullopt;
}

constexpr char32_t kReplacement = 0xFFFD;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;  // the top bit of each byte of a word

// The length of the sequence that starts at text[pos] and whether it is well
// formed (no overlong form, surrogate or value above U+10FFFF); an ill-formed
// one is its maximal subpart, at least one byte.
struct Utf8Step {
  size_t length;
  bool valid;
};

Utf8Step NextUtf8(std::string_view text, size_t pos) {
  const auto lead = static_cast<uint8_t>(text[pos]);
  if (lead < 0x80) return {1, true};
  size_t trailing = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {1, false};
  }
  for (size_t k = 1; k <= trailing; ++k) {
    if (pos + k >= text.size()) return {k, false};
    const auto next = static_cast<uint8_t>(text[pos + k]);
    if (next < low || next > high) return {k, false};
    low = 0x80;
    high = 0xBF;
  }
  return {trailing + 1, true};
}

// The code point that starts at pos, advancing pos past it; nothing (and
// pos unchanged) for an ill-formed sequence.
std::optional<char32_t> NextCodePoint(std::string_view text, size_t& pos) {
  const Utf8Step step = NextUtf8(text, pos);
  if (!step.valid) return std::nullopt;
  constexpr std::array<uint8_t, 5> kLeadBits = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t codePoint = static_cast<uint8_t>(text[pos]) & kLeadBits[step.length];
  for (size_t i = 1; i < step.length; ++i) codePoint = (codePoint << 6) | (static_cast<uint8_t>(text[pos + i]) & 0x3F);
  pos += step.length;
  return codePoint;
}

char32_t NextValidCodePoint(std::string_view text, size_t& pos) {
  if (const auto codePoint = NextCodePoint(text, pos)) return *codePoint;
  throw ArgumentException(fmt::format("The text is not valid UTF-8 (at byte {}).", pos));
}

// Unicode White_Space, the set that .NET's Trim removes.
constexpr bool IsWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

constexpr bool IsAsciiWhiteSpace(char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

// Which code-page bytes decode to white space (IsWhiteSpace of their code point).
constexpr std::array<bool, 256> kAnsiWhiteSpace = [] {
  std::array<bool, 256> table{};
  for (size_t byte = 0; byte < table.size(); ++byte) {
    table[byte] = IsWhiteSpace(AnsiToCodePoint(static_cast<uint8_t>(byte)));
  }
  return table;
}();

// bytes without the leading and trailing bytes for which isSpace holds.
template <typename IsSpace>
std::string_view TrimBytes(std::string_view bytes, IsSpace isSpace) {
  size_t begin = 0;
  size_t end = bytes.size();
  while (begin < end && isSpace(bytes[begin])) ++begin;
  while (end > begin && isSpace(bytes[end - 1])) --end;
  return bytes.substr(begin, end - begin);
}

// Length of the leading white space of text. Invalid UTF-8 is no white space.
size_t LeadingWhiteSpace(std::string_view text) {
  // A first byte below 0x80 is a character of its own.
  if (!text.empty() && static_cast<uint8_t>(text.front()) < 0x80 && !IsAsciiWhiteSpace(text.front())) return 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = pos;
    const auto codePoint = NextCodePoint(text, next);
    if (!codePoint || !IsWhiteSpace(*codePoint)) break;
    pos = next;
  }
  return pos;
}

// End of the last character of text that is not white space.
size_t EndOfContent(std::string_view text) {
  // A byte below 0x80 is never part of a longer sequence: a last one that is
  // not white space ends the content.
  if (!text.empty() && static_cast<uint8_t>(text.back()) < 0x80 && !IsAsciiWhiteSpace(text.back())) {
    return text.size();
  }
  size_t end = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    const auto codePoint = NextCodePoint(text, pos);
    if (!codePoint) {
      ++pos;  // an invalid byte is content
      end = pos;
    } else if (!IsWhiteSpace(*codePoint)) {
      end = pos;
    }
  }
  return end;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint > kMaxCodePoint || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) codePoint = kReplacement;
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

bool IsValidUtf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    uint64_t word = 0;
    if (pos + sizeof word <= text.size()) {
      std::memcpy(&word, text.data() + pos, sizeof word);
      if ((word & kHighBits) == 0) {  // eight ASCII bytes at once
        pos += sizeof word;
        continue;
      }
    }
    const Utf8Step step = NextUtf8(text, pos);
    if (!step.valid) return false;
    pos += step.length;
  }
  return true;
}

bool IsAscii(std::string_view text) {
  size_t pos = 0;
  for (; pos + sizeof(uint64_t) <= text.size(); pos += sizeof(uint64_t)) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + pos, sizeof(word));
    if ((word & kHighBits) != 0) return false;
  }
  for (; pos < text.size(); ++pos) {
    if (static_cast<uint8_t>(text[pos]) > 0x7F) return false;
  }
  return true;
}

void AppendRepairedUtf8(std::string& out, std::string_view text) {
  for (size_t pos = 0; pos < text.size();) {
    const Utf8Step step = NextUtf8(text, pos);
    if (step.valid) {
      out.append(text.substr(pos, step.length));
    } else {
      AppendUtf8(out, kReplacement);
    }
    pos += step.length;
  }
}

std::string ToAnsi(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  std::string ansi;
  ansi.reserve(utf8.size());
  for (size_t pos = 0; pos < utf8.size();) ansi += CodePointToAnsi(NextValidCodePoint(utf8, pos)).value_or(kSubstitute);
  return ansi;
}

std::optional<std::string> ToAnsiExact(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  std::string ansi;
  ansi.reserve(utf8.size());
  for (size_t pos = 0; pos < utf8.size();) {
    const auto byte = CodePointToAnsi(NextValidCodePoint(utf8, pos));
    if (!byte) return std::nullopt;
    ansi += *byte;
  }
  return ansi;
}

void AppendAnsi(std::string& utf8, std::string_view bytes) {
  // ASCII is its own UTF-8: the bytes up to the first other one copy at once.
  const auto ascii =
      std::find_if(bytes.begin(), bytes.end(), [](char byte) { return static_cast<uint8_t>(byte) > 0x7F; });
  utf8.append(bytes.begin(), ascii);
  if (ascii == bytes.end()) return;
  utf8.reserve(utf8.size() + static_cast<size_t>(bytes.end() - ascii) * 3);  // at most 3 bytes a character
  for (auto byte = ascii; byte != bytes.end(); ++byte) AppendUtf8(utf8, AnsiToCodePoint(static_cast<uint8_t>(*byte)));
}

std::string FromAnsi(std::string_view bytes) {
  std::string utf8;
  AppendAnsi(utf8, bytes);
  return utf8;
}

std::string FromAnsiTrimmed(std::string_view bytes) {
  const std::string_view content =
      TrimBytes(bytes, [](char byte) { return kAnsiWhiteSpace[static_cast<uint8_t>(byte)]; });
  if (IsAscii(content)) return std::string(content);
  return FromAnsi(content);
}

std::string FromAnsiTrimmedToZero(std::string_view bytes) {
  // Plain ASCII, the usual text, is walked a word at a time: a word with a
  // zero byte or a byte above 0x7F ends the walk.
  constexpr uint64_t kLowBits = 0x0101010101010101u;
  size_t pos = 0;
  for (; pos + sizeof(uint64_t) <= bytes.size(); pos += sizeof(uint64_t)) {
    uint64_t word = 0;
    std::memcpy(&word, bytes.data() + pos, sizeof(word));
    if (((((word - kLowBits) & ~word) | word) & kHighBits) != 0) break;
  }
  for (; pos < bytes.size(); ++pos) {
    const auto byte = static_cast<uint8_t>(bytes[pos]);
    if (byte == 0) break;
    if (byte > 0x7F) return FromAnsiTrimmed(bytes.substr(0, ::strnlen(bytes.data(), bytes.size())));
  }
  return std::string(TrimBytes(bytes.substr(0, pos), [](char byte) { return IsAsciiWhiteSpace(byte); }));
}

std::string FromAscii(std::string_view bytes) {
  std::string text(bytes);
  if (IsAscii(bytes)) return text;
  for (char& c : text) {
    if (static_cast<uint8_t>(c) > 0x7F) c = kSubstitute;
  }
  return text;
}

std::string FromAsciiTrimmed(std::string_view bytes) {
  // A byte above 0x7F becomes '?', which is no white space.
  return FromAscii(TrimBytes(bytes, [](char byte) { return IsAsciiWhiteSpace(byte); }));
}

std::size_t CharacterCount(std::string_view utf8) {
  if (IsAscii(utf8)) return utf8.size();
  size_t count = 0;
  for (size_t pos = 0; pos < utf8.size(); ++count) NextValidCodePoint(utf8, pos);
  return count;
}

std::string_view CutToCharacters(std::string_view utf8, std::size_t count) {
  if (IsAscii(utf8)) return utf8.substr(0, count);
  size_t cut = utf8.size();
  size_t characters = 0;
  // The whole text is checked, so that the result never depends on where
  // an invalid sequence lies.
  for (size_t pos = 0; pos < utf8.size(); ++characters) {
    if (characters == count) cut = pos;
    NextValidCodePoint(utf8, pos);
  }
  return utf8.substr(0, cut);
}

std::string_view Trim(std::string_view utf8) {
  return TrimEnd(utf8.substr(LeadingWhiteSpace(utf8)));
}

std::string_view TrimEnd(std::string_view utf8) { return utf8.substr(0, EndOfContent(utf8)); }

}  // namespace vantrel::platform
