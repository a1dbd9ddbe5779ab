// Opening a database whose files someone tampered with, cut short, or put
// on a full disk: planted links and devices are refused before LMDB follows
// them, new databases are private unless shared with a group, a cut data
// file answers the corruption code instead of SIGBUS, lock.mdb is allocated
// whole, and no lock of the signals page is waited for without end.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;

mode_t ModeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// The message of the DatabaseError that open throws, "" when it opens.
std::string OpenError(const std::string& database, const OpenOptions& options = {}) {
  try {
    Open(database, options);
    return "";
  } catch (const DatabaseError& error) {
    return error.what();
  }
}

class HostileOpenTest : public EngineTest {
 protected:
  void SetUp() override {
    Reset();
    CreateDatabase(PlantBuilder(), database_);
  }
  fs::path File(const char* name) const { return fs::path(database_) / name; }

  TemporaryFolder folder_;
  const std::string database_ = (folder_ / "plant.db").string();
};

TEST_F(HostileOpenTest, PlantedLinksAndDevicesAreRefusedAndNothingIsWrittenThroughThem) {
  const fs::path victim = folder_ / "victim";
  for (const char* name : {"lock.mdb", "data.mdb", "signals"}) {
    SCOPED_TRACE(name);
    WriteFile(victim, "precious");
    const fs::path kept = folder_ / "kept";
    fs::rename(File(name), kept);
    fs::create_symlink(victim, File(name));
    EXPECT_NE(OpenError(database_, {.readOnly = true}).find(fmt::format("{} is a symbolic link", name)),
              std::string::npos);
    EXPECT_NE(OpenError(database_).find("symbolic link"), std::string::npos);
    EXPECT_EQ(FileText(victim), "precious") << "the link's target is untouched";
    fs::remove(File(name));
    // A FIFO would block the open for ever; a device would be mapped.
    ASSERT_EQ(::mkfifo(File(name).c_str(), 0600), 0);
    EXPECT_NE(OpenError(database_).find(fmt::format("{} is not a regular file", name)), std::string::npos);
    fs::remove(File(name));
    fs::rename(kept, File(name));
  }
  // The folder itself may be a link: a user may place a database anywhere.
  const fs::path link = folder_ / "linked.db";
  fs::create_directory_symlink(database_, link);
  EXPECT_EQ(OpenError(link.string()), "");
  EXPECT_EQ(*CurrentText("TAG1", "UNITS"), "degC");
}

TEST_F(HostileOpenTest, NewDatabasesArePrivateWhateverTheUmask) {
  const mode_t previous = ::umask(0);
  const std::string json = (folder_ / "plant.json").string();
  WriteDatabaseFile(PlantBuilder(), json);
  const std::string imported = (folder_ / "imported.db").string();
  ImportDatabase(json, imported);
  const std::string built = (folder_ / "built.db").string();
  CreateDatabase(PlantBuilder(), built);
  ::umask(previous);
  for (const std::string& database : {imported, built}) {
    SCOPED_TRACE(database);
    EXPECT_EQ(ModeOf(database), 0700u);
    for (const char* name : {"data.mdb", "lock.mdb", "signals"}) EXPECT_EQ(ModeOf(fs::path(database) / name), 0600u);
  }
}

TEST_F(HostileOpenTest, AGroupOptionSharesTheDatabaseForReading) {
  // The process's own group: every process may give its files to it.
  const gid_t group = ::getegid();
  const struct group* entry = ::getgrgid(group);
  ASSERT_NE(entry, nullptr);
  const std::string shared = (folder_ / "shared.db").string();
  CreateDatabase(PlantBuilder(), shared, {.group = entry->gr_name});
  EXPECT_EQ(ModeOf(shared), 02750u);
  const std::pair<const char*, mode_t> expected[] = {{"data.mdb", 0640}, {"lock.mdb", 0660}, {"signals", 0640}};
  for (const auto& [name, mode] : expected) {
    struct stat status {};
    ASSERT_EQ(::stat((fs::path(shared) / name).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, mode) << name;
    EXPECT_EQ(status.st_gid, group) << name;
  }
  // A deleted lock.mdb is made again shared, as its data file is.
  fs::remove(fs::path(shared) / "lock.mdb");
  Open(shared);
  EXPECT_EQ(ModeOf(fs::path(shared) / "lock.mdb"), 0660u);
  Reset();
  try {
    CreateDatabase(PlantBuilder(), (folder_ / "nogroup.db").string(), {.group = "no-such-group-here"});
    ADD_FAILURE() << "an unknown group is refused";
  } catch (const DatabaseError& error) {
    EXPECT_NE(std::string(error.what()).find("no group is named \"no-such-group-here\""), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(folder_ / "nogroup.db"));
}

TEST_F(HostileOpenTest, TheLockFileIsAllocatedWhole) {
  fs::remove(File("lock.mdb"));
  Open(database_);
  struct stat status {};
  ASSERT_EQ(::stat(File("lock.mdb").c_str(), &status), 0);
  EXPECT_GE(status.st_size, 1024 * 64) << "room for 1,024 readers";
  EXPECT_GE(status.st_blocks * 512, status.st_size) << "no hole a reader could fault on";
}

// What a child process saw of a cut database: "corrupted", "clean", or a fault.
std::string OpenCutCopy(const std::string& database) {
  const pid_t child = ::fork();
  if (child == 0) {
    int outcome = 3;
    try {
      Open(database, {.readOnly = true});
      const CheckReport report = CheckDatabase();
      for (const char* record : {"TAG1", "TAG2", "OFFLINE"}) (void)CurrentText(record, "VALUE");
      (void)HistoryCount("TAG1", "VALUE");
      ExportDatabase(database + ".json");
      outcome = report.ok() ? 0 : 4;
    } catch (const DatabaseError& error) {
      outcome = std::string(error.what()).find("database is corrupted (-28)") != std::string::npos ? 1 : 2;
    }
    ::_exit(outcome);
  }
  // Bounded: a hang is a failure too, not a stuck test.
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return "hung";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFSIGNALED(status)) return fmt::format("killed by signal {}", WTERMSIG(status));
  switch (WEXITSTATUS(status)) {
    case 0: return "clean";
    case 1: return "corrupted";
    case 4: return "check found faults";
    default: return fmt::format("exit {}", WEXITSTATUS(status));
  }
}

TEST_F(HostileOpenTest, ADataFileCutShortIsReportedCorruptNotASigbus) {
  // Enough records that the data file has pages beyond its first few.
  DatabaseBuilder builder = PlantBuilder();
  for (int i = 0; i < 400; ++i) builder.Record(fmt::format("EXTRA{}", i), "VN_AnalogDef");
  Reset();
  fs::remove_all(database_);
  CreateDatabase(builder, database_);
  const auto size = static_cast<off_t>(fs::file_size(File("data.mdb")));
  ASSERT_GT(size, 8 * 4096);
  const std::string copy = (folder_ / "cut.db").string();
  for (const off_t cut : {off_t{0}, off_t{100}, off_t{4096}, off_t{8192}, off_t{12288}, size / 2, size - 4096,
                          size - 1}) {
    SCOPED_TRACE(fmt::format("cut at {} of {}", cut, size));
    fs::remove_all(copy);
    fs::copy(database_, copy);
    fs::remove(fs::path(copy) / "lock.mdb");
    ASSERT_EQ(::truncate((fs::path(copy) / "data.mdb").c_str(), cut), 0);
    EXPECT_EQ(OpenCutCopy(copy), "corrupted");
    EXPECT_EQ(fs::file_size(fs::path(copy) / "data.mdb"), static_cast<std::uintmax_t>(cut)) << "left as it was";
  }
  fs::remove_all(copy);
  fs::copy(database_, copy);
  EXPECT_EQ(OpenCutCopy(copy), "clean") << "the whole file opens";
}

// A tmpfs of its own, when the test may mount one.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const fs::path& where, const char* size) : path_(where) {
    fs::create_directory(path_);
    mounted_ = ::geteuid() == 0 && ::mount("tmpfs", path_.c_str(), "tmpfs", 0, size) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  // Fills what is left with one file.
  void Fill() const {
    const UniqueFdForTest fd(::open((path_ / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600));
    const std::string block(4096, 'x');
    while (::write(fd.fd, block.data(), block.size()) > 0) {
    }
  }

 private:
  struct UniqueFdForTest {
    explicit UniqueFdForTest(int f) : fd(f) {}
    ~UniqueFdForTest() { ::close(fd); }
    int fd;
  };
  fs::path path_;
  bool mounted_ = false;
};

TEST_F(HostileOpenTest, AnIoErrorWithRoomOnTheDiskStaysAnIoError) {
  Open(database_);
  SetTlsData("VNT", "vntsystem");
  InjectStorageFault(StorageOp::kCommit, EIO);
  const ERRBLOCK error = WriteDouble(Id("TAG1"), Tag("VALUE"), 3);
  EXPECT_EQ(error.ERRCODE, kErrIo);
  EXPECT_EQ(*CurrentText("TAG1", "VALUE"), "12.5") << "nothing was written";
}

TEST_F(HostileOpenTest, AFullDiskAnswersDatabaseIsFull) {
  SmallFileSystem disk(folder_ / "small", "size=2m");
  if (!disk.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root (CAP_SYS_ADMIN)";
  const std::string database = (folder_ / "small" / "plant.db").string();
  CreateDatabase(PlantBuilder(), database);
  Open(database);
  disk.Fill();
  SetTlsData("VNT", "vntsystem");
  ERRBLOCK error{};
  for (int i = 0; i < 10000 && error.ERRCODE == 0; ++i) {
    error = WriteText(Id("TAG1"), Tag("DESCRIPTION"), std::string(40, static_cast<char>('a' + i % 26)));
  }
  EXPECT_EQ(error.ERRCODE, kErrDatabaseFull) << Message(error);
  EXPECT_EQ(*CurrentText("TAG1", "UNITS"), "degC") << "what was there is still read";
  // A short write there comes back from LMDB as EIO: the disk is full.
  InjectStorageFault(StorageOp::kCommit, EIO);
  error = WriteDouble(Id("TAG1"), Tag("VALUE"), 3);
  EXPECT_EQ(error.ERRCODE, kErrDatabaseFull);
  EXPECT_EQ(error.ERRDETAIL, ENOSPC);
  Reset();
  // A lock table that cannot be allocated refuses the open with the same reason.
  fs::remove(fs::path(database) / "lock.mdb");
  disk.Fill();  // the blocks lock.mdb gave back
  const std::string refusal = OpenError(database);
  EXPECT_NE(refusal.find("database is full (-26)"), std::string::npos) << refusal;
  EXPECT_FALSE(fs::exists(fs::path(database) / "lock.mdb")) << "no sparse lock file is left";
}

// Takes an open-file-description lock on one byte of file, as another
// process could (OFD locks of two descriptions conflict within a process).
class ForeignLock {
 public:
  ForeignLock(const fs::path& file, short type, off_t byte) : fd_(::open(file.c_str(), O_RDONLY)) {
    if (type == F_WRLCK) {
      ::close(fd_);
      fd_ = ::open(file.c_str(), O_RDWR);
    }
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    held_ = ::fcntl(fd_, F_OFD_SETLK, &lock) == 0;
  }
  ~ForeignLock() { ::close(fd_); }
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

TEST_F(HostileOpenTest, LocksOfTheSignalsPageAreNeverWaitedForWithoutEnd) {
  const auto started = std::chrono::steady_clock::now();
  {
    // A process that may only read the page cannot keep writers from attaching.
    const ForeignLock reader(File("signals"), F_RDLCK, 1);
    ASSERT_TRUE(reader.held());
    EXPECT_EQ(OpenError(database_, {.lockTimeout = std::chrono::milliseconds(300)}), "");
    Reset();
  }
  {
    // An attach that never ends: the next one gives up and says why.
    const ForeignLock attaching(File("signals"), F_WRLCK, 1);
    ASSERT_TRUE(attaching.held());
    EXPECT_NE(OpenError(database_, {.lockTimeout = std::chrono::milliseconds(300)}).find("attaching"),
              std::string::npos);
    ::setenv("DORVIK_DATABASE", database_.c_str(), 1);
    ::setenv("DORVIK_LOCK_TIMEOUT", "0.3", 1);
    EXPECT_EQ(INIDORV(), 0);
    EXPECT_NE(LastOpenError().find("has been attaching to the database for more than 1 s"), std::string::npos)
        << LastOpenError();
    ::unsetenv("DORVIK_LOCK_TIMEOUT");
    ::unsetenv("DORVIK_DATABASE");
  }
  {
    // A write lock held elsewhere: writes fail after the time-out, reads go on.
    Open(database_, {.lockTimeout = std::chrono::milliseconds(300)});
    const ForeignLock writer(File("signals"), F_RDLCK, 3);
    ASSERT_TRUE(writer.held());
    SetTlsData("VNT", "vntsystem");
    const ERRBLOCK refused = WriteDouble(Id("TAG1"), Tag("VALUE"), 1);
    EXPECT_EQ(refused.ERRCODE, kErrLocked);
    EXPECT_EQ(Message(refused).rfind("MWDBVALS: write lock held by process", 0), 0u) << Message(refused);
    EXPECT_EQ(*CurrentText("TAG1", "VALUE"), "12.5");
  }
  SetTlsData("VNT", "vntsystem");
  EXPECT_EQ(WriteDouble(Id("TAG1"), Tag("VALUE"), 2).ERRCODE, 0) << "the lock gone, writes go on";
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST_F(HostileOpenTest, AReadOnlyProcessMapsThePageReadOnlyAndCannotShutTheDatabaseDown) {
  Open(database_, {.readOnly = true});
  EXPECT_THROW(Shutdown(3), DatabaseError);
  Reset();
  Open(database_);
  EXPECT_FALSE(IsShuttingDown());
}

}  // namespace
}  // namespace dorvik::testing
