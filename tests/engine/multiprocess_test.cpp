// One database, several processes: writes of two processes at once, a
// writer killed at random points and at named ones, a write waking a task
// waiting in another process, a shutdown reaching another process, and a
// process that may only read. The other processes are store_peer, started
// with exec (LMDB handles never cross a fork).
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine_test_support.h"
#include "tests/support/child_process.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;

// A store_peer process and the lines it reports.
class Peer : public vantrel::testing::ChildProcess {
 public:
  explicit Peer(std::vector<std::string> arguments) : ChildProcess(STORE_PEER_PATH, std::move(arguments)) {}
};

class MultiProcessTest : public EngineTest {
 protected:
  void SetUp() override {
    Reset();
    CreateDatabase(PlantBuilder(), database_);
    Open(database_);
  }

  // The VALUE history of a record, in time order.
  static std::vector<double> History(const std::string& record) {
    std::vector<double> values(5000);
    std::vector<XUSTS> times(values.size());
    std::vector<int16_t> levels(values.size());
    void* const buffers[] = {values.data()};
    const int32_t tag = Tag("VALUE");
    const int16_t type = dorvik::api::kTypeDouble;
    const XUSTS from{0, 0}, to{INT32_MAX, 0};
    int32_t returned = 0;
    int16_t fieldsDone = 0;
    ERRBLOCK error{};
    RHIS21DATA(4, 0, 0, Id(record), tag + 1, &from, &to, 1, &tag, &type, static_cast<int32_t>(values.size()),
               levels.data(), times.data(), buffers, &returned, &fieldsDone, &error);
    values.resize(static_cast<std::size_t>(std::max(returned, 0)));
    return values;
  }

  // Values 1..n, as a writer that counts up leaves them (after the five of the plant's TAG1).
  static std::vector<double> CountedUp(std::size_t n) {
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<double>(i + 1);
    return values;
  }

  TemporaryFolder folder_;
  const std::string database_ = (folder_ / "plant.db").string();
};

TEST_F(MultiProcessTest, TwoProcessesWritingAtOnceLoseNoWrite) {
  Peer first({"write", database_, "TAG2", "1000"});
  Peer second({"write", database_, "OFFLINE", "1000"});
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(second.Wait(), 0);
  EXPECT_EQ(History("TAG2"), CountedUp(1000));
  EXPECT_EQ(History("OFFLINE"), CountedUp(1000));
  EXPECT_EQ(*CurrentText("TAG2", "VALUE"), "1000") << "this process reads the others' writes at once";
  const CheckReport report = CheckDatabase();
  EXPECT_TRUE(report.ok()) << report.faults.front();
}

TEST_F(MultiProcessTest, AKilledWriterLosesNoAcknowledgedWrite) {
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 4; ++round) {
    Reset();
    fs::remove_all(database_);
    CreateDatabase(PlantBuilder(), database_);
    Peer writer({"write-forever", database_, "TAG2"});
    // Let it run for a random number of acknowledged writes, then kill it.
    const int stopAfter = std::uniform_int_distribution<int>(1, 300)(random);
    long acknowledged = 0;
    for (std::string line = writer.ReadLine(); line.rfind("wrote ", 0) == 0; line = writer.ReadLine()) {
      acknowledged = std::stol(line.substr(6));
      if (acknowledged >= stopAfter) break;
    }
    writer.Kill();
    ASSERT_EQ(writer.Wait(), 128 + SIGKILL);
    ASSERT_GE(acknowledged, stopAfter);
    // Reports it made before it died are still in the pipe.
    for (std::string line = writer.ReadLine(std::chrono::seconds(1)); line.rfind("wrote ", 0) == 0;
         line = writer.ReadLine(std::chrono::seconds(1))) {
      acknowledged = std::stol(line.substr(6));
    }
    Open(database_);
    const std::vector<double> history = History("TAG2");
    // Every acknowledged write is there; the one in flight may be too.
    ASSERT_GE(history.size(), static_cast<std::size_t>(acknowledged)) << "round " << round;
    ASSERT_LE(history.size(), static_cast<std::size_t>(acknowledged) + 1);
    EXPECT_EQ(history, CountedUp(history.size()));
    const CheckReport report = CheckDatabase();
    EXPECT_TRUE(report.ok()) << report.faults.front();
  }
}

TEST_F(MultiProcessTest, AWriteIsWhollyThereOrWhollyAbsentAtANamedKill) {
  // Killed before its commit: the fifth write is absent; after it: present.
  for (const auto& [point, kept] : {std::pair{"MWDBVALS:committing", 4u}, std::pair{"MWDBVALS:committed", 5u}}) {
    Reset();
    fs::remove_all(database_);
    CreateDatabase(PlantBuilder(), database_);
    Peer writer({"kill-at", database_, "TAG2", point, "5"});
    EXPECT_EQ(writer.Wait(), 128 + SIGKILL) << point;
    Open(database_);
    EXPECT_EQ(History("TAG2"), CountedUp(kept)) << point;
    EXPECT_TRUE(CheckDatabase().ok());
  }
}

TEST_F(MultiProcessTest, AWriteHereWakesATaskWaitingInAnotherProcess) {
  Peer task({"wait-task", database_, "VN_Task1"});
  ASSERT_EQ(task.ReadLine(), "waiting");
  SetTlsData("DOM", "writer");
  ASSERT_EQ(WriteDouble(Id("TAG1"), Tag("SETPOINT"), 4).ERRCODE, 0);
  EXPECT_EQ(task.ReadLine(), fmt::format("activated {} {}", Id("TAG1"), Tag("SETPOINT")));
  EXPECT_EQ(task.Wait(), 0);
  EXPECT_EQ(PendingActivations("VN_Task1"), 0) << "the other process took it";
}

TEST_F(MultiProcessTest, AShutdownHereReachesTheCallbacksOfAnotherProcess) {
  Peer listener({"wait-shutdown", database_});
  ASSERT_EQ(listener.ReadLine(), "ready");
  Shutdown(17);
  EXPECT_EQ(listener.ReadLine(), "shutdown 17");
  EXPECT_EQ(listener.Wait(), 0);
  EXPECT_EQ(INIDORV(), 0) << "refused while the database shuts down";
  EXPECT_NE(LastOpenError().find("the database is shutting down"), std::string::npos) << "and says why";
  Restart();
}

TEST_F(MultiProcessTest, AProcessEndsWhileAThreadWaitsAndTheWatcherSleeps) {
  Peer task({"exit-waiting", database_, "VN_Task1"});
  EXPECT_EQ(task.ReadLine(), "exiting");
  EXPECT_EQ(task.Wait(std::chrono::seconds(30)), 0) << "exit does not wait for a sleeping thread";
}

TEST_F(MultiProcessTest, AUserWhoMayOnlyReadOpensTheDatabaseReadOnly) {
  SetTlsData("VNT", "vntsystem");
  ASSERT_EQ(WriteDouble(Id("TAG1"), Tag("VALUE"), 42.5).ERRCODE, 0);
  Reset();
  // The data file is not the user's to write; the lock file and the signals are.
  ::chmod(folder_.path().c_str(), 0755);
  ::chmod(database_.c_str(), 0755);
  ::chmod((fs::path(database_) / "data.mdb").c_str(), 0444);
  ::chmod((fs::path(database_) / "lock.mdb").c_str(), 0666);
  ::chmod((fs::path(database_) / "signals").c_str(), 0666);
  Peer reader({"read-only", database_, "TAG1"});
  EXPECT_EQ(reader.ReadLine(), "read-only");
  EXPECT_EQ(reader.ReadLine(), "read 42.500000");
  EXPECT_EQ(reader.ReadLine(), fmt::format("write {}", dorvik::kErrReadOnly));
  EXPECT_EQ(reader.Wait(), 0);
  // Asked for, a read-only database refuses writes with the same code and message.
  Open(database_, {.readOnly = true});
  EXPECT_TRUE(IsReadOnly());
  SetTlsData("VNT", "vntsystem");
  const ERRBLOCK refused = WriteDouble(Id("TAG1"), Tag("VALUE"), 1);
  EXPECT_EQ(refused.ERRCODE, dorvik::kErrReadOnly);
  EXPECT_EQ(Message(refused), "MWDBVALS: database is read-only");
  EXPECT_EQ(*CurrentText("TAG1", "VALUE"), "42.5");
  EXPECT_THROW(SetEnvironment("X", "1"), DatabaseError);
}

// Four processes creating 250 records each as a client does: NXTFREE hands
// an id to one of them only, so no CREATERECORD finds its id taken.
TEST_F(MultiProcessTest, ConcurrentCreatorsNeverCollide) {
  constexpr int kCreators = 4;
  const int64_t before = CheckDatabase().records;
  std::vector<std::unique_ptr<Peer>> creators;
  for (int i = 0; i < kCreators; ++i) {
    creators.push_back(std::make_unique<Peer>(std::vector<std::string>{"create", database_, fmt::format("P{}_", i),
                                                                       "250"}));
  }
  for (auto& creator : creators) {
    EXPECT_EQ(creator->ReadLine(std::chrono::seconds(120)), "created 250 refused 0");
    EXPECT_EQ(creator->Wait(), 0);
  }
  for (int i = 0; i < kCreators; ++i) EXPECT_GT(Id(fmt::format("P{}_250", i)), 0);
  const CheckReport report = CheckDatabase();
  EXPECT_EQ(report.records, before + kCreators * 250);
  EXPECT_TRUE(report.ok()) << report.faults.front();
}

// The threads of one process are callers of their own: each NXTFREE hands
// its thread an id no other thread is handed.
TEST_F(MultiProcessTest, ThreadsCreatingAtOnceNeverCollide) {
  const int32_t definition = Id("VN_AnalogDef");
  std::atomic<int> refused{0};
  std::vector<std::thread> creators;
  for (int t = 0; t < 4; ++t) {
    creators.emplace_back([&, t] {
      SetTlsData("VNT", "vntsystem");
      for (int i = 1; i <= 50; ++i) {
        int32_t id = 0;
        NXTFREE(1, &id);
        const std::string name = fmt::format("T{}_{}", t, i);
        ERRBLOCK error{};
        CREATERECORD(id, definition, 0, 0, name.data(), static_cast<int16_t>(name.size()), &error);
        if (error.ERRCODE != 0) ++refused;
      }
    });
  }
  for (std::thread& creator : creators) creator.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_GT(Id("T3_50"), 0);
}

// An id NXTFREE handed out is skipped by other callers while its process
// lives, and free again once it is gone; an explicit CREATERECORD of it is
// refused meanwhile, and the holder's own is not.
TEST_F(MultiProcessTest, AnIdHandedOutBelongsToItsCallerUntilItsProcessEnds) {
  auto holder = std::make_unique<Peer>(std::vector<std::string>{"reserve", database_});
  const std::string line = holder->ReadLine();
  ASSERT_EQ(line.rfind("reserved ", 0), 0u) << line;
  const int32_t reserved = std::stoi(line.substr(9));
  ASSERT_GT(reserved, 0);
  SetTlsData("VNT", "vntsystem");
  int32_t mine = 0;
  NXTFREE(1, &mine);
  EXPECT_NE(mine, reserved);
  int32_t again = 0;
  NXTFREE(1, &again);
  EXPECT_EQ(again, mine) << "a caller asking again before it creates keeps its id";
  const int32_t definition = Id("VN_AnalogDef");
  ERRBLOCK error{};
  CREATERECORD(reserved, definition, 0, 0, "TAKEN", 5, &error);
  EXPECT_EQ(error.ERRCODE, kErrIdInUse) << "another live caller holds it";
  holder.reset();  // SIGKILL: its reservation ends with it
  int32_t freed = 0;
  std::thread([&] { NXTFREE(1, &freed); }).join();
  EXPECT_EQ(freed, reserved) << "the dead caller's id is free again (it was the lowest)";
  CREATERECORD(mine, definition, 0, 0, "MINE", 4, &error);
  EXPECT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(Id("MINE"), mine);
}

TEST_F(MultiProcessTest, AWriterStoppedHoldingTheLockMakesWritesFailNamingItWhileReadsGoOn) {
  Peer holder({"hold-write", database_, "TAG2"});
  const std::string line = holder.ReadLine();
  ASSERT_EQ(line.rfind("holding ", 0), 0u) << line;
  const pid_t pid = std::stoi(line.substr(8));
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);  // as a debugger would
  for (const bool fromEnvironment : {false, true}) {
    SCOPED_TRACE(fromEnvironment ? "DORVIK_LOCK_TIMEOUT" : "OpenOptions::lockTimeout");
    if (fromEnvironment) {
      ::setenv("DORVIK_LOCK_TIMEOUT", "0.3", 1);
      Open(database_);
      ::unsetenv("DORVIK_LOCK_TIMEOUT");
    } else {
      Open(database_, {.lockTimeout = std::chrono::milliseconds(300)});
    }
    SetTlsData("VNT", "vntsystem");
    const auto started = std::chrono::steady_clock::now();
    const ERRBLOCK refused = WriteDouble(Id("TAG1"), Tag("VALUE"), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(refused.ERRCODE, dorvik::kErrLocked);
    EXPECT_EQ(refused.ERRDETAIL, pid);
    EXPECT_EQ(Message(refused), fmt::format("MWDBVALS: write lock held by process {}", pid));
    EXPECT_EQ(*CurrentText("TAG1", "VALUE"), "12.5") << "reads go on";
    try {
      SetEnvironment("X", "1");
      ADD_FAILURE() << "a change through the control interface waits as long";
    } catch (const std::exception& error) {
      EXPECT_NE(std::string(error.what()).find(fmt::format("by process {}", pid)), std::string::npos) << error.what();
    }
  }
  holder.Kill();
  holder.Wait();
  SetTlsData("VNT", "vntsystem");
  EXPECT_EQ(WriteDouble(Id("TAG1"), Tag("VALUE"), 2).ERRCODE, 0) << "the holder gone, the lock is free";
  EXPECT_TRUE(CheckDatabase().ok());
}

TEST_F(MultiProcessTest, FilesDeletedOrReplacedWhileAttachedAreNotMadeAgainBesideTheOnesInUse) {
  const fs::path folder(database_);
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"lock.mdb is missing", [&] { fs::remove(folder / "lock.mdb"); }},
      {"signals is missing", [&] { fs::remove(folder / "signals"); }},
      {"signals was replaced",
       [&] {
         fs::copy_file(folder / "signals", folder / "signals.new");
         fs::rename(folder / "signals.new", folder / "signals");
       }},
  };
  for (const auto& [reason, tamper] : cases) {
    SCOPED_TRACE(reason);
    Reset();
    fs::remove_all(database_);
    CreateDatabase(PlantBuilder(), database_);
    Open(database_);
    tamper();
    Peer late({"write", database_, "TAG2", "1"});
    const std::string line = late.ReadLine();
    EXPECT_NE(line.find(reason), std::string::npos) << line;
    EXPECT_NE(line.find(fmt::format("process {}", ::getpid())), std::string::npos) << line;
    EXPECT_EQ(late.Wait(), 6);
    SetTlsData("VNT", "vntsystem");
    EXPECT_EQ(WriteDouble(Id("TAG1"), Tag("VALUE"), 3).ERRCODE, 0) << "the attached go on";
    EXPECT_EQ(History("TAG2"), std::vector<double>{}) << "the late writer wrote nothing";
  }
  EXPECT_FALSE(fs::exists(folder / "signals.new"));
}

TEST_F(MultiProcessTest, AMemberOfTheDatabasesGroupReadsItAndOthersCannot) {
  if (::geteuid() != 0) GTEST_SKIP() << "playing a member of a group needs root (setuid)";
  const struct group* daemon = ::getgrnam("daemon");
  if (daemon == nullptr) GTEST_SKIP() << "no group named daemon";
  const gid_t group = daemon->gr_gid;
  Reset();
  fs::remove_all(database_);
  CreateDatabase(PlantBuilder(), database_, {.group = "daemon"});
  Open(database_);
  SetTlsData("VNT", "vntsystem");
  ASSERT_EQ(WriteDouble(Id("TAG1"), Tag("VALUE"), 42.5).ERRCODE, 0);
  ::chmod(folder_.path().c_str(), 0755);
  Peer member({"read-group", database_, "TAG1", std::to_string(group)});
  EXPECT_EQ(member.ReadLine(), "read-only");
  EXPECT_EQ(member.ReadLine(), "read 42.500000");
  EXPECT_EQ(member.ReadLine(), fmt::format("write {}", dorvik::kErrReadOnly));
  EXPECT_EQ(member.Wait(), 0);
  Peer stranger({"read-only", database_, "TAG1"});
  EXPECT_NE(stranger.ReadLine().find("Permission denied"), std::string::npos);
  EXPECT_EQ(stranger.Wait(), 6);
}

TEST_F(MultiProcessTest, ADatabaseNobodyCanWriteIsReadWithoutALockTableOnceNoWriterHasIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "playing a user who may write nothing needs root (setuid)";
  SetTlsData("VNT", "vntsystem");
  ASSERT_EQ(WriteDouble(Id("TAG1"), Tag("VALUE"), 42.5).ERRCODE, 0);
  const fs::path folder(database_);
  ::chmod(folder_.path().c_str(), 0755);
  ::chmod(database_.c_str(), 0555);
  for (const char* name : {"data.mdb", "lock.mdb", "signals"}) ::chmod((folder / name).c_str(), 0444);
  {
    Peer beside({"read-only", database_, "TAG1"});
    const std::string line = beside.ReadLine();
    // Not named: a user who may read nothing here may not look into root's processes either.
    EXPECT_NE(line.find("has the database open to write"), std::string::npos) << line;
    EXPECT_EQ(beside.Wait(), 6);
  }
  Reset();  // the writer leaves
  const std::string lockBefore = FileText(folder / "lock.mdb");
  Peer reader({"read-only-stay", database_, "TAG1"});
  EXPECT_EQ(reader.ReadLine(), "read-only");
  EXPECT_EQ(reader.ReadLine(), "read 42.500000");
  EXPECT_EQ(reader.ReadLine(), fmt::format("write {}", dorvik::kErrReadOnly));
  EXPECT_TRUE(FileText(folder / "lock.mdb") == lockBefore) << "the lock table was not touched";
  // While it reads without a lock table, no writer may come (root may write anything).
  try {
    Open(database_);
    ADD_FAILURE() << "a writer opened beside a reader without a lock table";
  } catch (const DatabaseError& error) {
    EXPECT_NE(std::string(error.what()).find("reads the database without a lock table"), std::string::npos)
        << error.what();
  }
  Open(database_, {.readOnly = true});
  EXPECT_EQ(*CurrentText("TAG1", "VALUE"), "42.5") << "a reader with a lock table may";
  ::chmod(database_.c_str(), 0700);
}

// --- The catalog cache across processes ----------------------------------------------

// A record created, made usable or unusable in another process is answered
// by the next catalog call here, although this process had cached what it
// asked before (absent ids and names included).
TEST_F(MultiProcessTest, ACatalogChangeInAnotherProcessIsSeenByTheNextCallHere) {
  const int32_t analog = Id("VN_AnalogDef"), offline = Id("OFFLINE");
  EXPECT_EQ(DEFINID(7100), 0);
  EXPECT_EQ(RECTYPEOK(7100, -3), 0);
  EXPECT_EQ(Id("REMOTE"), 0);
  EXPECT_EQ(DEFINID(offline), analog);
  const uint32_t before = CatalogCacheInfo().generation;
  Peer creator({"create-named", database_, "REMOTE", "7100"});
  EXPECT_EQ(creator.ReadLine(), "created 0");
  EXPECT_EQ(creator.Wait(), 0);
  EXPECT_EQ(CatalogCacheInfo().generation, before + 2);
  EXPECT_EQ(DEFINID(7100), analog);
  EXPECT_EQ(RECTYPEOK(7100, -3), 1);
  EXPECT_EQ(Id("remote"), 7100);
  EXPECT_EQ(VALIDUSA(offline), 0);
  Peer enabler({"usable", database_, "OFFLINE", "1"});
  EXPECT_EQ(enabler.ReadLine(), "usable 0");
  EXPECT_EQ(enabler.Wait(), 0);
  EXPECT_EQ(VALIDUSA(offline), 1);
  EXPECT_EQ(CatalogCacheInfo().generation, before + 4);
  EXPECT_EQ(DEFINID(offline), analog);
}

// A writer killed after its commit but before the generation moved on
// leaves the word odd: nothing cached before is served, nothing read now
// is kept, until a change of the catalog completes.
TEST_F(MultiProcessTest, AWriterKilledBetweenItsCommitAndTheGenerationsEndLeavesNothingStale) {
  const int32_t analog = Id("VN_AnalogDef");
  EXPECT_EQ(DEFINID(7200), 0);
  EXPECT_EQ(Id("HALF"), 0);
  Peer writer({"kill-creating", database_, "catalog:committed", "HALF", "7200"});
  EXPECT_EQ(writer.Wait(), 128 + SIGKILL);
  EXPECT_EQ(CatalogCacheInfo().generation % 2, 1u);
  for (int again = 0; again < 2; ++again) {
    EXPECT_EQ(DEFINID(7200), analog) << again;
    EXPECT_EQ(Id("HALF"), 7200) << again;
  }
  // The next change here completes the generation, and the cache works again.
  SetTlsData("VNT", "vntsystem");
  ERRBLOCK error{};
  CREATERECORD(7201, analog, 0, 0, "WHOLE", 5, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(CatalogCacheInfo().generation % 2, 0u);
  EXPECT_EQ(DEFINID(7200), analog);
  EXPECT_EQ(Id("WHOLE"), 7201);
  EXPECT_GT(CatalogCacheInfo().records, 0u);
  EXPECT_TRUE(CheckDatabase().ok());
}

// Readers of this process ask the catalog while a thread here and another
// process create records: once a creation returned, every later call of a
// reader answers it in full, never a half or an old answer (the thread
// sanitizer runs this one too).
TEST_F(MultiProcessTest, ReadersFollowCatalogChangesMadeWhileTheyRead) {
  constexpr int kLocal = 150;
  const int32_t analog = Id("VN_AnalogDef");
  std::atomic<int> created{0};  // local records whose CREATERECORD returned
  std::atomic<bool> writing{true};
  std::atomic<int> wrong{0};
  Peer remote({"create", database_, "R", "150"});
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      std::mt19937 random(static_cast<unsigned>(r));
      while (writing.load()) {
        const int known = created.load();
        if (known == 0) continue;
        const int i = std::uniform_int_distribution<int>(1, known)(random);
        const std::string name = fmt::format("L{}", i);
        const int32_t id = 8000 + i;
        char stored[dorvik::api::kNameBufferSize] = {};
        int16_t length = 0;
        int32_t asked = id;
        GETNAMDB_LNAME(&asked, stored, &length);
        if (Id(name) != id || DEFINID(id) != analog || RECTYPEOK(id, -3) != 1 ||
            std::string_view(stored, static_cast<std::size_t>(length)) != name) {
          ++wrong;
        }
        (void)Id(fmt::format("R{}", i));  // names the other process is creating: cached as absent, then not
      }
    });
  }
  std::thread writer([&] {
    SetTlsData("VNT", "vntsystem");
    for (int i = 1; i <= kLocal; ++i) {
      const std::string name = fmt::format("L{}", i);
      ERRBLOCK error{};
      CREATERECORD(8000 + i, analog, 0, 0, name.data(), static_cast<int16_t>(name.size()), &error);
      if (error.ERRCODE != 0) break;
      created.store(i);
      if (i % 10 == 0) {
        MAKUSABL(8000 + i, &error);  // usable flags move the generation too
      }
    }
  });
  writer.join();
  EXPECT_EQ(remote.ReadLine(std::chrono::seconds(120)), "created 150 refused 0");
  EXPECT_EQ(remote.Wait(), 0);
  writing.store(false);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(created.load(), kLocal);
  EXPECT_EQ(wrong.load(), 0);
  for (int i = 1; i <= 150; ++i) ASSERT_GT(Id(fmt::format("R{}", i)), 0) << i;
  EXPECT_EQ(VALIDUSA(8010), 1);
}

}  // namespace
}  // namespace dorvik::testing
