#include "host/audit_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace vantrel::host {

std::string AuditLine(const HttpRequest& request, const HttpResponse& response, std::chrono::microseconds took,
                      std::chrono::system_clock::time_point now) {
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  nlohmann::ordered_json line;
  line["time"] = fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", fmt::gmtime(std::chrono::system_clock::to_time_t(now)),
                             millis);
  line["account"] = response.account;
  line["source"] = request.source;
  line["service"] = response.service;
  line["operation"] = response.operation.empty() ? request.target.substr(0, request.target.find('?'))
                                                 : response.operation;
  line["items"] = response.items;
  line["status"] = response.status;
  line["durationMs"] = static_cast<double>(took.count()) / 1000.0;
  // Names that came from the caller may hold anything: the dump escapes them,
  // and invalid UTF-8 is replaced rather than refused.
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

int AuditLog::Open(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw std::runtime_error(fmt::format("cannot open the audit log {}: {}{}", path.string(), std::strerror(errno),
                                         errno == ELOOP ? " (it is a symbolic link)" : ""));
  }
  return fd;
}

AuditLog::AuditLog(std::filesystem::path path) : path_(std::move(path)), fd_(Open(path_)) {}

AuditLog::~AuditLog() {
  if (fd_ >= 0) ::close(fd_);
}

void AuditLog::Record(const HttpRequest& request, const HttpResponse& response, std::chrono::microseconds took) {
  const std::string line = AuditLine(request, response, took, std::chrono::system_clock::now()) + "\n";
  std::lock_guard lock(mutex_);
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ++writeFailures_;
      return;
    }
    written += static_cast<std::size_t>(n);
  }
}

void AuditLog::Reopen() {
  int fresh = -1;
  try {
    fresh = Open(path_);
  } catch (const std::exception&) {
    std::lock_guard lock(mutex_);
    ++writeFailures_;
    return;
  }
  std::lock_guard lock(mutex_);
  ::close(fd_);
  fd_ = fresh;
}

uint64_t AuditLog::WriteFailures() const {
  std::lock_guard lock(mutex_);
  return writeFailures_;
}

}  // namespace vantrel::host
