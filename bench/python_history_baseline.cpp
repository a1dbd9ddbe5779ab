// The C++ side of bench/python_history_bench.py: the database it reads, and
// the same history read in C++ into the library's contract types.
//
//   python_history_baseline make DIR    builds DIR: records H1, H2, H3 with a
//                                       real VALUE whose history holds
//                                       1,000,000 / 333,334 / 333,334 values,
//                                       one a second from 2024-01-01T00:00Z
//   python_history_baseline read DIR N  reads H1.VALUE's 1,000,000 values N
//                                       times in pages of the per-call limit,
//                                       as the Python package does, and
//                                       prints the least CPU time of a read
//                                       (of a fresh heap, and of a settled
//                                       one: "cpu_seconds 0.123")
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/dorvik.h"
#include "contracts/collections.h"
#include "data/data_access.h"
#include "engine/control.h"
#include "python/module/history_columns.h"
#include "server/server_management.h"

namespace {

using vantrel::contracts::DateTime;

constexpr int64_t kStartSeconds = 1'704'067'200;  // 2024-01-01T00:00:00Z
constexpr int32_t kLongCount = 1'000'000;
constexpr int32_t kShortCount = 333'334;

void MakeDatabase(const std::string& folder) {
  dorvik::DatabaseBuilder builder;
  // The sample plant's installation, so that a host started with
  // examples/registry.reg serves this database too.
  builder.SystemAccount("VNT\\vntsystem")
      .Environment("DORVIK_GROUP_NAME", "PLANT1")
      .Environment("VANTREL_VERSION", "17.0")
      .Definition("BenchDef", {dorvik::FieldSpec::Real("VALUE").WithQuality().WithHistory()});
  const std::vector<std::pair<const char*, int32_t>> tags{{"H1", kLongCount}, {"H2", kShortCount}, {"H3", kShortCount}};
  for (const auto& [name, count] : tags) {
    builder.Record(name, "BenchDef");
    std::vector<dorvik::HistoryPoint> points;
    points.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
      points.push_back({dorvik::Timestamp::FromSeconds(kStartSeconds + i), dorvik::Value(20.0 + (i % 1000) * 0.01), 0});
    }
    builder.History(name, "VALUE", std::move(points));
  }
  builder.Grant("*", "BenchDef", 3);
  dorvik::CreateDatabase(builder, folder);
}

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Every value of the record's VALUE from the start on, in pages of the
// per-call limit, each page starting at the last time of the one before.
// The caller keeps what it read, as the Python package keeps its arrays:
// the pages stay alive until the read is over.
std::size_t ReadAll(int32_t recordId, int32_t fieldId, int32_t pageLimit) {
  std::vector<vantrel::contracts::TagValues> pages;
  std::size_t total = 0;
  DateTime cursor = vantrel::python::DateTimeFromNanoseconds(kStartSeconds * 1'000'000'000LL);
  const DateTime end = vantrel::python::DateTimeFromNanoseconds((kStartSeconds + kLongCount) * 1'000'000'000LL);
  for (;;) {
    vantrel::contracts::HistoryRequestById request;
    request.TagId = recordId;
    request.FieldId = fieldId;
    request.Query.StartTime = cursor;
    request.Query.EndTime = end;
    request.Query.MaxCount = pageLimit;
    pages.push_back(vantrel::python::ReadHistoryPage(request, std::nullopt));
    const auto& page = pages.back();
    total += page.size() - (pages.size() == 1 || page.empty() ? 0 : 1);
    if (static_cast<int32_t>(page.size()) < pageLimit) return total;
    cursor = page.back().Timestamp;
  }
}

int Read(const std::string& folder, int runs) {
  dorvik::Open(folder);
  if (INIDORV() == 0) return 1;
  int32_t recordId = 0;
  int32_t fieldId = 0;
  {
    vantrel::access::DataAccess session;
    recordId = session.GetRecordID("H1");
    fieldId = session.GetAttributeID("VALUE");
  }
  const int32_t pageLimit = vantrel::access::ServerManagement().GetMaxHistorySizePerCall();
  std::size_t values = 0;
  auto least = [&] {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
      const double before = CpuSeconds();
      values = ReadAll(recordId, fieldId, pageLimit);
      best = std::min(best, CpuSeconds() - before);
    }
    return best;
  };
  // A page of contract values (some 700 KB) lies above malloc's first mmap
  // threshold, so a fresh process maps and unmaps every page and pays the
  // page faults; a process that has run a while (a host, a Python session)
  // keeps such blocks on its heap. Both are measured; the second, the
  // library's own cost, is the baseline.
  const double fresh = least();
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  const double settled = least();
  ENDDORV();
  std::printf("values %zu\ncpu_seconds_fresh_heap %.6f\ncpu_seconds %.6f\n", values, fresh, settled);
  return values == static_cast<std::size_t>(kLongCount) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "make" && argc == 3) {
    MakeDatabase(argv[2]);
    return 0;
  }
  if (command == "read" && argc == 4) return Read(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: python_history_baseline make DIR | read DIR RUNS\n");
  return 64;
}
