// Fault sweep: runs one operation of the library once without faults,
// logging its engine calls, then again for every K with the K-th of those
// calls failing with an engine error code. Each faulted run must end in
//   - success with the fault-free outcome (the operation's answer and the
//     state it changes in the database),
//   - an error with a message (a service fault with a reason, for the public
//     operations of the service classes), or
//   - an answer that the operation gives on purpose for that failure, listed
//     with the operation as a BestEffort.
// Anything else (a different success, an error without a message, an
// exception of another kind) is a test failure naming the operation, K, the
// failing function and the code.
//
//   SweptOperation op{.name = "GetRecordID",
//                     .run = [&] { return Json(session.GetRecordID("TI100")); },
//                     .bestEffort = {{"NAME2RECID", "not found", IsNotFoundId}}};
//   EXPECT_THAT(SweepFaults(op, -3, CacheProblems).failures, IsEmpty());
#ifndef VANTREL_TESTS_SUPPORT_FAULT_SWEEP_H_
#define VANTREL_TESTS_SUPPORT_FAULT_SWEEP_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "contracts/json.h"
#include "engine/control.h"

namespace vantrel::testing {

using contracts::Json;

// An answer an operation gives on purpose when one engine function fails.
struct BestEffort {
  std::string function;  // the failing API function ("GETDATATYPES")
  std::string answer;    // what the operation answers then, in words
  // Whether outcome is that answer, given the fault-free reference.
  std::function<bool(const Json& outcome, const Json& reference)> accepts;
};

struct SweptOperation {
  std::string name;
  // Fault-free, before every run: restores what an earlier run changed.
  std::function<void()> prepare = [] {};
  // The operation; its answer.
  std::function<Json()> run;
  // Fault-free, after a run that succeeded: the database state the
  // operation changes (null for an operation that changes nothing).
  std::function<Json()> observe = [] { return Json(); };
  // A public operation of a service class: its errors leave as service
  // faults with a reason. Otherwise any error with a message will do.
  bool raisesFaults = true;
  std::vector<BestEffort> bestEffort = {};
};

// A best effort that answers exactly value.
std::function<bool(const Json& outcome, const Json& reference)> Answers(Json value);

// What is wrong with the library's field definition cache ("" when nothing
// is): a definition cached other than whole (its fault-free load, by
// definition id), or the cache's two maps disagreeing.
std::string DefinitionCacheProblems(const std::map<int32_t, Json>& whole);

// The error codes of the engine (every kind it reports), for sweeping.
const std::vector<int16_t>& EngineErrorCodes();

// Makes call k (1-based) of calls, a fault-free call log, fail with code:
// the calls of its function before it are let through.
void FailCall(const std::vector<dorvik::LoggedCall>& calls, std::size_t k, int16_t code);

// What a sweep found: how its runs ended, and a description of each run
// that ended otherwise.
struct SweepReport {
  std::size_t calls = 0;  // engine calls of the fault-free run, each failed once
  int equal = 0;
  int errors = 0;
  int bestEffort = 0;
  std::vector<std::string> failures;
};

// Sweeps code over every call of op; after every run (faults cleared),
// afterRun returns what is wrong with the state left behind ("" when
// nothing is), whatever the outcome.
SweepReport SweepFaults(const SweptOperation& op, int16_t code, const std::function<std::string()>& afterRun);

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_SUPPORT_FAULT_SWEEP_H_
