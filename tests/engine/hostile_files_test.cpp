// Files the engine writes and reads under hostile conditions: links and
// other files planted at an export's name, a file-size limit, imports and
// exports killed or interrupted half-way, and JSON files that would be
// stored wrongly. Signals and limits are tried in child processes.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "engine/unfinished_files.h"
#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// The names in folder, hidden ones included.
std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

mode_t ModeOf(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// A process id that no process has: a child that has ended and been reaped.
pid_t DeadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

// Runs body in a child process and returns its wait status. The child
// ends with body's result as exit code, or by a signal (SIGALRM after 20
// seconds).
template <typename Body>
int InChild(Body body) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(20);
    int code = 70;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

// Waits up to ten seconds until folder holds a name containing part.
bool AppearsIn(const fs::path& folder, const std::string& part) {
  for (int i = 0; i < 1000; ++i) {
    for (const std::string& name : Names(folder)) {
      if (name.find(part) != std::string::npos) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class HostileFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }

  std::string ExportError(const fs::path& path) {
    try {
      ExportDatabase(path.string());
    } catch (const DatabaseError& error) {
      return error.what();
    }
    return "exported";
  }

  TemporaryFolder folder_;
};

// --- What lies at an export's name ------------------------------------------------

TEST_F(HostileFilesTest, ExportKeepsAnExistingFilesModeAndRefusesWhatIsNotAFile) {
  Install(PlantBuilder());
  WriteFile(folder_ / "shared.json", "old");
  ::chmod((folder_ / "shared.json").c_str(), 0640);
  ExportDatabase((folder_ / "shared.json").string());
  EXPECT_EQ(ModeOf(folder_ / "shared.json"), 0640u);
  EXPECT_NE(FileText(folder_ / "shared.json").find("dorvik-database"), std::string::npos);

  // A FIFO is refused before anything opens it: the export neither blocks
  // nor replaces it.
  ASSERT_EQ(::mkfifo((folder_ / "fifo.json").c_str(), 0600), 0);
  EXPECT_NE(ExportError(folder_ / "fifo.json").find("not a regular file"), std::string::npos);
  EXPECT_TRUE(fs::is_fifo(folder_ / "fifo.json"));
  EXPECT_EQ(Names(folder_.path()), (std::set<std::string>{"fifo.json", "shared.json"}));
}

TEST_F(HostileFilesTest, ALinkInAStickyFolderEveryoneMayWriteIsRefused) {
  Install(PlantBuilder());
  const fs::path shared = folder_ / "tmp";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  WriteFile(folder_ / "victim", "untouched");
  fs::create_symlink(folder_ / "victim", shared / "out.json");
  const std::string error = ExportError(shared / "out.json");
  EXPECT_NE(error.find("out.json: a symbolic link in a sticky folder"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_symlink(shared / "out.json"));
  EXPECT_EQ(FileText(folder_ / "victim"), "untouched");
  EXPECT_EQ(Names(shared), std::set<std::string>{"out.json"});
  // A plain name there is written as usual.
  ExportDatabase((shared / "plain.json").string());
  EXPECT_TRUE(fs::is_regular_file(shared / "plain.json"));
}

TEST_F(HostileFilesTest, ALinkAnotherUserOwnsIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a link to another user";
  Install(PlantBuilder());
  WriteFile(folder_ / "victim", "untouched");
  fs::create_symlink(folder_ / "victim", folder_ / "out.json");
  ASSERT_EQ(::lchown((folder_ / "out.json").c_str(), kNobody, kNobody), 0);
  const std::string error = ExportError(folder_ / "out.json");
  EXPECT_NE(error.find("a symbolic link owned by another user"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_symlink(folder_ / "out.json"));
  EXPECT_EQ(FileText(folder_ / "victim"), "untouched");
}

// --- A file-size limit --------------------------------------------------------------

// The child keeps SIGXFSZ's default action (the end of the process): the
// export holds it back, reports EFBIG, and removes its hidden file.
TEST_F(HostileFilesTest, ExportPastTheFileSizeLimitFailsClearlyAndLeavesNothing) {
  WriteFile(folder_ / "plant.json", "old");
  CreateDatabase(PlantBuilder(), (folder_ / "plant.db").string());
  const int status = InChild([&] {
    ::signal(SIGXFSZ, SIG_DFL);
    Open((folder_ / "plant.db").string(), {.readOnly = true});
    const rlimit limit{1024, 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
    try {
      ExportDatabase((folder_ / "plant.json").string());
    } catch (const DatabaseError& error) {
      const std::string message = error.what();
      return message.find("plant.json: cannot write (the file-size limit, ulimit -f): File too large") !=
                     std::string::npos
                 ? 0
                 : 4;
    }
    return 5;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(FileText(folder_ / "plant.json"), "old");
  EXPECT_EQ(Names(folder_.path()), (std::set<std::string>{"plant.db", "plant.json"}));
}

// --- What killed and interrupted imports and exports leave -------------------------

// Entries of dead makers go at the next export or import into the folder;
// those of live makers, of locked entries, of names that are not entries'
// and of another kind stay.
TEST_F(HostileFilesTest, TheNextImportOrExportRemovesWhatKilledOnesLeft) {
  Install(PlantBuilder());
  const pid_t dead = DeadPid();
  const std::string deadExport = fmt::format(".old.json.exporting-{}-a1B2c3", dead);
  const std::string deadImport = fmt::format(".old.db.importing-{}-a1B2c3", dead);
  const std::string liveExport = fmt::format(".live.json.exporting-{}-a1B2c3", ::getpid());
  const std::string lockedExport = fmt::format(".locked.json.exporting-{}-a1B2c3", dead);
  const std::string folderAsExport = fmt::format(".odd.json.exporting-{}-a1B2c3", dead);
  const std::set<std::string> kept = {liveExport, lockedExport, folderAsExport, ".notes.exporting-x-a1B2c3",
                                      "plain.json"};
  WriteFile(folder_ / deadExport, "partial");
  fs::create_directory(folder_ / deadImport);
  WriteFile(folder_ / deadImport / "data.mdb", "partial");
  for (const std::string& name : {liveExport, lockedExport, std::string(".notes.exporting-x-a1B2c3")}) {
    WriteFile(folder_ / name, "partial");
  }
  fs::create_directory(folder_ / folderAsExport);
  const UniqueFd locked(::open((folder_ / lockedExport).c_str(), O_RDONLY | O_CLOEXEC));
  struct flock lock {};
  lock.l_type = F_RDLCK;
  ASSERT_EQ(::fcntl(locked.get(), F_OFD_SETLK, &lock), 0);

  ExportDatabase((folder_ / "plain.json").string());
  EXPECT_EQ(Names(folder_.path()), kept);

  // An import sweeps its folder too.
  WriteFile(folder_ / deadExport, "partial");
  fs::create_directory(folder_ / deadImport);
  ImportDatabase((folder_ / "plain.json").string(), (folder_ / "new.db").string());
  std::set<std::string> afterImport = kept;
  afterImport.insert("new.db");
  EXPECT_EQ(Names(folder_.path()), afterImport);
}

TEST_F(HostileFilesTest, TheSweepLeavesAnotherUsersEntries) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  const std::string theirs = fmt::format(".their.json.exporting-{}-a1B2c3", DeadPid());
  WriteFile(folder_ / theirs, "partial");
  ASSERT_EQ(::chown((folder_ / theirs).c_str(), kNobody, kNobody), 0);
  SweepUnfinished(folder_.path());
  EXPECT_TRUE(fs::exists(folder_ / theirs));
}

// The tool's handler in small: the registry's clean-up, then the signal
// again with its default action.
void CleanUpAndEnd(int signal) {
  RemoveUnfinishedEntries();
  ::raise(signal);
}

void CatchTerm() {
  struct sigaction action {};
  action.sa_handler = CleanUpAndEnd;
  action.sa_flags = SA_RESETHAND;
  ::sigaction(SIGTERM, &action, nullptr);
}

// A child stopped half-way (an export at a sync point, an import waiting
// for its JSON text on a FIFO) gets SIGTERM once its hidden entry shows.
int TerminatedOnceShown(const fs::path& folder, const std::string& part, pid_t child) {
  const bool shown = AppearsIn(folder, part);
  ::kill(child, shown ? SIGTERM : SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(shown) << part << " never appeared";
  return status;
}

TEST_F(HostileFilesTest, ASignalRemovesTheExportsHiddenFileAtOnce) {
  CreateDatabase(PlantBuilder(), (folder_ / "plant.db").string());
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(20);
    CatchTerm();
    Open((folder_ / "plant.db").string(), {.readOnly = true});
    OrderSyncPoints({{"test:never", "export:writing"}});
    try {
      ExportDatabase((folder_ / "out.json").string());
    } catch (...) {
    }
    ::_exit(2);
  }
  const int status = TerminatedOnceShown(folder_.path(), ".out.json.exporting-", child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(Names(folder_.path()), std::set<std::string>{"plant.db"});
}

TEST_F(HostileFilesTest, ASignalRemovesTheImportsHiddenFolderAtOnce) {
  const fs::path fifo = folder_ / "plant.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(20);
    CatchTerm();
    try {
      ImportDatabase(fifo.string(), (folder_ / "plant.db").string());  // waits for a writer
    } catch (...) {
    }
    ::_exit(2);
  }
  const int status = TerminatedOnceShown(folder_.path(), ".plant.db.importing-", child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(Names(folder_.path()), std::set<std::string>{"plant.json"});
}

// --- Values that would be stored wrongly ----------------------------------------------

class StrictImportTest : public HostileFilesTest {
 protected:
  std::string ImportError(const std::string& body) {
    WriteFile(folder_ / "plant.json", R"({"format": "dorvik-database", "version": 1, )" + kCatalog + body + "}");
    fs::remove_all(folder_ / "plant.db");
    try {
      ImportDatabase((folder_ / "plant.json").string(), (folder_ / "plant.db").string());
    } catch (const DatabaseError& error) {
      const std::string message = error.what();
      const std::size_t at = message.find("plant.json");
      return at == std::string::npos ? message : message.substr(at);
    }
    return "imported";
  }

  static std::string History(const std::string& field, const std::string& sample) {
    return R"(, "records": [{"name": "R", "definition": "D"}], "history": [{"record": "R", "field": ")" + field +
           R"(", "samples": [)" + sample + "]}]";
  }

  const std::string kCatalog = R"("definitions": [{"name": "D", "fields": [)"
                               R"({"name": "I", "type": "integer", "length": 79, "history": 1},)"
                               R"({"name": "X", "type": "real", "length": 8, "quality": 1, "history": 1}]}])";
};

TEST_F(StrictImportTest, AKeyGivenTwiceIsRefusedWithItsPath) {
  EXPECT_EQ(ImportError(R"(, "version": 1)"), "plant.json: /version: the key appears twice in its object (line 1)");
  EXPECT_EQ(ImportError(R"(, "records": [{"name": "R", "definition": "D", "name": "S"}])"),
            "plant.json: /records/0/name: the key appears twice in its object (line 1)");
  EXPECT_EQ(ImportError(R"(, "records": [{"name": "R", "definition": "D", "values": {"I": 1, "X": 2, "I": 3}}])"),
            "plant.json: /records/0/values/I: the key appears twice in its object (line 1)");
  // Inside a part read whole, and past the short list of keys.
  std::string many = R"(, "records": [{"name": "R", "definition": "D", "values": {"X": {"value": 1)";
  for (int i = 0; i < 20; ++i) many += fmt::format(R"(, "k{}": 0)", i);
  EXPECT_EQ(ImportError(many + R"(, "k7": 1}}}])"),
            "plant.json: /records/0/values/X/k7: the key appears twice in its object (line 1)");
  EXPECT_EQ(ImportError(R"(, "records": [{"name": "R", "definition": "D", )"
                        R"("values": {"X": {"value": 1, "value": 2}}}])"),
            "plant.json: /records/0/values/X/value: the key appears twice in its object (line 1)");
  EXPECT_EQ(ImportError(R"(, "records": [{"name": "R", "definition": "D", "values": {"I": 1, "X": 2}}])"), "imported");
}

TEST_F(StrictImportTest, ANumberWithAFractionForAnIntegerFieldIsRefused) {
  EXPECT_EQ(ImportError(R"(, "records": [{"name": "R", "definition": "D", "values": {"I": 1.5}}])"),
            "plant.json: /records/0/values/I: a number with a fraction for a field of whole numbers");
  EXPECT_EQ(ImportError(History("I", R"(["2024-01-01T00:00:00Z", 2], ["2024-01-01T00:00:01Z", -0.25])")),
            "plant.json: /history/0/samples/1: a number with a fraction for a field of whole numbers");
  // A whole number written with a fraction of zero, and a fraction where a
  // real belongs, are stored as given.
  EXPECT_EQ(ImportError(R"(, "records": [{"name": "R", "definition": "D", "values": {"I": 2.0, "X": 1.5}}])"),
            "imported");
  Open((folder_ / "plant.db").string());
  EXPECT_EQ(*CurrentText("R", "I"), "2");
  EXPECT_EQ(*CurrentText("R", "X"), "1.5");
}

TEST_F(StrictImportTest, TimesTheApiCannotHandBackAreRefused) {
  const std::string outside =
      "the time lies outside what the database can hand back, 1901-12-13T20:45:52Z to 2038-01-19T03:14:07Z";
  for (const char* time : {"0001-01-01T00:00:00Z", "1900-06-01T00:00:00Z", "1901-12-13T20:45:51Z",
                           "2038-01-19T03:14:08Z", "9999-12-31T00:00:00Z"}) {
    EXPECT_EQ(ImportError(History("X", fmt::format(R"(["2024-01-01T00:00:00Z", 1], ["{}", 2])", time))),
              "plant.json: /history/0/samples/1/0: " + outside)
        << time;
  }
  EXPECT_EQ(
      ImportError(R"(, "records": [{"name": "R", "definition": "D", )"
                  R"("values": {"X": {"value": 1, "time": "1900-01-01"}}}])"),
      "plant.json: /records/0/values/X/time: " + outside);
  EXPECT_EQ(ImportError(History("X", R"(["1901-12-13T20:45:52Z", 1], ["2038-01-19T03:14:07Z", 2])")), "imported");
  Open((folder_ / "plant.db").string());
  EXPECT_EQ(HistoryCount("R", "X"), 2);
}

}  // namespace
}  // namespace dorvik::testing
