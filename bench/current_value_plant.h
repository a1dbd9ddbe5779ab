// The database and requests of the current-value benchmarks: kPlantRecords
// records of one definition, each with a double with quality (VALUE) and a
// text of kPlantTextLength characters (LABEL); requests name one field of
// each of the first n records. RawBatches is the baseline: the same items
// through bare MRDBVALS/MWDBVALS calls in batches of 500. Not thread-safe.
#ifndef VANTREL_BENCH_CURRENT_VALUE_PLANT_H_
#define VANTREL_BENCH_CURRENT_VALUE_PLANT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "api/records.h"
#include "contracts/collections.h"

namespace vantrel::bench {

inline constexpr int kPlantRecords = 50'000;
inline constexpr int kNativeBatch = 500;
inline constexpr int16_t kPlantTextLength = 40;

enum class Kind { Double, Text };

struct Plant {
  std::vector<int32_t> ids;
  std::vector<std::string> names;
  int32_t valueTag = 0;
  int32_t labelTag = 0;

  int32_t FieldTag(Kind kind) const { return kind == Kind::Double ? valueTag : labelTag; }
  static std::string FieldName(Kind kind) { return kind == Kind::Double ? "VALUE" : "LABEL"; }
};

// Built and installed on first use.
const Plant& BenchPlant();

// Requests over the first n records.
contracts::TagsById RequestByIds(const Plant& plant, Kind kind, int n);
contracts::Tags RequestByNames(const Plant& plant, Kind kind, int n);
contracts::TagValuesByIds WriteRequestByIds(const Plant& plant, Kind kind, int n);
contracts::TagValuesByNames WriteRequestByNames(const Plant& plant, Kind kind, int n);

// The native arrays of raw batches over the first n records.
class RawBatches {
 public:
  RawBatches(const Plant& plant, Kind kind, int n);

  // One pass over all n items.
  void Read();
  void Write();

 private:
  // Points every text record of a batch of count items at its buffer.
  void PrepareTexts(int count);

  Kind kind_;
  std::vector<IDANDFT> items_;
  std::vector<int16_t> types_;
  std::vector<ERRBLOCK> errors_;
  std::vector<std::byte> buffer_;
  std::vector<char> texts_;
};

}  // namespace vantrel::bench

#endif  // VANTREL_BENCH_CURRENT_VALUE_PLANT_H_
