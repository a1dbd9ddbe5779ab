#include "cli/watch.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include <CLI/CLI.hpp>

#include "views/value_parse.h"
#include "contracts/date_time.h"

namespace vantrel::cli {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void AddRoundsOption(CLI::App& app, std::optional<int64_t>& rounds, const std::string& help) {
  app.add_option_function<std::string>(
         "--count",
         [&rounds](const std::string& text) { rounds = ParseInteger(text, "--count", 1, kMaxWatchRounds); }, help)
      ->type_name("N");
}

WatchLoop::WatchLoop(int64_t intervalTicks, std::optional<int64_t> rounds)
    : intervalMs_(intervalTicks / contracts::DateTime::kTicksPerMillisecond), rounds_(rounds) {}

bool WatchLoop::Next() {
  if (stoppedBy_ != 0 || (rounds_ && done_ >= *rounds_)) return false;
  if (done_ > 0) {
    for (;;) {
      const int64_t left = lastStartMs_ + intervalMs_ - NowMs();
      pollfd watched{stop_.Fd(), POLLIN, 0};
      const int ready = ::poll(&watched, 1, static_cast<int>(std::max<int64_t>(left, 0)));
      if (ready > 0) {
        stoppedBy_ = stop_.Take();
        if (stoppedBy_ != 0) return false;
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
