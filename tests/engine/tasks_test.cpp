// External tasks: binding, activations from writes and the control
// interface, waiting and shutdown.
#include <cstdlib>
#include <thread>

#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

class TasksTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ::setenv("DORVIK_TASK_NAME", "VN_Task1", 1);
  }
  void TearDown() override {
    ::unsetenv("DORVIK_TASK_NAME");
    EngineTest::TearDown();
  }
};

TEST_F(TasksTest, BindingNeedsATaskRecordNamedByTheEnvironment) {
  int32_t task = 0;
  ERRBLOCK error{};
  EXTSKINI(&task, &error);
  EXPECT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(task, Id("VN_Task1"));
  ::setenv("DORVIK_TASK_NAME", "TAG1", 1);
  EXTSKINI(&task, &error);
  EXPECT_EQ(error.ERRCODE, -23);
  ::unsetenv("DORVIK_TASK_NAME");
  EXTSKINI(&task, &error);
  EXPECT_EQ(error.ERRCODE, -22);
}

TEST_F(TasksTest, TheTaskStaysBoundUntilEveryBindingEnded) {
  // A restarted worker binds again before the old loop's EXTSKEND arrives.
  int32_t task = 0, record = 0, field = 0;
  int16_t priority = 0, code = 0;
  int8_t tail = 0;
  ERRBLOCK error{};
  EXTSKINI(&task, &error);
  EXTSKINI(&task, &error);
  EXTSKEND();
  EXTASKCHK(&record, &field, &priority, &code, &tail, &error);
  EXPECT_EQ(error.ERRCODE, 0) << "the second binding still holds";
  EXTSKEND();
  EXTASKCHK(&record, &field, &priority, &code, &tail, &error);
  EXPECT_EQ(error.ERRCODE, -24);
  EXTSKEND();  // one too many: nothing to end
  EXTSKINI(&task, &error);
  EXTASKCHK(&record, &field, &priority, &code, &tail, &error);
  EXPECT_EQ(error.ERRCODE, 0);
}

TEST_F(TasksTest, ActivationsAreHandedOutOldestFirst) {
  int32_t task = 0;
  ERRBLOCK error{};
  ActivateTask("VN_Task1", "TAG2", 0x00050000, 1, 2, 3);
  EXTSKINI(&task, &error);
  SetTlsData("DOM", "writer");
  ASSERT_EQ(WriteDouble(Id("TAG1"), Tag("SETPOINT"), 4).ERRCODE, 0);
  int32_t record = -1, field = -1;
  int16_t priority = -1, code = -1;
  int8_t tail = 0;
  EXTASKCHK(&record, &field, &priority, &code, &tail, &error);
  EXPECT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(record, Id("TAG2"));
  EXPECT_EQ(priority, 1);
  EXPECT_EQ(tail, 3);
  EXTASKCHK(&record, &field, &priority, &code, &tail, &error);
  EXPECT_EQ(record, Id("TAG1"));
  EXPECT_EQ(field, Tag("SETPOINT"));
  EXPECT_EQ(priority, 5);
  EXPECT_EQ(code, 7);
  record = -1;
  EXTASKCHK(&record, &field, &priority, &code, &tail, &error);
  EXPECT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(record, -1) << "nothing pending leaves the out-values untouched";
}

TEST_F(TasksTest, WaitingEndsOnActivationAndOnShutdown) {
  int32_t task = 0;
  ERRBLOCK error{};
  EXTSKINI(&task, &error);
  // Activate only once the waiter is about to sleep: the sleep itself ends.
  OrderSyncPoints({{"EXTSKWAI:waiting", "test:activate"}});
  std::thread waiter([] { EXTSKWAI(); });
  SyncPoint("test:activate");
  ActivateTask("VN_Task1", "TAG1", 0);
  waiter.join();

  int32_t record = -1, field = -1;
  int16_t priority = -1, code = -1;
  int8_t tail = 0;
  EXTASKCHK(&record, &field, &priority, &code, &tail, &error);
  ClearSyncPoints();
  OrderSyncPoints({{"EXTSKWAI:waiting", "test:shut down"}});
  std::thread sleeper([] { EXTSKWAI(); });
  SyncPoint("test:shut down");
  Shutdown(1);
  sleeper.join();
  EXTASKCHK(&record, &field, &priority, &code, &tail, &error);
  EXPECT_EQ(error.ERRCODE, -37);
  EXTSKEND();
  Restart();
  EXTASKCHK(&record, &field, &priority, &code, &tail, &error);
  EXPECT_EQ(error.ERRCODE, -24) << "no task is bound after EXTSKEND";
  EXTSKWAI();  // returns at once without a bound task
}

}  // namespace
}  // namespace dorvik::testing
