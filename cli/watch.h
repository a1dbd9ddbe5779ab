// WatchLoop: the rounds of a command that shows values again and again
// (read --watch, history --follow) until Ctrl-C or SIGTERM, or until a
// given number of rounds (--count, so that scripts and tests end). The stop
// signals are blocked and read from a signalfd while the loop lives, so
// that a round is never cut in the middle of its output; a stop ends the
// wait for the next round at once.
//
//   WatchLoop loop(interval, args.count);
//   while (loop.Next()) { ... show a round ... }
//
// Used by one thread; it blocks the signals of that thread only.
#ifndef VANTREL_CLI_WATCH_H_
#define VANTREL_CLI_WATCH_H_

#include <cstdint>
#include <optional>
#include <string>

#include "cli/stop_signals.h"

namespace CLI {
class App;
}  // namespace CLI

namespace vantrel::cli {

class WatchLoop {
 public:
  // Throws platform::IOException when the signals cannot be watched.
  WatchLoop(int64_t intervalTicks, std::optional<int64_t> rounds);
  WatchLoop(const WatchLoop&) = delete;
  WatchLoop& operator=(const WatchLoop&) = delete;

  // True for the next round: at once for the first, then after the
  // interval (counted from the previous round's start). False once the
  // rounds are done or a stop signal came.
  bool Next();
  // The stop signal that ended the loop, or 0.
  int StoppedBy() const { return stoppedBy_; }

 private:
  int64_t intervalMs_;
  std::optional<int64_t> rounds_;
  int64_t done_ = 0;
  int64_t lastStartMs_ = 0;
  int stoppedBy_ = 0;
  StopSignals stop_;
};

// The most rounds --count may ask for.
inline constexpr int64_t kMaxWatchRounds = 1'000'000;

// Declares --count N on app: the rounds of the command's loop, 1 to
// kMaxWatchRounds, stored in rounds; help says what one round is.
void AddRoundsOption(CLI::App& app, std::optional<int64_t>& rounds, const std::string& help);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_WATCH_H_
