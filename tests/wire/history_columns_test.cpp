// The columnar history answer: what the host writes reads back the same,
// and a body that is cut, damaged or lies about its lengths is refused with
// a clear error, never read past its end.
#include "wire/history_columns.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantrel::testing {
namespace {

using contracts::DateTime;
using contracts::TagValue;
using ::testing::HasSubstr;

DateTime At(int64_t seconds) {
  return DateTime(DateTime::kUnixEpochTicks + seconds * 10'000'000, contracts::DateTimeKind::Utc);
}

contracts::TagValuesByIds TwoFields() {
  contracts::TagValuesByIds result;
  result[7][1] = {TagValue(12.5, At(100), 0, 1), TagValue(int32_t{3}, At(101), -2, 0),
                  TagValue(contracts::Value{}, At(102), TagValue::kNoStatus, TagValue::kNoLevel)};
  result[7][4] = {};
  result[9][2] = {TagValue(std::string("OPEN"), At(200), 0, 0), TagValue(true, At(201), 70000, -70000),
                  TagValue(contracts::TagIdentifiers{{"TI101", 1}, {"VALUE", 2}}, At(202), 0, 0)};
  return result;
}

// The body with the 4 bytes at offset replaced by number.
std::string WithWord(std::string body, std::size_t offset, uint32_t number) {
  std::memcpy(body.data() + offset, &number, sizeof number);
  return body;
}

TEST(HistoryColumnsTest, ColumnsReadBackAsWrittenInTheResultsOrder) {
  const std::string body = wire::EncodeHistoryColumns(TwoFields());
  EXPECT_EQ(body.size() % 8, 0U);
  EXPECT_EQ(body.substr(0, 4), "VHC1");
  const auto series = wire::DecodeHistoryColumns(body);
  ASSERT_EQ(series.size(), 3U);

  const auto& numbers = series[0];
  EXPECT_EQ(numbers.tagId, 7);
  EXPECT_EQ(numbers.fieldId, 1);
  EXPECT_EQ(numbers.times, (std::vector<int64_t>{100'000'000'000, 101'000'000'000, 102'000'000'000}));
  EXPECT_EQ(numbers.values[0], 12.5);
  EXPECT_EQ(numbers.values[1], 3.0);
  EXPECT_TRUE(std::isnan(numbers.values[2]));  // no value
  EXPECT_EQ(numbers.status, (std::vector<int16_t>{0, -2, -32768}));
  EXPECT_EQ(numbers.level, (std::vector<int16_t>{1, 0, -1}));
  EXPECT_TRUE(numbers.texts.empty()) << "numbers and none carry no text block";

  EXPECT_EQ(series[1].fieldId, 4);
  EXPECT_TRUE(series[1].times.empty());

  const auto& mixed = series[2];
  EXPECT_EQ(mixed.tagId, 9);
  EXPECT_TRUE(std::isnan(mixed.values[0]));
  EXPECT_EQ(mixed.values[1], 1.0);
  // Status and level beyond int16 are clamped, as the in-process columns are.
  EXPECT_EQ(mixed.status[1], 32767);
  EXPECT_EQ(mixed.level[1], -32768);
  ASSERT_EQ(mixed.texts.size(), 3U);
  EXPECT_EQ(mixed.texts[0], "OPEN");
  EXPECT_EQ(mixed.texts[1], std::nullopt);
  EXPECT_EQ(mixed.texts[2], "TI101 VALUE");
}

TEST(HistoryColumnsTest, AnEmptyResultIsAHeaderAlone) {
  const std::string body = wire::EncodeHistoryColumns({});
  EXPECT_EQ(body.size(), 16U);
  EXPECT_TRUE(wire::DecodeHistoryColumns(body).empty());
}

TEST(HistoryColumnsTest, TimesOutsideTheNanosecondRangeAreClamped) {
  EXPECT_EQ(wire::NanosecondsOf(DateTime::MaxValue), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(wire::NanosecondsOf(DateTime::MinValue), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(wire::NanosecondsOf(At(-1)), -1'000'000'000);
}

TEST(HistoryColumnsTest, EveryCutOfABodyIsRefusedCleanly) {
  const std::string body = wire::EncodeHistoryColumns(TwoFields());
  for (std::size_t length = 0; length < body.size(); ++length) {
    EXPECT_THROW(wire::DecodeHistoryColumns(std::string_view(body).substr(0, length)), wire::ColumnsFormatError)
        << "cut at " << length;
  }
  EXPECT_THROW(wire::DecodeHistoryColumns(body + std::string(8, '\0')), wire::ColumnsFormatError);
}

TEST(HistoryColumnsTest, LengthsThatLieAreRefusedBeforeAnythingIsAllocated) {
  const std::string body = wire::EncodeHistoryColumns(TwoFields());
  auto refusal = [](const std::string& hostile) {
    try {
      wire::DecodeHistoryColumns(hostile);
    } catch (const wire::ColumnsFormatError& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  EXPECT_THAT(refusal("XXXX" + body.substr(4)), HasSubstr("no VHC1 mark"));
  EXPECT_THAT(refusal(WithWord(body, 4, 0xFFFFFFFFu)), HasSubstr("series cannot fit"));
  // A body length that is not the body's.
  EXPECT_THAT(refusal(WithWord(body, 8, 12)), HasSubstr("says it holds 12 bytes"));
  // The first series claims four billion values: refused, nothing allocated for them.
  EXPECT_THAT(refusal(WithWord(body, 16 + 8, 0xFFFFFFF0u)), HasSubstr("is cut"));
  // A text block longer than what follows.
  const std::size_t mixedSeries = body.size() - (16 + 3 * 20 + 32);
  EXPECT_NE(refusal(WithWord(body, mixedSeries + 12, 0x7FFFFFFFu)), "accepted");
}

TEST(HistoryColumnsTest, ATextThatRunsPastItsBlockIsRefused) {
  contracts::TagValuesByIds result;
  result[1][1] = {TagValue(std::string("abc"), At(1), 0, 0)};
  std::string body = wire::EncodeHistoryColumns(result);
  const std::size_t textAt = 16 + 16 + 20;
  EXPECT_THROW(wire::DecodeHistoryColumns(WithWord(body, textAt, 100)), wire::ColumnsFormatError);
  EXPECT_THROW(wire::DecodeHistoryColumns(WithWord(body, textAt, 1)), wire::ColumnsFormatError)
      << "a block with bytes left over past its texts";
}

}  // namespace
}  // namespace vantrel::testing
