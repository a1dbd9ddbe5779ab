#include "platform/time_zone.h"

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace vantrel::platform {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;

DateTime Local(int year, int month, int day, int hour, int minute, int second = 0) {
  return DateTime(year, month, day, hour, minute, second, 0, DateTimeKind::Local);
}
DateTime Utc(int year, int month, int day, int hour, int minute, int second = 0) {
  return DateTime(year, month, day, hour, minute, second, 0, DateTimeKind::Utc);
}

// Runs each test in a given zone and restores the process's zone after it.
class TimeZoneTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  void UseZone(const char* zone) {
    ASSERT_TRUE(std::filesystem::exists(std::string("/usr/share/zoneinfo/") + zone)) << zone;
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(TimeZoneTest, OffsetsFollowTheZoneRulesOfTheInstant) {
  UseZone("Europe/Berlin");
  EXPECT_EQ(ToLocalTime(Utc(2024, 1, 15, 12, 0)), Local(2024, 1, 15, 13, 0));
  EXPECT_EQ(ToLocalTime(Utc(2024, 7, 15, 12, 0)), Local(2024, 7, 15, 14, 0));
  EXPECT_EQ(ToLocalTime(Utc(2024, 7, 15, 12, 0)).Kind(), DateTimeKind::Local);
  EXPECT_EQ(ToUniversalTime(Local(2024, 1, 15, 13, 0)), Utc(2024, 1, 15, 12, 0));
  EXPECT_EQ(ToUniversalTime(Local(2024, 7, 15, 14, 0)).Kind(), DateTimeKind::Utc);
}

TEST_F(TimeZoneTest, SpringForwardGapIsTakenAsStandardTime) {
  UseZone("Europe/Berlin");  // 2024-03-31 02:00 local jumps to 03:00 (01:00 UTC)
  EXPECT_EQ(ToLocalTime(Utc(2024, 3, 31, 0, 59, 59)), Local(2024, 3, 31, 1, 59, 59));
  EXPECT_EQ(ToLocalTime(Utc(2024, 3, 31, 1, 0)), Local(2024, 3, 31, 3, 0));
  EXPECT_EQ(ToUniversalTime(Local(2024, 3, 31, 1, 59, 59)), Utc(2024, 3, 31, 0, 59, 59));
  EXPECT_EQ(ToUniversalTime(Local(2024, 3, 31, 2, 30)), Utc(2024, 3, 31, 1, 30));
  EXPECT_EQ(ToUniversalTime(Local(2024, 3, 31, 3, 0)), Utc(2024, 3, 31, 1, 0));
}

TEST_F(TimeZoneTest, FallBackOverlapIsTakenAsTheLaterStandardTimeInstant) {
  UseZone("Europe/Berlin");  // 2024-10-27 03:00 local falls back to 02:00 (01:00 UTC)
  EXPECT_EQ(ToLocalTime(Utc(2024, 10, 27, 0, 30)), Local(2024, 10, 27, 2, 30));
  EXPECT_EQ(ToLocalTime(Utc(2024, 10, 27, 1, 30)), Local(2024, 10, 27, 2, 30));
  EXPECT_EQ(ToUniversalTime(Local(2024, 10, 27, 2, 30)), Utc(2024, 10, 27, 1, 30));
  EXPECT_EQ(ToUniversalTime(Local(2024, 10, 27, 1, 59, 59)), Utc(2024, 10, 26, 23, 59, 59));
  EXPECT_EQ(ToUniversalTime(Local(2024, 10, 27, 3, 0)), Utc(2024, 10, 27, 2, 0));
}

TEST_F(TimeZoneTest, EveryHourOfAYearRoundTripsOutsideTheGap) {
  UseZone("America/New_York");
  for (DateTime utc = Utc(2023, 12, 31, 0, 0); utc < Utc(2025, 1, 1, 0, 0);
       utc = utc.AddSeconds(3600 + 0.5)) {
    const DateTime local = ToLocalTime(utc);
    const DateTime back = ToUniversalTime(local);
    // In the repeated hour both instants map to one wall time, which reads
    // back as the later one.
    EXPECT_TRUE(back == utc || back == utc.AddSeconds(3600)) << utc.ToIsoString();
  }
}

TEST_F(TimeZoneTest, KindsDecideWhatIsConverted) {
  UseZone("Europe/Berlin");
  const DateTime utc = Utc(2024, 1, 15, 12, 0);
  EXPECT_EQ(ToUniversalTime(utc).Ticks(), utc.Ticks());
  const DateTime local = Local(2024, 1, 15, 12, 0);
  EXPECT_EQ(ToLocalTime(local).Ticks(), local.Ticks());
  const DateTime unspecified = utc.WithKind(DateTimeKind::Unspecified);
  EXPECT_EQ(ToUniversalTime(unspecified), Utc(2024, 1, 15, 11, 0));  // taken as local
  EXPECT_EQ(ToLocalTime(unspecified), Local(2024, 1, 15, 13, 0));    // taken as UTC
}

TEST_F(TimeZoneTest, RangeEndsAreClampedNotOverflowed) {
  UseZone("America/New_York");
  EXPECT_EQ(ToUniversalTime(DateTime::MaxValue.WithKind(DateTimeKind::Local)), DateTime::MaxValue);
  EXPECT_EQ(ToLocalTime(DateTime::MinValue.WithKind(DateTimeKind::Utc)), DateTime::MinValue);
  UseZone("Asia/Tokyo");
  EXPECT_EQ(ToLocalTime(DateTime::MaxValue.WithKind(DateTimeKind::Utc)), DateTime::MaxValue);
  EXPECT_EQ(ToUniversalTime(DateTime::MinValue.WithKind(DateTimeKind::Local)), DateTime::MinValue);
  EXPECT_EQ(ToLocalTime(Utc(9999, 12, 31, 0, 0)), Local(9999, 12, 31, 9, 0));
}

TEST_F(TimeZoneTest, NowIsTheSystemClock) {
  UseZone("Europe/Berlin");
  const int64_t before = time(nullptr);
  const DateTime utc = UtcNow();
  const DateTime local = Now();
  const int64_t after = time(nullptr);
  EXPECT_EQ(utc.Kind(), DateTimeKind::Utc);
  EXPECT_EQ(local.Kind(), DateTimeKind::Local);
  const int64_t seconds = (utc.Ticks() - DateTime::kUnixEpochTicks) / DateTime::kTicksPerSecond;
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, after);
  EXPECT_LE(ToUniversalTime(local).Ticks() - utc.Ticks(),
            (after - before + 1) * DateTime::kTicksPerSecond);
}

}  // namespace
}  // namespace vantrel::platform
