// History appended in place: samples written one call after another (in
// order, of equal times, some earlier ones) read back as the series sorted by
// time with equal times in the order written, chunks split at their limit,
// and chunks stored in the layout of existing stores keep reading and
// growing. The stored chunks are looked at with LMDB itself, the engine
// closed.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

#include <lmdb.h>

#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

constexpr uint16_t kCapacity = 128;  // samples a chunk holds before a new one starts

using Point = HistorySample;

XUSTS ToXusts(int64_t micros) {
  return XUSTS{static_cast<int32_t>(micros / 1'000'000), static_cast<int32_t>(micros % 1'000'000)};
}

// The series the engine should hold: each point after those of a time not
// later than its own, as the engine has always placed them.
void ModelAdd(std::vector<Point>& model, const Point& point) {
  const auto at = std::upper_bound(model.begin(), model.end(), point.micros,
                                   [](int64_t micros, const Point& p) { return micros < p.micros; });
  model.insert(at, point);
}

std::string BigEndian(uint64_t value, int bytes) {
  std::string out(static_cast<std::size_t>(bytes), '\0');
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[static_cast<std::size_t>(i)] = static_cast<char>(value & 0xFF);
  return out;
}

std::string SeriesPrefix(int32_t id, int32_t tag) {
  return BigEndian(static_cast<uint32_t>(id), 4) + BigEndian(static_cast<uint32_t>(tag), 4);
}

// A raw LMDB view of the store's history table (the engine must be closed).
class RawHistory {
 public:
  RawHistory(const std::string& store, bool write) {
    EXPECT_EQ(mdb_env_create(&env_), 0);
    mdb_env_set_maxdbs(env_, 16);
    EXPECT_EQ(mdb_env_open(env_, store.c_str(), write ? 0u : MDB_RDONLY, 0600), 0);
    EXPECT_EQ(mdb_txn_begin(env_, nullptr, write ? 0u : MDB_RDONLY, &txn_), 0);
    EXPECT_EQ(mdb_dbi_open(txn_, "history", 0, &dbi_), 0);
  }
  ~RawHistory() {
    if (txn_ != nullptr) mdb_txn_abort(txn_);
    mdb_env_close(env_);
  }
  RawHistory(const RawHistory&) = delete;
  RawHistory& operator=(const RawHistory&) = delete;

  // The sample counts of the chunks of a series, in key order.
  std::vector<uint16_t> ChunkCounts(int32_t id, int32_t tag) {
    const std::string prefix = SeriesPrefix(id, tag);
    MDB_cursor* cursor = nullptr;
    EXPECT_EQ(mdb_cursor_open(txn_, dbi_, &cursor), 0);
    std::vector<uint16_t> counts;
    MDB_val key{prefix.size(), const_cast<char*>(prefix.data())}, value;
    for (int rc = mdb_cursor_get(cursor, &key, &value, MDB_SET_RANGE);
         rc == 0 && key.mv_size >= 8 && std::memcmp(key.mv_data, prefix.data(), 8) == 0;
         rc = mdb_cursor_get(cursor, &key, &value, MDB_NEXT)) {
      uint16_t count = 0;
      std::memcpy(&count, value.mv_data, sizeof count);
      counts.push_back(count);
    }
    mdb_cursor_close(cursor);
    return counts;
  }

  // Stores a chunk of doubles byte by byte in the layout stores have always
  // had: header (count, kind 1, 0, text bytes 0), times, levels, values.
  void PutRealChunk(int32_t id, int32_t tag, const std::vector<Point>& points) {
    const std::string key = SeriesPrefix(id, tag) +
                            BigEndian(static_cast<uint64_t>(points.front().micros) ^ (uint64_t{1} << 63), 8) +
                            BigEndian(0x80000000u, 4);
    const auto count = static_cast<uint16_t>(points.size());
    std::string value(8, '\0');
    std::memcpy(value.data(), &count, sizeof count);
    value[2] = 1;
    for (const Point& p : points) value.append(reinterpret_cast<const char*>(&p.micros), sizeof p.micros);
    for (const Point& p : points) value.append(reinterpret_cast<const char*>(&p.level), sizeof p.level);
    for (const Point& p : points) value.append(reinterpret_cast<const char*>(&p.value), sizeof p.value);
    MDB_val k{key.size(), const_cast<char*>(key.data())}, v{value.size(), value.data()};
    ASSERT_EQ(mdb_put(txn_, dbi_, &k, &v, 0), 0);
    ASSERT_EQ(mdb_txn_commit(txn_), 0);
    txn_ = nullptr;
  }

 private:
  MDB_env* env_ = nullptr;
  MDB_txn* txn_ = nullptr;
  MDB_dbi dbi_ = 0;
};

class HistoryAppendTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Reset();
    CreateDatabase(PlantBuilder(), store_);
    OpenStore();
  }

  void OpenStore() {
    Open(store_);
    SetTlsData("VNT", "vntsystem");
    tag2_ = Id("TAG2");
    value_ = Tag("VALUE");
    description_ = Tag("DESCRIPTION");
  }

  // Writes the points to TAG2 VALUE in calls of up to batch values each.
  void Write(const std::vector<Point>& points, std::size_t batch) {
    for (std::size_t start = 0; start < points.size(); start += batch) {
      const std::size_t count = std::min(batch, points.size() - start);
      std::vector<IDANDFT> items(count, IDANDFT{tag2_, value_});
      const std::vector<int16_t> types(count, dorvik::api::kTypeDoubleQuality);
      std::vector<DVANDQU> values;
      for (std::size_t i = start; i < start + count; ++i) {
        values.push_back(DVANDQU{points[i].value, 0, points[i].level, ToXusts(points[i].micros), 0});
      }
      std::vector<ERRBLOCK> errors(count);
      int16_t done = 0;
      MWDBVALS(static_cast<int16_t>(count), items.data(), types.data(), values.data(), &done, errors.data());
      ASSERT_EQ(done, static_cast<int16_t>(count)) << Message(errors[0]);
    }
  }

  // All of TAG2 VALUE's history, oldest first.
  std::vector<Point> ReadAll(int32_t room) { return ReadDoubleHistory(tag2_, value_, room); }

  std::vector<uint16_t> ChunkCounts(int32_t tag) {
    Reset();
    std::vector<uint16_t> counts = RawHistory(store_, false).ChunkCounts(tag2_, tag);
    OpenStore();
    return counts;
  }

  TemporaryFolder folder_;
  const std::string store_ = (folder_ / "store").string();
  int32_t tag2_ = 0, value_ = 0, description_ = 0;
};

// Times mostly later than the last, some equal, some earlier, and runs of one
// time long enough to fill a chunk with it.
std::vector<Point> RandomPoints(std::mt19937& random, std::size_t n) {
  std::vector<Point> points;
  int64_t last = 1'000'000'000;
  while (points.size() < n) {
    const int kind = std::uniform_int_distribution<>(0, 99)(random);
    int repeat = 1;
    int64_t micros = last + std::uniform_int_distribution<int64_t>(1, 2'000'000)(random);
    if (kind < 8) micros = last;
    if (kind >= 8 && kind < 15) micros = last - std::uniform_int_distribution<int64_t>(0, 200'000'000)(random);
    if (kind >= 15 && kind < 17) repeat = std::uniform_int_distribution<>(20, 300)(random);
    for (int r = 0; r < repeat && points.size() < n; ++r) {
      const auto i = static_cast<double>(points.size());
      points.push_back({micros, static_cast<int16_t>(points.size() % 4), i * 0.5 + 0.25});
    }
    last = std::max(last, micros);
  }
  return points;
}

TEST_F(HistoryAppendTest, RandomSequencesReadBackAsTheSeriesSortedByTime) {
  for (const unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
    SCOPED_TRACE(seed);
    Reset();
    std::filesystem::remove_all(store_);
    CreateDatabase(PlantBuilder(), store_);
    OpenStore();
    std::mt19937 random(seed);
    const std::vector<Point> points = RandomPoints(random, 400 + 300 * seed);
    std::vector<Point> model;
    for (const Point& point : points) ModelAdd(model, point);
    // One value per call and large calls both go through the append.
    const std::size_t half = points.size() / 2;
    Write(std::vector<Point>(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(half)), 1);
    Write(std::vector<Point>(points.begin() + static_cast<std::ptrdiff_t>(half), points.end()), 250);

    EXPECT_EQ(ReadAll(static_cast<int32_t>(points.size()) + 10), model);
    const CheckReport report = CheckDatabase();
    EXPECT_TRUE(report.ok()) << (report.faults.empty() ? "" : report.faults.front());
    const std::vector<uint16_t> counts = ChunkCounts(value_);
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), std::size_t{0}), points.size());
    EXPECT_LE(*std::max_element(counts.begin(), counts.end()), kCapacity);
  }
}

TEST_F(HistoryAppendTest, InOrderAppendsFillEachChunkToItsLimitBeforeTheNext) {
  std::vector<Point> points;
  for (int i = 0; i < 3 * kCapacity + 17; ++i) {
    // Pairs of equal times: the second of a pair may open a chunk.
    points.push_back({2'000'000'000'000 + (i / 2) * 1'000, static_cast<int16_t>(i % 3), i * 1.5});
  }
  Write(points, 1);
  EXPECT_EQ(ReadAll(static_cast<int32_t>(points.size())), points);
  EXPECT_EQ(ChunkCounts(value_), (std::vector<uint16_t>{kCapacity, kCapacity, kCapacity, 17}));

  // A run of one time longer than a chunk, then an earlier time that lands
  // in a full chunk and splits it.
  std::vector<Point> model = points;
  std::vector<Point> more;
  for (int i = 0; i < kCapacity + 5; ++i) more.push_back({2'100'000'000'000, 1, -i * 1.0});
  more.push_back({2'000'000'000'000 + 10'000, 2, 99.0});
  for (const Point& p : more) ModelAdd(model, p);
  Write(more, 1);
  EXPECT_EQ(ReadAll(static_cast<int32_t>(model.size())), model);
  // The run filled the last chunk and opened one; the full first chunk that
  // took the earlier time split in halves.
  EXPECT_EQ(ChunkCounts(value_), (std::vector<uint16_t>{64, 65, kCapacity, kCapacity, kCapacity, 22}));
  EXPECT_TRUE(CheckDatabase().ok());
}

TEST_F(HistoryAppendTest, TextsAppendWithTheirLengths) {
  std::mt19937 random(11);
  std::vector<std::string> written;
  for (int i = 0; i < kCapacity + 40; ++i) {
    std::string text(static_cast<std::size_t>(std::uniform_int_distribution<>(1, 40)(random)), 'a');
    for (char& c : text) c = static_cast<char>('a' + std::uniform_int_distribution<>(0, 25)(random));
    ASSERT_EQ(WriteText(tag2_, description_, text).ERRCODE, 0);
    written.push_back(text);
  }
  const std::size_t n = written.size();
  std::vector<std::vector<char>> texts(n, std::vector<char>(dorvik::api::kHistoryTextSize));
  std::vector<TVANDQU> slots(n);
  for (std::size_t i = 0; i < n; ++i) {
    slots[i].TEXT = texts[i].data();
    slots[i].LENGTH = static_cast<int16_t>(dorvik::api::kHistoryTextSize);
  }
  void* const buffers[] = {slots.data()};
  std::vector<XUSTS> times(n);
  std::vector<int16_t> levels(n);
  const int16_t type = -24;
  const XUSTS from{0, 0}, to{INT32_MAX, 0};
  int32_t returned = 0;
  int16_t fieldsDone = 0;
  ERRBLOCK error{};
  RHIS21DATA(4, 0, 0, tag2_, description_ + 1, &from, &to, 1, &description_, &type, static_cast<int32_t>(n),
             levels.data(), times.data(), buffers, &returned, &fieldsDone, &error);
  ASSERT_EQ(error.ERRCODE, 0) << Message(error);
  ASSERT_EQ(returned, static_cast<int32_t>(n));
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(std::string(slots[i].TEXT, static_cast<std::size_t>(slots[i].LENGTH)), written[i]) << i;
  }
  EXPECT_EQ(ChunkCounts(description_), (std::vector<uint16_t>{kCapacity, 40}));
  EXPECT_TRUE(CheckDatabase().ok());
}

// A chunk written byte by byte in the stored layout reads, and appends to
// it continue it in place up to the limit, then in a new chunk.
TEST_F(HistoryAppendTest, ChunksOfExistingStoresReadAndGrow) {
  std::vector<Point> stored;
  for (int i = 0; i < 100; ++i) stored.push_back({1'500'000'000'000'000 + i * 250'000, 3, i * 2.0});
  Reset();
  RawHistory(store_, true).PutRealChunk(tag2_, value_, stored);
  OpenStore();
  EXPECT_EQ(ReadAll(200), stored);

  std::vector<Point> appended;
  for (int i = 0; i < 40; ++i) appended.push_back({1'500'000'000'000'000 + (100 + i) * 250'000, 0, -i * 1.0});
  Write(appended, 7);
  std::vector<Point> all = stored;
  all.insert(all.end(), appended.begin(), appended.end());
  EXPECT_EQ(ReadAll(200), all);
  EXPECT_EQ(ChunkCounts(value_), (std::vector<uint16_t>{kCapacity, 12}));
  EXPECT_TRUE(CheckDatabase().ok());
}

}  // namespace
}  // namespace dorvik::testing
