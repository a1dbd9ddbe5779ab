// dorvik next to SQLite as a tag store, on the same rows (bench/peer_plant.h),
// for the table that bench/sqlite_peer.sh prints. Each scenario is one call
// of each side over n items:
//   read-ids       a DataAccess read by ids of n doubles / n point selects in
//                  one read transaction
//   write-history  one durable MWDBVALS of n doubles with history / n
//                  updates and n history inserts in one durable transaction
//   history-read   RHIS21DATA of n samples of one series / a range select
//
//   sqlite_peer_cost times [runs]  CPU time per item, minimum of runs, one line
//                                  each: scenario n side ns
//   sqlite_peer_cost callgrind     each call once, between callgrind client
//                                  requests that dump its costs as
//                                  "<scenario>:<side> <n>"; run under valgrind
//                                  --tool=callgrind --instr-atstart=no
//                                  --collect-atstart=no
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define VANTREL_HAVE_CALLGRIND 1
#else
#define VANTREL_HAVE_CALLGRIND 0
#endif

#include "bench/peer_plant.h"

namespace vantrel::bench {
namespace {

constexpr int kDefaultRuns = 7;
constexpr int kReadIds = 5'000;

struct Side {
  const char* name;
  std::function<void(PeerPlant&)> call;
};

struct Scenario {
  const char* name;
  int n;
  Side dorvik;
  Side sqlite;
};

const Scenario* Scenarios() {
  static const Scenario scenarios[] = {
      {"read-ids", kReadIds, {"dorvik", [](PeerPlant& p) { p.LibraryReadByIds(kReadIds); }},
       {"sqlite", [](PeerPlant& p) { p.SqliteReadByIds(kReadIds); }}},
      {"write-history", kPeerWriteBatch, {"dorvik", [](PeerPlant& p) { p.NativeWriteWithHistory(); }},
       {"sqlite", [](PeerPlant& p) { p.SqliteWriteWithHistory(); }}},
      {"history-read", kPeerHistoryRead, {"dorvik", [](PeerPlant& p) { p.NativeHistoryRead(); }},
       {"sqlite", [](PeerPlant& p) { p.SqliteHistoryRead(); }}},
      {nullptr, 0, {}, {}},
  };
  return scenarios;
}

int64_t ThreadCpuNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The least CPU time per item of runs calls, after one to warm.
double LeastNanoseconds(PeerPlant& plant, const Side& side, int n, int runs) {
  side.call(plant);
  int64_t least = std::numeric_limits<int64_t>::max();
  for (int run = 0; run < runs; ++run) {
    const int64_t start = ThreadCpuNanoseconds();
    side.call(plant);
    least = std::min(least, ThreadCpuNanoseconds() - start);
  }
  return static_cast<double>(least) / n;
}

void PrintTimes(PeerPlant& plant, int runs) {
  for (const Scenario* s = Scenarios(); s->name != nullptr; ++s) {
    for (const Side* side : {&s->dorvik, &s->sqlite}) {
      std::printf("%s %d %s %.1f\n", s->name, s->n, side->name, LeastNanoseconds(plant, *side, s->n, runs));
    }
  }
}

#if VANTREL_HAVE_CALLGRIND
void DumpInstructions(PeerPlant& plant) {
  for (const Scenario* s = Scenarios(); s->name != nullptr; ++s) {
    for (const Side* side : {&s->dorvik, &s->sqlite}) {
      side->call(plant);  // warm, not instrumented
      const std::string label = std::string(s->name) + ":" + side->name + " " + std::to_string(s->n);
      CALLGRIND_START_INSTRUMENTATION;
      CALLGRIND_TOGGLE_COLLECT;
      side->call(plant);
      CALLGRIND_TOGGLE_COLLECT;
      CALLGRIND_DUMP_STATS_AT(label.c_str());
      CALLGRIND_STOP_INSTRUMENTATION;
    }
  }
}
#else
void DumpInstructions(PeerPlant&) { std::fprintf(stderr, "built without valgrind/callgrind.h\n"); }
#endif

}  // namespace
}  // namespace vantrel::bench

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  if (mode != "times" && mode != "callgrind") {
    std::fprintf(stderr, "usage: %s times [runs] | callgrind\n", argv[0]);
    return 64;
  }
  vantrel::bench::PeerPlant plant;
  if (mode == "times") {
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : vantrel::bench::kDefaultRuns;
    vantrel::bench::PrintTimes(plant, runs);
  } else {
    vantrel::bench::DumpInstructions(plant);
  }
  return 0;
}
