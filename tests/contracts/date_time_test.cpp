#include "contracts/date_time.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "platform/exceptions.h"

namespace vantrel::contracts {
namespace {

using platform::ArgumentOutOfRangeException;
using platform::FormatException;

TEST(DateTimeCalendar, EveryDayOfTheRangeRoundTripsThroughItsCalendarFields) {
  // Walks all 3,652,059 days: consecutive day numbers must give consecutive
  // dates, and the calendar constructor must give the day number back.
  const int64_t dayCount = (DateTime::kMaxTicks + 1) / DateTime::kTicksPerDay;
  int year = 1, month = 1, day = 1;
  for (int64_t number = 0; number < dayCount; ++number) {
    const DateTime time(number * DateTime::kTicksPerDay);
    const bool nextDay = time.Day() == day + 1 && time.Month() == month && time.Year() == year;
    const bool nextMonth = time.Day() == 1 && time.Month() == month + 1 && time.Year() == year;
    const bool nextYear = time.Day() == 1 && time.Month() == 1 && time.Year() == year + 1;
    ASSERT_TRUE(number == 0 || nextDay || nextMonth || nextYear) << time.ToIsoString();
    year = time.Year();
    month = time.Month();
    day = time.Day();
    ASSERT_EQ(DateTime(year, month, day).Ticks(), time.Ticks()) << time.ToIsoString();
  }
  EXPECT_EQ(year, 9999);
  EXPECT_EQ(month, 12);
  EXPECT_EQ(day, 31);
}

TEST(DateTimeCalendar, KnownInstantsAndFields) {
  EXPECT_EQ(DateTime(1970, 1, 1).Ticks(), DateTime::kUnixEpochTicks);
  EXPECT_EQ(DateTime(1601, 1, 1).Ticks(), DateTime::kFileTimeEpochTicks);
  EXPECT_EQ(DateTime(9999, 12, 31, 23, 59, 59, 999).Ticks(), DateTime::kMaxTicks - 9'999);
  EXPECT_EQ(DateTime::UnixEpoch().Kind(), DateTimeKind::Utc);
  EXPECT_EQ(DateTime::MinValue.Ticks(), 0);
  EXPECT_EQ(DateTime::MaxValue.Ticks(), DateTime::kMaxTicks);

  const DateTime time(2024, 2, 29, 23, 5, 1, 123, DateTimeKind::Local);
  EXPECT_EQ(time.Year(), 2024);
  EXPECT_EQ(time.Month(), 2);
  EXPECT_EQ(time.Day(), 29);
  EXPECT_EQ(time.Hour(), 23);
  EXPECT_EQ(time.Minute(), 5);
  EXPECT_EQ(time.Second(), 1);
  EXPECT_EQ(time.Millisecond(), 123);
  EXPECT_EQ(time.Kind(), DateTimeKind::Local);
}

TEST(DateTimeCalendar, InvalidFieldsAndTicksAreRejected) {
  EXPECT_NO_THROW(DateTime(2000, 2, 29));
  EXPECT_THROW(DateTime(1900, 2, 29), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(2023, 2, 29), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(0, 1, 1), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(10000, 1, 1), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(2024, 13, 1), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(2024, 4, 31), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(2024, 1, 1, 24), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(2024, 1, 1, 0, 60), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(2024, 1, 1, 0, 0, 60), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(2024, 1, 1, 0, 0, 0, 1000), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(2024, 1, 1, 0, 0, 0, -1), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(-1), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime(DateTime::kMaxTicks + 1), ArgumentOutOfRangeException);
}

TEST(DateTimeArithmetic, AddTicksChecksBothEndsWithoutOverflow) {
  const DateTime middle(2024, 1, 1, 0, 0, 0, 0, DateTimeKind::Utc);
  EXPECT_EQ(middle.AddTicks(5).Ticks(), middle.Ticks() + 5);
  EXPECT_EQ(middle.AddTicks(5).Kind(), DateTimeKind::Utc);
  EXPECT_EQ(DateTime::MaxValue.AddTicks(-DateTime::kMaxTicks), DateTime::MinValue);
  EXPECT_THROW(DateTime::MaxValue.AddTicks(1), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime::MinValue.AddTicks(-1), ArgumentOutOfRangeException);
  EXPECT_THROW(middle.AddTicks(std::numeric_limits<int64_t>::max()), ArgumentOutOfRangeException);
  EXPECT_THROW(middle.AddTicks(std::numeric_limits<int64_t>::min()), ArgumentOutOfRangeException);
}

TEST(DateTimeArithmetic, MillisecondsRoundHalfAwayFromZero) {
  const DateTime base(2024, 1, 1);
  const auto addedTicks = [&](double milliseconds) {
    return base.AddMilliseconds(milliseconds).Ticks() - base.Ticks();
  };
  EXPECT_EQ(addedTicks(0.4), 0);
  EXPECT_EQ(addedTicks(1.5), 2 * DateTime::kTicksPerMillisecond);
  EXPECT_EQ(addedTicks(2.5), 3 * DateTime::kTicksPerMillisecond);
  EXPECT_EQ(addedTicks(-1.5), -2 * DateTime::kTicksPerMillisecond);
  EXPECT_EQ(base.AddSeconds(1.0005).Ticks() - base.Ticks(), 1001 * DateTime::kTicksPerMillisecond);
  EXPECT_EQ(base.AddSeconds(-86400).Day(), 31);
}

TEST(DateTimeArithmetic, MillisecondsOutOfRangeOrNotANumberAreRejected) {
  const DateTime base(2024, 1, 1);
  EXPECT_THROW(base.AddMilliseconds(std::nan("")), ArgumentOutOfRangeException);
  EXPECT_THROW(base.AddMilliseconds(std::numeric_limits<double>::infinity()),
               ArgumentOutOfRangeException);
  EXPECT_THROW(base.AddMilliseconds(1e300), ArgumentOutOfRangeException);
  EXPECT_THROW(base.AddSeconds(-1e18), ArgumentOutOfRangeException);
  EXPECT_THROW(DateTime::MaxValue.AddMilliseconds(1), ArgumentOutOfRangeException);
}

TEST(DateTimeText, IsoAndGeneralForms) {
  const DateTime utc(DateTime(2024, 3, 31, 1, 59, 59).Ticks() + 1'234'567, DateTimeKind::Utc);
  EXPECT_EQ(utc.ToIsoString(), "2024-03-31T01:59:59.1234567Z");
  EXPECT_EQ(utc.WithKind(DateTimeKind::Unspecified).ToIsoString(), "2024-03-31T01:59:59.1234567");
  EXPECT_EQ(utc.WithKind(DateTimeKind::Local).ToIsoString(), "2024-03-31T01:59:59.1234567");
  EXPECT_EQ(utc.WithKind(DateTimeKind::Local).ToRoundTripString(),
            "2024-03-31T01:59:59.1234567[local]");
  EXPECT_EQ(DateTime::MinValue.ToIsoString(), "0001-01-01T00:00:00.0000000");
  EXPECT_EQ(DateTime::MaxValue.ToIsoString(), "9999-12-31T23:59:59.9999999");
  EXPECT_EQ(DateTime(2024, 3, 7, 9, 5, 1).ToGeneralString(), "3/7/2024 9:05:01");
  EXPECT_EQ(DateTime(2024, 12, 17, 23, 0, 0).ToGeneralString(), "12/17/2024 23:00:00");
  EXPECT_EQ(DateTime::MinValue.ToGeneralString(), "1/1/0001 0:00:00");
}

TEST(DateTimeText, ParseAcceptsIsoAndGeneralForms) {
  const DateTime expected(2024, 3, 7, 9, 5, 1);
  EXPECT_EQ(DateTime::Parse("2024-03-07T09:05:01"), expected);
  EXPECT_EQ(DateTime::Parse(" 2024-03-07 09:05:01 "), expected);
  EXPECT_EQ(DateTime::Parse("2024-03-07T09:05:01.5").Ticks(), expected.Ticks() + 5'000'000);
  EXPECT_EQ(DateTime::Parse("2024-03-07T09:05").Second(), 0);
  EXPECT_EQ(DateTime::Parse("2024-03-07"), DateTime(2024, 3, 7));
  EXPECT_EQ(DateTime::Parse("3/7/2024 9:05:01"), expected);
  EXPECT_EQ(DateTime::Parse("03/07/2024 09:05"), DateTime(2024, 3, 7, 9, 5, 0));
  EXPECT_EQ(DateTime::Parse("3/7/2024"), DateTime(2024, 3, 7));

  EXPECT_EQ(DateTime::Parse("2024-03-07T09:05:01").Kind(), DateTimeKind::Unspecified);
  EXPECT_EQ(DateTime::Parse("2024-03-07T09:05:01Z").Kind(), DateTimeKind::Utc);
  EXPECT_EQ(DateTime::Parse("2024-03-07T09:05:01[local]").Kind(), DateTimeKind::Local);
}

TEST(DateTimeText, ParseConvertsAnOffsetToUtc) {
  const DateTime expected(2024, 3, 7, 7, 35, 1, 0, DateTimeKind::Utc);
  for (const char* text : {"2024-03-07T09:05:01+01:30", "2024-03-07T09:05:01+0130"}) {
    const DateTime parsed = DateTime::Parse(text);
    EXPECT_EQ(parsed, expected) << text;
    EXPECT_EQ(parsed.Kind(), DateTimeKind::Utc) << text;
  }
  EXPECT_EQ(DateTime::Parse("2024-03-07T22:00-05"), DateTime(2024, 3, 8, 3, 0, 0));
}

TEST(DateTimeText, RoundTripStringKeepsTicksAndKind) {
  for (const DateTimeKind kind :
       {DateTimeKind::Unspecified, DateTimeKind::Utc, DateTimeKind::Local}) {
    for (const DateTime& time :
         {DateTime::MinValue, DateTime::MaxValue, DateTime(638'000'000'123'456'789)}) {
      const DateTime parsed = DateTime::Parse(time.WithKind(kind).ToRoundTripString());
      EXPECT_EQ(parsed.Ticks(), time.Ticks());
      EXPECT_EQ(parsed.Kind(), kind);
    }
  }
}

TEST(DateTimeText, ParseRejectsOtherText) {
  for (const char* text : {"",
                           "   ",
                           "yesterday",
                           "2024-3-7",
                           "2024-02-30",
                           "2024-03-07T25:00",
                           "2024-03-07T10:60",
                           "2024-03-07T10:00:00.12345678",
                           "2024-03-07T10:00:00.",
                           "2024-03-07Zjunk",
                           "2024-03-07T10:00Z[local]",
                           "2024-03-07T10:00+01:",
                           "2024-03-07T10:00+15:00",
                           "13/1/2024",
                           "1/32/2024",
                           "1/1/24",
                           "3/7/2024T09:05",
                           "0000-01-01",
                           "0001-01-01T00:00:00+01:00",
                           "9999-12-31T23:00:00-02:00",
                           "2024-03-07T10:00 junk"}) {
    EXPECT_THROW(DateTime::Parse(text), FormatException) << text;
  }
  try {
    DateTime::Parse("noon");
    FAIL();
  } catch (const FormatException& error) {
    EXPECT_STREQ(error.what(), "String 'noon' was not recognized as a valid DateTime.");
  }
}

}  // namespace
}  // namespace vantrel::contracts
