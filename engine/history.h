// History in the store: the samples of one field occurrence (a series) in
// chunks of up to kChunkCapacity samples, time-ordered, samples of equal
// time in the order they came.
//
// Key:   record id (4) | field tag (4) | first time of the chunk (8) | tiebreak (4)
// Value: ChunkHeader | times (int64 micros) | levels (int16) | values
//        values: int64s (integer, count, time and pointer fields), doubles
//        (reals), or for texts uint32 end offsets then the characters.
// The first time orders the chunks; the tiebreak orders chunks that start
// at the same time (many samples of one time).
//
// SeriesReader walks a series both ways with one cursor; a read of n
// samples touches n / kChunkCapacity entries. Readers and writers belong to
// the thread of their transaction.
#ifndef VANTREL_ENGINE_HISTORY_H_
#define VANTREL_ENGINE_HISTORY_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/catalog.h"
#include "engine/storage/env.h"
#include "engine/view.h"

namespace dorvik {

inline constexpr uint16_t kChunkCapacity = 128;

enum class HistoryKind : uint8_t { kNumber, kReal, kText };
HistoryKind HistoryKindOf(const FieldDef& field);

// One sample's value; which member counts depends on the kind.
struct HistoryValue {
  int64_t number = 0;
  double real = 0;
  std::string_view text;
};

// A chunk read in place (pointers into the map).
struct ChunkView {
  uint16_t count = 0;
  HistoryKind kind = HistoryKind::kNumber;
  const std::byte* times = nullptr;
  const std::byte* levels = nullptr;
  const std::byte* values = nullptr;   // numbers or reals, or text end offsets
  const std::byte* texts = nullptr;    // characters of a text chunk
  std::size_t textBytes = 0;

  Micros Time(std::size_t i) const { return Load<int64_t>(times, i); }
  int16_t Level(std::size_t i) const { return Load<int16_t>(levels, i); }
  int64_t Number(std::size_t i) const { return Load<int64_t>(values, i); }
  double Real(std::size_t i) const { return Load<double>(values, i); }
  std::string_view Text(std::size_t i) const;
  HistoryValue Value(std::size_t i) const;
  // Index of the first sample later than time (upper) or not earlier (lower).
  std::size_t LowerBound(Micros time) const;
  std::size_t UpperBound(Micros time) const;

  template <typename T>
  static T Load(const std::byte* base, std::size_t i) {
    T value;
    std::memcpy(&value, base + i * sizeof(T), sizeof value);
    return value;
  }
};

// Parses a chunk; throws a corruption error when malformed.
ChunkView ParseChunk(const MDB_val& value);

// The series of (id, tag): a position on one sample.
class SeriesReader {
 public:
  SeriesReader(const View& view, int32_t id, int32_t tag);
  bool SeekFirst();
  bool SeekLast();
  // The first sample at or after time.
  bool SeekFirstAtOrAfter(Micros time);
  // The last sample at or before time.
  bool SeekLastAtOrBefore(Micros time);
  bool Next();
  bool Prev();
  // Moves to the next or previous chunk, at its first or last sample. Next,
  // Prev and these stay where they were when there is nothing further.
  bool NextChunk();
  bool PrevChunk();
  const ChunkView& chunk() const { return chunk_; }
  std::size_t index() const { return index_; }
  void SetIndex(std::size_t index) { index_ = index; }
  Micros Time() const { return chunk_.Time(index_); }
  uint32_t tiebreak() const { return tiebreak_; }

 private:
  bool Load(bool found, bool atEnd);
  void Restore();  // puts the cursor back on the current chunk
  int32_t id_, tag_;
  storage::Cursor cursor_;
  ChunkView chunk_;
  std::size_t index_ = 0;
  uint32_t tiebreak_ = 0;
  std::array<std::byte, 20> key_{};  // of the current chunk
};

// Adds one sample after the samples of the same time, anywhere in the series.
void AddSample(WriteView& view, int32_t id, int32_t tag, HistoryKind kind, Micros time, int16_t level,
               const HistoryValue& value);

// Adds many samples to a series: in-order runs go to new full chunks, the
// rest through AddSample. Finish (or the destructor) writes what is held.
class SeriesAppender {
 public:
  SeriesAppender(WriteView& view, int32_t id, int32_t tag, HistoryKind kind);
  SeriesAppender(const SeriesAppender&) = delete;
  SeriesAppender& operator=(const SeriesAppender&) = delete;
  void Add(Micros time, int16_t level, const HistoryValue& value);
  void Finish();

 private:
  void Flush();
  WriteView& view_;
  int32_t id_, tag_;
  HistoryKind kind_;
  bool hasLast_ = false;  // the series holds samples up to last_
  Micros last_ = 0;
  uint32_t lastTiebreak_ = 0;  // of the series' last chunk when it starts at last_
  Micros lastFirst_ = 0;       // first time of the series' last chunk
  std::vector<Micros> times_;
  std::vector<int16_t> levels_;
  std::vector<int64_t> numbers_;
  std::vector<double> reals_;
  std::vector<std::string> texts_;
};

// Number of samples of a series.
int64_t CountSamples(const View& view, int32_t id, int32_t tag);

// Calls visit(id, tag) for every series with samples, in key order.
void ForEachSeries(const View& view, const std::function<void(int32_t id, int32_t tag)>& visit);

// Checks one series: chunks well formed, of the field's kind, samples in
// time order within and across chunks, keys matching first times. Returns
// the number of samples; adds a line per fault to faults.
int64_t CheckSeries(const View& view, int32_t id, int32_t tag, HistoryKind kind, std::vector<std::string>& faults);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_HISTORY_H_
