// "Did you mean ...?" for names and options people mistype: the candidate
// closest to a word by edit distance (letters swapped count once, case is
// ignored), when it is close enough to be a likely typo.
#ifndef VANTREL_VIEWS_SUGGEST_H_
#define VANTREL_VIEWS_SUGGEST_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::cli {

std::optional<std::string> Suggest(std::string_view word, const std::vector<std::string>& candidates);

// " (did you mean X?)" for the suggestion of word, or "".
std::string DidYouMean(std::string_view word, const std::vector<std::string>& candidates);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_SUGGEST_H_
