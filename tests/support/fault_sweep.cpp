#include "tests/support/fault_sweep.h"

#include <cstdlib>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "platform/fault.h"
#include "session/session.h"

namespace vantrel::testing {
namespace {

// An item no call reaches: a rule with it only uses up calls.
constexpr int32_t kNoItem = std::numeric_limits<int32_t>::max();

// How one run ended: an outcome, or an error and its message.
struct RunResult {
  std::optional<Json> outcome;
  std::string error;  // "" on success
};

// Runs op; the engine's call log and faults end with the operation, before
// what it changed is observed.
RunResult RunOnce(const SweptOperation& op) {
  try {
    Json answer = op.run();
    dorvik::ClearFaults();
    dorvik::EnableCallLog(false);
    return RunResult{Json{{"answer", std::move(answer)}, {"state", op.observe()}}, {}};
  } catch (const platform::FaultException& fault) {
    const std::string reason = fault.Reason().value_or("");
    return RunResult{std::nullopt, reason.empty() ? "a service fault without a reason" : ""};
  } catch (const std::exception& error) {
    if (op.raisesFaults) return RunResult{std::nullopt, fmt::format("not a service fault: {}", error.what())};
    return RunResult{std::nullopt, std::string(error.what()).empty() ? "an error without a message" : ""};
  } catch (...) {
    return RunResult{std::nullopt, "an exception of an unknown kind"};
  }
}

// Reaches the field definition cache of the sessions.
class CacheInspector : public access::Session {
 public:
  static std::string Problems(const std::map<int32_t, Json>& whole) {
    auto& statics = Statics();
    std::lock_guard lock(statics.s_StaticMembersLock);
    if (statics.s_fieldDefintionByDefId.size() != statics.s_fieldDefByFieldIdByDefId.size()) {
      return "the two definition maps hold different definitions";
    }
    for (const auto& [id, list] : statics.s_fieldDefintionByDefId) {
      const auto expected = whole.find(id);
      if (expected == whole.end() || contracts::ToJson(*list) != expected->second) {
        return fmt::format("definition {} is cached other than whole", id);
      }
      const auto byField = statics.s_fieldDefByFieldIdByDefId.find(id);
      if (byField == statics.s_fieldDefByFieldIdByDefId.end()) return fmt::format("definition {} is half cached", id);
      for (const auto& field : *list) {
        const auto entry = byField->second.find(field.Number);
        if (entry == byField->second.end() || entry->second.get() != &field) {
          return fmt::format("field {} of definition {} is missing from the map by field", field.Name, id);
        }
      }
    }
    return "";
  }
};

// Appends a sweep's figures to the file named by VNT_RELIABILITY_LOG, when
// set (make reliability collects them): one tab-separated line per
// operation and code.
void LogFigures(const SweptOperation& op, int16_t code, const SweepReport& report) {
  const char* path = std::getenv("VNT_RELIABILITY_LOG");
  if (path == nullptr || *path == '\0') return;
  std::ofstream(path, std::ios::app) << fmt::format("sweep\t{}\t{}\t{}\t{}\t{}\t{}\t{}\n", op.name, code, report.calls,
                                                    report.equal, report.errors, report.bestEffort,
                                                    report.failures.size());
}

}  // namespace

std::function<bool(const Json&, const Json&)> Answers(Json value) {
  return [value](const Json& outcome, const Json&) { return outcome["answer"] == value; };
}

std::string DefinitionCacheProblems(const std::map<int32_t, Json>& whole) { return CacheInspector::Problems(whole); }

const std::vector<int16_t>& EngineErrorCodes() {
  // Not loaded, bad argument, record / field / occurrence not found, type,
  // conversion, range, text length, database field, rights, protection,
  // batch stopped, names, ids, definitions, history, request type, tasks,
  // references; and shutting down.
  static const std::vector<int16_t> codes = [] {
    std::vector<int16_t> all;
    for (int16_t code = -1; code >= -25; --code) all.push_back(code);
    all.push_back(-37);
    return all;
  }();
  return codes;
}

void FailCall(const std::vector<dorvik::LoggedCall>& calls, std::size_t k, int16_t code) {
  const std::string& function = calls.at(k - 1).function;
  int32_t before = 0;
  for (std::size_t i = 0; i + 1 < k; ++i) before += calls[i].function == function ? 1 : 0;
  if (before > 0) dorvik::InjectFault(function, code, kNoItem, before);
  dorvik::InjectFault(function, code, -1, 1);
}

SweepReport SweepFaults(const SweptOperation& op, int16_t code, const std::function<std::string()>& afterRun) {
  SweepReport report;
  dorvik::ClearFaults();
  op.prepare();
  dorvik::EnableCallLog();
  dorvik::ClearCallLog();
  const RunResult clean = RunOnce(op);
  dorvik::EnableCallLog(false);
  const std::vector<dorvik::LoggedCall> calls = dorvik::CallLog();
  report.calls = calls.size();
  if (!clean.outcome) {
    report.failures.push_back(fmt::format("{} fails without a fault: {}", op.name, clean.error));
    return report;
  }

  for (std::size_t k = 1; k <= calls.size(); ++k) {
    op.prepare();
    FailCall(calls, k, code);
    const RunResult run = RunOnce(op);
    dorvik::ClearFaults();
    const std::string where =
        fmt::format("{}, call {} of {} ({} {}) failing with {}", op.name, k, calls.size(), calls[k - 1].function,
                    calls[k - 1].arguments, code);
    if (!run.outcome) {
      if (run.error.empty()) {
        ++report.errors;
      } else {
        report.failures.push_back(fmt::format("{}: {}", where, run.error));
      }
    } else if (*run.outcome == *clean.outcome) {
      ++report.equal;
    } else {
      bool intended = false;
      for (const BestEffort& effort : op.bestEffort) {
        intended = intended ||
                   (effort.function == calls[k - 1].function && effort.accepts(*run.outcome, *clean.outcome));
      }
      if (intended) {
        ++report.bestEffort;
      } else {
        report.failures.push_back(fmt::format("{}: a different success\n  got      {}\n  expected {}", where,
                                              run.outcome->dump(), clean.outcome->dump()));
      }
    }
    if (const std::string problem = afterRun(); !problem.empty()) {
      report.failures.push_back(fmt::format("{}: {}", where, problem));
    }
  }
  LogFigures(op, code, report);
  return report;
}

}  // namespace vantrel::testing
