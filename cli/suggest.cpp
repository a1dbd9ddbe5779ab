#include "cli/suggest.h"

#include <algorithm>

#include <fmt/format.h>

#include "cli/text_compare.h"

namespace vantrel::cli {
namespace {

// Optimal string alignment distance: insertions, deletions, substitutions
// and swaps of neighbours each cost one; letters compare in any case.
std::size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = SameLetters(a[i - 1], b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && SameLetters(a[i - 1], b[j - 2]) && SameLetters(a[i - 2], b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::optional<std::string> Suggest(std::string_view word, const std::vector<std::string>& candidates) {
  // Long names stand more typos: one per three characters, at least one.
  const std::size_t limit = std::max<std::size_t>(1, word.size() / 3);
  std::optional<std::string> best;
  std::size_t bestDistance = limit + 1;
  for (const auto& candidate : candidates) {
    // Words far apart in length cannot be close; skip the table for them.
    const std::size_t gap =
        candidate.size() > word.size() ? candidate.size() - word.size() : word.size() - candidate.size();
    if (gap > limit) continue;
    const std::size_t distance = Distance(word, candidate);
    if (distance < bestDistance && distance > 0) {
      best = candidate;
      bestDistance = distance;
    } else if (distance == 0 && candidate != word) {
      return candidate;  // differs only in case
    }
  }
  if (best) return best;
  // A beginning of a longer name ("hist", "--out") names it when it is
  // long enough to mean something.
  constexpr std::size_t kShortestStart = 3;
  if (word.size() < kShortestStart) return std::nullopt;
  for (const auto& candidate : candidates) {
    if (candidate.size() > word.size() && StartsWithIgnoringCase(candidate, word)) return candidate;
  }
  return std::nullopt;
}

std::string DidYouMean(std::string_view word, const std::vector<std::string>& candidates) {
  const auto suggestion = Suggest(word, candidates);
  return suggestion ? fmt::format(" (did you mean {}?)", *suggestion) : "";
}

}  // namespace vantrel::cli
