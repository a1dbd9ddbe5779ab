// The system's single-byte code page (Windows-1252) and the text
// conversions the library makes at the database boundary. Library strings
// are UTF-8; database text is single-byte. Stateless functions; safe from
// any thread.
#ifndef VANTREL_PLATFORM_CODEPAGE_H_
#define VANTREL_PLATFORM_CODEPAGE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::platform {

// UTF-8 to Windows-1252; characters the code page lacks become '?'.
// Throws ArgumentException for invalid UTF-8.
std::string ToAnsi(std::string_view utf8);

// UTF-8 to Windows-1252 with nothing substituted: nothing when a character
// has no byte in the code page. Throws ArgumentException for invalid UTF-8.
std::optional<std::string> ToAnsiExact(std::string_view utf8);

// Whether every byte is 7-bit ASCII: such text is the same in UTF-8, in the
// code page and in ASCII, one byte a character.
bool IsAscii(std::string_view text);

// Windows-1252 bytes to UTF-8 (every byte maps; the five unassigned bytes
// map to their C1 control characters, as Windows does).
std::string FromAnsi(std::string_view bytes);
// Trim(FromAnsi(bytes)), decoded once: the white space is cut off the bytes.
std::string FromAnsiTrimmed(std::string_view bytes);
// The same for the bytes before the first zero byte (all when there is none).
std::string FromAnsiTrimmedToZero(std::string_view bytes);
// The same, appended to utf8 (no temporary text).
void AppendAnsi(std::string& utf8, std::string_view bytes);

// 7-bit ASCII bytes to text: bytes above 0x7F become '?'.
std::string FromAscii(std::string_view bytes);
// Trim(FromAscii(bytes)), decoded once.
std::string FromAsciiTrimmed(std::string_view bytes);

// Number of characters (code points) of a UTF-8 text. Throws
// ArgumentException for invalid UTF-8.
std::size_t CharacterCount(std::string_view utf8);

// The first count characters of a UTF-8 text (the whole text when shorter).
// Throws ArgumentException for invalid UTF-8.
std::string_view CutToCharacters(std::string_view utf8, std::size_t count);

// Whether text is well-formed UTF-8 (no overlong form, surrogate or value
// above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Appends text to out with every ill-formed sequence replaced by U+FFFD,
// one for each maximal ill-formed subpart (as the Unicode standard
// recommends).
void AppendRepairedUtf8(std::string& out, std::string_view text);

// Appends the UTF-8 of a code point; a surrogate or a value above U+10FFFF
// becomes U+FFFD.
void AppendUtf8(std::string& out, char32_t codePoint);

// Removes white space (Unicode White_Space characters, U+0085 and U+00A0
// among them) at both ends / at the end only. Invalid UTF-8 is kept as
// content, never an error.
std::string_view Trim(std::string_view utf8);
std::string_view TrimEnd(std::string_view utf8);

}  // namespace vantrel::platform

#endif  // VANTREL_PLATFORM_CODEPAGE_H_
