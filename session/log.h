// The process-wide log: the trace switch that says how much is logged, and
// the sinks that every log line goes to. Lines are written whole and one at
// a time, so the lines of concurrent sessions never interleave. All members
// are thread-safe.
#ifndef VANTREL_SESSION_LOG_H_
#define VANTREL_SESSION_LOG_H_

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <fstream>
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

// Appends lines to a UTF-8 text file, creating it when missing. A file that
// cannot be opened or written loses its lines silently: logging never fails
// an operation.
class FileLogSink : public LogSink {
 public:
  explicit FileLogSink(std::filesystem::path path);
  void Write(std::string_view line) override;
  void Flush() override;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::ofstream file_;
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
