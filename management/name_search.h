// The text matching of the reference search.
//
// NamePattern: one searched name's compiled pattern (PCRE2, UTF-8, Unicode
// word characters, letters without regard to case). It owns its PCRE2 code
// and match data; matching uses the match data, so a pattern is used by one
// thread at a time.
//
// NameSearch: the searched names of one search, each compiled once, on first
// use, and the line matching over record lines and whole query texts. Used
// by one thread.
//
//   NameSearch search(names, patternTexts);
//   if (search.Matches(0, line)) ...                      // one line
//   const auto& lines = search.MatchingLines(fileText);  // lines[i]: name i
#ifndef VANTREL_MANAGEMENT_NAME_SEARCH_H_
#define VANTREL_MANAGEMENT_NAME_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pcre2_real_code_8;
struct pcre2_real_match_data_8;

namespace vantrel::access {

class NamePattern {
 public:
  // Compiles patternText, built from name: the escaped name between the
  // word boundaries "\b+", which match where a word character (a letter or
  // decimal digit of any script, a non-spacing mark, connector punctuation)
  // lies on exactly one side. Throws ArgumentException when name is not
  // well-formed UTF-8 or the pattern does not compile.
  NamePattern(std::string_view name, std::string_view patternText);

  // Whether the pattern is found in line, which must be well-formed UTF-8,
  // starting at or after byte from (a character's first byte; what lies
  // before it still decides the word boundary there). Throws
  // ApplicationException when the engine gives up (a match limit).
  bool Matches(std::string_view line, std::size_t from = 0);

  // The longest run of name's characters that every match holds as the same
  // bytes up to ASCII letter case, in lower case: ASCII characters whose
  // other cases are ASCII too (not k or s: U+212A and U+017F match them).
  // Empty when name has none.
  static std::string Anchor(std::string_view name);

 private:
  struct CodeFree {
    void operator()(pcre2_real_code_8* code) const noexcept;
  };
  struct MatchDataFree {
    void operator()(pcre2_real_match_data_8* data) const noexcept;
  };

  std::string name_;
  std::unique_ptr<pcre2_real_code_8, CodeFree> code_;
  std::unique_ptr<pcre2_real_match_data_8, MatchDataFree> matchData_;
};

class NameSearch {
 public:
  // patternTexts[i] is the pattern text of names[i].
  NameSearch(std::vector<std::string> names, std::vector<std::string> patternTexts);
  ~NameSearch();
  NameSearch(const NameSearch&) = delete;
  NameSearch& operator=(const NameSearch&) = delete;

  // Whether name i's pattern is found in line; ill-formed UTF-8 in line
  // reads as U+FFFD. Compiles that name's pattern on first use.
  bool Matches(std::size_t name, std::string_view line);

  // For every name, in order, the numbers of the lines of text (well-formed
  // UTF-8) in which its pattern is found, in increasing order. Compiles every
  // pattern on first use. The result is valid until the next call.
  const std::vector<std::vector<int32_t>>& MatchingLines(std::string_view text);

 private:
  class AnchorScanner;

  NamePattern& Pattern(std::size_t name);
  void PrepareTextScan();

  std::vector<std::string> names_;
  std::vector<std::string> patternTexts_;
  std::vector<std::optional<NamePattern>> patterns_;
  // Set up by the first MatchingLines: the names found through their
  // anchors in one pass, and those tested on every line.
  bool textScanReady_ = false;
  std::unique_ptr<AnchorScanner> scanner_;
  std::vector<std::size_t> everyLineNames_;
  std::vector<bool> anchorIsName_;  // the name is its anchor: a match starts at most one quote before it
  std::vector<std::vector<int32_t>> lines_;
  std::vector<int32_t> lastTestedLine_;
  std::string repaired_;
};

}  // namespace vantrel::access

#endif  // VANTREL_MANAGEMENT_NAME_SEARCH_H_
