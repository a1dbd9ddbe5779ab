// The live values hub's delay from a write returning to the change reaching
// every subscriber: 100 subscribers each watching the same 100 fields, once
// with one account for all (one read per change) and once with an account
// each (a read per account per change, the worst case). Also the process's
// CPU time per delivered change (writes included). The goal for the whole
// path through the WebSocket is a p99 of 5 ms; this measures the hub's part.
//
//   live_hub_bench [writes]   (default 300)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "data/data_access.h"
#include "engine/control.h"
#include "host/live/live_hub.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vantrel::host::live::LiveHub;
using vantrel::host::live::LiveSubscriber;

constexpr int kSubscribers = 100;
constexpr int kTags = 100;

std::string TagName(int i) { return fmt::format("TI{:03}", i); }

void InstallPlant() {
  using dorvik::FieldSpec;
  dorvik::DatabaseBuilder builder;
  builder.SystemAccount("VNT\\vntsystem")
      .Definition("VN_AnalogDef", {FieldSpec::Real("VALUE").WithQuality()}, {.kinds = {-3}})
      .Grant("*", "VN_AnalogDef", 2);
  for (int i = 0; i < kTags; ++i) builder.Record(TagName(i), "VN_AnalogDef");
  dorvik::Install(builder);
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Counts the subscribers that received something since the last reset.
struct Arrivals {
  std::mutex mutex;
  std::condition_variable all;
  int count = 0;
};

void Run(bool accountEach, int writes) {
  LiveHub hub;
  hub.Start();
  Arrivals arrivals;
  std::vector<std::shared_ptr<LiveSubscriber>> subscribers;
  vantrel::contracts::Tags tags;
  for (int t = 0; t < kTags; ++t) tags[TagName(t)] = {"VALUE"};
  for (int s = 0; s < kSubscribers; ++s) {
    const std::string account = accountEach ? fmt::format("VNT\\user{}", s) : "VNT\\operator";
    subscribers.push_back(hub.Connect(account, [&arrivals] {
      std::lock_guard lock(arrivals.mutex);
      if (++arrivals.count == kSubscribers) arrivals.all.notify_all();
    }));
    hub.Subscribe(subscribers.back(), tags);
    subscribers.back()->Take();
  }
  vantrel::access::DataAccess data;
  std::vector<double> delays;
  const double cpuBefore = CpuSeconds();
  for (int w = 0; w < writes; ++w) {
    {
      std::lock_guard lock(arrivals.mutex);
      arrivals.count = 0;
    }
    vantrel::contracts::TagValuesByNames values;
    vantrel::contracts::TagValues one;
    one.emplace_back(1000.0 + w, vantrel::contracts::DateTime::MinValue, 0, 0);
    values[TagName(w % kTags)]["VALUE"] = std::move(one);
    data.SetTagValues(values);
    const auto written = Clock::now();
    std::unique_lock lock(arrivals.mutex);
    if (!arrivals.all.wait_for(lock, 5s, [&] { return arrivals.count == kSubscribers; })) {
      std::fprintf(stderr, "a change did not reach every subscriber within 5 s\n");
      std::exit(1);
    }
    delays.push_back(std::chrono::duration<double, std::milli>(Clock::now() - written).count());
    lock.unlock();
    for (auto& subscriber : subscribers) subscriber->Take();
  }
  const double cpu = CpuSeconds() - cpuBefore;
  std::sort(delays.begin(), delays.end());
  const auto at = [&](double q) {
    return delays[static_cast<std::size_t>(q * static_cast<double>(delays.size() - 1))];
  };
  std::printf("%-28s writes %4d  to all %d subscribers: p50 %.2f ms  p99 %.2f ms  max %.2f ms  CPU %.1f us per "
              "delivered change\n",
              accountEach ? "an account per subscriber" : "one account", writes, kSubscribers, at(0.5), at(0.99),
              delays.back(), cpu * 1e6 / (static_cast<double>(writes) * kSubscribers));
}

}  // namespace

int main(int argc, char** argv) {
  const int writes = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  InstallPlant();
  Run(false, writes);
  Run(true, writes);
  return 0;
}
