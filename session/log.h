// The process-wide log: the trace switch that says how much is logged, and
// the sinks that every log line goes to. Lines are written whole and one at
// a time, so the lines of concurrent sessions never interleave. All members
// are thread-safe.
#ifndef VANTREL_SESSION_LOG_H_
#define VANTREL_SESSION_LOG_H_

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::access {

enum class TraceLevel { Off = 0, Error = 1, Warning = 2, Info = 3, Verbose = 4 };

// Parses a switch setting: a number 0-4 or a level name in any letter case.
std::optional<TraceLevel> ParseTraceLevel(std::string_view text);

// A named trace switch. Its level comes from the host configuration setting
// of the same name, read once when the switch is made (Off when unset or not
// understood); a host or test may change it later.
class TraceSwitch {
 public:
  TraceSwitch(std::string displayName, std::string description);

  const std::string& DisplayName() const { return displayName_; }
  const std::string& Description() const { return description_; }
  TraceLevel Level() const { return level_.load(std::memory_order_relaxed); }
  void SetLevel(TraceLevel level) { level_.store(level, std::memory_order_relaxed); }
  bool IsEnabled(TraceLevel level) const { return Level() != TraceLevel::Off && Level() >= level; }

 private:
  std::string displayName_;
  std::string description_;
  std::atomic<TraceLevel> level_;
};

// A destination of log lines.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Write(std::string_view line) = 0;  // line without its end
  virtual void Flush() = 0;
};

// Appends lines to a UTF-8 text file. Each line goes to the file in one
// append, so nothing stays buffered and Flush has nothing to do.
//
// The file lies in folders below a trusted base folder, and no symbolic link
// is followed below the base: a link planted at one of those folders or at
// the file would make the log append to a file chosen by whoever planted it.
// Such a log is refused; so is a folder below the base or a file that
// another user owns (they could read the log or swap its contents), a name
// that holds anything but a regular file (a FIFO would block every logging
// thread, a device would take the lines), and a file that cannot be opened.
// Opening never blocks. A refused log loses its lines silently, as do failed
// writes: logging never fails an operation.
class FileLogSink : public LogSink {
 public:
  // The sink of base/folders/fileName. Missing folders are made with mode
  // 0700, a missing file with mode 0600: the log is its user's alone.
  // Throws IOException when a folder cannot be made.
  static std::shared_ptr<FileLogSink> Open(const std::filesystem::path& base, const std::filesystem::path& folders,
                                           std::string_view fileName);
  ~FileLogSink() override;
  FileLogSink(const FileLogSink&) = delete;
  FileLogSink& operator=(const FileLogSink&) = delete;

  void Write(std::string_view line) override;
  void Flush() override {}
  const std::filesystem::path& Path() const { return path_; }
  // False when the log was refused: its lines are lost.
  bool IsOpen() const { return fd_ >= 0; }

 private:
  FileLogSink(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}

  std::filesystem::path path_;
  int fd_;  // owned; -1 when refused
};

class ProcessLog {
 public:
  static ProcessLog& Instance();

  void AddSink(std::shared_ptr<LogSink> sink);
  void RemoveSink(const std::shared_ptr<LogSink>& sink);
  std::size_t SinkCount() const;

  // Writes line to every sink; flushes them all when flush is set.
  void WriteLine(std::string_view line, bool flush);

 private:
  ProcessLog() = default;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<LogSink>> sinks_;
};

}  // namespace vantrel::access

#endif  // VANTREL_SESSION_LOG_H_
