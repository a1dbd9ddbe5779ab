// Kill and verify: writer processes write to one shared database through the
// C API and are killed with SIGKILL, round after round, at random moments and
// at named sync points. Each writer process runs several writer threads, so
// that their calls share commits and a writer dies while calls of its other
// threads wait queued for the commit in progress. Each thread reports a call
// before it makes it ("T try") and once it returned success ("T ack"). After
// every round this process checks that every acknowledged write is there with
// its value, that each call in flight is wholly there or wholly absent, that
// the history holds exactly the acknowledged values, and that CheckDatabase
// finds no fault; at the end `vntaccess check` runs on the database in a
// process of its own.
//
//   VANTREL_KILLS           rounds (kills) to run (default 300)
//   VANTREL_KILL_SECONDS    stop earlier once this time is spent (default 120)
//   VANTREL_RELIABILITY_OUT a file the counts are appended to (key=value)
//
// The same program is the writer: kill_verify writer DATABASE LANE ROUND SEED [POINT N].
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "api/dorvik.h"
#include "engine/control.h"
#include "engine/errors.h"
#include "tests/engine/engine_test_support.h"
#include "tests/reliability/reliability_counts.h"
#include "tests/support/child_process.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;
using vantrel::testing::ChildProcess;

// Values a round's writers use: round * kRoundSpan + sequence. A value is
// also the time (seconds) of a VALUE write, so history grows in time order.
constexpr int32_t kRoundSpan = 10'000;
constexpr int kLanes = 2;
// Writer threads of each lane's process; each owns the records it writes
// (the lane's record for thread 0, those it creates) and its own slice of a
// round's sequence numbers.
constexpr int kThreadsPerLane = 4;
constexpr int32_t kThreadSpan = kRoundSpan / kThreadsPerLane;
constexpr const char* kLaneRecords[kLanes] = {"TAG1", "TAG2"};
constexpr const char* kFields[] = {"VALUE", "COUNT32", "UNITS"};
constexpr int16_t kUnitsLength = 8;

int32_t Id(std::string_view name) { return NAME2RECID(name.data(), static_cast<int16_t>(name.size())); }

int32_t Tag(std::string_view name) {
  int32_t tag = -1;
  ERRBLOCK error{};
  DECODFT(name.data(), static_cast<int16_t>(name.size()), &tag, &error);
  return tag;
}

// One item of a write: field tag of a record and its new value.
struct Item {
  int32_t record = 0;
  int32_t tag = 0;
  int32_t value = 0;
};

// The native records of a batch, built from items: VALUE as a double with
// quality at time value, COUNT32 as an int32 with quality, UNITS as text.
class WriteBatch {
 public:
  WriteBatch(const std::vector<Item>& items, int32_t valueTag, int32_t countTag) {
    texts_.reserve(items.size());
    for (const Item& item : items) {
      items_.push_back(IDANDFT{item.record, item.tag});
      const XUSTS time{item.value, 0};
      if (item.tag == valueTag) {
        Append(DVANDQU{static_cast<double>(item.value), 0, 0, time, 0}, dorvik::api::kTypeDoubleQuality);
      } else if (item.tag == countTag) {
        Append(LVANDQU{item.value, 0, 0, time}, dorvik::api::kTypeInt32Quality);
      } else {
        texts_.push_back(std::to_string(item.value));
        TVANDQU text{};
        text.TEXT = texts_.back().data();
        text.LENGTH = static_cast<int16_t>(texts_.back().size());
        text.TIME = time;
        Append(text, dorvik::api::kTypeTextQuality);
      }
    }
  }

  // Whether MWDBVALS wrote every item.
  bool Write() {
    std::vector<ERRBLOCK> errors(items_.size());
    int16_t done = 0;
    MWDBVALS(static_cast<int16_t>(items_.size()), items_.data(), types_.data(), buffer_.data(), &done,
             errors.data());
    return done == static_cast<int16_t>(items_.size());
  }

 private:
  template <typename Record>
  void Append(const Record& record, int16_t type) {
    const std::size_t at = buffer_.size();
    buffer_.resize(at + sizeof record);
    std::memcpy(buffer_.data() + at, &record, sizeof record);
    types_.push_back(type);
  }

  std::vector<IDANDFT> items_;
  std::vector<int16_t> types_;
  std::vector<std::byte> buffer_;
  std::vector<std::string> texts_;  // the TVANDQU records point into these; reserved, never moved
};

void Report(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// One writer thread: batches of 1 to 6 items over its own records, and now
// and then a new record (which later batches write too). Runs until killed.
void RunWriterThread(int lane, int thread, int32_t round, uint32_t seed) {
  SetTlsData("VNT", "vntsystem");
  std::mt19937 random(seed);
  const int32_t definition = DEFINID(Id(kLaneRecords[lane]));
  const int32_t valueTag = Tag("VALUE"), countTag = Tag("COUNT32");
  std::vector<int32_t> tags;
  for (const char* field : kFields) tags.push_back(Tag(field));
  std::vector<int32_t> records;
  if (thread == 0) records.push_back(Id(kLaneRecords[lane]));
  const auto report = [thread](const std::string& line) { Report(fmt::format("{} {}", thread, line)); };
  for (int32_t sequence = thread * kThreadSpan + 1; sequence < (thread + 1) * kThreadSpan - 10;) {
    if (records.empty() || std::uniform_int_distribution<int>(0, 9)(random) == 0) {
      int32_t id = 0;
      NXTFREE(1, &id);
      const std::string name = fmt::format("L{}R{}N{}", lane, round, sequence++);
      report(fmt::format("try c {} {}", name, id));
      ERRBLOCK error{};
      CREATERECORD(id, definition, 0, 0, name.data(), static_cast<int16_t>(name.size()), &error);
      if (error.ERRCODE == dorvik::kErrIdInUse) {  // the other lane took the id first
        report("refused");
        continue;
      }
      if (error.ERRCODE != 0) return report(fmt::format("failed {}", error.ERRCODE)), std::_Exit(1);
      report("ack");
      records.push_back(id);
      continue;
    }
    std::vector<Item> items(std::uniform_int_distribution<std::size_t>(1, 6)(random));
    std::string line = "try w";
    for (Item& item : items) {
      item.record = records[std::uniform_int_distribution<std::size_t>(0, records.size() - 1)(random)];
      item.tag = tags[std::uniform_int_distribution<std::size_t>(0, tags.size() - 1)(random)];
      item.value = round * kRoundSpan + sequence++;
      line += fmt::format(" {}:{}:{}", item.record, item.tag, item.value);
    }
    report(line);
    if (!WriteBatch(items, valueTag, countTag).Write()) return report("failed"), std::_Exit(1);
    report("ack");
  }
}

// The writer process of a lane: its threads write until it is killed.
int RunWriter(const std::string& database, int lane, int32_t round, uint32_t seed) {
  dorvik::Open(database);
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreadsPerLane; ++thread) {
    threads.emplace_back(RunWriterThread, lane, thread, round, seed + static_cast<uint32_t>(thread));
  }
  for (std::thread& thread : threads) thread.join();
  ::pause();
  return 0;
}

// What the writers were told succeeded, and the one call of each lane that
// was in flight when it died.
class Expectations {
 public:
  using Key = std::pair<int32_t, int32_t>;  // record, field tag

  // One call a writer reported it was making ("try ...").
  struct Call {
    std::vector<Item> items;
    std::string createdName;
    int32_t createdId = 0;
  };

  // Reads a dead writer's lines (those read already, then the rest): every
  // acknowledged call is applied; the last call each thread tried and did
  // not see acknowledged is returned.
  std::vector<Call> Follow(std::vector<std::string> lines, ChildProcess& writer) {
    for (std::string line = writer.ReadLine(std::chrono::seconds(5)); !line.empty();
         line = writer.ReadLine(std::chrono::seconds(5))) {
      lines.push_back(std::move(line));
    }
    std::map<int, std::optional<Call>> pending;  // by thread
    for (const std::string& line : lines) {
      const std::size_t blank = line.find(' ');
      const int thread = std::atoi(line.substr(0, blank).c_str());
      const std::string said = blank == std::string::npos ? line : line.substr(blank + 1);
      if (said == "ack" || said == "refused") {
        if (pending[thread] && said == "ack") Apply(*pending[thread]);
        pending[thread].reset();
      } else if (said.rfind("try ", 0) == 0) {
        pending[thread] = Parse(said);
      } else {
        ADD_FAILURE() << "writer: " << line;
      }
    }
    std::vector<Call> inFlight;
    for (auto& [thread, call] : pending) {
      if (call) inFlight.push_back(std::move(*call));
    }
    return inFlight;
  }

  void Apply(const Call& call) {
    if (!call.createdName.empty()) {
      created_[call.createdName] = call.createdId;
      ++acknowledged_;
    }
    for (const Item& item : call.items) {
      values_[{item.record, item.tag}] = item.value;
      if (item.tag == valueTag_) history_[item.record].push_back(item.value);
      ++acknowledged_;
    }
  }

  // Whether every item of call is stored (true), none is (false); a failure when mixed.
  bool Landed(const Call& call) const {
    if (!call.createdName.empty()) return Id(call.createdName) == call.createdId;
    std::map<Key, int32_t> last;
    for (const Item& item : call.items) last[{item.record, item.tag}] = item.value;
    int landed = 0;
    for (const auto& [key, value] : last) landed += Stored(key) == value ? 1 : 0;
    EXPECT_TRUE(landed == 0 || landed == static_cast<int>(last.size()))
        << "a batch of " << last.size() << " distinct items is there in part: " << landed;
    return landed != 0;
  }

  // Every acknowledged value is the stored one; the history of every record
  // holds exactly the acknowledged VALUE writes since `from`.
  void Verify(int32_t from) const {
    for (const auto& [name, id] : created_) ASSERT_EQ(Id(name), id) << "created record " << name;
    for (const auto& [key, value] : values_) {
      ASSERT_EQ(Stored(key), value) << "record " << key.first << " field 0x" << std::hex << key.second;
    }
    for (const auto& [record, values] : history_) {
      std::vector<int32_t> expected;
      for (int32_t value : values) {
        if (value >= from) expected.push_back(value);
      }
      ASSERT_EQ(History(record, from, expected.size() + 16), expected) << "history of record " << record;
    }
  }

  void SetTags(int32_t value, int32_t count) { valueTag_ = value, countTag_ = count; }
  int64_t acknowledged() const { return acknowledged_; }

 private:
  static Call Parse(const std::string& line) {
    std::istringstream in(line.substr(4));
    std::string kind;
    in >> kind;
    Call call;
    if (kind == "c") {
      in >> call.createdName >> call.createdId;
      return call;
    }
    for (std::string word; in >> word;) {
      Item item;
      std::sscanf(word.c_str(), "%d:%d:%d", &item.record, &item.tag, &item.value);
      call.items.push_back(item);
    }
    return call;
  }

  // The stored value of a field as the integer the writers wrote (-1 when unreadable).
  int32_t Stored(const Key& key) const {
    const IDANDFT item{key.first, key.second};
    ERRBLOCK error{};
    int16_t done = 0;
    if (key.second == valueTag_) {
      DVANDQU value{};
      const int16_t type = dorvik::api::kTypeDoubleQuality;
      MRDBVALS(1, &item, &type, &value, &done, &error);
      return done == 1 ? static_cast<int32_t>(value.VALUE) : -1;
    }
    if (key.second == countTag_) {
      LVANDQU value{};
      const int16_t type = dorvik::api::kTypeInt32Quality;
      MRDBVALS(1, &item, &type, &value, &done, &error);
      return done == 1 ? value.VALUE : -1;
    }
    char text[kUnitsLength + dorvik::api::kTextCapacityExtra] = {};
    TVANDQU value{};
    value.TEXT = text;
    value.LENGTH = static_cast<int16_t>(sizeof text);
    const int16_t type = dorvik::api::kTypeTextQuality;
    MRDBVALS(1, &item, &type, &value, &done, &error);
    return done == 1 ? std::atoi(std::string(text, static_cast<std::size_t>(value.LENGTH)).c_str()) : -1;
  }

  // The VALUE history of record from time `from` on.
  std::vector<int32_t> History(int32_t record, int32_t from, std::size_t capacity) const {
    std::vector<double> values(capacity);
    std::vector<XUSTS> times(values.size());
    std::vector<int16_t> levels(values.size());
    void* const buffers[] = {values.data()};
    const int16_t type = dorvik::api::kTypeDouble;
    const XUSTS start{from, 0}, end{INT32_MAX, 0};
    int32_t returned = 0;
    int16_t fieldsDone = 0;
    ERRBLOCK error{};
    RHIS21DATA(4, 0, 0, record, valueTag_ + 1, &start, &end, 1, &valueTag_, &type,
               static_cast<int32_t>(values.size()), levels.data(), times.data(), buffers, &returned, &fieldsDone,
               &error);
    EXPECT_EQ(error.ERRCODE, 0) << "history of record " << record;
    std::vector<int32_t> result;
    for (int32_t i = 0; i < returned; ++i) result.push_back(static_cast<int32_t>(values[static_cast<std::size_t>(i)]));
    return result;
  }

  int32_t valueTag_ = 0;
  int32_t countTag_ = 0;
  std::map<Key, int32_t> values_;
  std::map<int32_t, std::vector<int32_t>> history_;
  std::map<std::string, int32_t> created_;
  int64_t acknowledged_ = 0;
};

int EnvironmentNumber(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// How a lane's writer of a round dies: killed after a number of
// acknowledged calls and a few microseconds, or at a named sync point.
struct KillPlan {
  int acknowledgedCalls = 0;
  int delayMicros = 0;
  std::string point;  // empty: killed by this process
  int pass = 0;
};

KillPlan RandomKillPlan(std::mt19937& random) {
  KillPlan plan;
  const int kind = std::uniform_int_distribution<int>(0, 3)(random);
  if (kind == 0 || kind == 1) {
    plan.point = kind == 0 ? "MWDBVALS:committing" : "MWDBVALS:committed";
    plan.pass = std::uniform_int_distribution<int>(1, 25)(random);
  } else {
    plan.acknowledgedCalls = std::uniform_int_distribution<int>(0, 40)(random);
    plan.delayMicros = std::uniform_int_distribution<int>(0, 3000)(random);
  }
  return plan;
}

// Lets a writer run as its plan says, then makes sure it died of SIGKILL;
// the lines read meanwhile go to `read`.
void KillAsPlanned(ChildProcess& writer, const KillPlan& plan, std::vector<std::string>& read) {
  if (plan.point.empty()) {
    for (int acks = 0; acks < plan.acknowledgedCalls;) {
      read.push_back(writer.ReadLine(std::chrono::seconds(60)));
      const std::string& line = read.back();
      ASSERT_FALSE(line.empty() || line.find(" failed") != std::string::npos) << "writer ended early: " << line;
      if (line.size() > 4 && line.compare(line.size() - 4, 4, " ack") == 0) ++acks;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(plan.delayMicros));
    writer.Kill();
  }
  ASSERT_EQ(writer.Wait(), 128 + SIGKILL) << "the writer did not die of SIGKILL";
}

TEST(KillVerify, EveryAcknowledgedWriteSurvivesSigkill) {
  const int rounds = EnvironmentNumber("VANTREL_KILLS", 300);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(EnvironmentNumber("VANTREL_KILL_SECONDS", 120));
  TemporaryFolder folder;
  const std::string database = (folder / "plant.db").string();
  Reset();
  CreateDatabase(PlantBuilder(), database);
  // This process keeps the database open all along, as a server would, and
  // sees the writers' commits at its next call.
  Open(database);
  SetTlsData("VNT", "vntsystem");
  Expectations expected;
  expected.SetTags(Tag("VALUE"), Tag("COUNT32"));
  std::mt19937 random(std::random_device{}());
  int kills = 0, inFlightLanded = 0, checks = 0;
  for (int32_t round = 1; round <= rounds && std::chrono::steady_clock::now() < deadline; ++round) {
    std::vector<std::unique_ptr<ChildProcess>> writers;
    std::vector<KillPlan> plans;
    for (int lane = 0; lane < kLanes; ++lane) {
      plans.push_back(RandomKillPlan(random));
      std::vector<std::string> arguments{"writer", database, std::to_string(lane), std::to_string(round),
                                         std::to_string(random())};
      if (!plans.back().point.empty()) {
        arguments.insert(arguments.end(), {plans.back().point, std::to_string(plans.back().pass)});
      }
      writers.push_back(std::make_unique<ChildProcess>(KILL_VERIFY_PATH, arguments));
    }
    std::vector<std::vector<std::string>> read(kLanes);
    for (int lane = 0; lane < kLanes; ++lane) {
      ASSERT_NO_FATAL_FAILURE(KillAsPlanned(*writers[lane], plans[lane], read[lane])) << "round " << round;
      ++kills;
    }
    // A commit of a killed writer that reached the disk is published to
    // readers when the next writer takes the write lock: one write of this
    // process makes the calls in flight settled, there or not.
    const Expectations::Call settle{{Item{Id("OFFLINE"), Tag("COUNT32"), round}}, "", 0};
    ASSERT_TRUE(WriteBatch(settle.items, Tag("VALUE"), Tag("COUNT32")).Write()) << "round " << round;
    expected.Apply(settle);
    for (int lane = 0; lane < kLanes; ++lane) {
      for (const Expectations::Call& inFlight : expected.Follow(std::move(read[lane]), *writers[lane])) {
        if (!expected.Landed(inFlight)) continue;
        expected.Apply(inFlight);
        ++inFlightLanded;
      }
    }
    ASSERT_NO_FATAL_FAILURE(expected.Verify(round * kRoundSpan)) << "round " << round;
    const CheckReport report = CheckDatabase();
    ASSERT_TRUE(report.ok()) << "round " << round << ": " << report.faults.front();
    ++checks;
  }
  // The whole history once more, and the tool's check in a fresh process.
  ASSERT_NO_FATAL_FAILURE(expected.Verify(kRoundSpan));
  Reset();
  ChildProcess tool(VNTACCESS_PATH, {"check", database});
  while (!tool.ReadLine(std::chrono::seconds(60)).empty()) {
  }
  ASSERT_EQ(tool.Wait(), 0) << "vntaccess check found a fault";
  ++checks;
  const std::string summary = fmt::format("kills={} acknowledged_writes_verified={} in_flight_landed={} checks={}",
                                          kills, expected.acknowledged(), inFlightLanded, checks);
  std::printf("kill_verify: %s\n", summary.c_str());
  vantrel::testing::AppendReliabilityCounts("kill_verify", {{"kills", kills},
                                                            {"acknowledged_writes_verified", expected.acknowledged()},
                                                            {"in_flight_landed", inFlightLanded},
                                                            {"checks", checks}});
}

}  // namespace
}  // namespace dorvik::testing

int main(int argc, char** argv) {
  if (argc >= 6 && std::string(argv[1]) == "writer") {
    try {
      if (argc == 8) dorvik::KillAtSyncPoint(argv[6], std::atoi(argv[7]));
      return dorvik::testing::RunWriter(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                                        static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10)));
    } catch (const std::exception& error) {
      dorvik::testing::Report(std::string("failed ") + error.what());
      return 2;
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
