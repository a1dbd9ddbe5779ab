// The counts a reliability run leaves for the reliability report: appended
// as "program.key=value" lines to the file named by VANTREL_RELIABILITY_OUT
// (nothing when it is unset), in one write so that programs running at the
// same time do not interleave their lines.
#ifndef VANTREL_TESTS_RELIABILITY_RELIABILITY_COUNTS_H_
#define VANTREL_TESTS_RELIABILITY_RELIABILITY_COUNTS_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::testing {

inline bool AppendReliabilityCounts(const std::string& program,
                                    const std::vector<std::pair<std::string, int64_t>>& counts) {
  const char* path = std::getenv("VANTREL_RELIABILITY_OUT");
  if (path == nullptr || *path == '\0') return true;
  std::string text;
  for (const auto& [key, count] : counts) text += program + "." + key + "=" + std::to_string(count) + "\n";
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && written;
}

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_RELIABILITY_RELIABILITY_COUNTS_H_
