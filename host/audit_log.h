// AuditLog: one JSON line per answered call, appended to a file that the
// host opens with care: never through a symbolic link (O_NOFOLLOW), always
// at the end (O_APPEND, so concurrent writers of whole lines do not
// interleave), readable by its owner only (0600) when it is made. Reopen()
// (SIGHUP) lets a log rotation move the file away.
//
//   {"time":"2026-12-09T12:00:00.123Z","account":"VNT\\operator","source":"10.0.0.5",
//    "service":"access","operation":"GetTagValues","items":3,"status":200,"durationMs":1.25}
//
// Thread-safe.
#ifndef VANTREL_HOST_AUDIT_LOG_H_
#define VANTREL_HOST_AUDIT_LOG_H_

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>

#include "host/http_message.h"

namespace vantrel::host {

class AuditLog {
 public:
  // Opens path; throws std::runtime_error naming the file and the reason
  // (a symbolic link, a missing folder, no right).
  explicit AuditLog(std::filesystem::path path);
  ~AuditLog();
  AuditLog(const AuditLog&) = delete;
  AuditLog& operator=(const AuditLog&) = delete;

  // Appends the line of one answered request. Failures to write are counted,
  // never thrown: the call was answered already.
  void Record(const HttpRequest& request, const HttpResponse& response, std::chrono::microseconds took);
  // Opens the file again by its name; keeps the old one when that fails.
  void Reopen();
  uint64_t WriteFailures() const;

 private:
  static int Open(const std::filesystem::path& path);

  const std::filesystem::path path_;
  mutable std::mutex mutex_;
  int fd_ = -1;                 // guarded by mutex_
  uint64_t writeFailures_ = 0;  // guarded by mutex_
};

// The line Record appends, without its line end.
std::string AuditLine(const HttpRequest& request, const HttpResponse& response, std::chrono::microseconds took,
                      std::chrono::system_clock::time_point now);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_AUDIT_LOG_H_
