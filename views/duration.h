// Lengths of time as people type them on the command line: a whole number
// and a unit, "500ms", "2s", "1m", "15min", "1h", "1d" ("90s" and "1h" may
// not be combined: one number, one unit). Used for --every, --align, --watch
// and --follow. Stateless and thread-safe.
#ifndef VANTREL_VIEWS_DURATION_H_
#define VANTREL_VIEWS_DURATION_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::cli {

// The forms ParseDuration takes, for help texts.
inline constexpr std::string_view kDurationForms = "a whole number and ms, s, m (or min), h or d: 500ms, 2s, 1m, 1h";

// The length in ticks (100 ns). Throws UsageError naming option for text
// that is not a length, or one outside [minimum, maximum] ticks.
int64_t ParseDuration(std::string_view text, std::string_view option, int64_t minimum, int64_t maximum);

// "1h", "15m", "2s", "500ms": the shortest exact form of a length.
std::string DurationText(int64_t ticks);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_DURATION_H_
