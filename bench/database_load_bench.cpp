// Making a database ready: importing the JSON file of 100,000 records with
// 1,000,000 history values into a new store (CPU time, and the peak resident
// memory it adds next to the file's size), opening that store and reading
// one value (CPU time: what a process pays to attach), and a whole
// `vntaccess read` process on it (its CPU time from getrusage).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "api/dorvik.h"
#include "bench/synthetic_database.h"
#include "engine/control.h"

extern char** environ;

namespace vantrel::bench {
namespace {

namespace fs = std::filesystem;

const SyntheticShape kShape{100'000, 1'000'000, 100};
constexpr double kMegabyte = 1024.0 * 1024.0;

// Peak resident set size in bytes since the last ResetPeak (VmHWM).
double PeakResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
  }
  return 0;
}

double ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

// Lets VmHWM start again from the current resident size (Linux 4.0 and up).
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::string StorePath() { return fmt::format("{}/load_{}.db", BenchDataFolder(), ::getpid()); }

// Reads one value, as the first call of a client does.
void ReadOne() {
  const std::string name = SyntheticRecordName(kShape.records / 2);
  IDANDFT item{NAME2RECID(name.c_str(), static_cast<int16_t>(name.size())), 0};
  ERRBLOCK error{};
  DECODFT("VALUE", 5, &item.FT, &error);
  const int16_t type = dorvik::api::kTypeDoubleQuality;
  DVANDQU value{};
  int16_t done = 0;
  MRDBVALS(1, &item, &type, &value, &done, &error);
  if (done != 1) throw std::runtime_error("the first read failed");
}

void Import(benchmark::State& state) {
  const std::string json = SyntheticFile(kShape);
  const std::string store = StorePath();
  double peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    dorvik::Reset();
    fs::remove_all(store);
    const double before = ResidentBytes();
    ResetPeak();
    state.ResumeTiming();
    dorvik::ImportDatabase(json, store);
    state.PauseTiming();
    peak = PeakResidentBytes() - before;
    state.ResumeTiming();
  }
  fs::remove_all(store);
  const double fileBytes = static_cast<double>(fs::file_size(json));
  state.counters["file_MB"] = fileBytes / kMegabyte;
  state.counters["peak_MB"] = peak / kMegabyte;
  state.counters["peak_per_file"] = peak / fileBytes;
}

void OpenAndRead(benchmark::State& state) {
  const std::string json = SyntheticFile(kShape);
  const std::string store = StorePath();
  fs::remove_all(store);
  dorvik::ImportDatabase(json, store);
  for (auto _ : state) {
    state.PauseTiming();
    dorvik::Reset();
    state.ResumeTiming();
    dorvik::Open(store);
    INIDORV();
    ReadOne();
    ENDDORV();
  }
  dorvik::Reset();
  fs::remove_all(store);
}

// A whole `vntaccess read` process; its CPU time comes from the child's rusage.
void ToolRead(benchmark::State& state) {
  const std::string json = SyntheticFile(kShape);
  const std::string store = StorePath();
  const std::string tool =
      (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "cli" / "vntaccess").string();
  fs::remove_all(store);
  dorvik::ImportDatabase(json, store);
  const std::string& database = store;
  const std::string record = SyntheticRecordName(kShape.records / 2);
  double cpuSeconds = 0;
  for (auto _ : state) {
    std::vector<std::string> words{tool, "--database", database, "read", record, "VALUE", "DESCRIPTION"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    if (posix_spawn(&child, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot start vntaccess");
      break;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage usage {};
    ::wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("vntaccess read failed");
    const double seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    state.SetIterationTime(seconds);
    cpuSeconds += seconds;
  }
  state.counters["child_cpu_ms"] = 1000 * cpuSeconds / static_cast<double>(state.iterations());
  fs::remove_all(store);
}

BENCHMARK(Import)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenAndRead)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(ToolRead)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel::bench

BENCHMARK_MAIN();
