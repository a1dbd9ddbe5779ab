#include "views/name_pattern.h"

#include <algorithm>
#include <cstdint>

#include "views/text_compare.h"

namespace vantrel::cli {
namespace {

// The characters of UTF-8 text, each as the bytes that make it. A byte that
// starts no valid sequence stands for itself, so that any text matches
// something sensible.
std::vector<std::string_view> Characters(std::string_view text) {
  std::vector<std::string_view> characters;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    length = std::min(length, text.size() - i);
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) length = 1;
    }
    characters.push_back(text.substr(i, length));
    i += length;
  }
  return characters;
}

bool SameCharacter(std::string_view a, std::string_view b) { return EqualsIgnoringCase(a, b); }

}  // namespace

bool MatchesNamePattern(std::string_view nameText, std::string_view patternText) {
  const auto name = Characters(nameText);
  const auto pattern = Characters(patternText);
  std::size_t n = 0;
  std::size_t p = 0;
  // The last `*` seen and the name position it matched up to: on a mismatch
  // it takes one more character, and matching resumes after it. Only the
  // last star needs revisiting, so this never backtracks further.
  std::size_t star = pattern.size();
  std::size_t starEnd = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == "*") {
      star = p++;
      starEnd = n;
    } else if (p < pattern.size() && (pattern[p] == "?" || SameCharacter(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (star < pattern.size()) {
      p = star + 1;
      n = ++starEnd;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == "*") ++p;
  return p == pattern.size();
}

bool MatchesAnyNamePattern(const std::string& name, const std::vector<std::string>& patterns) {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const std::string& pattern) { return MatchesNamePattern(name, pattern); });
}

}  // namespace vantrel::cli
