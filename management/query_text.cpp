#include "management/query_text.h"

#include <bit>
#include <cstring>

#include "platform/codepage.h"

namespace vantrel::access {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;
constexpr uint64_t kLowBits = 0x0101010101010101ULL;

unsigned char Byte(std::string_view text, std::size_t i) { return static_cast<unsigned char>(text[i]); }

uint64_t Word(std::string_view text, std::size_t i) {
  uint64_t word = 0;
  std::memcpy(&word, text.data() + i, sizeof word);
  return word;
}

// A code unit of `size` bytes at text[i], in the given byte order.
char32_t Unit(std::string_view text, std::size_t i, std::size_t size, bool bigEndian) {
  char32_t unit = 0;
  for (std::size_t k = 0; k < size; ++k) {
    const std::size_t index = bigEndian ? i + k : i + size - 1 - k;
    unit = (unit << 8) | Byte(text, index);
  }
  return unit;
}

void AppendUtf16(std::string_view bytes, bool bigEndian, std::string& out) {
  std::size_t i = 0;
  for (; i + 2 <= bytes.size(); i += 2) {
    const char32_t unit = Unit(bytes, i, 2, bigEndian);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 4 <= bytes.size()) {
      const char32_t low = Unit(bytes, i + 2, 2, bigEndian);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        platform::AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    platform::AppendUtf8(out, unit);  // a lone surrogate becomes U+FFFD
  }
  if (i < bytes.size()) platform::AppendUtf8(out, kReplacement);  // an odd last byte
}

void AppendUtf32(std::string_view bytes, bool bigEndian, std::string& out) {
  std::size_t i = 0;
  for (; i + 4 <= bytes.size(); i += 4) platform::AppendUtf8(out, Unit(bytes, i, 4, bigEndian));
  if (i < bytes.size()) platform::AppendUtf8(out, kReplacement);
}

// Bit 7 of a byte of the result is set where word holds `byte`; bits above
// the lowest set one may be wrong (borrows), so only the lowest is used.
uint64_t BytesEqual(uint64_t word, unsigned char byte) {
  const uint64_t x = word ^ (kLowBits * byte);
  return (x - kLowBits) & ~x & kHighBits;
}

}  // namespace

std::string_view DecodeQueryText(std::string_view bytes, std::string& scratch) {
  scratch.clear();
  const auto marked = [&](std::string_view mark) { return bytes.starts_with(mark); };
  using namespace std::string_view_literals;
  if (marked("\xFF\xFE\x00\x00"sv) || marked("\x00\x00\xFE\xFF"sv)) {
    AppendUtf32(bytes.substr(4), marked("\x00\x00\xFE\xFF"sv), scratch);
    return scratch;
  }
  if (marked("\xFF\xFE"sv) || marked("\xFE\xFF"sv)) {
    AppendUtf16(bytes.substr(2), marked("\xFE\xFF"sv), scratch);
    return scratch;
  }
  if (marked("\xEF\xBB\xBF"sv)) bytes.remove_prefix(3);
  if (platform::IsValidUtf8(bytes)) return bytes;
  platform::AppendRepairedUtf8(scratch, bytes);
  return scratch;
}

std::size_t FindLineEnd(std::string_view text, std::size_t from) {
  static_assert(std::endian::native == std::endian::little, "the lowest set bit must be the first byte");
  std::size_t i = from;
  for (; i + sizeof(uint64_t) <= text.size(); i += sizeof(uint64_t)) {
    const uint64_t word = Word(text, i);
    const uint64_t ends = BytesEqual(word, '\n') | BytesEqual(word, '\r');
    if (ends != 0) return i + static_cast<std::size_t>(std::countr_zero(ends)) / 8;
  }
  for (; i < text.size(); ++i) {
    if (text[i] == '\n' || text[i] == '\r') return i;
  }
  return text.size();
}

std::size_t NextLineStart(std::string_view text, std::size_t end) {
  if (end >= text.size()) return text.size();
  if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') return end + 2;
  return end + 1;
}

}  // namespace vantrel::access
