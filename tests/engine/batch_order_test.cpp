// Batches over many records in any order: a batch's record lookups and
// history appends move one cursor from item to item (forward by steps when
// the next item comes later in key order, by a search otherwise), and must
// answer exactly what one item at a time answers: ids in order, with gaps
// between them, backwards, repeated, shuffled, missing in the middle and
// past the last record; series appended in any order, several per record,
// through chunk limits.
#include <algorithm>
#include <map>
#include <numeric>
#include <random>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

constexpr int kRecords = 48;
constexpr int32_t kFirstId = 2'000;
constexpr std::size_t kCapacity = 128;  // samples a history chunk holds before a new one starts

// One id in four is left out (2003, 2007, ...), so that ids in order have gaps.
int32_t IdOf(int i) { return kFirstId + i + i / 3; }

using Sample = HistorySample;

class BatchOrderTest : public EngineTest {
 protected:
  void SetUp() override {
    Reset();
    DatabaseBuilder builder;
    builder.SystemAccount("VNT\\vntsystem")
        .Definition("VN_SeriesDef", {FieldSpec::Real("VALUE").WithQuality().WithHistory(),
                                     FieldSpec::Real("SECOND").WithQuality().WithHistory()});
    for (int i = 0; i < kRecords; ++i) {
      RecordOptions options;
      options.id = IdOf(i);
      builder.Record(fmt::format("R{}", i), "VN_SeriesDef", options);
    }
    Install(builder);
    SetTlsData("VNT", "vntsystem");
    value_ = Tag("VALUE");
    second_ = Tag("SECOND");
  }

  // One MWDBVALS of the items; every item must be written.
  void WriteBatch(const std::vector<IDANDFT>& items, const std::vector<Sample>& samples) {
    const std::vector<int16_t> types(items.size(), dorvik::api::kTypeDoubleQuality);
    std::vector<DVANDQU> values;
    for (const Sample& s : samples) {
      values.push_back(DVANDQU{s.value, 0, s.level,
                               XUSTS{static_cast<int32_t>(s.micros / 1'000'000),
                                     static_cast<int32_t>(s.micros % 1'000'000)},
                               0});
    }
    std::vector<ERRBLOCK> errors(items.size());
    int16_t done = 0;
    MWDBVALS(static_cast<int16_t>(items.size()), items.data(), types.data(), values.data(), &done, errors.data());
    ASSERT_EQ(done, static_cast<int16_t>(items.size())) << Message(errors[0]);
  }

  // The whole history of one series, oldest first.
  std::vector<Sample> ReadSeries(int32_t id, int32_t tag, int32_t room) { return ReadDoubleHistory(id, tag, room); }

  // Reads the doubles of items in one MRDBVALS: the values read and the
  // error block of each item.
  struct BatchRead {
    std::vector<double> values;
    std::vector<ERRBLOCK> errors;
    int16_t done = 0;
  };
  static BatchRead ReadBatch(const std::vector<IDANDFT>& items) {
    BatchRead read;
    const std::vector<int16_t> types(items.size(), dorvik::api::kTypeDouble);
    read.values.assign(items.size(), -1.0);
    read.errors.resize(items.size());
    MRDBVALS(static_cast<int16_t>(items.size()), items.data(), types.data(), read.values.data(), &read.done,
             read.errors.data());
    return read;
  }

  int32_t value_ = 0, second_ = 0;
};

TEST_F(BatchOrderTest, BatchReadsInAnyOrderAnswerAsSingleReads) {
  // Each record's VALUE is its index, written in one batch.
  std::vector<IDANDFT> all;
  std::vector<Sample> samples;
  for (int i = 0; i < kRecords; ++i) {
    all.push_back({IdOf(i), value_});
    samples.push_back({1'700'000'000'000'000, 0, i * 1.0});
  }
  WriteBatch(all, samples);

  std::vector<int> ascending(kRecords);
  std::iota(ascending.begin(), ascending.end(), 0);
  std::vector<int> everySeventh, descending(ascending.rbegin(), ascending.rend()), shuffled = ascending, repeated;
  for (int i = 0; i < kRecords; i += 7) everySeventh.push_back(i);
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(5));
  for (int i = 0; i < kRecords; ++i) repeated.insert(repeated.end(), {i, i, std::max(0, i - 2)});
  for (const std::vector<int>* order : {&ascending, &everySeventh, &descending, &shuffled, &repeated}) {
    std::vector<IDANDFT> items;
    for (const int i : *order) items.push_back({IdOf(i), value_});
    const BatchRead read = ReadBatch(items);
    ASSERT_EQ(read.done, static_cast<int16_t>(items.size())) << Message(read.errors[0]);
    for (std::size_t k = 0; k < items.size(); ++k) EXPECT_EQ(read.values[k], (*order)[k] * 1.0) << k;
  }

  // An id left out between two records, and one past the last record, stop
  // the batch at their item, with the id in the block, as for a lone read.
  const int32_t gap = IdOf(2) + 1;
  ASSERT_EQ(gap + 1, IdOf(3));
  for (const int32_t missing : {gap, IdOf(kRecords - 1) + 1, IdOf(kRecords - 1) + 500}) {
    SCOPED_TRACE(missing);
    const std::vector<IDANDFT> items{{IdOf(0), value_}, {IdOf(1), value_}, {missing, value_}, {IdOf(4), value_}};
    const BatchRead read = ReadBatch(items);
    EXPECT_EQ(read.done, 2);
    EXPECT_EQ(read.values[1], 1.0);
    EXPECT_EQ(read.errors[2].ERRCODE, kErrRecordNotFound);
    ERRBLOCK lone{};
    Read(missing, value_, dorvik::api::kTypeDouble, 8, lone);
    EXPECT_EQ(lone.ERRCODE, kErrRecordNotFound);
    EXPECT_EQ(read.errors[2].ERRDETAIL, lone.ERRDETAIL);
  }
}

TEST_F(BatchOrderTest, SeriesAppendedInAnyOrderKeepEachSeries) {
  std::mt19937 random(17);
  std::map<std::pair<int32_t, int32_t>, std::vector<Sample>> model;
  int64_t now = 1'600'000'000'000'000;
  // Enough rounds that the series of the most written records outgrow a chunk.
  for (int round = 0; round < 90; ++round) {
    std::vector<int> order(kRecords);
    std::iota(order.begin(), order.end(), 0);
    if (round % 3 == 1) std::reverse(order.begin(), order.end());
    if (round % 3 == 2) std::shuffle(order.begin(), order.end(), random);
    std::vector<IDANDFT> items;
    std::vector<Sample> samples;
    for (const int i : order) {
      if (i % 5 == 4 && round % 2 == 1) continue;  // some series skip rounds
      const int32_t id = IdOf(i);
      const int writes = i % 6 == 0 ? 3 : 1;  // a few records take several samples per batch
      for (int w = 0; w < writes; ++w) {
        now += 1'000;
        // Now and then a sample earlier than the series' last one.
        const int64_t micros = std::uniform_int_distribution<>(0, 19)(random) == 0 ? now - 50'000'000 : now;
        const int32_t tag = (w + i) % 2 == 0 ? value_ : second_;
        items.push_back({id, tag});
        samples.push_back({micros, static_cast<int16_t>(w), round * 1000.0 + i + w * 0.25});
      }
    }
    WriteBatch(items, samples);
    for (std::size_t k = 0; k < items.size(); ++k) {
      std::vector<Sample>& series = model[{items[k].ID, items[k].FT}];
      const auto at = std::upper_bound(series.begin(), series.end(), samples[k].micros,
                                       [](int64_t micros, const Sample& s) { return micros < s.micros; });
      series.insert(at, samples[k]);
    }
  }
  std::size_t longest = 0;
  for (const auto& [key, series] : model) {
    SCOPED_TRACE(::testing::Message() << "record " << key.first << " field " << key.second);
    EXPECT_EQ(ReadSeries(key.first, key.second, static_cast<int32_t>(series.size()) + 5), series);
    longest = std::max(longest, series.size());
  }
  EXPECT_GT(longest, kCapacity);
  const CheckReport report = CheckDatabase();
  EXPECT_TRUE(report.ok()) << (report.faults.empty() ? "" : report.faults.front());
}

}  // namespace
}  // namespace dorvik::testing
