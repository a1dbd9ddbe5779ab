// Reference search over query files: Management::FindReferencesBySource
// (SQL queries) for 20 names over 2,000 query files of 200 lines, next to
// grep over the same files in the same run. Times are CPU times, user and
// system (getrusage): of the search's thread, and of grep's child
// processes. Two baselines ("Raw"): one `grep -c -i -w NAME` per name
// ("GrepPerName") and one `grep -c -i -w -e N1 -e N2 ...` for all names
// ("GrepAllNames"); the search runs under both kinds so that each ratio is
// printed. Items are lines; each figure is the minimum of five repetitions.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "bench/ratio_reporter.h"
#include "engine/control.h"
#include "management/management.h"

extern char** environ;

namespace vantrel::bench {
namespace {

namespace fs = std::filesystem;

constexpr int kNames = 20;
constexpr int kFiles = 2000;
constexpr int kLinesPerFile = 200;
constexpr int kRepetitions = 5;

// The query files and their database, made once; the folder goes at exit.
struct Corpus {
  Corpus() : folder(fs::temp_directory_path() / fmt::format("vantrel-refs-bench-{}", ::getpid())) {
    for (int i = 0; i < kNames; ++i) names.push_back((i % 2 == 0 ? "TI" : "FIC_") + std::to_string(1001 + i));
    std::vector<std::string> words{"SELECT",
                                   "FROM",
                                   "WHERE",
                                   "AND",
                                   "OR",
                                   "GROUP",
                                   "BY",
                                   "ORDER",
                                   "AVG(",
                                   ")",
                                   "=",
                                   ",",
                                   "'",
                                   "VALUE",
                                   "TIME",
                                   "TAG",
                                   "IN",
                                   "1",
                                   "0.5",
                                   "NULL",
                                   "CASE",
                                   "WHEN",
                                   "THEN",
                                   "END",
                                   "CURRENT_VALUES",
                                   "VN_HISTORY",
                                   "H.TIME",
                                   "DATEPART(HOUR,"};
    // Each name, its neighbours and near misses, rare next to the keywords.
    std::vector<std::string> near;
    for (const std::string& name : names) {
      for (const std::string& word : {name, "'" + name + "'", name + ".VALUE", "X" + name, name + "0", name + "_OLD",
                                      name.substr(0, name.size() - 1)}) {
        near.push_back(word);
      }
    }
    fs::create_directories(folder);
    dorvik::DatabaseBuilder builder;
    builder.Environment("COMPRESS_SOURCE", folder.string())
        .Definition("CompQueryDef", {dorvik::FieldSpec::Text("DESCRIPTION", 40)})
        .Definition("QueryDef", {dorvik::FieldSpec::Count("QUERY_LINE_COUNT"),
                                 dorvik::FieldSpec::Text("QUERY_LINE", 80).InRepeatArea("QUERY_LINE_COUNT")});
    std::mt19937 random(42);
    for (int file = 0; file < kFiles; ++file) {
      const std::string record = fmt::format("CQ_{:05}", file);
      builder.Record(record, "CompQueryDef");
      std::ofstream out(folder / (record + ".sql"), std::ios::binary);
      for (int line = 0; line < kLinesPerFile; ++line) {
        for (int word = 0; word < 8; ++word) {
          out << (random() % 20 == 0 ? near[random() % near.size()] : words[random() % words.size()]) << ' ';
        }
        out << '\n';
      }
      paths.push_back((folder / (record + ".sql")).string());
    }
    dorvik::Install(builder);
  }
  ~Corpus() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }

  fs::path folder;
  std::vector<std::string> names;
  std::vector<std::string> paths;
};

const Corpus& TheCorpus() {
  static const Corpus corpus;
  return corpus;
}

// User and system CPU seconds of this thread or of the waited-for children.
struct Cpu {
  double user = 0;
  double system = 0;
  double Total() const { return user + system; }
  static Cpu Of(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec * 1e-6; };
    return Cpu{seconds(usage.ru_utime), seconds(usage.ru_stime)};
  }
  Cpu operator-(const Cpu& earlier) const { return Cpu{user - earlier.user, system - earlier.system}; }
};

// Reports an iteration's CPU time as its time, and its split.
void Record(benchmark::State& state, const Cpu& used, Cpu& sum) {
  state.SetIterationTime(used.Total());
  sum.user += used.user;
  sum.system += used.system;
}

void ReportSplit(benchmark::State& state, const Cpu& sum) {
  const auto perIteration = benchmark::Counter::kAvgIterations;
  state.counters["user_ms"] = benchmark::Counter(sum.user * 1e3, perIteration);
  state.counters["sys_ms"] = benchmark::Counter(sum.system * 1e3, perIteration);
  state.SetItemsProcessed(state.iterations() * kFiles * kLinesPerFile);
}

// Runs grep with the given options before the files, its output discarded.
bool RunGrep(std::vector<std::string> arguments, const std::vector<std::string>& files) {
  arguments.insert(arguments.begin(), "grep");
  arguments.insert(arguments.end(), files.begin(), files.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned = ::posix_spawnp(&child, "grep", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) <= 1;  // 1: no line matched
}

void Search(benchmark::State& state) {
  const Corpus& corpus = TheCorpus();
  access::Management management;
  Cpu sum;
  for (auto _ : state) {
    const Cpu before = Cpu::Of(RUSAGE_THREAD);
    const contracts::TagReferences found =
        management.FindReferencesBySource(corpus.names, contracts::ReferenceSourceTypeEnum::SqlQuery);
    Record(state, Cpu::Of(RUSAGE_THREAD) - before, sum);
    if (found.size() != corpus.names.size()) state.SkipWithError("a name was not found");
    benchmark::DoNotOptimize(found);
  }
  ReportSplit(state, sum);
}

void Grep(benchmark::State& state, bool perName) {
  const Corpus& corpus = TheCorpus();
  const std::vector<std::string> options{"-c", "-i", "-w"};
  Cpu sum;
  for (auto _ : state) {
    const Cpu before = Cpu::Of(RUSAGE_CHILDREN);
    bool ran = true;
    if (perName) {
      for (const std::string& name : corpus.names) {
        std::vector<std::string> arguments = options;
        arguments.insert(arguments.end(), {"-e", name});
        ran = RunGrep(arguments, corpus.paths) && ran;
      }
    } else {
      std::vector<std::string> arguments = options;
      for (const std::string& name : corpus.names) arguments.insert(arguments.end(), {"-e", name});
      ran = RunGrep(arguments, corpus.paths);
    }
    Record(state, Cpu::Of(RUSAGE_CHILDREN) - before, sum);
    if (!ran) state.SkipWithError("grep failed");
  }
  ReportSplit(state, sum);
}

double Minimum(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

// Every role reports CPU time as manual time, so that names and ratios match.
void Configure(benchmark::internal::Benchmark* benchmark) {
  benchmark->Arg(kNames)
      ->Unit(benchmark::kMillisecond)
      ->UseManualTime()
      ->Repetitions(kRepetitions)
      ->ComputeStatistics("min", Minimum);
}
BENCHMARK(Search)->Name("QuerySearch/GrepPerName/Library")->Apply(Configure);
BENCHMARK_CAPTURE(Grep, perName, true)->Name("QuerySearch/GrepPerName/Raw")->Apply(Configure);
BENCHMARK(Search)->Name("QuerySearch/GrepAllNames/Library")->Apply(Configure);
BENCHMARK_CAPTURE(Grep, allNames, false)->Name("QuerySearch/GrepAllNames/Raw")->Apply(Configure);

}  // namespace
}  // namespace vantrel::bench

int main(int argc, char** argv) { return vantrel::bench::RunWithRatios(argc, argv); }
