// Progress: a line on standard error while an operation runs longer than a
// second, when standard error is a terminal; nothing otherwise. After the
// delay a helper thread draws "reading values 1500/4000, 3 s" in place about
// five times a second; the destructor stops it and clears the line, so end
// the Progress before printing results.
//
//   Progress progress("reading values", fieldCount);
//   for (...) { ...; progress.Advance(batch); }
//
// Advance is safe from any thread; the rest belongs to the creating thread.
// A server thread that builds views for remote callers holds a QuietProgress:
// its Progress objects then draw nothing and start no helper thread.
#ifndef VANTREL_VIEWS_PROGRESS_H_
#define VANTREL_VIEWS_PROGRESS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace vantrel::cli {

class Progress {
 public:
  static constexpr std::chrono::milliseconds kDelay{1000};
  static constexpr std::chrono::milliseconds kInterval{200};

  // total 0: the count is not known; the line shows the elapsed time only.
  explicit Progress(std::string what, int64_t total = 0);
  // Draws on out after delay whether or not it is a terminal (for tests).
  Progress(std::string what, int64_t total, std::ostream& out, std::chrono::milliseconds delay);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Advance(int64_t count = 1) { done_.fetch_add(count, std::memory_order_relaxed); }

 private:
  void Draw(std::stop_token stop, std::chrono::milliseconds delay);

  const std::string what_;
  const int64_t total_;
  std::ostream* out_ = nullptr;  // null: not drawing at all
  std::atomic<int64_t> done_{0};
  bool drawn_ = false;  // written by the drawer; read after it joined
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::jthread drawer_;
};

// While it lives, every Progress the calling thread makes is silent.
class QuietProgress {
 public:
  QuietProgress();
  ~QuietProgress();
  QuietProgress(const QuietProgress&) = delete;
  QuietProgress& operator=(const QuietProgress&) = delete;

 private:
  bool previous_;
};

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_PROGRESS_H_
