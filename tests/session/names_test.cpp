#include <stdlib.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/dorvik.h"
#include "contracts/date_time.h"
#include "engine/control.h"
#include "platform/exceptions.h"
#include "session/session.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;
using vantrel::testing::Calls;

// Reaches the protected name operations.
class NameSession : public Session {
 public:
  using Session::IsRecordExist;
};

// The argument texts the engine logged for calls of one function.
std::vector<std::string> Arguments(std::string_view function) {
  std::vector<std::string> found;
  for (const auto& call : dorvik::CallLog()) {
    if (call.function == function) found.push_back(call.arguments);
  }
  return found;
}

class NamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dorvik::Reset();
    dorvik::DatabaseBuilder builder = vantrel::testing::PlantBuilder();
    builder.Environment("VN_TEXT", "caf\xE9").Environment("??", "question marks").Record("??", "VN_AnalogDef");
    vantrel::testing::InstallDatabase(builder);
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  void TearDown() override { dorvik::Reset(); }

  NameSession session_;
};

TEST(ConvertStringToCharArrayTest, CutsConvertsAndTerminates) {
  std::array<char, 12> dest{};
  dest.fill('x');
  Session::ConvertStringToCharArray("abcdef", dest, 3);
  EXPECT_EQ(std::string(dest.data()), "abc");
  EXPECT_EQ(dest[4], 'x') << "nothing is written after the terminator";

  // Cut by characters, then converted: é and € have single bytes, 中 has none.
  Session::ConvertStringToCharArray("\xC3\xA9\xE2\x82\xAC\xE4\xB8\xAD!", dest, 3);
  EXPECT_EQ(std::string(dest.data()), "\xE9\x80?");

  // Copying stops at a zero byte; a negative length copies nothing.
  Session::ConvertStringToCharArray(std::string("ab\0cd", 5), dest, 10);
  EXPECT_EQ(std::string(dest.data()), "ab");
  Session::ConvertStringToCharArray("abc", dest, -5);
  EXPECT_EQ(dest[0], '\0');

  // A destination shorter than length + 1 cuts further; an empty one is left alone.
  std::array<char, 8> memory{};
  memory.fill('#');
  Session::ConvertStringToCharArray("abcdefgh", std::span<char>(memory.data() + 2, 4), 100);
  EXPECT_EQ(std::string(memory.data() + 2), "abc");
  EXPECT_EQ(memory[1], '#');
  EXPECT_EQ(memory[6], '#');
  Session::ConvertStringToCharArray("abc", std::span<char>(memory.data(), 0), 3);
  EXPECT_EQ(memory[0], '#');
}

TEST_F(NamesTest, RecordNamesGoInA257ByteBufferCutTo256Characters) {
  const std::string longName(300, 'N');
  EXPECT_LE(session_.GetRecordID(longName), 0);
  ASSERT_EQ(Arguments("NAME2RECID").size(), 1u);
  EXPECT_EQ(Arguments("NAME2RECID")[0], std::string(256, 'N'));

  const int32_t id = session_.GetRecordID(vantrel::testing::kTag1);
  EXPECT_GT(id, 0);
  EXPECT_TRUE(session_.IsRecordExist(vantrel::testing::kTag1));
  EXPECT_FALSE(session_.IsRecordExist("NO_SUCH_TAG"));
  EXPECT_FALSE(session_.IsRecordExist(""));
}

TEST_F(NamesTest, AttributeIdOfNamesAndOccurrences) {
  EXPECT_EQ(session_.GetAttributeID("NO_SUCH_FIELD"), -1);
  EXPECT_EQ(session_.GetAttributeID(""), -1);

  const int32_t trend = session_.GetAttributeID("TREND");
  ASSERT_GT(trend, 0);
  EXPECT_EQ(dorvik::api::OccurrenceOf(trend), 0);
  const int32_t second = session_.GetAttributeID("2 TREND");
  EXPECT_EQ(dorvik::api::BaseTag(second), trend);
  EXPECT_EQ(dorvik::api::OccurrenceOf(second), 2);

  session_.GetAttributeID(std::string(300, 'F'));
  EXPECT_EQ(Arguments("DECODFT").back(), std::string(256, 'F'));
}

// Characters the code page lacks would reach the database as '?', and a
// zero character would end the name: such a name names nothing, and the
// database is not asked.
TEST_F(NamesTest, NamesTheDatabaseCannotHoldNameNothing) {
  ASSERT_GT(session_.GetRecordID("??"), 0);
  ASSERT_EQ(session_.GetDorvikEnvironmentVariable("??"), "question marks");
  dorvik::ClearCallLog();
  const std::string unmappable = "\xE6\xB8\xA9\xE5\xBA\xA6";  // two CJK characters
  const std::string zero("TI100\0X", 7);
  for (const std::string& name : {unmappable, zero}) {
    EXPECT_EQ(session_.GetRecordID(name), 0);
    EXPECT_FALSE(session_.IsRecordExist(name));
    EXPECT_EQ(session_.GetAttributeID(name), -1);
    EXPECT_EQ(session_.GetDorvikEnvironmentVariable(name), "");
  }
  EXPECT_EQ(session_.GetAttributeID(std::string("VALUE\0", 6)), -1);
  EXPECT_TRUE(dorvik::CallLog().empty());
}

TEST_F(NamesTest, NamesComeBackWithOccurrenceNumbers) {
  const int32_t id = session_.GetRecordID(vantrel::testing::kTag1);
  EXPECT_EQ(session_.GetRecordName(id), vantrel::testing::kTag1);
  EXPECT_EQ(session_.GetRecordName(999999), "");

  const int32_t trend = session_.GetAttributeID("TREND");
  EXPECT_EQ(session_.GetAttributeNameWithOccurenceNumber(id, trend), "TREND");
  EXPECT_EQ(session_.GetAttributeNameWithOccurenceNumber(id, trend | 2), "2 TREND");
  EXPECT_EQ(session_.GetAttributeNameWithOccurenceNumber(999999, trend), "");
}

TEST_F(NamesTest, DefinitionOfARecordAndOfADefinitionRecord) {
  const int32_t tag = session_.GetRecordID(vantrel::testing::kTag1);
  const int32_t definition = session_.GetRecordID(vantrel::testing::kAnalogDef);
  ASSERT_GT(definition, 0);
  EXPECT_EQ(session_.GetDefinitionRecordID(vantrel::testing::kTag1), definition);
  EXPECT_EQ(session_.GetDefinitionRecordID(vantrel::testing::kAnalogDef), definition);
  EXPECT_EQ(session_.GetDefinitionID(tag), definition);
  EXPECT_LE(session_.GetDefinitionRecordID("NO_SUCH_TAG"), 0);
}

TEST_F(NamesTest, DorvikEnvironmentVariables) {
  EXPECT_EQ(session_.GetDorvikEnvironmentVariable(""), "");
  EXPECT_EQ(Calls("c21_getenv"), 0);

  EXPECT_EQ(session_.GetDorvikEnvironmentVariable("DORVIK_GROUP_NAME"), "PLANT");
  EXPECT_EQ(session_.GetDorvikEnvironmentVariable("VN_TEXT"), "caf\xC3\xA9") << "decoded from the code page";
  EXPECT_EQ(session_.GetDorvikEnvironmentVariable("VN_NO_SUCH_VARIABLE"), "");

  session_.GetDorvikEnvironmentVariable(std::string(300, 'V'));
  EXPECT_EQ(Arguments("c21_getenv").back(), std::string(255, 'V'));
}

TEST(XustsTest, ReadingKeepsWholeMillisecondsAndWritingTruncatesTowardZero) {
  const DateTime almostOne = Session::XustsToDateTime(XUSTS{0, 999'999});
  EXPECT_EQ(almostOne, DateTime(1970, 1, 1, 0, 0, 0, 999, DateTimeKind::Utc));
  EXPECT_EQ(almostOne.Kind(), DateTimeKind::Utc);
  EXPECT_EQ(Session::XustsToDateTime(XUSTS{1, 234'567}), DateTime(1970, 1, 1, 0, 0, 1, 234));
  // A negative microsecond count moves back, truncated toward zero.
  EXPECT_EQ(Session::XustsToDateTime(XUSTS{10, -1'500}), DateTime(1970, 1, 1, 0, 0, 9, 999));
  EXPECT_EQ(Session::XustsToDateTime(XUSTS{-1, 0}), DateTime(1969, 12, 31, 23, 59, 59));

  const DateTime withTicks = DateTime(1970, 1, 1, 0, 0, 1, 0, DateTimeKind::Utc).AddTicks(2'345'678);
  const XUSTS written = Session::DateTimeToXusts(withTicks);
  EXPECT_EQ(written.SECONDS, 1);
  EXPECT_EQ(written.MICROSECS, 234'567);

  const XUSTS before = Session::DateTimeToXusts(DateTime(1969, 12, 31, 23, 59, 58, 500, DateTimeKind::Utc));
  EXPECT_EQ(before.SECONDS, -1);
  EXPECT_EQ(before.MICROSECS, -500'000);
  const XUSTS justBefore = Session::DateTimeToXusts(DateTime(1970, 1, 1, 0, 0, 0, 0, DateTimeKind::Utc).AddTicks(-1));
  EXPECT_EQ(justBefore.SECONDS, 0);
  EXPECT_EQ(justBefore.MICROSECS, 0);
}

TEST(XustsTest, RoundTripLosesSubMilliseconds) {
  const DateTime original = DateTime(2021, 6, 15, 12, 30, 45, 678, DateTimeKind::Utc).AddTicks(9'876);
  const DateTime back = Session::XustsToDateTime(Session::DateTimeToXusts(original));
  EXPECT_EQ(back, DateTime(2021, 6, 15, 12, 30, 45, 678));
  EXPECT_NE(back, original);
}

TEST(XustsTest, InstantsOutsideTheNativeRangeThrow) {
  EXPECT_THROW(Session::DateTimeToXusts(DateTime(1600, 12, 31, 23, 59, 59, 0, DateTimeKind::Utc)),
               platform::ArgumentOutOfRangeException);
  EXPECT_THROW(Session::DateTimeToXusts(DateTime::MinValue.WithKind(DateTimeKind::Utc)),
               platform::ArgumentOutOfRangeException);
  // Seconds beyond 32 bits would wrap to another time; they are refused.
  EXPECT_THROW(Session::DateTimeToXusts(DateTime(2040, 1, 1, 0, 0, 0, 0, DateTimeKind::Utc)),
               platform::ArgumentOutOfRangeException);
  EXPECT_THROW(Session::DateTimeToXusts(DateTime(1901, 12, 13, 20, 45, 51, 0, DateTimeKind::Utc)),
               platform::ArgumentOutOfRangeException);

  const XUSTS last = Session::DateTimeToXusts(DateTime(2038, 1, 19, 3, 14, 7, 999, DateTimeKind::Utc));
  EXPECT_EQ(last.SECONDS, std::numeric_limits<int32_t>::max());
  EXPECT_EQ(last.MICROSECS, 999'000);
  const XUSTS first = Session::DateTimeToXusts(DateTime(1901, 12, 13, 20, 45, 52, 0, DateTimeKind::Utc));
  EXPECT_EQ(first.SECONDS, std::numeric_limits<int32_t>::min());
}

// Runs the test in a given local time zone and restores the previous one.
class LocalZoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* zone = ::getenv("TZ")) saved_ = zone;
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

  static void ExpectSameXusts(const DateTime& local, const DateTime& utc) {
    const XUSTS fromLocal = Session::DateTimeToXusts(local);
    const XUSTS fromUtc = Session::DateTimeToXusts(utc);
    EXPECT_EQ(fromLocal.SECONDS, fromUtc.SECONDS) << local.ToIsoString();
    EXPECT_EQ(fromLocal.MICROSECS, fromUtc.MICROSECS) << local.ToIsoString();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(LocalZoneTest, LocalTimesEqualTheirUtcInstantAcrossDaylightSaving) {
  // Spring 2024: 02:00 CET became 03:00 CEST.
  ExpectSameXusts(DateTime(2024, 3, 31, 1, 59, 59, 500, DateTimeKind::Local),
                  DateTime(2024, 3, 31, 0, 59, 59, 500, DateTimeKind::Utc));
  ExpectSameXusts(DateTime(2024, 3, 31, 3, 0, 0, 0, DateTimeKind::Local),
                  DateTime(2024, 3, 31, 1, 0, 0, 0, DateTimeKind::Utc));
  // Autumn 2024: 03:00 CEST became 02:00 CET.
  ExpectSameXusts(DateTime(2024, 10, 27, 1, 30, 0, 0, DateTimeKind::Local),
                  DateTime(2024, 10, 26, 23, 30, 0, 0, DateTimeKind::Utc));
  ExpectSameXusts(DateTime(2024, 10, 27, 4, 0, 0, 0, DateTimeKind::Local),
                  DateTime(2024, 10, 27, 3, 0, 0, 0, DateTimeKind::Utc));
  // An unspecified time counts as local.
  ExpectSameXusts(DateTime(2024, 7, 1, 12, 0, 0, 0, DateTimeKind::Unspecified),
                  DateTime(2024, 7, 1, 10, 0, 0, 0, DateTimeKind::Utc));
}

}  // namespace
}  // namespace vantrel::access
