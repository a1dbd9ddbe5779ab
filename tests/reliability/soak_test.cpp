// Soak: threads of several processes run mixed work through the library
// against one database for a bounded time: current writes and reads,
// history reads, record creation, definition refreshes and sessions made
// and dropped, while this process shuts the database down and restarts it
// again and again. Each thread writes only records it created, so it knows
// every value they must hold: reads are checked as they happen, and at the
// end this process checks every record's current value and whole history
// against the writes that were acknowledged, and runs CheckDatabase.
//
//   VANTREL_SOAK_SECONDS    how long the work runs (default 90)
//   VANTREL_RELIABILITY_OUT a file the counts are appended to (key=value)
//
// The same program is the other processes: soak_test worker DATABASE SECONDS THREADS NAME OUTFILE.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "data/data_access.h"
#include "engine/control.h"
#include "management/management.h"
#include "platform/fault.h"
#include "tests/engine/engine_test_support.h"
#include "tests/reliability/reliability_counts.h"
#include "tests/support/child_process.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;
using contracts::TagValue;
using vantrel::testing::ChildProcess;
using vantrel::testing::kAnalogDef;

constexpr int64_t kT0 = 1'700'000'000;  // seconds of a record's first write
constexpr int kMaxRecordsPerThread = 40;
constexpr int kWorkerProcesses = 2;
constexpr int kThreadsHere = 4;
constexpr int kThreadsPerWorker = 2;

DateTime At(int64_t seconds) {
  return DateTime(DateTime::kUnixEpochTicks + (kT0 + seconds) * DateTime::kTicksPerSecond, DateTimeKind::Utc);
}

// What the threads did, summed over threads and processes.
struct Counts {
  std::atomic<int64_t> writes{0}, refusedWrites{0}, reads{0}, historyReads{0}, creates{0}, refusedCreates{0},
      refreshes{0}, sessions{0}, shutdowns{0};
  std::vector<std::atomic<int64_t>*> All() {
    return {&writes, &refusedWrites, &reads, &historyReads, &creates, &refusedCreates, &refreshes, &sessions,
            &shutdowns};
  }
  int64_t Operations() {
    int64_t sum = 0;
    for (const std::atomic<int64_t>* count : All()) sum += count->load();
    return sum;
  }
  std::string Text() {
    std::string text;
    for (const std::atomic<int64_t>* count : All()) text += std::to_string(count->load()) + " ";
    return text;
  }
  void Add(const std::string& text) {
    std::istringstream in(text);
    for (std::atomic<int64_t>* count : All()) {
      int64_t value = 0;
      in >> value;
      *count += value;
    }
  }
};

// The records one thread created and the values acknowledged for each, in
// order; value k is written at time k (seconds after kT0).
struct OwnRecord {
  std::string name;
  std::vector<int64_t> acknowledged;
};

// One thread's work: its own sessions, records and random choices.
class Worker {
 public:
  Worker(std::string prefix, uint32_t seed, Counts& counts)
      : prefix_(std::move(prefix)), random_(seed), counts_(counts) {}

  // Works until deadline; a wrong read or a failure that should not happen
  // ends it with the reason in failure().
  void Run(std::chrono::steady_clock::time_point deadline) {
    try {
      NewSessions();
      while (records_.empty()) Create();
      while (failure_.empty() && std::chrono::steady_clock::now() < deadline) Step();
    } catch (const std::exception& error) {
      failure_ = fmt::format("{}: {}", prefix_, error.what());
    }
    // Sessions end on the thread that made them.
    data_.reset();
    management_.reset();
  }

  const std::string& failure() const { return failure_; }
  const std::vector<OwnRecord>& records() const { return records_; }

 private:
  void Step() {
    switch (std::uniform_int_distribution<int>(0, 11)(random_)) {
      case 0: case 1: case 2: case 3: return Write();
      case 4: case 5: return ReadCurrent();
      case 6: case 7: return ReadHistory();
      case 8: return Create();
      case 9: return Refresh();
      case 10: return NewSessions();
      default: return ReadOthers();
    }
  }

  OwnRecord& AnyRecord() {
    return records_[std::uniform_int_distribution<std::size_t>(0, records_.size() - 1)(random_)];
  }

  void NewSessions() {
    data_.reset();
    management_.reset();
    const bool callback = std::uniform_int_distribution<int>(0, 1)(random_) == 1;
    data_ = std::make_unique<DataAccess>(callback);
    management_ = std::make_unique<Management>();
    if (callback) data_->VntShutdownEvents.Add([this](Session*, const EventReason&) { ++shutdownsHeard_; });
    ++counts_.sessions;
  }

  void Create() {
    if (static_cast<int>(records_.size()) >= kMaxRecordsPerThread) return ReadOthers();
    const std::string name = fmt::format("{}N{}", prefix_, created_++);
    const contracts::TagNames made = management_->CreateTags({{kAnalogDef, {name}}});
    if (made.empty()) {
      // Another thread took the free id first: not made, and said so.
      if (management_->FindNonexistingTags({name}).size() != 1) failure_ = name + " exists but was not listed";
      ++counts_.refusedCreates;
      return;
    }
    if (made != contracts::TagNames{name}) throw std::runtime_error("CreateTags listed another tag for " + name);
    records_.push_back(OwnRecord{name, {}});
    ++counts_.creates;
  }

  void Write() {
    OwnRecord& record = AnyRecord();
    const int64_t value = record.acknowledged.empty() ? 1 : record.acknowledged.back() + 1;
    contracts::TagValuesByNames request;
    request[record.name]["VALUE"] = {TagValue(static_cast<double>(value), At(value), 0, 0)};
    try {
      data_->SetTagValues(request);
    } catch (const platform::FaultException&) {
      ++counts_.refusedWrites;  // verified below: a refused write left nothing
      return;
    }
    record.acknowledged.push_back(value);
    ++counts_.writes;
  }

  void ReadCurrent() {
    OwnRecord& record = AnyRecord();
    const contracts::TagValues values = data_->GetTagValues(contracts::Tags{{record.name, {"VALUE"}}})
                                            .at(record.name).at("VALUE");
    const double expected = record.acknowledged.empty() ? 0.0 : static_cast<double>(record.acknowledged.back());
    if (values.size() != 1 || values.front().Value != contracts::Value(expected)) {
      failure_ = fmt::format("{}: read of {} is not the last acknowledged write {}", prefix_, record.name, expected);
    }
    ++counts_.reads;
  }

  // The last few acknowledged writes of a record, read back from its history.
  void ReadHistory() {
    OwnRecord& record = AnyRecord();
    const std::size_t n = std::min<std::size_t>(record.acknowledged.size(), 20);
    const std::vector<int64_t> expected(record.acknowledged.end() - static_cast<std::ptrdiff_t>(n),
                                        record.acknowledged.end());
    const std::vector<int64_t> found = History(*data_, record.name, expected.empty() ? 1 : expected.front(), 40);
    if (found != expected) failure_ = fmt::format("{}: history of {} misses acknowledged writes", prefix_, record.name);
    ++counts_.historyReads;
  }

  void Refresh() {
    Session::RefreshAll();
    const contracts::FieldDefinitionsByTagName definitions = management_->GetFieldDefinitions({kAnalogDef});
    if (definitions.at(kAnalogDef).empty()) failure_ = prefix_ + ": no field definitions after a refresh";
    ++counts_.refreshes;
  }

  void ReadOthers() {
    data_->GetTagValues(contracts::Tags{{vantrel::testing::kTag1, {"VALUE", "UNITS", "TREND"}}});
    ++counts_.reads;
  }

 public:
  // The VALUE history of record from time `from` on, at most max values.
  static std::vector<int64_t> History(DataAccess& data, const std::string& record, int64_t from, int32_t max) {
    contracts::HistoryRequestById request;
    request.TagId = data.GetRecordID(record);
    request.FieldId = data.GetAttributeID("VALUE");
    request.Query.StartTime = At(from);
    request.Query.EndTime = DateTime::MaxValue;
    request.Query.MaxCount = max;
    const contracts::TagValuesByIds read = data.GetHistoryValuesByIds({request});
    std::vector<int64_t> values;
    for (const TagValue& value : read.at(request.TagId).at(request.FieldId)) {
      values.push_back(static_cast<int64_t>(std::get<double>(value.Value)));
    }
    return values;
  }

 private:
  std::string prefix_;
  std::mt19937 random_;
  Counts& counts_;
  std::atomic<int> shutdownsHeard_{0};  // outlives the sessions whose subscribers count
  std::unique_ptr<DataAccess> data_;
  std::unique_ptr<Management> management_;
  std::vector<OwnRecord> records_;
  int created_ = 0;
  std::string failure_;
};

int EnvironmentNumber(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// Runs `threads` workers until the time is spent; with shutdowns, one more
// thread shuts the database down and restarts it meanwhile.
std::vector<std::unique_ptr<Worker>> RunWorkers(const std::string& name, int threads, int seconds, bool shutdowns,
                                                Counts& counts) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::vector<std::unique_ptr<Worker>> workers;
  std::random_device seeds;
  for (int i = 0; i < threads; ++i) {
    workers.push_back(std::make_unique<Worker>(fmt::format("{}T{}", name, i), seeds(), counts));
  }
  std::vector<std::jthread> running;
  for (auto& worker : workers) running.emplace_back([&worker, deadline] { worker->Run(deadline); });
  if (shutdowns) {
    running.emplace_back([&counts, deadline] {
      for (uint32_t code = 1; std::chrono::steady_clock::now() < deadline; ++code) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        dorvik::Shutdown(code);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        dorvik::Restart();
        ++counts.shutdowns;
      }
    });
  }
  running.clear();  // joins
  return workers;
}

// Every record's current value is its last acknowledged write and its
// history holds exactly the acknowledged writes.
void VerifyRecords(const std::vector<OwnRecord>& records, int64_t& verified) {
  DataAccess data;
  for (const OwnRecord& record : records) {
    const contracts::TagValues current =
        data.GetTagValues(contracts::Tags{{record.name, {"VALUE"}}}).at(record.name).at("VALUE");
    const double last = record.acknowledged.empty() ? 0.0 : static_cast<double>(record.acknowledged.back());
    ASSERT_EQ(current.front().Value, contracts::Value(last)) << record.name;
    ASSERT_EQ(Worker::History(data, record.name, 1, static_cast<int32_t>(record.acknowledged.size()) + 10),
              record.acknowledged)
        << record.name;
    verified += static_cast<int64_t>(record.acknowledged.size());
  }
}

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    dorvik::Reset();
    dorvik::CreateDatabase(vantrel::testing::PlantBuilder(), database_);
    dorvik::Open(database_);
    Session::RefreshAll();
  }
  void TearDown() override { dorvik::Reset(); }

  // Runs the work here and in `processes` other processes, then verifies it.
  void Run(int processes, const char* program) {
    const int seconds = EnvironmentNumber("VANTREL_SOAK_SECONDS", 90);
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < processes; ++i) {
      children.push_back(std::make_unique<ChildProcess>(
          SOAK_TEST_PATH, std::vector<std::string>{"worker", database_, std::to_string(seconds),
                                                   std::to_string(kThreadsPerWorker), fmt::format("P{}", i),
                                                   (folder_ / fmt::format("P{}.txt", i)).string()}));
    }
    Counts counts;
    std::vector<OwnRecord> records;
    for (const auto& worker : RunWorkers("H", kThreadsHere, seconds, true, counts)) {
      EXPECT_EQ(worker->failure(), "");
      records.insert(records.end(), worker->records().begin(), worker->records().end());
    }
    for (int i = 0; i < processes; ++i) {
      ASSERT_EQ(children[i]->Wait(std::chrono::seconds(seconds + 120)), 0) << "worker process " << i;
      ReadWorkerReport(folder_ / fmt::format("P{}.txt", i), records, counts);
    }
    int64_t verified = 0;
    ASSERT_NO_FATAL_FAILURE(VerifyRecords(records, verified));
    const dorvik::CheckReport report = dorvik::CheckDatabase();
    ASSERT_TRUE(report.ok()) << report.faults.front();
    std::printf("%s: seconds=%d processes=%d threads=%d operations=%lld acknowledged_writes_verified=%lld "
                "shutdown_cycles=%lld records_created=%lld\n",
                program, seconds, processes + 1, kThreadsHere + processes * kThreadsPerWorker,
                static_cast<long long>(counts.Operations()), static_cast<long long>(verified),
                static_cast<long long>(counts.shutdowns.load()), static_cast<long long>(counts.creates.load()));
    vantrel::testing::AppendReliabilityCounts(
        program, {{"seconds", seconds}, {"processes", processes + 1},
                  {"threads", kThreadsHere + processes * kThreadsPerWorker}, {"operations", counts.Operations()},
                  {"acknowledged_writes_verified", verified}, {"refused_writes", counts.refusedWrites.load()},
                  {"reads", counts.reads.load()}, {"history_reads", counts.historyReads.load()},
                  {"records_created", counts.creates.load()}, {"creations_refused", counts.refusedCreates.load()},
                  {"refreshes", counts.refreshes.load()}, {"sessions", counts.sessions.load()},
                  {"shutdown_cycles", counts.shutdowns.load()}});
  }

  // A worker process's records (a line per record: name and values) and
  // counts (the first line).
  static void ReadWorkerReport(const std::filesystem::path& file, std::vector<OwnRecord>& records, Counts& counts) {
    std::ifstream in(file);
    std::string line;
    ASSERT_TRUE(std::getline(in, line)) << file;
    counts.Add(line);
    while (std::getline(in, line)) {
      std::istringstream words(line);
      OwnRecord record;
      words >> record.name;
      for (int64_t value; words >> value;) record.acknowledged.push_back(value);
      records.push_back(std::move(record));
    }
  }

  dorvik::testing::TemporaryFolder folder_;
  const std::string database_ = (folder_ / "plant.db").string();
};

TEST_F(Soak, ThreadsOfOneProcess) { Run(0, "soak_threads"); }

TEST_F(Soak, ProcessesAndThreads) { Run(kWorkerProcesses, "soak"); }

// A worker process: its threads' work, then their records and counts into outFile.
int RunWorkerProcess(const std::string& database, int seconds, int threads, const std::string& name,
                     const std::string& outFile) {
  dorvik::Open(database);
  Counts counts;
  std::ofstream out(outFile);
  std::string records;
  int status = 0;
  for (const auto& worker : RunWorkers(name, threads, seconds, false, counts)) {
    if (!worker->failure().empty()) {
      std::fprintf(stderr, "%s\n", worker->failure().c_str());
      status = 1;
    }
    for (const OwnRecord& record : worker->records()) {
      records += record.name;
      for (int64_t value : record.acknowledged) records += " " + std::to_string(value);
      records += "\n";
    }
  }
  out << counts.Text() << "\n" << records;
  out.close();
  return out ? status : 2;
}

}  // namespace
}  // namespace vantrel::access

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "worker") {
    try {
      return vantrel::access::RunWorkerProcess(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5], argv[6]);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "worker: %s\n", error.what());
      return 3;
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
