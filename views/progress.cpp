#include "views/progress.h"

#include <unistd.h>

#include <iostream>

#include <fmt/format.h>

namespace vantrel::cli {
namespace {

thread_local bool t_quiet = false;

}  // namespace

QuietProgress::QuietProgress() : previous_(t_quiet) { t_quiet = true; }
QuietProgress::~QuietProgress() { t_quiet = previous_; }

Progress::Progress(std::string what, int64_t total)
    : what_(std::move(what)),
      total_(total),
      out_(!t_quiet && ::isatty(STDERR_FILENO) == 1 ? &std::cerr : nullptr) {
  if (out_ != nullptr) drawer_ = std::jthread([this](std::stop_token stop) { Draw(stop, kDelay); });
}

Progress::Progress(std::string what, int64_t total, std::ostream& out, std::chrono::milliseconds delay)
    : what_(std::move(what)), total_(total), out_(t_quiet ? nullptr : &out) {
  if (out_ != nullptr) drawer_ = std::jthread([this, delay](std::stop_token stop) { Draw(stop, delay); });
}

Progress::~Progress() {
  if (!drawer_.joinable()) return;
  drawer_.request_stop();
  drawer_.join();
  if (drawn_) *out_ << "\r\033[K" << std::flush;
}

void Progress::Draw(std::stop_token stop, std::chrono::milliseconds delay) {
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock lock(mutex_);
  auto wait = delay;
  // wait_for returns early, with stop requested, when the operation ends.
  while (!wake_.wait_for(lock, stop, wait, [] { return false; }) && !stop.stop_requested()) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    const int64_t done = done_.load(std::memory_order_relaxed);
    const std::string count = total_ > 0 ? fmt::format(" {}/{}", done, total_) : "";
    *out_ << fmt::format("\r\033[K{}{}, {} s", what_, count, seconds.count()) << std::flush;
    drawn_ = true;
    wait = kInterval;
  }
}

}  // namespace vantrel::cli
