// The process log attaches its file sink once per process: every test here
// logs under one common application-data folder made for this process.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/dorvik.h"
#include "contracts/date_time.h"
#include "engine/control.h"
#include "platform/exceptions.h"
#include "platform/identity.h"
#include "platform/operation_context.h"
#include "platform/time_zone.h"
#include "session/log.h"
#include "session/session.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

namespace fs = std::filesystem;
using contracts::DateTime;

class LogSession : public Session {
 public:
  using Session::LogDorvikError;
  using Session::LogError;
  static TraceSwitch& Trace() { return LogTrace(); }

  // Operations that report a database error the usual way, directly and
  // from a lambda inside them.
  void GetTagValues(const ERRBLOCK& error) { LogDorvikError(error); }
  void GetSelectors(const ERRBLOCK& error) {
    [&] { LogDorvikError(error); }();
  }
};

fs::path MakeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "vnt_log_test_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// The common application-data folder of this process, made on first use
// and removed when the process ends.
const fs::path& ProgramData() {
  struct TempFolder {
    fs::path path = MakeTempFolder();
    ~TempFolder() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  };
  static const TempFolder folder;
  return folder.path;
}

fs::path LogFile() {
  return ProgramData() / "Korvane" / "DiagnosticLogs" / "Vantrel" / "AccessServiceHost" / "VntAccessService.log";
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The lines that action appended to the log file.
std::vector<std::string> NewLines(const std::function<void()>& action) {
  const std::size_t before = ReadFile(LogFile()).size();
  action();
  const std::string added = ReadFile(LogFile()).substr(before);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < added.size();) {
    const std::size_t end = added.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "every line ends with a line end";
    lines.push_back(added.substr(start, end - start));
    start = end == std::string::npos ? added.size() : end + 1;
  }
  return lines;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The error block of a failed name lookup, as the database reports it.
ERRBLOCK FailedLookup() {
  ERRBLOCK error{};
  int32_t fieldTag = -1;
  DECODFT("NO_SUCH_FIELD", 13, &fieldTag, &error);
  return error;
}

std::string ErrorText(const ERRBLOCK& error) {
  char text[78] = {};
  int16_t length = 0;
  ERRMESS(&error, text, &length);
  return std::string(text, static_cast<std::size_t>(length));
}

class LogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dorvik::Reset();
    vantrel::testing::InstallPlant();
  }
  static void TearDownTestSuite() { dorvik::Reset(); }
  void SetUp() override {
    ::setenv("PROGRAMDATA", ProgramData().c_str(), 1);
    LogSession::Trace().SetLevel(TraceLevel::Error);
  }
  void TearDown() override { LogSession::Trace().SetLevel(TraceLevel::Off); }

  // Runs action with the common application-data folder moved to a fresh
  // folder and checks that it logged nothing: no folder there and no new
  // line in the process's log file.
  static void ExpectNothingLogged(const std::function<void()>& action) {
    const fs::path elsewhere = MakeTempFolder();
    ::setenv("PROGRAMDATA", elsewhere.c_str(), 1);
    const std::string before = ReadFile(LogFile());
    const std::size_t sinks = ProcessLog::Instance().SinkCount();
    action();
    ::setenv("PROGRAMDATA", ProgramData().c_str(), 1);
    EXPECT_FALSE(fs::exists(elsewhere / "Korvane"));
    EXPECT_EQ(ReadFile(LogFile()), before);
    EXPECT_EQ(ProcessLog::Instance().SinkCount(), sinks);
    fs::remove_all(elsewhere);
  }

  LogSession session_;
};

using LogDeathTest = LogTest;

TEST_F(LogDeathTest, AFolderThatCannotBeCreatedRaisesAndIsTriedAgain) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no sink attached yet
  EXPECT_EXIT(
      {
        const fs::path blocker = ProgramData() / "not_a_folder";
        std::ofstream(blocker) << "a file";
        ::setenv("PROGRAMDATA", blocker.c_str(), 1);
        try {
          session_.LogError({"lost"});
          std::exit(2);
        } catch (const platform::IOException&) {
        }
        ::setenv("PROGRAMDATA", ProgramData().c_str(), 1);
        session_.LogError({"kept"});
        std::exit(ReadFile(LogFile()).find(" - kept\n") != std::string::npos ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

// A symbolic link planted at the log's path: the operation that logs goes
// on, and the file the link names is left alone.
TEST_F(LogDeathTest, ALinkPlantedAtTheLogFileRefusesTheLogButNotTheOperation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no sink attached yet
  EXPECT_EXIT(
      {
        const fs::path victim = ProgramData() / "victim.txt";
        std::ofstream(victim) << "untouched\n";
        fs::create_directories(LogFile().parent_path());
        fs::create_symlink(victim, LogFile());
        session_.LogError({"planted"});
        std::exit(ReadFile(victim) == "untouched\n" ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

// A FIFO planted at the log's path: the operation that logs neither blocks
// nor fails, and nothing is written into the FIFO.
TEST_F(LogDeathTest, AFifoPlantedAtTheLogFileNeitherBlocksNorFailsTheOperation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no sink attached yet
  EXPECT_EXIT(
      {
        ::alarm(10);  // a blocked open ends the child with SIGALRM
        fs::create_directories(LogFile().parent_path());
        if (::mkfifo(LogFile().c_str(), 0600) != 0) std::exit(3);
        session_.LogError({"planted"});
        std::exit(fs::is_fifo(LogFile()) ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(LogTest, LevelOffAndEmptyMessageListsWriteNothing) {
  LogSession::Trace().SetLevel(TraceLevel::Off);
  ExpectNothingLogged([&] {
    session_.LogError({"off"});
    session_.LogDorvikError(FailedLookup(), "GetSelectors");
    session_.GetTagValues(FailedLookup());
  });
  LogSession::Trace().SetLevel(TraceLevel::Verbose);
  ExpectNothingLogged([&] { session_.LogError({}); });
}

TEST_F(LogTest, LineIsAccountTimeAndMessages) {
  const DateTime before = platform::Now().AddTicks(-DateTime::kTicksPerSecond);
  const auto lines = NewLines([&] { session_.LogError({"only"}); });
  const DateTime after = platform::Now();
  ASSERT_EQ(lines.size(), 1u);
  std::smatch parts;
  const std::regex form(R"(^(.+)@(\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d{2}:\d{2}) - (.*)$)");
  ASSERT_TRUE(std::regex_match(lines[0], parts, form)) << lines[0];
  EXPECT_EQ(parts[1], platform::CurrentThreadAccount());
  const DateTime logged = DateTime::Parse(parts[2].str());
  EXPECT_GE(logged, before);
  EXPECT_LE(logged, after);
  EXPECT_EQ(parts[3], "only");

  const auto three = NewLines([&] { session_.LogError({"a {0}", "b", "c"}); });
  ASSERT_EQ(three.size(), 1u);
  EXPECT_TRUE(three[0].ends_with(" - a {0}, b, c")) << three[0];
}

TEST_F(LogTest, AccountIsTheOneTheThreadRunsAs) {
  platform::OperationContextScope call(platform::OperationContext{platform::ServiceSecurityContext{"CTX\\dave"}});
  auto lines = NewLines([&] { session_.LogError({"as the thread"}); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with(platform::CurrentThreadAccount() + "@")) << lines[0];

  platform::ImpersonationScope impersonation("IMP\\erin");
  lines = NewLines([&] { session_.LogError({"impersonating"}); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("IMP\\erin@")) << lines[0];
}

TEST_F(LogTest, DorvikErrorsNameTheOperationAndTheErrorText) {
  const ERRBLOCK error = FailedLookup();
  ASSERT_NE(error.ERRCODE, 0);
  auto lines = NewLines([&] { session_.GetTagValues(error); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(" - GetTagValues, " + ErrorText(error))) << lines[0];

#if defined(__cpp_lib_source_location)  // without it a lambda logs as "operator()"
  lines = NewLines([&] { session_.GetSelectors(error); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(" - GetSelectors, " + ErrorText(error))) << lines[0];
#endif

  lines = NewLines([&] { session_.LogDorvikError(ERRBLOCK{}, "FindReferences"); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(" - FindReferences, " + ErrorText(ERRBLOCK{}))) << lines[0];
}

TEST_F(LogTest, SessionsShareOneSinkAndEachLineIsWrittenOnce) {
  static int run = 0;  // keeps the messages of repeated runs apart
  const std::string first = "from the first session " + std::to_string(++run);
  const std::string second = "from the second session " + std::to_string(run);
  LogSession other;
  session_.LogError({first});
  other.LogError({second, "Gr\xC3\xBC\xC3\x9F" "e"});
  EXPECT_EQ(ProcessLog::Instance().SinkCount(), 1u);
  const std::string log = ReadFile(LogFile());
  EXPECT_EQ(Occurrences(log, " - " + first + "\n"), 1u);
  EXPECT_EQ(Occurrences(log, " - " + second + ", Gr\xC3\xBC\xC3\x9F" "e\n"), 1u) << "UTF-8 text";
}

class FileLogSinkTest : public ::testing::Test {
 protected:
  void SetUp() override { base_ = MakeTempFolder(); }
  void TearDown() override { fs::remove_all(base_); }

  static fs::perms Permissions(const fs::path& path) { return fs::symlink_status(path).permissions(); }

  fs::path base_;
};

TEST_F(FileLogSinkTest, FoldersAndFileAreMadeForTheOwnerAloneAndLinesAppended) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const auto first = FileLogSink::Open(base_, "a/b", "x.log");
  ASSERT_TRUE(first->IsOpen());
  first->Write("one");
  FileLogSink::Open(base_, "a/b", "x.log")->Write("two");
  EXPECT_EQ(ReadFile(base_ / "a/b/x.log"), "one\ntwo\n");
  EXPECT_EQ(Permissions(base_ / "a"), static_cast<fs::perms>(0700 & ~mask));
  EXPECT_EQ(Permissions(base_ / "a/b"), static_cast<fs::perms>(0700 & ~mask));
  EXPECT_EQ(Permissions(base_ / "a/b/x.log"), static_cast<fs::perms>(0600 & ~mask));
}

// Opens the sink in another thread: a call that blocked (a FIFO without a
// reader) is released by opening the FIFO's other end and fails the test.
std::shared_ptr<FileLogSink> OpenWithin5Seconds(const fs::path& base, const fs::path& folders, const fs::path& fifo) {
  auto opening = std::async(std::launch::async, [&] { return FileLogSink::Open(base, folders, "x.log"); });
  if (opening.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return opening.get();
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  auto sink = opening.get();
  ::close(reader);
  ADD_FAILURE() << "opening the log blocked on " << fifo;
  return sink;
}

TEST_F(FileLogSinkTest, AnythingButARegularFileAtTheNameIsRefusedWithoutBlocking) {
  fs::create_directories(base_ / "fifo");
  ASSERT_EQ(::mkfifo((base_ / "fifo/x.log").c_str(), 0600), 0);
  EXPECT_FALSE(OpenWithin5Seconds(base_, "fifo", base_ / "fifo/x.log")->IsOpen());

  // A FIFO with a reader would open at once: it is refused all the same.
  const int reader = ::open((base_ / "fifo/x.log").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const auto withReader = FileLogSink::Open(base_, "fifo", "x.log");
  EXPECT_FALSE(withReader->IsOpen());
  withReader->Write("lost");
  char byte = 0;
  EXPECT_EQ(::read(reader, &byte, 1), 0) << "nothing reached the FIFO";
  ::close(reader);

  fs::create_directories(base_ / "folder/x.log");
  EXPECT_FALSE(FileLogSink::Open(base_, "folder", "x.log")->IsOpen());
}

// Files and folders that another user owns: made by root for a user the
// process is not (skipped unless the test runs as root).
TEST_F(FileLogSinkTest, AFileOrFolderOfAnotherUserIsNotWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  constexpr uid_t kNobody = 65534;
  fs::create_directories(base_ / "theirs");
  std::ofstream(base_ / "theirs/x.log") << "their text\n";
  ASSERT_EQ(::chown((base_ / "theirs/x.log").c_str(), kNobody, kNobody), 0);
  const auto file = FileLogSink::Open(base_, "theirs", "x.log");
  EXPECT_FALSE(file->IsOpen());
  file->Write("planted");
  EXPECT_EQ(ReadFile(base_ / "theirs/x.log"), "their text\n");

  fs::create_directories(base_ / "their-folder/below");
  ASSERT_EQ(::chown((base_ / "their-folder").c_str(), kNobody, kNobody), 0);
  EXPECT_FALSE(FileLogSink::Open(base_, "their-folder/below", "x.log")->IsOpen());
  EXPECT_FALSE(fs::exists(base_ / "their-folder/below/x.log"));
}

TEST_F(FileLogSinkTest, LinksPlantedBelowTheBaseRefuseTheLog) {
  const fs::path elsewhere = base_ / "elsewhere";
  fs::create_directories(elsewhere);
  std::ofstream(elsewhere / "victim") << "untouched";

  fs::create_directories(base_ / "file");
  fs::create_symlink(elsewhere / "victim", base_ / "file" / "x.log");
  fs::create_symlink(elsewhere, base_ / "folder");
  for (const char* folders : {"file", "folder", "folder/deeper"}) {
    const auto sink = FileLogSink::Open(base_, folders, "x.log");
    EXPECT_FALSE(sink->IsOpen()) << folders;
    sink->Write("planted");
  }
  EXPECT_EQ(ReadFile(elsewhere / "victim"), "untouched");
  EXPECT_FALSE(fs::exists(elsewhere / "deeper"));
  EXPECT_FALSE(fs::exists(elsewhere / "x.log"));

  // The base itself may be reached through a link; a file in the way of a
  // folder is an error.
  fs::create_symlink(base_, base_ / "via");
  EXPECT_TRUE(FileLogSink::Open(base_ / "via", "made", "x.log")->IsOpen());
  EXPECT_THROW(FileLogSink::Open(base_, "elsewhere/victim/sub", "x.log"), platform::IOException);
}

TEST(TraceSwitchTest, LevelComesFromTheSettingOfItsName) {
  EXPECT_EQ(LogSession::Trace().DisplayName(), "VntLogSwitch");
  EXPECT_EQ(LogSession::Trace().Description(), "Vnt Access trace switch");
  const std::vector<std::pair<const char*, TraceLevel>> settings{
      {"4", TraceLevel::Verbose}, {"warning", TraceLevel::Warning}, {"5", TraceLevel::Off}, {"loud", TraceLevel::Off}};
  for (const auto& [setting, level] : settings) {
    ::setenv("VntLogTestSwitch", setting, 1);
    EXPECT_EQ(TraceSwitch("VntLogTestSwitch", "test").Level(), level) << setting;
  }
  ::unsetenv("VntLogTestSwitch");
  EXPECT_EQ(TraceSwitch("VntLogTestSwitch", "test").Level(), TraceLevel::Off);
}

}  // namespace
}  // namespace vantrel::access
