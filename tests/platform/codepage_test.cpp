#include "platform/codepage.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/exceptions.h"

namespace vantrel::platform {
namespace {

// UTF-8 of one code point, written independently of the code under test.
std::string Utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

TEST(CodePage, EveryByteDecodesAndEncodesBackToItself) {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string ansi(1, static_cast<char>(byte));
    const std::string text = FromAnsi(ansi);
    EXPECT_EQ(CharacterCount(text), 1u) << byte;
    EXPECT_EQ(ToAnsi(text), ansi) << byte;
  }
}

TEST(CodePage, TheBytesAbove0x7FMapAsWindowsMapsThem) {
  EXPECT_EQ(FromAnsi("\x80"), Utf8(0x20AC));  // euro sign
  EXPECT_EQ(FromAnsi("\x8A"), Utf8(0x0160));
  EXPECT_EQ(FromAnsi("\x92"), Utf8(0x2019));
  EXPECT_EQ(FromAnsi("\x99"), Utf8(0x2122));
  EXPECT_EQ(FromAnsi("\x9F"), Utf8(0x0178));
  for (const char unassigned : {'\x81', '\x8D', '\x8F', '\x90', '\x9D'}) {
    EXPECT_EQ(FromAnsi(std::string(1, unassigned)), Utf8(static_cast<uint8_t>(unassigned)));
  }
  EXPECT_EQ(FromAnsi("\xA0"), Utf8(0xA0));
  EXPECT_EQ(FromAnsi("\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(FromAnsi("\xFF"), Utf8(0xFF));
}

TEST(CodePage, ExactlyTheCodePagesCharactersEncodeAndAllOthersBecomeQuestionMarks) {
  std::set<std::string> decodedBytes;
  for (int byte = 0; byte < 256; ++byte) decodedBytes.insert(FromAnsi(std::string(1, char(byte))));
  size_t encodable = 0;
  for (char32_t c = 0; c <= 0x10FFFF; c = (c == 0xFFFF ? 0x10000 : c + 1)) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string ansi = ToAnsi(Utf8(c));
    ASSERT_EQ(ansi.size(), 1u) << static_cast<uint32_t>(c);
    const auto exact = ToAnsiExact(Utf8(c));  // substitutes nothing
    if (ansi != "?" || c == '?') {
      ++encodable;
      EXPECT_EQ(FromAnsi(ansi), Utf8(c)) << static_cast<uint32_t>(c);
      EXPECT_EQ(exact, ansi) << static_cast<uint32_t>(c);
    } else {
      EXPECT_EQ(exact, std::nullopt) << static_cast<uint32_t>(c);
    }
    if (c == 0x10000) c = 0x10FFFE;  // the supplementary planes: spot-check both ends
  }
  EXPECT_EQ(encodable, 256u);
  EXPECT_EQ(decodedBytes.size(), 256u);
  EXPECT_EQ(ToAnsi("\xE2\x82\xAC 5 \xE2\x88\x9E \xF0\x9F\x98\x80"), "\x80 5 ? ?");
  EXPECT_EQ(ToAnsiExact("\xE2\x82\xAC 5 \xE2\x88\x9E"), std::nullopt);
}

TEST(CodePage, InvalidUtf8IsAnArgumentError) {
  for (const char* invalid :
       {"\x80", "a\xBF", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "\xED\xA0\x80",
        "\xED\xBF\xBF", "\xE2\x82", "\xF0\x9F\x98", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80",
        "\xFF", "ok\xC3"}) {
    EXPECT_THROW(ToAnsi(invalid), ArgumentException) << invalid;
    EXPECT_THROW(CharacterCount(invalid), ArgumentException) << invalid;
    EXPECT_THROW(CutToCharacters(invalid, 0), ArgumentException) << invalid;
    EXPECT_FALSE(IsValidUtf8(invalid)) << invalid;
  }
  EXPECT_EQ(ToAnsi(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(CodePage, IllFormedUtf8IsRepairedWithOneReplacementPerMaximalSubpart) {
  const std::string r = Utf8(0xFFFD);
  const auto repaired = [](std::string_view text) {
    std::string out;
    AppendRepairedUtf8(out, text);
    return out;
  };
  EXPECT_EQ(repaired("a\xE2\x82z"), "a" + r + "z");  // one for a truncated sequence
  EXPECT_EQ(repaired("\xF0\x9F\x98"), r);
  EXPECT_EQ(repaired("\xC0\xAF"), r + r);  // one per byte where no sequence could start
  EXPECT_EQ(repaired("\xED\xA0\x80"), r + r + r);
  EXPECT_EQ(repaired("\xF4\x90\x80\x80"), r + r + r + r);
  const std::string valid = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 0123456789";
  EXPECT_TRUE(IsValidUtf8(valid));
  EXPECT_EQ(repaired(valid), valid);
  std::string encoded;
  for (const char32_t c : {char32_t{0x1F600}, char32_t{0xD800}, char32_t{0x110000}}) AppendUtf8(encoded, c);
  EXPECT_EQ(encoded, Utf8(0x1F600) + r + r);
}

TEST(CodePage, AsciiDecodingReplacesHighBytes) {
  EXPECT_EQ(FromAscii("A\x80z\xFF"), "A?z?");
  EXPECT_EQ(FromAscii(std::string("\0x", 2)), std::string("\0x", 2));
}

TEST(CodePage, CountsAndCutsWholeCharacters) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  EXPECT_EQ(CharacterCount(text), 5u);
  EXPECT_EQ(CutToCharacters(text, 0), "");
  EXPECT_EQ(CutToCharacters(text, 2), "a\xC3\xA9");
  EXPECT_EQ(CutToCharacters(text, 4), text.substr(0, text.size() - 1));
  EXPECT_EQ(CutToCharacters(text, 5), text);
  EXPECT_EQ(CutToCharacters(text, 500), text);
}

TEST(CodePage, TrimRemovesUnicodeWhiteSpace) {
  EXPECT_EQ(Trim(" \t\r\n abc \v\f"), "abc");
  EXPECT_EQ(Trim("\xC2\xA0x y\xC2\x85"), "x y");                  // U+00A0, U+0085
  EXPECT_EQ(Trim("\xE3\x80\x80x\xE2\x80\xAF\xE2\x80\xA8"), "x");  // U+3000, U+202F, U+2028
  EXPECT_EQ(Trim("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");              // U+200B is no white space
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(TrimEnd("  a b  "), "  a b");
  EXPECT_EQ(Trim(" \xFF "), "\xFF");
}

// The one-pass decoders and the plain-ASCII shortcuts give what the
// general conversions give, for every byte, alone and among others.
TEST(CodePage, ShortcutsAgreeWithTheGeneralConversionsOnEveryByte) {
  for (int value = 0; value < 256; ++value) {
    const char byte = static_cast<char>(value);
    const std::string alone(1, byte);
    for (const std::string& bytes :
         {alone, " " + alone + "\t", "a" + alone + "z", std::string(2, byte) + "  ", std::string(9, byte) + "x"}) {
      EXPECT_EQ(FromAnsiTrimmed(bytes), std::string(Trim(FromAnsi(bytes)))) << value;
      for (const std::string& walked : {bytes, "plain ascii text " + bytes + " after"}) {
        EXPECT_EQ(FromAnsiTrimmedToZero(walked), std::string(Trim(FromAnsi(walked.substr(0, walked.find('\0'))))))
            << value;
      }
      EXPECT_EQ(FromAsciiTrimmed(bytes), std::string(Trim(FromAscii(bytes)))) << value;
      EXPECT_EQ(IsAscii(bytes), value < 0x80) << value;
      const std::string text = FromAnsi(bytes);  // as UTF-8, with the code point of the byte
      EXPECT_EQ(ToAnsi(text), bytes) << value;
      EXPECT_EQ(CharacterCount(text), bytes.size()) << value;
      EXPECT_EQ(CutToCharacters(text, 2), FromAnsi(bytes.substr(0, 2))) << value;
    }
    // Trim's shortcut for an ASCII byte at either end.
    const bool space = (value >= 0x09 && value <= 0x0D) || value == 0x20;
    if (value < 0x80) {
      EXPECT_EQ(Trim(alone), space ? "" : alone) << value;
    }
    EXPECT_EQ(Trim(Utf8(static_cast<char32_t>(value)) + "\xC2\xA0"), Trim(Utf8(static_cast<char32_t>(value)))) << value;
  }
}

}  // namespace
}  // namespace vantrel::platform
