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

#include <signal.h>

#include <cstdint>
#include <optional>

namespace vantrel::cli {

class WatchLoop {
 public:
  // Throws platform::IOException when the signals cannot be watched.
  WatchLoop(int64_t intervalTicks, std::optional<int64_t> rounds);
  ~WatchLoop();
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
  sigset_t signals_{};
  sigset_t previous_{};
  int fd_ = -1;
};

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_WATCH_H_
