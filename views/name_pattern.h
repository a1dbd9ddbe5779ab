// Name patterns, as `records --like` takes them: `*` stands for any run of
// characters (none too), `?` for exactly one character, and every other
// character for itself, ASCII letters in any case (as the database compares
// record names). A pattern matches a whole name:
//
//   MatchesNamePattern("TI101", "ti*")    true
//   MatchesNamePattern("PI201", "?I2??")  true
//   MatchesNamePattern("XTI101", "TI*")   false
//
// Characters are code points of UTF-8 text. Matching takes time
// proportional to the product of the two lengths at most, whatever the
// pattern. Stateless and thread-safe.
#ifndef VANTREL_VIEWS_NAME_PATTERN_H_
#define VANTREL_VIEWS_NAME_PATTERN_H_

#include <string>
#include <string_view>
#include <vector>

namespace vantrel::cli {

bool MatchesNamePattern(std::string_view name, std::string_view pattern);

// The name test of the library's filtered record lists (a DelegateFilterName):
// true when name matches one of patterns.
bool MatchesAnyNamePattern(const std::string& name, const std::vector<std::string>& patterns);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_NAME_PATTERN_H_
