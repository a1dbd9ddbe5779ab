// Metrics: the host's counters in the Prometheus text format (GET /metrics):
// calls by service, operation and status, a latency histogram, calls in
// flight, open connections and failed logins.
//
// Thread-safe: Record runs on the I/O threads, Text on a worker.
#ifndef VANTREL_HOST_METRICS_H_
#define VANTREL_HOST_METRICS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

namespace vantrel::host {

struct Gauges {
  std::size_t connections = 0;
  std::size_t callsInFlight = 0;  // queued or running on the workers
  uint64_t failedLogins = 0;
};

class Metrics {
 public:
  // One answered request; routes other than calls count under their path.
  void Record(const std::string& service, const std::string& operation, int status, std::chrono::microseconds took);
  std::string Text(const Gauges& gauges) const;

  // The latency histogram's upper bounds, in seconds.
  static constexpr std::array<double, 10> kBuckets{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1, 5};

 private:
  mutable std::mutex mutex_;
  std::map<std::tuple<std::string, std::string, int>, uint64_t> calls_;  // guarded by mutex_
  std::array<uint64_t, kBuckets.size()> buckets_{};                      // guarded by mutex_
  uint64_t count_ = 0;                                                    // guarded by mutex_
  double sumSeconds_ = 0;                                                 // guarded by mutex_
};

}  // namespace vantrel::host

#endif  // VANTREL_HOST_METRICS_H_
