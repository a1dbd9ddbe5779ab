// Comparing names the way people type them: ASCII letters in any case.
#ifndef VANTREL_VIEWS_TEXT_COMPARE_H_
#define VANTREL_VIEWS_TEXT_COMPARE_H_

#include <algorithm>
#include <cctype>
#include <string_view>

namespace vantrel::cli {

inline char LowerCase(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

inline bool SameLetters(char a, char b) { return LowerCase(a) == LowerCase(b); }

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameLetters);
}

inline bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), SameLetters);
}

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_TEXT_COMPARE_H_
