#include "cli/service_log.h"

#include <exception>

#include <fmt/format.h>

#include "cli/command.h"
#include "session/session.h"

namespace vantrel::cli {
namespace {

// Reaches the session's process-wide log statics; never made.
class ServiceLog : public access::Session {
 public:
  static std::optional<std::string> Open() {
    if (LogTrace().Level() == access::TraceLevel::Off) return std::nullopt;
    try {
      LogError({fmt::format("{} {} started", kProgram, VNTACCESS_VERSION)});
      return std::nullopt;
    } catch (const std::exception& error) {
      LogTrace().SetLevel(access::TraceLevel::Off);
      return error.what();
    }
  }
};

}  // namespace

std::optional<std::string> OpenServiceLog() {
  static bool opened = false;
  if (opened) return std::nullopt;
  opened = true;
  return ServiceLog::Open();
}

}  // namespace vantrel::cli
