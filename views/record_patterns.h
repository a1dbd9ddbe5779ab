// Record names as commands take them, with patterns: a word holding `*` or
// `?` stands for every record whose name matches it (as `records --like`
// matches: any case, the whole name), in name order; other words stand for
// themselves. A pattern that matches no record is an error that names it,
// so that `read 'TX*' VALUE` does not quietly read nothing. Definition
// records are not matched: patterns name the records of definitions.
//
//   ExpandRecordPatterns({"TI*", "PI201"}, catalog)  ->  TI101, TI102, TI1010, PI201
//
// Used by one thread, with the catalog it is given.
#ifndef VANTREL_VIEWS_RECORD_PATTERNS_H_
#define VANTREL_VIEWS_RECORD_PATTERNS_H_

#include <string>
#include <string_view>
#include <vector>

namespace vantrel::cli {

class NameCatalog;

bool IsNamePattern(std::string_view word);

// The words with each pattern replaced by the records it matches, each
// record once. Throws NotFoundError naming every pattern that matches none.
std::vector<std::string> ExpandRecordPatterns(const std::vector<std::string>& words, NameCatalog& catalog);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_RECORD_PATTERNS_H_
