#include "cli/watch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fmt/format.h>

#include "contracts/date_time.h"
#include "platform/exceptions.h"

namespace vantrel::cli {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

WatchLoop::WatchLoop(int64_t intervalTicks, std::optional<int64_t> rounds)
    : intervalMs_(intervalTicks / contracts::DateTime::kTicksPerMillisecond), rounds_(rounds) {
  ::sigemptyset(&signals_);
  ::sigaddset(&signals_, SIGINT);
  ::sigaddset(&signals_, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
  fd_ = ::signalfd(-1, &signals_, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd_ < 0) {
    const int error = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    throw platform::IOException(fmt::format("cannot watch for Ctrl-C: {}", std::strerror(error)));
  }
}

WatchLoop::~WatchLoop() {
  // Stop signals still pending are taken, so that they do not end the
  // process (or the shell) once the loop is over.
  signalfd_siginfo info{};
  while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
  }
  ::close(fd_);
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

bool WatchLoop::Next() {
  if (stoppedBy_ != 0 || (rounds_ && done_ >= *rounds_)) return false;
  if (done_ > 0) {
    for (;;) {
      const int64_t left = lastStartMs_ + intervalMs_ - NowMs();
      pollfd watched{fd_, POLLIN, 0};
      const int ready = ::poll(&watched, 1, static_cast<int>(std::max<int64_t>(left, 0)));
      if (ready > 0) {
        signalfd_siginfo info{};
        if (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
          stoppedBy_ = static_cast<int>(info.ssi_signo);
          return false;
        }
      }
      if (ready == 0 || left <= 0) break;
      if (ready < 0 && errno != EINTR) break;
    }
  }
  lastStartMs_ = NowMs();
  ++done_;
  return true;
}

}  // namespace vantrel::cli
