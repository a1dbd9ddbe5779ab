// Captures the lines of the process-wide log while it lives: adds a sink to
// ProcessLog and sets the trace switch to the given level, restoring the
// level and removing the sink afterwards. The log file that the first
// logged line attaches goes to a temporary folder unless PROGRAMDATA is set.
#ifndef VANTREL_TESTS_SUPPORT_LOG_CAPTURE_H_
#define VANTREL_TESTS_SUPPORT_LOG_CAPTURE_H_

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "session/log.h"
#include "session/session.h"

namespace vantrel::testing {

class LogCapture {
 public:
  explicit LogCapture(access::TraceLevel level = access::TraceLevel::Verbose)
      : sink_(std::make_shared<Sink>()), previous_(Switch().Level()) {
    const auto folder = std::filesystem::temp_directory_path() / "vantrel-test-programdata";
    ::setenv("PROGRAMDATA", folder.c_str(), 0);
    Switch().SetLevel(level);
    access::ProcessLog::Instance().AddSink(sink_);
  }
  ~LogCapture() {
    access::ProcessLog::Instance().RemoveSink(sink_);
    Switch().SetLevel(previous_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const {
    std::lock_guard lock(sink_->mutex);
    return sink_->lines;
  }
  // Number of captured lines that contain text.
  std::size_t Count(std::string_view text) const {
    const auto lines = Lines();
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
  }

 private:
  struct Sink : access::LogSink {
    void Write(std::string_view line) override {
      std::lock_guard lock(mutex);
      lines.emplace_back(line);
    }
    void Flush() override {}
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  // The session's trace switch is protected; a subclass reaches it.
  struct TraceAccess : access::Session {
    using access::Session::LogTrace;
  };
  static access::TraceSwitch& Switch() { return TraceAccess::LogTrace(); }

  std::shared_ptr<Sink> sink_;
  access::TraceLevel previous_;
};

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_SUPPORT_LOG_CAPTURE_H_
