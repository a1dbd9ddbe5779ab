// task: the command run in this process on a copy of the plant (an
// activation written by the tool's own write, a failed check, the
// database's shutdown ending it; its threads under the thread sanitizer
// too), and the built tool ended by Ctrl-C and SIGTERM.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/app.h"
#include "cli/database_link.h"
#include "views/name_catalog.h"
#include "contracts/json.h"
#include "engine/control.h"
#include "tests/cli/tool_support.h"

namespace vantrel::testing {
namespace {

using ::testing::HasSubstr;
using Json = nlohmann::ordered_json;

constexpr const char* kTask = "VN_SequenceTask";

// Whether check() comes to hold within ten seconds.
bool Eventually(const std::function<bool()>& check) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!check()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class TaskCommandTest : public ::testing::Test {
 protected:
  void TearDown() override { dorvik::Reset(); }

  // Runs a command line in this process on link, as vntaccess would.
  static ToolRun Run(cli::DatabaseLink& link, const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    cli::NameCatalog catalog;
    const cli::CommandLine line = cli::ParseCommandLine(args, cli::LineSource::kProgram);
    ToolRun run;
    run.code = static_cast<int>(cli::Execute(line, &link, catalog, out, err, false));
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  PlantCopy db_;
};

TEST_F(TaskCommandTest, ShowsActivationsAndFailedChecksUntilTheDatabaseShutsDown) {
  cli::DatabaseLink link(db_.Path());
  // The tool's write of START_CMD activates the task, which waits for it.
  ASSERT_EQ(Run(link, {"write", "P101", "START_CMD", "1"}).code, kDone);
  ASSERT_EQ(dorvik::PendingActivations(kTask), 1);
  dorvik::InjectFault("EXTASKCHK", -12);  // the first check fails
  ToolRun task;
  std::thread runner([&] { task = Run(link, {"task", kTask, "--json"}); });
  // Once the task has taken the activation, the database shuts down.
  EXPECT_TRUE(Eventually([] { return dorvik::PendingActivations(kTask) == 0; }));
  dorvik::Shutdown(0);
  runner.join();

  EXPECT_EQ(task.code, kDone) << task.err;
  const auto lines = Lines(task.out);
  ASSERT_EQ(lines.size(), 2u) << task.out;
  const Json failed = Json::parse(lines[0]);
  EXPECT_EQ(failed["error"]["code"], -12);
  EXPECT_FALSE(failed.contains("record"));
  const Json activation = Json::parse(lines[1]);
  EXPECT_EQ(activation["record"], "P101");
  EXPECT_EQ(activation["field"], "START_CMD");
  EXPECT_EQ(activation["priority"], 5);
  EXPECT_EQ(activation["code"], 1);
  EXPECT_FALSE(activation.contains("error"));
  EXPECT_THAT(activation["time"].get<std::string>(), ::testing::MatchesRegex("20[0-9-]+T[0-9:]+Z"));
  EXPECT_EQ(task.err,
            "vntaccess: VN_SequenceTask is waiting for activations; Ctrl-C stops it\n"
            "vntaccess: the database shut down; VN_SequenceTask ended after 1 activation\n");
  EXPECT_EQ(std::getenv("DORVIK_TASK_NAME"), nullptr);  // the binding's name went with the command
}

TEST_F(TaskCommandTest, ATextLinePerActivation) {
  cli::DatabaseLink link(db_.Path());
  dorvik::ActivateTask(kTask, "P102", 0x000C0000, 3, 7);
  dorvik::ActivateTask(kTask, "TI101", 0x00070002);
  ToolRun task;
  std::thread runner([&] { task = Run(link, {"task", kTask, "--utc"}); });
  EXPECT_TRUE(Eventually([] { return dorvik::PendingActivations(kTask) == 0; }));
  dorvik::Shutdown(0);
  runner.join();
  const auto lines = Lines(task.out);
  ASSERT_EQ(lines.size(), 3u) << task.out;
  EXPECT_EQ(lines[0], "TIME                      RECORD  FIELD      PRIORITY  CODE  ERROR");
  EXPECT_THAT(lines[1], ::testing::MatchesRegex("20[0-9-]+ [0-9:.]+Z  P102    START_CMD         3     7"));
  EXPECT_THAT(lines[2], ::testing::MatchesRegex("20[0-9-]+ [0-9:.]+Z  TI101   TREND\\[2\\]          0     0"));
}

TEST_F(TaskCommandTest, CtrlCAndSigtermEndTheToolCleanly) {
  for (const int signal : {SIGINT, SIGTERM}) {
    ToolProcess tool({"--database", db_.Path(), "task", kTask});
    ASSERT_TRUE(tool.WaitForError("waiting for activations"));
    tool.Signal(signal);
    const ToolRun run = tool.Wait();
    EXPECT_EQ(run.code, kDone) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, HasSubstr(fmt::format("stopped VN_SequenceTask ({}) after 0 activations",
                                               signal == SIGINT ? "Ctrl-C" : "SIGTERM")));
  }
  ExpectRefused(RunOn(db_, {"task", "P101"}), kNotFound,
                "P101 is not a task record: it is a record of VN_DiscreteDef; task records: VN_SequenceTask");
  ExpectRefused(RunOn(db_, {"task", "VN_SequenceTsk"}), kNotFound, "(did you mean VN_SequenceTask?)");
}

TEST_F(TaskCommandTest, AWriteInAnotherProcessActivatesTheTask) {
  ToolProcess tool({"--database", db_.Path(), "task", kTask, "--csv", "--utc"});
  ASSERT_TRUE(tool.WaitForError("waiting for activations"));
  ASSERT_EQ(RunOn(db_, {"write", "P101", "START_CMD", "1"}).code, kDone);
  EXPECT_TRUE(tool.WaitForOutput(",P101,START_CMD,5,1,"));
  tool.Signal(SIGINT);
  const ToolRun run = tool.Wait();
  EXPECT_EQ(run.code, kDone);
  EXPECT_THAT(run.err, HasSubstr("stopped VN_SequenceTask (Ctrl-C) after 1 activation"));
}

}  // namespace
}  // namespace vantrel::testing
