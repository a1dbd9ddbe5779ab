// Large synthetic databases for the benchmarks: records of one definition
// with ten fields each (reals with quality and history, limits, texts, a
// selector, an integer with quality, a time, a record pointer) and history
// values of their VALUE field. The databases are deterministic: the same
// shape gives the same database. Not thread-safe (builders are not).
#ifndef VANTREL_BENCH_SYNTHETIC_DATABASE_H_
#define VANTREL_BENCH_SYNTHETIC_DATABASE_H_

#include <cstdint>
#include <string>

#include "engine/control.h"

namespace vantrel::bench {

inline constexpr const char* kSyntheticDefinition = "VN_SyntheticDef";
inline constexpr int kSyntheticFieldCount = 10;
inline constexpr int16_t kSyntheticDescriptionLength = 40;  // the DESCRIPTION text field
// History value k of a series lies at kSyntheticStartSeconds + k *
// kSyntheticHistoryStepSeconds (2024-01-01T00:00:00Z, one a minute).
inline constexpr int64_t kSyntheticStartSeconds = 1'704'067'200;
inline constexpr int64_t kSyntheticHistoryStepSeconds = 60;

struct SyntheticShape {
  int32_t records = 100'000;
  int64_t historyValues = 1'000'000;
  // The history is spread evenly over the VALUE field of the first
  // historyRecords records (fewer when there are fewer records).
  int32_t historyRecords = 1'000;
};

// Name of record i (0-based): "SYN0000000" ...
std::string SyntheticRecordName(int32_t index);

// The database of shape, ready to Install or write.
dorvik::DatabaseBuilder SyntheticDatabase(const SyntheticShape& shape);

// Writes the database of shape to a JSON database file.
void WriteSyntheticDatabase(const SyntheticShape& shape, const std::string& path);

// The benchmarks' data folder: beside the program (on the build folder's
// disk), made on first use.
std::string BenchDataFolder();
// The JSON file of shape in the data folder, written (by a child process,
// so that building it leaves no memory behind here) on first use and kept
// for later runs.
std::string SyntheticFile(const SyntheticShape& shape);
// Makes the database of shape current: imported into a new store in the
// data folder and opened.
void OpenSynthetic(const SyntheticShape& shape);

}  // namespace vantrel::bench

#endif  // VANTREL_BENCH_SYNTHETIC_DATABASE_H_
