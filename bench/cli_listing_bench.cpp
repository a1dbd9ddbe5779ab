// The listing commands of vntaccess, run in this process as the tool runs
// them (parsed, executed, printed into a sink), over a definition of 10,000
// and of 100,000 records: records as a table, as JSON and by name pattern,
// and the name catalog that suggestions and completion list. Linear means
// equal time per record at both sizes; the target is under a second of CPU
// for 100,000 records (the CPU column).
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "cli/app.h"
#include "cli/database_link.h"
#include "views/name_catalog.h"
#include "engine/control.h"

namespace vantrel::bench {
namespace {

constexpr int kSmall = 10'000;
constexpr int kLarge = 100'000;

std::string DefinitionOf(int records) { return fmt::format("VN_List{}Def", records); }

// Two definitions of kSmall and kLarge records in a database of a folder
// of its own, made once, and the tool's link to it; removed at exit.
class ListingDatabase {
 public:
  ListingDatabase()
      : folder_(std::filesystem::temp_directory_path() / fmt::format("vntaccess-listing-{}", ::getpid())) {
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    dorvik::DatabaseBuilder builder;
    for (int records : {kSmall, kLarge}) {
      const std::string definition = DefinitionOf(records);
      builder.Definition(definition, {dorvik::FieldSpec::Real("VALUE")});
      for (int i = 0; i < records; ++i) builder.Record(fmt::format("R{}_{:07}", records, i), definition);
    }
    dorvik::CreateDatabase(builder, (folder_ / "listing.db").string());
    link_ = std::make_unique<cli::DatabaseLink>((folder_ / "listing.db").string());
  }
  ~ListingDatabase() {
    link_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  ListingDatabase(const ListingDatabase&) = delete;
  ListingDatabase& operator=(const ListingDatabase&) = delete;

  cli::DatabaseLink& Link() { return *link_; }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<cli::DatabaseLink> link_;
};

cli::DatabaseLink& Listed() {
  static ListingDatabase database;
  return database.Link();
}

// Output that goes nowhere, at the cost of handing it over.
class Sink : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char* /*text*/, std::streamsize count) override { return count; }
};

// One command line with {} for the definition, run each iteration with a
// new name catalog (as a new process would).
void RunListing(benchmark::State& state, const std::vector<std::string>& pattern) {
  cli::DatabaseLink& link = Listed();
  const int records = static_cast<int>(state.range(0));
  std::vector<std::string> args;
  for (const auto& word : pattern) args.push_back(fmt::format(fmt::runtime(word), DefinitionOf(records)));
  const cli::CommandLine line = cli::ParseCommandLine(args, cli::LineSource::kShell);
  Sink sink;
  std::ostream out(&sink);
  std::ostream err(&sink);
  for (auto _ : state) {
    cli::NameCatalog catalog;
    if (cli::Execute(line, &link, catalog, out, err, false) != cli::ExitCode::kDone) {
      state.SkipWithError("the command failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * records);
}

void Records(benchmark::State& state) { RunListing(state, {"records", "{}"}); }
void RecordsJson(benchmark::State& state) { RunListing(state, {"records", "{}", "--json"}); }
void RecordsCsv(benchmark::State& state) { RunListing(state, {"records", "{}", "--csv"}); }
void RecordsLike(benchmark::State& state) { RunListing(state, {"records", "{}", "--like", "R*5"}); }

// The catalog of every record name, as a typo's suggestion lists it.
void Suggestion(benchmark::State& state) {
  cli::DatabaseLink& link = Listed();
  const cli::CommandLine line = cli::ParseCommandLine({"type", "R100000_000000X"}, cli::LineSource::kShell);
  Sink sink;
  std::ostream out(&sink);
  for (auto _ : state) {
    cli::NameCatalog catalog;
    benchmark::DoNotOptimize(cli::Execute(line, &link, catalog, out, out, false));
  }
  state.SetItemsProcessed(state.iterations() * (kSmall + kLarge));
}

BENCHMARK(Records)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(RecordsJson)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(RecordsCsv)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(RecordsLike)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(Suggestion)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
}  // namespace vantrel::bench

BENCHMARK_MAIN();
