#include "session/log.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "platform/host.h"

namespace vantrel::access {
namespace {

constexpr std::array<std::string_view, 5> kLevelNames{"Off", "Error", "Warning", "Info", "Verbose"};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

std::optional<TraceLevel> ParseTraceLevel(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  int number = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error == std::errc() && end == text.data() + text.size()) {
    if (number >= 0 && number < static_cast<int>(kLevelNames.size())) return static_cast<TraceLevel>(number);
    return std::nullopt;
  }
  for (std::size_t i = 0; i < kLevelNames.size(); ++i) {
    if (EqualsIgnoringCase(text, kLevelNames[i])) return static_cast<TraceLevel>(i);
  }
  return std::nullopt;
}

TraceSwitch::TraceSwitch(std::string displayName, std::string description)
    : displayName_(std::move(displayName)), description_(std::move(description)), level_(TraceLevel::Off) {
  if (auto setting = platform::HostSetting(displayName_)) {
    level_ = ParseTraceLevel(*setting).value_or(TraceLevel::Off);
  }
}

FileLogSink::FileLogSink(std::filesystem::path path) : path_(std::move(path)) {
  file_.open(path_, std::ios::out | std::ios::app | std::ios::binary);
}

void FileLogSink::Write(std::string_view line) {
  if (!file_.is_open()) return;
  file_.write(line.data(), static_cast<std::streamsize>(line.size()));
  file_.put('\n');
  if (!file_) file_.clear();  // a failed write loses this line only
}

void FileLogSink::Flush() {
  if (file_.is_open()) file_.flush();
}

ProcessLog& ProcessLog::Instance() {
  static ProcessLog log;
  return log;
}

void ProcessLog::AddSink(std::shared_ptr<LogSink> sink) {
  std::lock_guard lock(mutex_);
  sinks_.push_back(std::move(sink));
}

void ProcessLog::RemoveSink(const std::shared_ptr<LogSink>& sink) {
  std::lock_guard lock(mutex_);
  sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), sink), sinks_.end());
}

std::size_t ProcessLog::SinkCount() const {
  std::lock_guard lock(mutex_);
  return sinks_.size();
}

void ProcessLog::WriteLine(std::string_view line, bool flush) {
  std::lock_guard lock(mutex_);
  for (const auto& sink : sinks_) {
    sink->Write(line);
    if (flush) sink->Flush();
  }
}

}  // namespace vantrel::access
