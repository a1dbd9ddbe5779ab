#include "views/suggest.h"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "views/text_compare.h"

namespace vantrel::cli {
namespace {

// Optimal string alignment distance: insertions, deletions, substitutions
// and swaps of neighbours each cost one; letters compare in any case. Three
// rows of the table are enough (a swap looks two rows back); they are
// kept between calls, so that a catalog of many names costs no allocation
// per name.
std::size_t Distance(std::string_view a, std::string_view b) {
  thread_local std::vector<std::size_t> rows;
  const std::size_t width = b.size() + 1;
  rows.assign(3 * width, 0);
  auto row = [&](std::size_t i) { return rows.data() + (i % 3) * width; };
  for (std::size_t j = 0; j <= b.size(); ++j) row(0)[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t* current = row(i);
    const std::size_t* above = row(i - 1);
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = SameLetters(a[i - 1], b[j - 1]) ? 0 : 1;
      current[j] = std::min({above[j] + 1, current[j - 1] + 1, above[j - 1] + cost});
      if (i > 1 && j > 1 && SameLetters(a[i - 1], b[j - 2]) && SameLetters(a[i - 2], b[j - 1])) {
        current[j] = std::min(current[j], row(i - 2)[j - 2] + 1);
      }
    }
  }
  return row(a.size())[b.size()];
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
