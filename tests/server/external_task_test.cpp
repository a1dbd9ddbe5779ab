// ExternalTask against the embedded engine: activations from writes and the
// control interface, check errors, shutdown, restart, the link, throwing
// callbacks, and a process exiting while its task thread waits. The tests
// order the task thread and themselves through the engine's call log (the
// loop has reached EXTSKWAI, or EXTSKEND) and the callbacks, never by time.
#include "server/external_task.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/dorvik.h"
#include "engine/control.h"
#include "platform/exceptions.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using vantrel::testing::CallArguments;
using vantrel::testing::Calls;

constexpr const char* kTask = "VN_Task";
constexpr const char* kCommandRecord = "START1";
constexpr uint32_t kShutdownCode = 9;
constexpr auto kPatience = std::chrono::seconds(60);  // sanitizer builds are slow

dorvik::DatabaseBuilder TaskPlant() {
  using dorvik::FieldSpec;
  dorvik::DatabaseBuilder builder = vantrel::testing::PlantBuilder();
  builder.Definition("VN_TaskDef", {FieldSpec::Integer("TASK_STATE")}, {.kinds = {-19}})
      .Definition("VN_CommandDef", {FieldSpec::Integer("START_CMD").ActivatesTask(kTask, 5, 7, 3)}, {.kinds = {-3}})
      .Record(kTask, "VN_TaskDef")
      .Record(kCommandRecord, "VN_CommandDef")
      .Grant("*", "VN_CommandDef", 2);
  return builder;
}

int32_t Id(const char* name) { return NAME2RECID(name, static_cast<int16_t>(std::strlen(name))); }

int32_t Tag(const char* field) {
  int32_t tag = -1;
  ERRBLOCK error{};
  DECODFT(field, static_cast<int16_t>(std::strlen(field)), &tag, &error);
  return tag;
}

// Waits until the engine has logged count calls of function.
[[nodiscard]] bool WaitForCalls(const char* function, int count) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (Calls(function) < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The text the engine gives an error block of a failed call.
std::string MessageOf(const ERRBLOCK& error) {
  char text[dorvik::api::kMessageBufferSize] = {};
  int16_t length = 0;
  ERRMESS(&error, text, &length);
  return std::string(text, static_cast<std::size_t>(length));
}

// What the callbacks of one Start saw. Shared with the callbacks, which may
// outlive a test's locals on the task thread.
class Recorder : public std::enable_shared_from_this<Recorder> {
 public:
  ExternalTask::TaskActivatedAction Activated() {
    return [self = shared_from_this()](const TaskActivationInfo& info) {
      std::lock_guard lock(self->mutex_);
      self->infos_.push_back(info);
      self->changed_.notify_all();
    };
  }
  ExternalTask::ShutdownAction Shutdown() {
    return [self = shared_from_this()] {
      std::lock_guard lock(self->mutex_);
      self->endsBeforeShutdown_.push_back(Calls("EXTSKEND"));
      self->changed_.notify_all();
    };
  }

  // The reports so far, once there are at least count.
  std::vector<TaskActivationInfo> WaitForReports(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return infos_.size() >= count; });
    return infos_;
  }
  std::vector<TaskActivationInfo> Reports() {
    std::lock_guard lock(mutex_);
    return infos_;
  }
  // EXTSKEND calls logged when each shutdown callback ran.
  std::vector<int> Shutdowns() {
    std::lock_guard lock(mutex_);
    return endsBeforeShutdown_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<TaskActivationInfo> infos_;  // guarded by mutex_
  std::vector<int> endsBeforeShutdown_;    // guarded by mutex_
};

class ExternalTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dorvik::Reset();
    ::setenv("DORVIK_TASK_NAME", kTask, 1);
    vantrel::testing::InstallDatabase(TaskPlant());
    dorvik::EnableCallLog();
    taskId_ = Id(kTask);
    idle_ = TaskActivationInfo(taskId_, -1, -1, -1, -1, 0, 0, "");
  }
  void TearDown() override {
    ::unsetenv("DORVIK_TASK_NAME");
    dorvik::Reset();
  }

  // Shuts the database down, waits until loops loops in all have called
  // EXTSKEND, and leaves the shutdown state.
  static void ShutDownAndWaitForEnds(int loops) {
    dorvik::Shutdown(kShutdownCode);
    EXPECT_TRUE(WaitForCalls("EXTSKEND", loops));
    dorvik::Restart();
  }

  // The external-task calls of the call log, in order.
  static std::vector<std::string> TaskCalls() {
    std::vector<std::string> calls;
    for (const auto& call : dorvik::CallLog()) {
      if (call.function.starts_with("EXT")) calls.push_back(call.function);
    }
    return calls;
  }

  int32_t taskId_ = 0;
  TaskActivationInfo idle_;  // what a check that found nothing reports
};

TEST_F(ExternalTaskTest, AWriteIsReportedOnceWithItsValuesAndShutdownEndsTheLoop) {
  auto seen = std::make_shared<Recorder>();
  ExternalTask task;
  task.Start(seen->Shutdown(), seen->Activated());
  ASSERT_TRUE(WaitForCalls("EXTSKWAI", 1));
  EXPECT_EQ(seen->Reports(), std::vector<TaskActivationInfo>{idle_}) << "the first check runs before any wait";

  SetTlsData("CORP", "operator");
  IDANDFT item{Id(kCommandRecord), Tag("START_CMD")};
  int16_t type = dorvik::api::kTypeInt16;
  int16_t value = 1;
  int16_t done = 0;
  ERRBLOCK error{};
  MWDBVALS(1, &item, &type, &value, &done, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  seen->WaitForReports(2);
  ASSERT_TRUE(WaitForCalls("EXTSKWAI", 2));
  EXPECT_EQ(seen->Reports(), (std::vector<TaskActivationInfo>{
                                 idle_, TaskActivationInfo(taskId_, item.ID, item.FT, 5, 7, 3, 0, "")}));

  ShutDownAndWaitForEnds(1);
  EXPECT_EQ(seen->Shutdowns(), std::vector<int>{0}) << "once, before EXTSKEND";
  EXPECT_EQ(seen->Reports().size(), 2u) << "the shutdown check is no activation";
  EXPECT_EQ(TaskCalls(), (std::vector<std::string>{"EXTSKINI", "EXTASKCHK", "EXTSKWAI", "EXTASKCHK", "EXTSKWAI",
                                                   "EXTASKCHK", "EXTSKEND"}));
}

TEST_F(ExternalTaskTest, CheckErrorsReachTheActivationCallbackAndTheLoopGoesOn) {
  // The text the engine gives the failure that is injected into the loop.
  constexpr int16_t kFailure = -24;  // "no external task bound"
  dorvik::InjectFault("EXTASKCHK", kFailure);
  int32_t record = -1, field = -1;
  int16_t priority = -1, code = -1;
  int8_t tail = 0;
  ERRBLOCK expected{};
  EXTASKCHK(&record, &field, &priority, &code, &tail, &expected);
  ASSERT_EQ(expected.ERRCODE, kFailure);
  const std::string message = MessageOf(expected);
  ASSERT_FALSE(message.empty());

  dorvik::InjectFault("EXTASKCHK", kFailure);
  dorvik::ActivateTask(kTask, kCommandRecord, 0x10000, 1, 2, 3);  // pending, but the check fails
  auto seen = std::make_shared<Recorder>();
  ExternalTask task;
  task.Start(seen->Shutdown(), seen->Activated());
  const auto reports = seen->WaitForReports(2);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], TaskActivationInfo(taskId_, -1, -1, -1, -1, 0, kFailure, message));
  EXPECT_EQ(reports[1], TaskActivationInfo(taskId_, Id(kCommandRecord), 0x10000, 1, 2, 3, 0, ""))
      << "after the failed check the loop waited, woke at once and checked again";
  ShutDownAndWaitForEnds(1);
}

TEST_F(ExternalTaskTest, ARestartStopsTheOldLoopWithoutWaitingForIt) {
  auto first = std::make_shared<Recorder>();
  auto second = std::make_shared<Recorder>();
  ExternalTask task;
  task.Start(first->Shutdown(), first->Activated());
  ASSERT_TRUE(WaitForCalls("EXTSKWAI", 1));
  // The first loop is blocked waiting; the restart returns all the same.
  task.Start(second->Shutdown(), second->Activated());
  ASSERT_TRUE(WaitForCalls("EXTSKWAI", 2));

  ShutDownAndWaitForEnds(2);
  EXPECT_EQ(first->Reports(), std::vector<TaskActivationInfo>{idle_});
  EXPECT_TRUE(first->Shutdowns().empty()) << "a stopped loop calls no callback";
  EXPECT_EQ(second->Reports(), std::vector<TaskActivationInfo>{idle_});
  EXPECT_EQ(second->Shutdowns().size(), 1u);
  EXPECT_EQ(Calls("EXTSKINI"), 2);
  EXPECT_EQ(Calls("EXTASKCHK"), 3) << "the old loop consumed the stop request instead of checking";
  EXPECT_EQ(Calls("EXTSKEND"), 2) << "once per loop";
}

TEST_F(ExternalTaskTest, StartOpensALinkOnlyWhenNoneIsMapped) {
  ASSERT_NE(INIDORV(), 0);
  dorvik::ClearCallLog();
  {
    ExternalTask task;
    task.Start(nullptr, nullptr);  // a loop without callbacks checks, waits and ends all the same
    ASSERT_TRUE(WaitForCalls("EXTSKWAI", 1));
    dorvik::ActivateTask(kTask, kCommandRecord, 0);
    ASSERT_TRUE(WaitForCalls("EXTSKWAI", 2));
    EXPECT_EQ(dorvik::PendingActivations(kTask), 0);
    EXPECT_EQ(Calls("INIDORV") + Calls("ENDDORV"), 0) << "mapped already: neither opened nor closed";
    ShutDownAndWaitForEnds(1);
  }
  ENDDORV();
  ASSERT_EQ(dorvik::Attachments(), 0);

  dorvik::ClearCallLog();
  auto first = std::make_shared<Recorder>();
  ExternalTask task;
  task.Start(first->Shutdown(), first->Activated());
  ASSERT_TRUE(WaitForCalls("EXTSKWAI", 1));
  EXPECT_EQ(Calls("INIDORV"), 1);
  EXPECT_EQ(dorvik::Attachments(), 1) << "the task's own link stays open";

  // The link went away under the task: its attachment is closed before a new one opens...
  ENDDORV();
  dorvik::ClearCallLog();
  dorvik::InjectFault("INIDORV", 1);
  try {
    task.Start(nullptr, nullptr);
    FAIL() << "no error";
  } catch (const platform::Exception& error) {
    EXPECT_STREQ(error.what(), "Vnt is not up and running!");
  }
  std::vector<std::string> linkCalls;
  for (const auto& call : dorvik::CallLog()) linkCalls.push_back(call.function);
  EXPECT_EQ(linkCalls, (std::vector<std::string>{"DBMAPPED", "ENDDORV", "INIDORV"})) << "and no EXTSKINI";
  // ...and the old loop, asked to stop, ends at the next wake-up without a callback.
  ShutDownAndWaitForEnds(1);
  EXPECT_TRUE(first->Shutdowns().empty());
}

TEST_F(ExternalTaskTest, ABindingFailureIsReportedWithTheDatabasesText) {
  ::unsetenv("DORVIK_TASK_NAME");
  int32_t task = 0;
  ERRBLOCK expected{};
  EXTSKINI(&task, &expected);
  ASSERT_NE(expected.ERRCODE, 0);
  ExternalTask external;
  try {
    external.Start(nullptr, nullptr);
    FAIL() << "no error";
  } catch (const platform::Exception& error) {
    EXPECT_EQ(std::string(error.what()), "Cannot initialize external task because " + MessageOf(expected));
  }
  EXPECT_EQ(Calls("EXTASKCHK"), 0) << "no loop started";
}

TEST_F(ExternalTaskTest, ThrowingCallbacksAreLoggedAndTheLoopGoesOn) {
  vantrel::testing::LogCapture log(TraceLevel::Error);
  auto seen = std::make_shared<Recorder>();
  auto record = seen->Activated();
  auto calls = std::make_shared<std::atomic<int>>(0);
  ExternalTask task;
  task.Start([] { throw 42; },
             [record, calls](const TaskActivationInfo& info) {
               if (calls->fetch_add(1) == 0) throw std::runtime_error("first report refused");
               record(info);
             });
  ASSERT_TRUE(WaitForCalls("EXTSKWAI", 1));
  dorvik::ActivateTask(kTask, kCommandRecord, 0x10000);
  ASSERT_EQ(seen->WaitForReports(1).size(), 1u);
  EXPECT_EQ(seen->Reports()[0].ActivatedRecordId, Id(kCommandRecord));

  ShutDownAndWaitForEnds(1);
  EXPECT_EQ(log.Count("DoTaskWork, The activation callback failed: first report refused"), 1u);
  EXPECT_EQ(log.Count("DoTaskWork, The shutdown callback failed: an error that is not an exception"), 1u);
}

// The body of the exit test's child process: a task thread waits for an
// activation while the process exits, with static objects being destroyed
// (one of them the task's owner) and the task of another owner never told.
[[noreturn]] void ExitWithTasksWaiting() {
  static ExternalTask owned;
  static ExternalTask* const unowned = new ExternalTask();
  owned.Start(nullptr, [](const TaskActivationInfo&) {});
  unowned->Start([] {}, nullptr);
  if (!WaitForCalls("EXTSKWAI", 2)) std::_Exit(1);
  ::alarm(60);  // an exit that hangs ends by the alarm's signal, not code 3
  std::exit(3);
}

TEST_F(ExternalTaskTest, AProgramExitsWhileItsTaskWaits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExitWithTasksWaiting(), ::testing::ExitedWithCode(3), "");
}

}  // namespace
}  // namespace vantrel::access
