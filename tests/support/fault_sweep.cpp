#include "tests/support/fault_sweep.h"

#include <exception>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "platform/fault.h"

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

}  // namespace

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
  return report;
}

}  // namespace vantrel::testing
