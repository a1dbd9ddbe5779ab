// Opening large database files: the time of dorvik::Open and the resident
// memory the loaded database keeps, per record. The files are written once,
// by a child process (so that building them leaves no memory behind in this
// one), to a temporary folder that is removed at exit. Shapes: records x
// history values; comparing them shows whether memory grows with the data.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "bench/synthetic_database.h"
#include "engine/control.h"

namespace vantrel::bench {
namespace {

namespace fs = std::filesystem;

constexpr double kMegabyte = 1024.0 * 1024.0;

// The temporary folder of the database files; removed at exit.
class FileFolder {
 public:
  FileFolder() : path_(fs::temp_directory_path() / fmt::format("vantrel_load_bench_{}", ::getpid())) {
    fs::create_directories(path_);
  }
  ~FileFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// Writes the file of shape in a child process and waits for it. The
// program runs single-threaded benchmarks on its only thread, so forking
// is safe here.
void WriteInChild(const SyntheticShape& shape, const std::string& path) {
  std::cout.flush();
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    int code = EXIT_SUCCESS;
    try {
      WriteSyntheticDatabase(shape, path);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "writing %s: %s\n", path.c_str(), error.what());
      code = EXIT_FAILURE;
    }
    std::_Exit(code);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != EXIT_SUCCESS) {
    throw std::runtime_error("could not write " + path);
  }
}

// The database file of records x history values, written on first use.
const std::string& SyntheticFile(int32_t records, int64_t historyValues) {
  static FileFolder folder;
  static std::map<std::pair<int32_t, int64_t>, std::string> files;
  auto& path = files[{records, historyValues}];
  if (path.empty()) {
    const std::string file = (folder.Path() / fmt::format("synthetic_{}_{}.json", records, historyValues)).string();
    WriteInChild(SyntheticShape{records, historyValues}, file);
    path = file;
  }
  return path;
}

// Resident set size in bytes (/proc/self/statm).
double ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

// Peak resident set size in bytes since the last ResetPeak (VmHWM).
double PeakResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
  }
  return 0;
}

// Lets VmHWM start again from the current resident size (Linux 4.0 and up).
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void OpenDatabase(benchmark::State& state) {
  const auto records = static_cast<int32_t>(state.range(0));
  const int64_t historyValues = state.range(1);
  const std::string& path = SyntheticFile(records, historyValues);
  double growth = 0, peakGrowth = 0;
  for (auto _ : state) {
    state.PauseTiming();
    dorvik::Reset();
    ::malloc_trim(0);
    const double before = ResidentBytes();
    ResetPeak();
    state.ResumeTiming();
    dorvik::Open(path);
    state.PauseTiming();
    peakGrowth = PeakResidentBytes() - before;
    // What the loaded database keeps, without the loader's freed memory
    // that the allocator still holds.
    ::malloc_trim(0);
    growth = ResidentBytes() - before;
    state.ResumeTiming();
  }
  dorvik::Reset();
  state.counters["file_MB"] = static_cast<double>(fs::file_size(path)) / kMegabyte;
  state.counters["resident_MB"] = growth / kMegabyte;
  state.counters["peak_MB"] = peakGrowth / kMegabyte;
  state.counters["bytes_per_record"] = growth / records;
  state.SetItemsProcessed(state.iterations() * (records + historyValues));
}

BENCHMARK(OpenDatabase)
    ->ArgNames({"records", "history"})
    ->Args({10'000, 100'000})
    ->Args({100'000, 0})
    ->Args({100'000, 1'000'000})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel::bench

BENCHMARK_MAIN();
