// Group commit: write calls of several threads that share one commit. The
// sync points make the sharing certain: the thread that leads a commit takes
// the queued calls only once "write:queued:N" says N calls wait, so the N
// calls of a test land in one transaction. Also runs under the thread
// sanitizer (label concurrency).
#include <lmdb.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <string>
#include <functional>
#include <set>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/group_commit.h"
#include "engine_test_support.h"
#include "tests/support/child_process.h"

namespace dorvik::testing {
namespace {

// What a call reported: its error blocks' codes and messages, and its count.
struct Report {
  std::vector<int16_t> codes;
  std::vector<std::string> messages;
  int16_t done = 0;
  bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Report& report) {
  out << "done " << report.done << ":";
  for (std::size_t i = 0; i < report.codes.size(); ++i) {
    out << " [" << report.codes[i] << " " << report.messages[i] << "]";
  }
  return out;
}

class GroupCommitTest : public EngineTest {
 protected:
  void TearDown() override {
    ClearSyncPoints();
    ClearFaults();
    EngineTest::TearDown();
  }

  // Runs the calls in one commit, each as user DOM\writer unless the call
  // sets another: the last on this thread, the others on threads of their own.
  static void InOneCommit(const std::vector<std::function<void()>>& calls) {
    OrderSyncPoints({{fmt::format("write:queued:{}", calls.size()), "group:collecting"}});
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
      threads.emplace_back([&call = calls[i]] {
        SetTlsData("DOM", "writer");
        call();
      });
    }
    SetTlsData("DOM", "writer");
    calls.back()();
    for (std::thread& thread : threads) thread.join();
    ClearSyncPoints();
  }

  static Report Reported(const std::vector<ERRBLOCK>& errors, int16_t done) {
    Report report;
    for (const ERRBLOCK& error : errors) {
      report.codes.push_back(error.ERRCODE);
      report.messages.push_back(Message(error));
    }
    report.done = done;
    return report;
  }

  // MWDBVALS of doubles into (record, VALUE) items.
  static Report WriteDoubles(const std::vector<int32_t>& records, double value) {
    std::vector<IDANDFT> items;
    for (int32_t record : records) items.push_back(IDANDFT{record, Tag("VALUE")});
    const std::vector<int16_t> types(items.size(), dorvik::api::kTypeDouble);
    const std::vector<double> values(items.size(), value);
    std::vector<ERRBLOCK> errors(items.size());
    int16_t done = -1;
    MWDBVALS(static_cast<int16_t>(items.size()), items.data(), types.data(), values.data(), &done, errors.data());
    return Reported(errors, done);
  }

  static Report MakeUsable(int32_t record) {
    std::vector<ERRBLOCK> errors(1);
    MAKUSABL(record, errors.data());
    return Reported(errors, 0);
  }

  static Report Create(const std::string& name, int32_t id) {
    std::vector<ERRBLOCK> errors(1);
    CREATERECORD(id, Id("VN_AnalogDef"), 0, 0, name.data(), static_cast<int16_t>(name.size()), errors.data());
    return Reported(errors, 0);
  }

  // Every item of a value write was written.
  static bool Succeeded(const Report& report) {
    return std::all_of(report.codes.begin(), report.codes.end(), [](int16_t code) { return code == 0; }) &&
           report.done == static_cast<int16_t>(report.codes.size());
  }

  static std::string Value(std::string_view record) { return CurrentText(record, "VALUE").value_or("?"); }
};

TEST_F(GroupCommitTest, AFailedCommitFailsEveryCallInItAndWritesNoneOfThem) {
  SetTlsData("DOM", "writer");
  // The report of a failed commit, as a call alone gets it.
  InjectStorageFault(StorageOp::kCommit, EIO);
  const Report alone = WriteDoubles({Id("TAG1")}, 1);
  ASSERT_NE(alone.codes[0], 0);
  ASSERT_EQ(alone.done, 0);
  const std::string tag1 = Value("TAG1"), tag2 = Value("TAG2");

  // One failed commit of three calls: each reports it as that call would alone.
  InjectStorageFault(StorageOp::kCommit, EIO);
  const int32_t newId = Id("TAG2") + 1000;
  Report first, second, created;
  InOneCommit({[&] { first = WriteDoubles({Id("TAG1")}, 2); }, [&] { second = WriteDoubles({Id("TAG2")}, 3); },
               [&] { created = Create("GROUPED", newId); }});
  EXPECT_EQ(first, alone);
  EXPECT_EQ(second, alone);
  EXPECT_EQ(created.codes[0], alone.codes[0]);
  EXPECT_EQ(Value("TAG1"), tag1);
  EXPECT_EQ(Value("TAG2"), tag2);
  EXPECT_EQ(Id("GROUPED"), 0) << "the record of a failed commit is not there";

  // The fault is spent: the next commit of the same calls keeps them all.
  InOneCommit({[&] { first = WriteDoubles({Id("TAG1")}, 2); }, [&] { second = WriteDoubles({Id("TAG2")}, 3); },
               [&] { created = Create("GROUPED", newId); }});
  EXPECT_EQ(first.codes[0], 0);
  EXPECT_EQ(first.done, 1);
  EXPECT_EQ(second.done, 1);
  EXPECT_EQ(created.codes[0], 0);
  EXPECT_EQ(Value("TAG1"), "2");
  EXPECT_EQ(Value("TAG2"), "3");
  EXPECT_EQ(Id("GROUPED"), newId);
  EXPECT_TRUE(CheckDatabase().ok());
}

TEST_F(GroupCommitTest, ACommitThatFailsWhileTheNextGathersFailsOnlyItsOwnCalls) {
  // The first commit holds the writer gate until the next call leads a
  // commit behind it and a third call has joined that one; then the first
  // commit fails. The next commit starts from what was stored before.
  SetTlsData("DOM", "writer");
  const int32_t tag1 = Id("TAG1"), tag2 = Id("TAG2"), offline = Id("OFFLINE");
  const std::string before = Value("TAG1");
  InjectStorageFault(StorageOp::kCommit, EIO);
  OrderSyncPoints({{"group:taken", "test:next-call"},
                   {"group:behind-commit", "test:third-call"},
                   {"group:behind-commit", "write:locked"},
                   {"write:queued:2", "write:locked"}});
  Report failed, next, third;
  std::thread nextThread([&] {
    SetTlsData("DOM", "writer");
    SyncPoint("test:next-call");
    next = WriteDoubles({tag2}, 3);
  });
  std::thread thirdThread([&] {
    SetTlsData("DOM", "writer");
    SyncPoint("test:third-call");
    third = WriteDoubles({offline}, 4);
  });
  failed = WriteDoubles({tag1}, 2);
  nextThread.join();
  thirdThread.join();
  ClearSyncPoints();
  EXPECT_NE(failed.codes[0], 0);
  EXPECT_EQ(failed.done, 0);
  EXPECT_TRUE(Succeeded(next)) << next;
  EXPECT_TRUE(Succeeded(third)) << third;
  EXPECT_EQ(Value("TAG1"), before) << "nothing of the failed commit is stored";
  EXPECT_EQ(Value("TAG2"), "3");
  EXPECT_EQ(Value("OFFLINE"), "4");
  EXPECT_TRUE(CheckDatabase().ok());
}

TEST_F(GroupCommitTest, CallsBeyondOneCommitsBoundLeadTheNextCommit) {
  // More calls queue than one commit holds: the first kMaxGroupCalls share
  // a commit, the rest lead the next one instead of waiting for a leader.
  constexpr int kCalls = static_cast<int>(kMaxGroupCalls) + 6;
  const std::vector<int32_t> records{Id("TAG1"), Id("TAG2"), Id("OFFLINE")};
  std::vector<std::function<void()>> calls;
  std::vector<Report> reports(kCalls);
  for (int call = 0; call < kCalls; ++call) {
    calls.emplace_back([&, call] {
      reports[static_cast<std::size_t>(call)] = WriteDoubles({records[call % records.size()]}, 100 + call);
    });
  }
  InOneCommit(calls);
  for (const Report& report : reports) EXPECT_TRUE(Succeeded(report)) << report;
  // Each record holds the value of one of the calls that wrote it.
  for (std::size_t r = 0; r < records.size(); ++r) {
    const double value = std::stod(Value(r == 0 ? "TAG1" : r == 1 ? "TAG2" : "OFFLINE"));
    const int call = static_cast<int>(value) - 100;
    EXPECT_TRUE(call >= 0 && call < kCalls && static_cast<std::size_t>(call) % records.size() == r) << value;
  }
}

TEST_F(GroupCommitTest, AReturnedWriteIsSeenByEveryReadThatStartsAfterIt) {
  // Writers count up in records of their own while readers read them: a
  // read that starts after a write returned never shows an older value.
  const std::vector<std::string> records{"TAG1", "TAG2", "OFFLINE"};
  constexpr int kWrites = 60, kReaders = 2;
  std::vector<std::atomic<int>> returned(records.size());
  std::atomic<int> writersLeft{static_cast<int>(records.size())};
  std::atomic<int> stale{0}, failures{0};
  std::vector<std::thread> threads;
  for (std::size_t w = 0; w < records.size(); ++w) {
    threads.emplace_back([&, w] {
      SetTlsData("DOM", "writer");
      const int32_t record = Id(records[w]);
      for (int i = 1; i <= kWrites; ++i) {
        if (WriteDoubles({record}, 1000 + i).done != 1) failures.fetch_add(1);
        returned[w].store(1000 + i, std::memory_order_release);
      }
      writersLeft.fetch_sub(1);
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      SetTlsData("DOM", "writer");
      while (writersLeft.load() > 0) {
        for (std::size_t w = 0; w < records.size(); ++w) {
          const int seen = returned[w].load(std::memory_order_acquire);
          if (seen != 0 && std::stod(Value(records[w])) < seen) stale.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(stale.load(), 0);
  for (const std::string& record : records) EXPECT_EQ(Value(record), std::to_string(1000 + kWrites));
}

TEST_F(GroupCommitTest, ACallsOwnItemErrorsStayItsOwnInASharedCommit) {
  const int32_t tag1 = Id("TAG1"), tag2 = Id("TAG2"), missing = 999'999;
  // Alone: the partial write stops at the missing record; MAKUSABL of a
  // missing record fails; a write as a reader has no right.
  SetTlsData("DOM", "writer");
  const Report partialAlone = WriteDoubles({tag1, missing, tag2}, 5);
  const Report unusableAlone = MakeUsable(missing);
  SetTlsData("DOM", "reader");
  const Report refusedAlone = WriteDoubles({tag2}, 6);
  ASSERT_EQ(partialAlone.done, 1);
  ASSERT_NE(partialAlone.codes[1], 0);
  ASSERT_NE(unusableAlone.codes[0], 0);
  ASSERT_NE(refusedAlone.codes[0], 0);
  Reset();
  Install(PlantBuilder());

  // Together with a good write, in one commit: the same reports, and the
  // reader's call is judged by its own rights, not the leader's.
  Report partial, unusable, refused, good;
  InOneCommit({[&] { partial = WriteDoubles({tag1, missing, tag2}, 5); }, [&] { unusable = MakeUsable(missing); },
               [&] {
                 SetTlsData("DOM", "reader");
                 refused = WriteDoubles({tag2}, 6);
               },
               [&] { good = WriteDoubles({Id("OFFLINE")}, 7); }});
  EXPECT_EQ(partial, partialAlone);
  EXPECT_EQ(unusable, unusableAlone);
  EXPECT_EQ(refused, refusedAlone);
  EXPECT_EQ(good.done, 1);
  EXPECT_EQ(Value("TAG1"), "5") << "the items before the failed one are kept";
  EXPECT_NE(Value("TAG2"), "6");
  EXPECT_EQ(Value("OFFLINE"), "7");
}

TEST_F(GroupCommitTest, ACallThatFailsMidwayRollsBackOnlyItsOwnPart) {
  // A record created at the lowest free id has its entries written before
  // the free-id hint is searched with a cursor: a cursor that fails there
  // fails the call midway. Whichever call meets the fault reports it and
  // keeps nothing; the others commit.
  SetTlsData("DOM", "writer");
  int32_t lowestFree = 0;
  NXTFREE(1, &lowestFree);  // reserved for this thread, which creates it below
  ASSERT_NE(lowestFree, 0);
  const std::string units1 = *CurrentText("TAG1", "UNITS"), units2 = *CurrentText("TAG2", "UNITS");
  InjectStorageFault(StorageOp::kCursor, EIO);
  std::array<Report, 3> reports;
  InOneCommit({[&] { reports[0] = Reported({WriteText(Id("TAG1"), Tag("UNITS"), "AAAA")}, 0); },
               [&] { reports[1] = Reported({WriteText(Id("TAG2"), Tag("UNITS"), "BBBB")}, 0); },
               [&] { reports[2] = Create("MIDWAY", lowestFree); }});
  const std::array<bool, 3> stored{*CurrentText("TAG1", "UNITS") == "AAAA", *CurrentText("TAG2", "UNITS") == "BBBB",
                                   Id("MIDWAY") == lowestFree};
  int failed = 0;
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const bool ok = reports[i].codes[0] == 0;
    failed += ok ? 0 : 1;
    EXPECT_EQ(stored[i], ok) << "call " << i << " reported " << reports[i];
  }
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(*CurrentText("TAG1", "UNITS"), stored[0] ? "AAAA" : units1);
  EXPECT_EQ(*CurrentText("TAG2", "UNITS"), stored[1] ? "BBBB" : units2);
  const CheckReport report = CheckDatabase();
  EXPECT_TRUE(report.ok()) << report.faults.front();
}

TEST_F(GroupCommitTest, ReservedIdsStayTheirCallersWhenTheirCreationsShareCommits) {
  // NXTFREE reserves an id for the calling thread, and CREATERECORD of that
  // id is refused to every other thread: when another thread leads the
  // commit, the reservation must still be the caller's.
  constexpr int kThreads = 6, kRecords = 15;
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SetTlsData("DOM", "writer");
      for (int i = 0; i < kRecords; ++i) {
        int32_t id = 0;
        NXTFREE(1, &id);
        if (Create(fmt::format("T{}N{}", t, i), id).codes[0] != 0) refused.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(refused.load(), 0);
  std::set<int32_t> ids;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRecords; ++i) ids.insert(Id(fmt::format("T{}N{}", t, i)));
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kRecords));
  EXPECT_EQ(ids.count(0), 0u);
}

TEST_F(GroupCommitTest, AReturnedWriteIsInAFreshReadOfAnotherProcess) {
  TemporaryFolder folder;
  const std::string database = (folder / "plant.db").string();
  CreateDatabase(PlantBuilder(), database);
  Open(database);
  constexpr int kThreads = 8, kWrites = 40;
  const std::vector<std::string> records{"TAG1", "TAG2", "OFFLINE"};
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SetTlsData("VNT", "vntsystem");
      for (int i = 1; i <= kWrites; ++i) {
        // Each record's last write comes from the thread that writes it last.
        const std::string& record = records[static_cast<std::size_t>(t) % records.size()];
        if (WriteDoubles({Id(record)}, t * 1000 + i).done != 1) failures.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(failures.load(), 0);
  std::vector<std::string> arguments{"read", database};
  arguments.insert(arguments.end(), records.begin(), records.end());
  vantrel::testing::ChildProcess reader(STORE_PEER_PATH, arguments);
  for (const std::string& record : records) EXPECT_EQ(reader.ReadLine(), record + " " + Value(record));
  EXPECT_EQ(reader.Wait(), 0);
  // Each record holds the last write of one of the threads that wrote it.
  for (std::size_t r = 0; r < records.size(); ++r) {
    std::set<std::string> lastWrites;
    for (std::size_t t = r; t < kThreads; t += records.size()) lastWrites.insert(std::to_string(t * 1000 + kWrites));
    EXPECT_EQ(lastWrites.count(Value(records[r])), 1u) << records[r] << " holds " << Value(records[r]);
  }
}

TEST_F(GroupCommitTest, AChildForkedWhileACommitHoldsTheStoreOpensADatabaseOfItsOwn) {
  // The leader of a commit shares the store's lock until it commits. A child
  // forked meanwhile inherits that share without the thread that would end
  // it; opening the child's own database must not wait for it.
  SetTlsData("DOM", "writer");
  const int32_t tag1 = Id("TAG1");
  OrderSyncPoints({{"group:taken", "test:fork"}, {"test:forked", "MWDBVALS:committing"}});
  Report written;
  std::thread writer([&] {
    SetTlsData("DOM", "writer");
    written = WriteDoubles({tag1}, 6);
  });
  SyncPoint("test:fork");
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(20);  // waiting for the parent's share would hang: fail instead
    Install(PlantBuilder());  // the child starts without the parent's sync points
    ::_exit(Id("TAG1") > 0 ? 0 : 1);
  }
  SyncPoint("test:forked");
  writer.join();
  ClearSyncPoints();
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  EXPECT_TRUE(Succeeded(written)) << written;
  EXPECT_EQ(Value("TAG1"), "6");
}

}  // namespace
}  // namespace dorvik::testing
