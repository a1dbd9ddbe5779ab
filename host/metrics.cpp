#include "host/metrics.h"

#include <fmt/format.h>

namespace vantrel::host {
namespace {

// A label value with its backslashes, quotes and line ends escaped.
std::string Label(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

}  // namespace

void Metrics::Record(const std::string& service, const std::string& operation, int status,
                     std::chrono::microseconds took) {
  const double seconds = static_cast<double>(took.count()) / 1e6;
  std::lock_guard lock(mutex_);
  ++calls_[{service, operation, status}];
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++buckets_[i];
  }
  ++count_;
  sumSeconds_ += seconds;
}

std::string Metrics::Text(const Gauges& gauges) const {
  std::string text;
  text += "# HELP vntaccessd_calls_total Answered requests by service, operation and status.\n";
  text += "# TYPE vntaccessd_calls_total counter\n";
  std::lock_guard lock(mutex_);
  for (const auto& [key, count] : calls_) {
    const auto& [service, operation, status] = key;
    text += fmt::format("vntaccessd_calls_total{{service=\"{}\",operation=\"{}\",status=\"{}\"}} {}\n",
                        Label(service), Label(operation), status, count);
  }
  text += "# HELP vntaccessd_call_seconds Time from a request's first byte to its answer.\n";
  text += "# TYPE vntaccessd_call_seconds histogram\n";
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    text += fmt::format("vntaccessd_call_seconds_bucket{{le=\"{}\"}} {}\n", kBuckets[i], buckets_[i]);
  }
  text += fmt::format("vntaccessd_call_seconds_bucket{{le=\"+Inf\"}} {}\n", count_);
  text += fmt::format("vntaccessd_call_seconds_sum {}\nvntaccessd_call_seconds_count {}\n", sumSeconds_, count_);
  text += "# HELP vntaccessd_calls_in_flight Calls queued or running.\n# TYPE vntaccessd_calls_in_flight gauge\n";
  text += fmt::format("vntaccessd_calls_in_flight {}\n", gauges.callsInFlight);
  text += "# HELP vntaccessd_connections Open connections.\n# TYPE vntaccessd_connections gauge\n";
  text += fmt::format("vntaccessd_connections {}\n", gauges.connections);
  text += "# HELP vntaccessd_failed_logins_total Failed logins since the start.\n";
  text += "# TYPE vntaccessd_failed_logins_total counter\n";
  text += fmt::format("vntaccessd_failed_logins_total {}\n", gauges.failedLogins);
  return text;
}

}  // namespace vantrel::host
