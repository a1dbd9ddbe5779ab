// StopSignals: SIGINT and SIGTERM, blocked on the calling thread (and so on
// the threads it starts afterwards) and read from a signalfd instead, while
// the object lives. The commands that run until Ctrl-C (task, read --watch,
// history --follow) wait on Fd() beside their own work, so that a stop never
// cuts their output in the middle. Signals still pending at the end are
// taken, so that a second Ctrl-C does not end the process (or the shell)
// once the command has stopped; the thread's mask is then put back.
//
// Used by the thread that made it; it changes that thread's mask only.
#ifndef VANTREL_CLI_STOP_SIGNALS_H_
#define VANTREL_CLI_STOP_SIGNALS_H_

#include <signal.h>

namespace vantrel::cli {

class StopSignals {
 public:
  // Throws platform::IOException when the signals cannot be watched.
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable while a stop signal is pending.
  int Fd() const { return fd_; }
  // The next stop signal's number, or 0 when none is pending.
  int Take();

 private:
  sigset_t signals_{};
  sigset_t previous_{};
  int fd_ = -1;
};

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_STOP_SIGNALS_H_
