// Activation latency of an external task: the wall time from the call that
// activates the task (an MWDBVALS write of a field that activates it, or the
// control interface's ActivateTask) to the start of the task's activation
// callback on the task thread, median and 99th percentile over many
// activations. The baseline "Raw" is the bare hand-off the path contains:
// one thread waking another through a condition variable.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "api/dorvik.h"
#include "engine/control.h"
#include "server/external_task.h"

namespace vantrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTask = "VN_BenchTask";
constexpr const char* kCommandRecord = "BENCH_CMD";
constexpr int kActivations = 5000;

// The callback's side: how many activations arrived and when the last did.
struct Arrivals {
  std::mutex mutex;
  std::condition_variable arrived;
  int64_t count = 0;       // guarded by mutex
  Clock::time_point last;  // guarded by mutex

  void Arrive() {
    const Clock::time_point now = Clock::now();
    {
      std::lock_guard lock(mutex);
      ++count;
      last = now;
    }
    arrived.notify_one();
  }
  // Waits for arrival number n; the time it arrived.
  Clock::time_point WaitFor(int64_t n) {
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return count >= n; });
    return last;
  }
};

struct TaskBench {
  Arrivals arrivals;
  IDANDFT command{};
  access::ExternalTask task;
};

// The database and the running task, set up once for the program. The task
// thread stays blocked waiting when the program exits.
TaskBench& Bench() {
  static TaskBench* bench = [] {
    using dorvik::FieldSpec;
    ::setenv("DORVIK_TASK_NAME", kTask, 1);
    dorvik::DatabaseBuilder builder;
    builder.SystemAccount("VNT\\vntsystem")
        .Definition("VN_BenchTaskDef", {FieldSpec::Integer("TASK_STATE")}, {.kinds = {-19}})
        .Definition("VN_BenchCommandDef", {FieldSpec::Integer("BENCH_START").ActivatesTask(kTask, 1, 1, 0)})
        .Record(kTask, "VN_BenchTaskDef")
        .Record(kCommandRecord, "VN_BenchCommandDef")
        .Grant("*", "VN_BenchCommandDef", 2);
    dorvik::Install(builder);
    auto* made = new TaskBench();
    made->command.ID = NAME2RECID(kCommandRecord, static_cast<int16_t>(std::strlen(kCommandRecord)));
    ERRBLOCK error{};
    constexpr const char* kField = "BENCH_START";
    DECODFT(kField, static_cast<int16_t>(std::strlen(kField)), &made->command.FT, &error);
    SetTlsData("BENCH", "writer");
    const int32_t commandId = made->command.ID;
    made->task.Start(nullptr, [made, commandId](const access::TaskActivationInfo& info) {
      if (info.ActivatedRecordId == commandId) made->arrivals.Arrive();
    });
    return made;
  }();
  return *bench;
}

void Write(const IDANDFT& item, int16_t value) {
  int16_t type = dorvik::api::kTypeInt16;
  int16_t done = 0;
  ERRBLOCK error{};
  MWDBVALS(1, &item, &type, &value, &done, &error);
  if (error.ERRCODE != 0) std::abort();
}

// Runs kActivations activations through activate() and reports their
// latencies in microseconds.
template <typename Activate>
void MeasureLatency(benchmark::State& state, Arrivals& arrivals, Activate&& activate) {
  std::vector<double> latencies;
  latencies.reserve(kActivations);
  for (auto _ : state) {
    int64_t expected = 0;
    {
      std::lock_guard lock(arrivals.mutex);
      expected = arrivals.count + 1;
    }
    const Clock::time_point start = Clock::now();
    activate();
    const Clock::time_point arrived = arrivals.WaitFor(expected);
    const std::chrono::duration<double> latency = arrived - start;
    state.SetIterationTime(latency.count());
    latencies.push_back(latency.count() * 1e6);
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters["median_us"] = latencies[latencies.size() / 2];
  state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
  state.counters["max_us"] = latencies.back();
}

void BM_ActivationByWrite(benchmark::State& state) {
  TaskBench& bench = Bench();
  int16_t value = 0;
  MeasureLatency(state, bench.arrivals, [&] { Write(bench.command, ++value); });
}

void BM_ActivationByControl(benchmark::State& state) {
  TaskBench& bench = Bench();
  const int32_t tag = bench.command.FT;
  MeasureLatency(state, bench.arrivals, [&] { dorvik::ActivateTask(kTask, kCommandRecord, tag); });
}

// The baseline: a thread waiting on a condition variable, woken once per
// iteration, records when it woke.
void BM_ActivationRaw(benchmark::State& state) {
  Arrivals arrivals;
  std::mutex mutex;
  std::condition_variable wake;
  int64_t requested = 0;  // guarded by mutex
  bool done = false;      // guarded by mutex
  std::thread waiter([&] {
    int64_t served = 0;
    std::unique_lock lock(mutex);
    while (true) {
      wake.wait(lock, [&] { return done || requested > served; });
      if (done) return;
      ++served;
      lock.unlock();
      arrivals.Arrive();
      lock.lock();
    }
  });
  MeasureLatency(state, arrivals, [&] {
    {
      std::lock_guard lock(mutex);
      ++requested;
    }
    wake.notify_one();
  });
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  wake.notify_one();
  waiter.join();
}

BENCHMARK(BM_ActivationByWrite)->Name("Activation/Task/Write/1")->Iterations(kActivations)->UseManualTime();
BENCHMARK(BM_ActivationByControl)->Name("Activation/Task/Control/1")->Iterations(kActivations)->UseManualTime();
BENCHMARK(BM_ActivationRaw)->Name("Activation/Task/Raw/1")->Iterations(kActivations)->UseManualTime();

}  // namespace
}  // namespace vantrel::bench

BENCHMARK_MAIN();
