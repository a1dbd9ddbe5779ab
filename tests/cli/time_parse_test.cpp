#include "views/time_parse.h"

#include <stdlib.h>
#include <time.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "views/errors.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;

DateTime Utc(int year, int month, int day, int hour, int minute = 0, int second = 0, int millisecond = 0) {
  return DateTime(year, month, day, hour, minute, second, millisecond, DateTimeKind::Utc);
}

class TimeParseTest : public ::testing::Test {
 protected:
  // Local time is Paris: UTC+1 in March, UTC+2 from 2024-03-31.
  static void SetUpTestSuite() {
    ::setenv("TZ", "Europe/Paris", 1);
    ::tzset();
  }
  const DateTime now_ = Utc(2024, 3, 7, 12, 0);
};

TEST_F(TimeParseTest, RelativeFormsCountFromNow) {
  EXPECT_EQ(ParseTime("now", now_), now_);
  EXPECT_EQ(ParseTime("-1h", now_), Utc(2024, 3, 7, 11));
  EXPECT_EQ(ParseTime("-1h30m", now_), Utc(2024, 3, 7, 10, 30));
  EXPECT_EQ(ParseTime("+30s", now_), Utc(2024, 3, 7, 12, 0, 30));
  EXPECT_EQ(ParseTime("-250ms", now_), Utc(2024, 3, 7, 11, 59, 59, 750));
  EXPECT_EQ(ParseTime("now-2d", now_), Utc(2024, 3, 5, 12));
  EXPECT_EQ(ParseTime("-1w", now_), Utc(2024, 2, 29, 12));
  EXPECT_EQ(ParseTime("now", now_).Kind(), DateTimeKind::Utc);
}

TEST_F(TimeParseTest, CalendarFormsAreLocalUnlessZoned) {
  EXPECT_EQ(ParseTime("today", now_), Utc(2024, 3, 6, 23));  // local midnight of the 7th
  EXPECT_EQ(ParseTime("yesterday 20:15", now_), Utc(2024, 3, 6, 19, 15));
  EXPECT_EQ(ParseTime("2024-03-06 20:00", now_), Utc(2024, 3, 6, 19));
  EXPECT_EQ(ParseTime("2024-03-06T20:00:00.250", now_), Utc(2024, 3, 6, 19, 0, 0, 250));
  EXPECT_EQ(ParseTime("2024-03-06", now_), Utc(2024, 3, 5, 23));
  EXPECT_EQ(ParseTime("2024-07-01 12:00", now_), Utc(2024, 7, 1, 10));  // summer time
  EXPECT_EQ(ParseTime("2024-03-06T20:00:00Z", now_), Utc(2024, 3, 6, 20));
  EXPECT_EQ(ParseTime("2024-03-06 20:00+03:00", now_), Utc(2024, 3, 6, 17));
  EXPECT_EQ(ParseTime("1709769600", now_), Utc(2024, 3, 7, 0));
  EXPECT_EQ(ParseTime("@1709769600.25", now_), Utc(2024, 3, 7, 0, 0, 0, 250));
}

TEST_F(TimeParseTest, LocalTimesADaylightSavingChangeSkipsOrRepeatsAreNotGuessed) {
  // Paris: 02:00-03:00 on 2024-03-31 does not exist, 02:00-03:00 on 2024-10-27 occurs twice.
  try {
    ParseTime("2024-03-31 02:30", now_);
    ADD_FAILURE() << "a time in the gap was taken";
  } catch (const UsageError& error) {
    EXPECT_THAT(error.what(), ::testing::HasSubstr("'2024-03-31 02:30' does not exist in Europe/Paris"));
  }
  try {
    ParseTime("2024-10-27 02:30", now_);
    ADD_FAILURE() << "a repeated time was taken";
  } catch (const UsageError& error) {
    EXPECT_THAT(error.what(), ::testing::HasSubstr("(2024-10-27 02:30+02:00 or 2024-10-27 02:30+01:00), or add "
                                                   "--earlier or --later"));
  }
  EXPECT_EQ(ParseTime("2024-10-27 02:30+02:00", now_), Utc(2024, 10, 27, 0, 30));
  EXPECT_EQ(ParseTime("2024-03-31 01:59:59", now_), Utc(2024, 3, 31, 0, 59, 59));  // the edges exist
  EXPECT_EQ(ParseTime("2024-03-31 03:00", now_), Utc(2024, 3, 31, 1));
  SetRepeatedTimeChoice(RepeatedTime::kEarlier);
  EXPECT_EQ(ParseTime("2024-10-27 02:30", now_), Utc(2024, 10, 27, 0, 30));
  SetRepeatedTimeChoice(RepeatedTime::kLater);
  EXPECT_EQ(ParseTime("2024-10-27 02:30", now_), Utc(2024, 10, 27, 1, 30));
  EXPECT_THROW(ParseTime("2024-03-31 02:30", now_), UsageError);  // no choice makes a gap exist
  SetRepeatedTimeChoice(RepeatedTime::kRefuse);
}

TEST_F(TimeParseTest, TimesTheDatabaseCannotKeepAreRefused) {
  EXPECT_EQ(ParseTime("2038-01-19T03:14:07Z", now_), Utc(2038, 1, 19, 3, 14, 7));
  EXPECT_EQ(ParseTime("1901-12-13T20:45:52Z", now_), Utc(1901, 12, 13, 20, 45, 52));
  for (const char* text : {"2038-01-19T03:14:08Z", "1500-01-01", "9999-12-31", "now+1000w"}) {
    try {
      ParseTime(text, now_);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const UsageError& error) {
      EXPECT_THAT(error.what(), ::testing::HasSubstr("lies outside the times the database keeps")) << text;
    }
  }
}

TEST_F(TimeParseTest, AnythingElseIsRefusedWithTheFormsToUse) {
  for (const char* text : {"", "-1y", "1h", "-h", "now+", "now-1", "yesterdy", "today25:00", "2024-13-01",
                           "2024-03-06 25:00", "1709769600.", "tomorrow", "-99999999999w"}) {
    try {
      ParseTime(text, now_);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const UsageError& error) {
      EXPECT_THAT(error.what(), ::testing::HasSubstr("is not a time; use now, today, -1h")) << text;
    }
  }
}

}  // namespace
}  // namespace vantrel::cli
