#include "cli/stop_signals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "platform/exceptions.h"

namespace vantrel::cli {

StopSignals::StopSignals() {
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

StopSignals::~StopSignals() {
  while (Take() != 0) {
  }
  ::close(fd_);
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int StopSignals::Take() {
  signalfd_siginfo info{};
  return ::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

}  // namespace vantrel::cli
