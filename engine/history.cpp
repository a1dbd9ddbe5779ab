#include "engine/history.h"

#include <algorithm>
#include <bit>
#include <optional>

#include <fmt/format.h>

#include "engine/storage/codec.h"

namespace dorvik {
namespace {

using storage::Bytes;

struct ChunkHeader {
  uint16_t count;
  uint8_t kind;
  uint8_t reserved;
  uint32_t textBytes;
};
static_assert(sizeof(ChunkHeader) == 8);

constexpr std::size_t kKeySize = 20;
constexpr uint32_t kMidTiebreak = 0x80000000u;
constexpr uint64_t kTiebreakEnd = uint64_t{1} << 32;  // one past the largest tiebreak
// How far an append steps forward from the batch cursor's entry before it
// searches from the root: a series or two of a batch written in key order.
constexpr int kSeriesSteps = 4;

using Key = std::array<std::byte, kKeySize>;

// Big-endian by whole words: a key is made for every sample written.
template <typename Word>
void PutBigEndianWord(std::byte* out, Word value) {
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(Word) == 8) value = __builtin_bswap64(value);
    if constexpr (sizeof(Word) == 4) value = __builtin_bswap32(value);
  }
  std::memcpy(out, &value, sizeof value);
}

Key MakeKey(int32_t id, int32_t tag, Micros time, uint32_t tiebreak) {
  Key key;
  PutBigEndianWord(key.data(), static_cast<uint32_t>(id));
  PutBigEndianWord(key.data() + 4, static_cast<uint32_t>(tag));
  PutBigEndianWord(key.data() + 8, storage::OrderedTime(time));
  PutBigEndianWord(key.data() + 16, tiebreak);
  return key;
}

bool InSeries(const MDB_val& key, int32_t id, int32_t tag) {
  if (key.mv_size != kKeySize) return false;
  const auto* bytes = static_cast<const std::byte*>(key.mv_data);
  return storage::GetBigEndian32(bytes) == static_cast<uint32_t>(id) &&
         storage::GetBigEndian32(bytes + 4) == static_cast<uint32_t>(tag);
}

Micros KeyTime(const MDB_val& key) {
  return storage::TimeFromOrdered(storage::GetBigEndian64(static_cast<const std::byte*>(key.mv_data) + 8));
}
uint32_t KeyTiebreak(const MDB_val& key) {
  return storage::GetBigEndian32(static_cast<const std::byte*>(key.mv_data) + 16);
}

// A tiebreak strictly after `after` (when given) and before `before`.
std::optional<uint32_t> Between(std::optional<uint32_t> after, uint64_t before) {
  const uint64_t low = after ? uint64_t{*after} + 1 : 0;
  if (low >= before) return std::nullopt;
  return static_cast<uint32_t>(after ? low + (before - low) / 2 : std::min<uint64_t>(kMidTiebreak, before / 2));
}

// Positions cursor on the last entry before key (or at it, when orAt);
// false when there is none.
bool SeekBefore(storage::Cursor& cursor, const Key& key, MDB_val& found, MDB_val& value, bool orAt = false) {
  found = Bytes(key.data(), key.size());
  if (!cursor.Move(found, value, MDB_SET_RANGE)) return cursor.Move(found, value, MDB_LAST);
  if (orAt && found.mv_size == key.size() && std::memcmp(found.mv_data, key.data(), key.size()) == 0) return true;
  return cursor.Move(found, value, MDB_PREV);
}

// The largest key a chunk of the series can have.
Key SeriesEnd(int32_t id, int32_t tag) { return MakeKey(id, tag, INT64_MAX, UINT32_MAX); }

// First time and tiebreak of a chunk key, copied out of the map before the
// transaction changes anything.
struct ChunkKey {
  Micros first;
  uint32_t tiebreak;
};
std::optional<ChunkKey> NextChunkKey(storage::Cursor& cursor, int32_t id, int32_t tag) {
  MDB_val key, value;
  if (!cursor.Move(key, value, MDB_NEXT) || !InSeries(key, id, tag)) return std::nullopt;
  return ChunkKey{KeyTime(key), KeyTiebreak(key)};
}

// A chunk to change: the samples in vectors.
struct ChunkBuffer {
  HistoryKind kind = HistoryKind::kNumber;
  std::vector<Micros> times;
  std::vector<int16_t> levels;
  std::vector<int64_t> numbers;
  std::vector<double> reals;
  std::vector<std::string> texts;

  explicit ChunkBuffer(HistoryKind k) : kind(k) {}
  explicit ChunkBuffer(const ChunkView& view) : kind(view.kind) {
    for (std::size_t i = 0; i < view.count; ++i) Insert(i, view.Time(i), view.Level(i), view.Value(i));
  }
  std::size_t size() const { return times.size(); }
  void Insert(std::size_t at, Micros time, int16_t level, const HistoryValue& value) {
    const auto offset = static_cast<std::ptrdiff_t>(at);
    times.insert(times.begin() + offset, time);
    levels.insert(levels.begin() + offset, level);
    switch (kind) {
      case HistoryKind::kNumber: numbers.insert(numbers.begin() + offset, value.number); break;
      case HistoryKind::kReal: reals.insert(reals.begin() + offset, value.real); break;
      case HistoryKind::kText: texts.insert(texts.begin() + offset, std::string(value.text)); break;
    }
  }
  // Moves the samples from index `from` on into a new buffer.
  ChunkBuffer SplitOff(std::size_t from) {
    ChunkBuffer tail(kind);
    const auto at = static_cast<std::ptrdiff_t>(from);
    tail.times.assign(times.begin() + at, times.end());
    tail.levels.assign(levels.begin() + at, levels.end());
    times.resize(from);
    levels.resize(from);
    if (kind == HistoryKind::kNumber) {
      tail.numbers.assign(numbers.begin() + at, numbers.end());
      numbers.resize(from);
    } else if (kind == HistoryKind::kReal) {
      tail.reals.assign(reals.begin() + at, reals.end());
      reals.resize(from);
    } else {
      tail.texts.assign(std::make_move_iterator(texts.begin() + at), std::make_move_iterator(texts.end()));
      texts.resize(from);
    }
    return tail;
  }
  std::vector<std::byte> Encode() const {
    storage::ByteWriter out;
    uint32_t textBytes = 0;
    for (const std::string& text : texts) textBytes += static_cast<uint32_t>(text.size());
    out.Put(ChunkHeader{static_cast<uint16_t>(size()), static_cast<uint8_t>(kind), 0, textBytes});
    out.Raw(times.data(), times.size() * sizeof(Micros)).Raw(levels.data(), levels.size() * sizeof(int16_t));
    if (kind == HistoryKind::kNumber) out.Raw(numbers.data(), numbers.size() * sizeof(int64_t));
    if (kind == HistoryKind::kReal) out.Raw(reals.data(), reals.size() * sizeof(double));
    if (kind == HistoryKind::kText) {
      uint32_t end = 0;
      for (const std::string& text : texts) out.Put(end += static_cast<uint32_t>(text.size()));
      for (const std::string& text : texts) out.Raw(text.data(), text.size());
    }
    return out.bytes();
  }
};

void PutChunk(WriteView& view, const Key& key, const ChunkBuffer& chunk) {
  const std::vector<std::byte> bytes = chunk.Encode();
  storage::Put(view.txn(), view.table(Table::kHistory), Bytes(key.data(), key.size()),
               Bytes(bytes.data(), bytes.size()));
}

// Puts chunk at (time of its first sample, tiebreak), splitting it in two
// when it grew past the capacity and a key for the second half fits before
// the next chunk (next: its key, when in the series).
void PutSplitting(WriteView& view, int32_t id, int32_t tag, ChunkBuffer chunk, uint32_t tiebreak,
                  const std::optional<ChunkKey>& next) {
  const Micros first = chunk.times.front();
  if (chunk.size() > kChunkCapacity) {
    // Prefer a second half that starts later than the first, so that its key
    // needs no tiebreak.
    std::size_t at = chunk.size() / 2;
    while (at < chunk.size() && chunk.times[at] == first) ++at;
    if (at == chunk.size()) at = chunk.size() / 2;
    const Micros second = chunk.times[at];
    const uint64_t before = next && next->first == second ? next->tiebreak : kTiebreakEnd;
    if (const auto secondTiebreak = Between(second == first ? std::optional(tiebreak) : std::nullopt, before)) {
      ChunkBuffer tail = chunk.SplitOff(at);
      PutChunk(view, MakeKey(id, tag, second, *secondTiebreak), tail);
    }
  }
  PutChunk(view, MakeKey(id, tag, first, tiebreak), chunk);
}

}  // namespace

HistoryKind HistoryKindOf(const FieldDef& field) {
  switch (field.dataType) {
    case kTypeReal: return HistoryKind::kReal;
    case kTypeCharacter:
    case kTypeCharacter5: return HistoryKind::kText;
    default: return HistoryKind::kNumber;
  }
}

std::string_view ChunkView::Text(std::size_t i) const {
  const auto end = Load<uint32_t>(values, i);
  const uint32_t start = i == 0 ? 0 : Load<uint32_t>(values, i - 1);
  return std::string_view(reinterpret_cast<const char*>(texts) + start, end - start);
}

HistoryValue ChunkView::Value(std::size_t i) const {
  HistoryValue value;
  switch (kind) {
    case HistoryKind::kNumber: value.number = Number(i); break;
    case HistoryKind::kReal: value.real = Real(i); break;
    case HistoryKind::kText: value.text = Text(i); break;
  }
  return value;
}

std::size_t ChunkView::LowerBound(Micros time) const {
  std::size_t low = 0, high = count;
  while (low < high) {
    const std::size_t mid = (low + high) / 2;
    (Time(mid) < time ? low = mid + 1 : high = mid);
  }
  return low;
}

std::size_t ChunkView::UpperBound(Micros time) const {
  std::size_t low = 0, high = count;
  while (low < high) {
    const std::size_t mid = (low + high) / 2;
    (Time(mid) <= time ? low = mid + 1 : high = mid);
  }
  return low;
}

ChunkView ParseChunk(const MDB_val& value) {
  storage::ByteReader in(value, "history chunk");
  const auto header = in.Get<ChunkHeader>();
  if (header.count == 0 || header.kind > static_cast<uint8_t>(HistoryKind::kText)) {
    storage::ThrowCorrupted("history chunk header");
  }
  ChunkView chunk;
  chunk.count = header.count;
  chunk.kind = static_cast<HistoryKind>(header.kind);
  chunk.times = in.Take(header.count * sizeof(int64_t));
  chunk.levels = in.Take(header.count * sizeof(int16_t));
  if (chunk.kind == HistoryKind::kText) {
    chunk.values = in.Take(header.count * sizeof(uint32_t));
    chunk.texts = in.Take(header.textBytes);
    chunk.textBytes = header.textBytes;
    uint32_t previous = 0;
    for (std::size_t i = 0; i < header.count; ++i) {
      const auto end = ChunkView::Load<uint32_t>(chunk.values, i);
      if (end < previous || end > header.textBytes) storage::ThrowCorrupted("history chunk texts");
      previous = end;
    }
  } else {
    chunk.values = in.Take(header.count * sizeof(int64_t));
  }
  if (in.left() != 0) storage::ThrowCorrupted("history chunk size");
  return chunk;
}

// --- SeriesReader -------------------------------------------------------------

SeriesReader::SeriesReader(const View& view, int32_t id, int32_t tag)
    : id_(id), tag_(tag), cursor_(view.txn(), view.table(Table::kHistory)) {}

bool SeriesReader::Load(bool found, bool atEnd) {
  MDB_val key, value;
  if (!found || !cursor_.Move(key, value, MDB_GET_CURRENT) || !InSeries(key, id_, tag_)) return false;
  chunk_ = ParseChunk(value);
  tiebreak_ = KeyTiebreak(key);
  std::memcpy(key_.data(), key.mv_data, key_.size());
  index_ = atEnd ? chunk_.count - 1u : 0u;
  return true;
}

bool SeriesReader::SeekFirst() {
  const Key start = MakeKey(id_, tag_, INT64_MIN, 0);
  MDB_val key = Bytes(start.data(), start.size()), value;
  return Load(cursor_.Move(key, value, MDB_SET_RANGE), false);
}

bool SeriesReader::SeekLast() {
  MDB_val key, value;
  return Load(SeekBefore(cursor_, SeriesEnd(id_, tag_), key, value, true), true);
}

bool SeriesReader::SeekFirstAtOrAfter(Micros time) {
  MDB_val key, value;
  if (Load(SeekBefore(cursor_, MakeKey(id_, tag_, time, 0), key, value), false)) {
    index_ = chunk_.LowerBound(time);
    if (index_ < chunk_.count) return true;
    return NextChunk();
  }
  const Key start = MakeKey(id_, tag_, time, 0);
  key = Bytes(start.data(), start.size());
  return Load(cursor_.Move(key, value, MDB_SET_RANGE), false);
}

bool SeriesReader::SeekLastAtOrBefore(Micros time) {
  if (time == INT64_MAX) return SeekLast();
  MDB_val key, value;
  if (!Load(SeekBefore(cursor_, MakeKey(id_, tag_, time + 1, 0), key, value), false)) return false;
  index_ = chunk_.UpperBound(time) - 1;  // the chunk starts at or before time
  return true;
}

bool SeriesReader::Next() {
  if (index_ + 1 < chunk_.count) {
    ++index_;
    return true;
  }
  return NextChunk();
}

bool SeriesReader::Prev() {
  if (index_ > 0) {
    --index_;
    return true;
  }
  return PrevChunk();
}

bool SeriesReader::NextChunk() {
  MDB_val key, value;
  if (Load(cursor_.Move(key, value, MDB_NEXT), false)) return true;
  Restore();
  return false;
}

bool SeriesReader::PrevChunk() {
  MDB_val key, value;
  if (Load(cursor_.Move(key, value, MDB_PREV), true)) return true;
  Restore();
  return false;
}

void SeriesReader::Restore() {
  if (chunk_.count == 0) return;
  MDB_val key = Bytes(key_.data(), key_.size()), value;
  cursor_.Move(key, value, MDB_SET_KEY);
}

// --- Writing ------------------------------------------------------------------

namespace {
// A stored chunk that a sample of kind joins; one of another kind is damage.
ChunkView ParseChunkOf(const MDB_val& stored, HistoryKind kind) {
  const ChunkView chunk = ParseChunk(stored);
  if (chunk.kind != kind) storage::ThrowCorrupted("history chunk kind");
  return chunk;
}

// A stored chunk key, copied out of the map before the chunk changes.
Key CopyKey(const MDB_val& stored) {
  Key key;
  std::memcpy(key.data(), stored.mv_data, key.size());
  return key;
}

// Appends one sample after the last of a stored chunk without decoding it:
// each column is copied as one block with the sample's bytes after it, into
// a buffer kept by the thread, which then replaces the chunk at the cursor.
// The stored bytes are those the whole-chunk encoding would write.
void AppendToChunk(storage::Cursor& cursor, const Key& key, const ChunkView& chunk, Micros time, int16_t level,
                   const HistoryValue& value) {
  const std::size_t count = chunk.count;
  const bool text = chunk.kind == HistoryKind::kText;
  const std::size_t valueSize = text ? sizeof(uint32_t) : sizeof(int64_t);
  const std::size_t textBytes = chunk.textBytes + (text ? value.text.size() : 0);
  if (textBytes > UINT32_MAX) storage::ThrowCorrupted("history chunk texts");
  thread_local std::vector<std::byte> bytes;
  bytes.resize(sizeof(ChunkHeader) + (count + 1) * (sizeof(Micros) + sizeof(int16_t) + valueSize) +
               (text ? textBytes : 0));
  std::byte* out = bytes.data();
  const auto put = [&out](const void* data, std::size_t size) {
    if (size != 0) std::memcpy(out, data, size);
    out += size;
  };
  const ChunkHeader header{static_cast<uint16_t>(count + 1), static_cast<uint8_t>(chunk.kind), 0,
                           static_cast<uint32_t>(textBytes)};
  put(&header, sizeof header);
  put(chunk.times, count * sizeof(Micros));
  put(&time, sizeof time);
  put(chunk.levels, count * sizeof(int16_t));
  put(&level, sizeof level);
  put(chunk.values, count * valueSize);
  switch (chunk.kind) {
    case HistoryKind::kNumber: put(&value.number, sizeof value.number); break;
    case HistoryKind::kReal: put(&value.real, sizeof value.real); break;
    case HistoryKind::kText: {
      const auto end = static_cast<uint32_t>(textBytes);
      put(&end, sizeof end);
      put(chunk.texts, chunk.textBytes);
      put(value.text.data(), value.text.size());
      break;
    }
  }
  cursor.Put(Bytes(key.data(), key.size()), Bytes(bytes.data(), bytes.size()), MDB_CURRENT);
}

// A chunk of one sample at key.
void PutSingle(WriteView& view, const Key& key, HistoryKind kind, Micros time, int16_t level,
               const HistoryValue& value) {
  ChunkBuffer single(kind);
  single.Insert(0, time, level, value);
  PutChunk(view, key, single);
}

}  // namespace

void AddSample(WriteView& view, int32_t id, int32_t tag, HistoryKind kind, Micros time, int16_t level,
               const HistoryValue& value) {
  // The batch's cursor when there is one: a cursor per sample costs more
  // than the append itself.
  std::optional<storage::Cursor> own;
  storage::Cursor& cursor =
      view.historyCursor() != nullptr ? *view.historyCursor() : own.emplace(view.txn(), view.table(Table::kHistory));
  MDB_val key, stored;
  // The last chunk that starts at or before time takes the sample. A batch
  // writes its series mostly in key order: from where the last append left
  // the cursor the chunk is usually a step or two ahead.
  const Key last = MakeKey(id, tag, time, UINT32_MAX);
  if (cursor.SeekAtOrBefore(Bytes(last.data(), last.size()), key, stored, kSeriesSteps) && InSeries(key, id, tag)) {
    const ChunkKey at{KeyTime(key), KeyTiebreak(key)};
    const ChunkView found = ParseChunkOf(stored, kind);
    const bool atEnd = found.Time(found.count - 1u) <= time;
    if (atEnd && found.count < kChunkCapacity) {
      // After the chunk's last sample, with room: written in place.
      AppendToChunk(cursor, CopyKey(key), found, time, level, value);
      return;
    }
    const std::optional<ChunkKey> next = NextChunkKey(cursor, id, tag);
    if (atEnd) {
      // Appending to a full chunk starts the next one.
      if (const auto after = Between(at.first == time ? std::optional(at.tiebreak) : std::nullopt,
                                     next && next->first == time ? next->tiebreak : kTiebreakEnd)) {
        PutSingle(view, MakeKey(id, tag, time, *after), kind, time, level, value);
        return;
      }
    }
    // Within the chunk (or no key fits after it): the chunk is decoded, the
    // sample inserted after those of the same time, and the chunk split when
    // it grew past its capacity.
    ChunkBuffer chunk(found);
    const auto index = static_cast<std::size_t>(std::upper_bound(chunk.times.begin(), chunk.times.end(), time) -
                                                chunk.times.begin());
    chunk.Insert(index, time, level, value);
    PutSplitting(view, id, tag, std::move(chunk), at.tiebreak, next);
    return;
  }
  // Earlier than every chunk: the first chunk takes it and is keyed anew.
  const Key start = MakeKey(id, tag, INT64_MIN, 0);
  key = Bytes(start.data(), start.size());
  if (cursor.Move(key, stored, MDB_SET_RANGE) && InSeries(key, id, tag)) {
    const Key old = MakeKey(id, tag, KeyTime(key), KeyTiebreak(key));
    ChunkBuffer chunk(ParseChunkOf(stored, kind));
    const std::optional<ChunkKey> next = NextChunkKey(cursor, id, tag);
    storage::Delete(view.txn(), view.table(Table::kHistory), Bytes(old.data(), old.size()));
    chunk.Insert(0, time, level, value);
    PutSplitting(view, id, tag, std::move(chunk), kMidTiebreak, next);
    return;
  }
  PutSingle(view, MakeKey(id, tag, time, kMidTiebreak), kind, time, level, value);
}

SeriesAppender::SeriesAppender(WriteView& view, int32_t id, int32_t tag, HistoryKind kind)
    : view_(view), id_(id), tag_(tag), kind_(kind) {
  SeriesReader reader(view, id, tag);
  if (!reader.SeekLast()) return;
  hasLast_ = true;
  last_ = reader.Time();
  lastFirst_ = reader.chunk().Time(0);
  lastTiebreak_ = reader.tiebreak();
}

void SeriesAppender::Add(Micros time, int16_t level, const HistoryValue& value) {
  const bool inOrder = times_.empty() ? (!hasLast_ || time >= last_) : time >= times_.back();
  if (!inOrder) {
    Flush();
    AddSample(view_, id_, tag_, kind_, time, level, value);
    SeriesAppender reread(view_, id_, tag_, kind_);
    hasLast_ = reread.hasLast_;
    last_ = reread.last_;
    lastFirst_ = reread.lastFirst_;
    lastTiebreak_ = reread.lastTiebreak_;
    return;
  }
  times_.push_back(time);
  levels_.push_back(level);
  switch (kind_) {
    case HistoryKind::kNumber: numbers_.push_back(value.number); break;
    case HistoryKind::kReal: reals_.push_back(value.real); break;
    case HistoryKind::kText: texts_.emplace_back(value.text); break;
  }
  if (times_.size() >= kChunkCapacity) Flush();
}

void SeriesAppender::Finish() { Flush(); }

void SeriesAppender::Flush() {
  if (times_.empty()) return;
  const Micros first = times_.front();
  const auto tiebreak =
      hasLast_ && lastFirst_ == first ? Between(lastTiebreak_, kTiebreakEnd) : std::optional(kMidTiebreak);
  ChunkBuffer chunk(kind_);
  chunk.times = std::move(times_);
  chunk.levels = std::move(levels_);
  chunk.numbers = std::move(numbers_);
  chunk.reals = std::move(reals_);
  chunk.texts = std::move(texts_);
  times_.clear(), levels_.clear(), numbers_.clear(), reals_.clear(), texts_.clear();
  if (!tiebreak) {
    // No key fits after the last chunk (an extreme run of equal times):
    // the samples join the existing chunks.
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      HistoryValue value{kind_ == HistoryKind::kNumber ? chunk.numbers[i] : 0,
                         kind_ == HistoryKind::kReal ? chunk.reals[i] : 0,
                         kind_ == HistoryKind::kText ? std::string_view(chunk.texts[i]) : std::string_view()};
      AddSample(view_, id_, tag_, kind_, chunk.times[i], chunk.levels[i], value);
    }
  } else {
    PutChunk(view_, MakeKey(id_, tag_, first, *tiebreak), chunk);
    lastTiebreak_ = *tiebreak;
  }
  hasLast_ = true;
  last_ = chunk.times.back();
  lastFirst_ = first;
}

// --- Counting, walking, checking ----------------------------------------------------

int64_t CountSamples(const View& view, int32_t id, int32_t tag) {
  storage::Cursor cursor(view.txn(), view.table(Table::kHistory));
  const Key start = MakeKey(id, tag, INT64_MIN, 0);
  MDB_val key = Bytes(start.data(), start.size()), value;
  int64_t count = 0;
  for (bool more = cursor.Move(key, value, MDB_SET_RANGE); more && InSeries(key, id, tag);
       more = cursor.Move(key, value, MDB_NEXT)) {
    count += ParseChunk(value).count;
  }
  return count;
}

void ForEachSeries(const View& view, const std::function<void(int32_t id, int32_t tag)>& visit) {
  storage::Cursor cursor(view.txn(), view.table(Table::kHistory));
  MDB_val key, value;
  bool more = cursor.Move(key, value, MDB_FIRST);
  while (more) {
    if (key.mv_size != kKeySize) storage::ThrowCorrupted("history key");
    const auto* bytes = static_cast<const std::byte*>(key.mv_data);
    const auto id = static_cast<int32_t>(storage::GetBigEndian32(bytes));
    const auto tag = static_cast<int32_t>(storage::GetBigEndian32(bytes + 4));
    visit(id, tag);
    // On to the first chunk of the next series.
    const Key end = SeriesEnd(id, tag);
    key = Bytes(end.data(), end.size());
    more = cursor.Move(key, value, MDB_SET_RANGE);
    if (more && InSeries(key, id, tag)) more = cursor.Move(key, value, MDB_NEXT);
    // Keys out of order (a damaged page) would lead the seek back to a
    // series already visited, for ever.
    if (more && (key.mv_size != kKeySize || std::memcmp(key.mv_data, end.data(), 8) <= 0)) {
      storage::ThrowCorrupted("history keys out of order");
    }
  }
}

int64_t CheckSeries(const View& view, int32_t id, int32_t tag, HistoryKind kind, std::vector<std::string>& faults) {
  storage::Cursor cursor(view.txn(), view.table(Table::kHistory));
  const Key start = MakeKey(id, tag, INT64_MIN, 0);
  MDB_val key = Bytes(start.data(), start.size()), value;
  int64_t count = 0;
  std::optional<Micros> previous;
  const auto fault = [&](std::string_view what) {
    faults.push_back(fmt::format("history of record {} field 0x{:X}: {}", id, static_cast<uint32_t>(tag), what));
  };
  for (bool more = cursor.Move(key, value, MDB_SET_RANGE); more && InSeries(key, id, tag);
       more = cursor.Move(key, value, MDB_NEXT)) {
    ChunkView chunk;
    try {
      chunk = ParseChunk(value);
    } catch (const storage::StorageError& error) {
      fault(error.what());
      continue;
    }
    if (chunk.kind != kind) fault("a chunk holds values of another kind than the field's");
    if (chunk.Time(0) != KeyTime(key)) fault("a chunk's key does not name its first time");
    for (std::size_t i = 0; i < chunk.count; ++i) {
      if (previous && chunk.Time(i) < *previous) {
        fault(fmt::format("samples out of time order at sample {}", count + static_cast<int64_t>(i)));
        break;
      }
      previous = chunk.Time(i);
    }
    count += chunk.count;
  }
  return count;
}

}  // namespace dorvik
