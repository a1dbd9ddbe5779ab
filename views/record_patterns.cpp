#include "views/record_patterns.h"

#include <algorithm>
#include <set>

#include <fmt/format.h>

#include "views/errors.h"
#include "views/name_catalog.h"
#include "views/name_pattern.h"

namespace vantrel::cli {

bool IsNamePattern(std::string_view word) { return word.find_first_of("*?") != std::string_view::npos; }

std::vector<std::string> ExpandRecordPatterns(const std::vector<std::string>& words, NameCatalog& catalog) {
  if (std::none_of(words.begin(), words.end(), [](const std::string& word) { return IsNamePattern(word); })) {
    return words;
  }
  const std::vector<std::string>& definitions = catalog.Definitions();
  const std::set<std::string> definitionNames(definitions.begin(), definitions.end());
  std::vector<std::string> names;
  std::set<std::string> seen;
  std::string unmatched;
  for (const std::string& word : words) {
    if (!IsNamePattern(word)) {
      if (seen.insert(word).second) names.push_back(word);
      continue;
    }
    bool matched = false;
    for (const std::string& record : catalog.Records()) {
      if (definitionNames.count(record) != 0 || !MatchesNamePattern(record, word)) continue;
      matched = true;
      if (seen.insert(record).second) names.push_back(record);
    }
    if (!matched) unmatched += fmt::format("{}no record matches '{}'", unmatched.empty() ? "" : "; ", word);
  }
  if (!unmatched.empty()) throw NotFoundError(unmatched);
  return names;
}

}  // namespace vantrel::cli
