// Sessions constructed, logging and destroyed on several threads at once,
// with database shutdowns raised meanwhile.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "engine/control.h"
#include "session/log.h"
#include "session/session.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

namespace fs = std::filesystem;
using vantrel::testing::Calls;

constexpr int kThreads = 4;
constexpr int kMinSessionsPerThread = 20;
constexpr int kShutdownRounds = 8;

class LoggingSession : public Session {
 public:
  explicit LoggingSession(bool enableVntCallback) : Session(enableVntCallback) {}
  using Session::LogError;
  static TraceSwitch& Trace() { return LogTrace(); }
  static bool LogFileAttached() { return Statics().traceOn.load(); }
};

// What the subscribers of all sessions saw; outlives the sessions.
struct Notifications {
  std::atomic<int> total{0};
  std::atomic<int> withoutSender{0};
  std::atomic<int> wrong{0};  // a reason or code other than the raised one
};

ServerShutdownHandler Counter(std::shared_ptr<Notifications> seen, int32_t expectedCode) {
  return [seen, expectedCode](Session* sender, const EventReason& e) {
    seen->total.fetch_add(1);
    if (sender == nullptr) seen->withoutSender.fetch_add(1);
    if (e.Reason != "Vantrel is shutdown." || e.Code != expectedCode) seen->wrong.fetch_add(1);
  };
}

class SessionConcurrencyTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kCode = 0x1234;

  void SetUp() override {
    std::string folder = (fs::temp_directory_path() / "vnt_concurrency_XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    programData_ = folder;
    ::setenv("PROGRAMDATA", programData_.c_str(), 1);
    dorvik::Reset();
    vantrel::testing::InstallPlant();
    dorvik::EnableCallLog();
    LoggingSession::Trace().SetLevel(TraceLevel::Error);
  }
  void TearDown() override {
    LoggingSession::Trace().SetLevel(TraceLevel::Off);
    dorvik::Reset();
    std::error_code ignored;
    fs::remove_all(programData_, ignored);
  }

  fs::path LogFile() const {
    return programData_ / "Korvane/DiagnosticLogs/Vantrel/AccessServiceHost/VntAccessService.log";
  }

  fs::path programData_;
};

TEST_F(SessionConcurrencyTest, SessionsConstructLogAndReceiveShutdownsAtOnce) {
  // The threads' first lines race to attach the file sink in this folder.
  ASSERT_FALSE(LoggingSession::LogFileAttached()) << "no test of this process may log before this one";
  auto seen = std::make_shared<Notifications>();
  const std::size_t entriesBefore = ShutdownEntryLease::EntriesMade();
  std::atomic<int> rounds{0};
  std::atomic<int> made{0};
  std::atomic<int> registered{0};
  std::latch start(kThreads + 1);
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      // Sessions keep coming and going until every shutdown was raised.
      for (int i = 0; i < kMinSessionsPerThread || rounds.load() < kShutdownRounds; ++i) {
        const bool withCallback = i % 2 == 0;
        LoggingSession session(withCallback);
        session.VntShutdownEvents += Counter(seen, static_cast<int32_t>(kCode));
        session.LogError({fmt::format("thread {} session {}", t, i), "first", "second"});
        made.fetch_add(1);
        if (withCallback) registered.fetch_add(1);
      }
    });
  }
  start.arrive_and_wait();
  for (int round = 0; round < kShutdownRounds; ++round) {
    dorvik::Shutdown(kCode);
    dorvik::Restart();
    rounds.fetch_add(1);
  }
  threads.clear();

  // Every session with the flag registered once, each thread's on one of at
  // most kThreads entry points; a last shutdown, all sessions gone, reaches
  // nobody.
  EXPECT_EQ(Calls("VantrelRegisterShutdownCallback"), registered.load());
  EXPECT_LE(ShutdownEntryLease::EntriesMade() - entriesBefore, static_cast<std::size_t>(kThreads));
  const int before = seen->total.load();
  dorvik::Shutdown(kCode);
  dorvik::Restart();
  EXPECT_EQ(seen->total.load(), before);
  EXPECT_EQ(seen->withoutSender.load(), 0);
  EXPECT_EQ(seen->wrong.load(), 0);

  // One sink; every line whole and each message exactly once.
  EXPECT_EQ(ProcessLog::Instance().SinkCount(), 1u);
  std::ifstream file(LogFile());
  const std::regex whole(R"(^.+@\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d{2}:\d{2} - thread (\d) session (\d+), first, second$)");
  std::set<std::string> messages;
  int lines = 0;
  for (std::string line; std::getline(file, line); ++lines) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, whole)) << line;
    EXPECT_TRUE(messages.insert(parts[1].str() + "/" + parts[2].str()).second) << line;
  }
  EXPECT_EQ(lines, made.load());
}

}  // namespace
}  // namespace vantrel::access
