// The library's own cost per tag on the current-value path, measured for the
// table that bench/data_path_cost.sh prints. Each scenario is one DataAccess
// call over n tags (one field of each of n records), its request made
// beforehand and its answer freed afterwards, outside the measure.
//
//   data_path_cost times [runs]  CPU time (minimum of runs) and allocations
//                                per tag of each call, and of the raw native
//                                calls over the same items; one line each:
//                                scenario n ns raw_ns allocations raw_allocations
//   data_path_cost callgrind [scenario]
//                                each call (of one scenario) once, between callgrind client
//                                requests that dump its costs as "<scenario> <n>";
//                                run under valgrind --tool=callgrind
//                                --instr-atstart=no --collect-atstart=no
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <string_view>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define VANTREL_HAVE_CALLGRIND 1
#else
#define VANTREL_HAVE_CALLGRIND 0
#endif

#include "bench/current_value_plant.h"
#include "data/data_access.h"

namespace {

// Every operator new of the process, the engine's included.
std::atomic<uint64_t> gAllocations{0};

// Inline, so that counting adds next to nothing to the allocations measured.
inline void* CountedAllocation(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void* CountedAlignedAllocation(std::size_t size, std::align_val_t alignment) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  const auto align = static_cast<std::size_t>(alignment);
  if (void* memory = std::aligned_alloc(align, (std::max<std::size_t>(size, 1) + align - 1) / align * align)) {
    return memory;
  }
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return CountedAllocation(size); }
void* operator new[](std::size_t size) { return CountedAllocation(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return CountedAlignedAllocation(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return CountedAlignedAllocation(size, alignment);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }

namespace vantrel::bench {
namespace {

using access::DataAccess;

enum class Operation { ReadByIds, ReadByNames, WriteByIds };

struct Scenario {
  const char* name;
  Operation operation;
  Kind kind;
};

constexpr Scenario kScenarios[] = {
    {"read-ids-double", Operation::ReadByIds, Kind::Double},
    {"read-ids-text", Operation::ReadByIds, Kind::Text},
    {"read-names-double", Operation::ReadByNames, Kind::Double},
    {"write-ids-double", Operation::WriteByIds, Kind::Double},
    {"write-ids-text", Operation::WriteByIds, Kind::Text},
};
constexpr int kSizes[] = {500, 5'000, 50'000};
constexpr int kDefaultRuns = 7;

// One library call of a scenario over n tags. The answer of a read is kept
// until Discard, so that freeing it is not part of the call.
class LibraryCall {
 public:
  LibraryCall(const Scenario& scenario, int n) : operation_(scenario.operation) {
    const Plant& plant = BenchPlant();
    switch (operation_) {
      case Operation::ReadByIds: byIds_ = RequestByIds(plant, scenario.kind, n); break;
      case Operation::ReadByNames: byNames_ = RequestByNames(plant, scenario.kind, n); break;
      case Operation::WriteByIds: values_ = WriteRequestByIds(plant, scenario.kind, n); break;
    }
  }

  void Run() {
    switch (operation_) {
      case Operation::ReadByIds: readByIds_ = access_.GetTagValues(byIds_); break;
      case Operation::ReadByNames: readByNames_ = access_.GetTagValues(byNames_); break;
      case Operation::WriteByIds: access_.SetTagValues(values_); break;
    }
  }

  void Discard() {
    readByIds_ = {};
    readByNames_ = {};
  }

 private:
  Operation operation_;
  DataAccess access_;
  contracts::TagsById byIds_;
  contracts::Tags byNames_;
  contracts::TagValuesByIds values_;
  contracts::TagValuesByIds readByIds_;
  contracts::TagValuesByNames readByNames_;
};

// The raw native calls over the same items.
class RawCall {
 public:
  RawCall(const Scenario& scenario, int n)
      : write_(scenario.operation == Operation::WriteByIds), raw_(BenchPlant(), scenario.kind, n) {}
  void Run() { write_ ? raw_.Write() : raw_.Read(); }
  void Discard() {}

 private:
  bool write_;
  RawBatches raw_;
};

int64_t ThreadCpuNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

struct Cost {
  double nanoseconds = 0;
  double allocations = 0;
};

// Per tag: the least CPU time of runs calls, and the allocations of one.
template <typename Call>
Cost Measure(Call& call, int n, int runs) {
  call.Run();  // warm: definitions cached, memory touched
  call.Discard();
  int64_t least = std::numeric_limits<int64_t>::max();
  uint64_t allocations = 0;
  for (int run = 0; run < runs; ++run) {
    const uint64_t allocationsBefore = gAllocations.load(std::memory_order_relaxed);
    const int64_t start = ThreadCpuNanoseconds();
    call.Run();
    least = std::min(least, ThreadCpuNanoseconds() - start);
    allocations = gAllocations.load(std::memory_order_relaxed) - allocationsBefore;
    call.Discard();
  }
  return {static_cast<double>(least) / n, static_cast<double>(allocations) / n};
}

void PrintTimes(int runs) {
  for (const Scenario& scenario : kScenarios) {
    for (const int n : kSizes) {
      LibraryCall library(scenario, n);
      RawCall raw(scenario, n);
      const Cost own = Measure(library, n, runs);
      const Cost baseline = Measure(raw, n, runs);
      std::printf("%s %d %.1f %.1f %.2f %.2f\n", scenario.name, n, own.nanoseconds, baseline.nanoseconds,
                  own.allocations, baseline.allocations);
    }
  }
}

#if VANTREL_HAVE_CALLGRIND
void DumpInstructions(std::string_view only) {
  for (const Scenario& scenario : kScenarios) {
    if (!only.empty() && only != scenario.name) continue;
    for (const int n : kSizes) {
      LibraryCall library(scenario, n);
      library.Run();  // warm, not instrumented
      library.Discard();
      const std::string label = std::string(scenario.name) + " " + std::to_string(n);
      CALLGRIND_START_INSTRUMENTATION;
      CALLGRIND_TOGGLE_COLLECT;
      library.Run();
      CALLGRIND_TOGGLE_COLLECT;
      CALLGRIND_DUMP_STATS_AT(label.c_str());
      CALLGRIND_STOP_INSTRUMENTATION;
      library.Discard();
    }
  }
}
#else
void DumpInstructions(std::string_view) { std::fprintf(stderr, "built without valgrind/callgrind.h\n"); }
#endif

}  // namespace
}  // namespace vantrel::bench

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode == "times") {
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : vantrel::bench::kDefaultRuns;
    vantrel::bench::PrintTimes(runs);
    return 0;
  }
  if (mode == "callgrind") {
    vantrel::bench::DumpInstructions(argc > 2 ? argv[2] : "");
    return 0;
  }
  std::fprintf(stderr, "usage: %s times [runs] | callgrind\n", argv[0]);
  return 64;
}
