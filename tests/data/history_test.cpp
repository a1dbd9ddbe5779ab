#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "data/data_access.h"
#include "engine/control.h"
#include "platform/fault.h"
#include "platform/time_zone.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using vantrel::testing::CallArguments;
using vantrel::testing::Reals;

using contracts::DateTime;
using contracts::DateTimeKind;
using contracts::HistoryRequestById;
using contracts::HistoryRequestTypeEnum;
using contracts::TagValues;
using contracts::Value;
using dorvik::HistoryPoint;
using dorvik::Timestamp;
using O = contracts::OutsidersRequestTypeEnum;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr int64_t kT0 = 1'700'000'000;  // seconds of the first stored value of the series

// Twenty values i at kT0 + 10 i seconds, level 1 (0 at position levelZero).
std::vector<HistoryPoint> Series(int levelZero = -1) {
  std::vector<HistoryPoint> points;
  for (int i = 0; i < 20; ++i) {
    points.push_back(HistoryPoint{Timestamp::FromSeconds(kT0 + 10 * i), double(i), int16_t(i == levelZero ? 0 : 1)});
  }
  return points;
}

HistoryPoint Point(int64_t seconds, int64_t micros, double value) {
  return HistoryPoint{Timestamp::FromSeconds(seconds, micros), value, 1};
}

dorvik::DatabaseBuilder Builder() {
  auto builder = vantrel::testing::PlantBuilder();
  for (const char* record : {"H_LEVEL0", "H_PLAIN", "H_EDGES", "H_SUBMS"}) {
    builder.Record(record, vantrel::testing::kAnalogDef);
  }
  const int64_t future = (platform::UtcNow().Ticks() - DateTime::kUnixEpochTicks) / DateTime::kTicksPerSecond + 86'400;
  builder.History("H_LEVEL0", "VALUE", Series(13))
      .History("H_PLAIN", "VALUE", Series())
      .History("H_EDGES", "VALUE",
               {Point(0, 0, 100), Point(1, 0, 101), Point(2, 0, 102), Point(kT0, 0, 200), Point(kT0, 500, 201),
                Point(kT0, 1000, 202), Point(kT0, 1500, 203), Point(kT0 + 100, 999'500, 300),
                Point(kT0 + 101, 400, 301), Point(kT0 + 101, 600, 302), Point(future, 0, 900)})
      .History("H_SUBMS", "VALUE",
               {Point(kT0 - 1, 0, 399), Point(kT0, 600, 400), Point(kT0, 700, 401), Point(kT0, 1000, 402),
                Point(kT0 + 2, 0, 403)})
      .Definition("VN_TextHistDef", {dorvik::FieldSpec::Text("LABEL7", 7).WithHistory()})
      .Record("TX1", "VN_TextHistDef")
      .History("TX1", "LABEL7", {{Timestamp::FromSeconds(kT0), "ABC", 1}, {Timestamp::FromSeconds(kT0 + 1), "ABCDEFG", 1},
                                 {Timestamp::FromSeconds(kT0 + 2), "  Z", 1}});
  return builder;
}

// A UTC time seconds (and microseconds) after kT0.
DateTime At(int64_t seconds, int64_t micros = 0) {
  return DateTime(DateTime::kUnixEpochTicks + (kT0 + seconds) * DateTime::kTicksPerSecond + micros * 10,
                  DateTimeKind::Utc);
}

class HistoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vantrel::testing::InstallDatabase(Builder()); }
  void SetUp() override {
    valueTag = data.GetAttributeID("VALUE");
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  void TearDown() override { dorvik::EnableCallLog(false); }

  HistoryRequestById Request(const char* record, DateTime start, DateTime end, int32_t maxCount,
                             O outsiders = O::None, HistoryRequestTypeEnum type = HistoryRequestTypeEnum::Kind4) {
    HistoryRequestById request;
    request.TagId = data.GetRecordID(record);
    request.FieldId = valueTag;
    request.Query.StartTime = start;
    request.Query.EndTime = end;
    request.Query.MaxCount = maxCount;
    request.Query.OusidersType = outsiders;
    request.Query.RequestType = type;
    return request;
  }
  TagValues Read(const HistoryRequestById& request) {
    return data.GetHistoryValuesByIds({request}).at(request.TagId).at(request.FieldId);
  }
  std::string FaultReason(const HistoryRequestById& request) {
    try {
      data.GetHistoryValuesByIds({Request("H_PLAIN", At(25), At(65), 10), request});
    } catch (const platform::FaultException& fault) {
      return fault.Reason().value_or("(no reason)");
    }
    return "(no fault)";
  }

  DataAccess data;
  int32_t valueTag = 0;
};

TEST_F(HistoryTest, RequestsWithoutABoundAnswerEmptyLists) {
  const DateTime min = DateTime::MinValue, max = DateTime::MaxValue;
  for (const auto& [start, end] : {std::pair{min, min}, {min, max}, {max, max}, {max, min}}) {
    EXPECT_THAT(Read(Request("H_PLAIN", start, end, 10)), IsEmpty());
  }
  EXPECT_EQ(dorvik::CallCount("GETDATATYPES") + dorvik::CallCount("RHIS21DATA") + dorvik::CallCount("RHIS21REV"), 0);
}

TEST_F(HistoryTest, ForwardAndReverseReadsOfAnInterval) {
  const TagValues forward = Read(Request("H_PLAIN", At(25), At(65), 10));
  EXPECT_THAT(Reals(forward), ElementsAre(3, 4, 5, 6));
  EXPECT_EQ(forward[0].Timestamp, At(30));
  EXPECT_EQ(forward[0].Timestamp.Kind(), DateTimeKind::Utc);
  EXPECT_EQ(forward[0].Status, -32768);
  EXPECT_EQ(forward[0].Level, 1);
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(65), At(25), 10))), ElementsAre(6, 5, 4, 3));
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(25), At(65), 2))), ElementsAre(3, 4));

  // A pair asked twice collects both answers in one list.
  const auto both = data.GetHistoryValuesByIds(
      {Request("H_PLAIN", At(25), At(45), 10), Request("H_PLAIN", At(45), At(25), 10)});
  EXPECT_THAT(Reals(both.at(data.GetRecordID("H_PLAIN")).at(valueTag)), ElementsAre(3, 4, 4, 3));
}

TEST_F(HistoryTest, OpenBoundsReadToTheEndsOfTheNativeRange) {
  const int64_t epoch = -kT0;  // At(epoch) is 1970-01-01 00:00:00
  // Only an end: backwards down to 1970-01-01 00:00:01.
  EXPECT_THAT(Reals(Read(Request("H_EDGES", DateTime::MinValue, At(epoch + 5), 10))), ElementsAre(102, 101));
  // Only a start: forwards up to now.
  for (const DateTime& end : {DateTime::MinValue, DateTime::MaxValue}) {
    EXPECT_THAT(Reals(Read(Request("H_EDGES", At(-50), end, 20))), ElementsAre(200, 201, 202, 203, 300, 301, 302));
  }
  // A start at the maximum timestamp reads backwards from the latest native time.
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", DateTime::MaxValue, At(155), 10))), ElementsAre(19, 18, 17, 16));
}

TEST_F(HistoryTest, EqualStartAndEndReadOneMillisecond) {
  EXPECT_THAT(Reals(Read(Request("H_EDGES", At(0), At(0), 10))), ElementsAre(200, 201, 202));
  // 0.5 ms before a whole second: the window reaches into the next second.
  EXPECT_THAT(Reals(Read(Request("H_EDGES", At(100, 999'500), At(100, 999'500), 10))), ElementsAre(300, 301));
}

TEST_F(HistoryTest, ReverseReadsAcceptOnlyKind4) {
  const auto type5 = static_cast<HistoryRequestTypeEnum>(5);
  EXPECT_EQ(FaultReason(Request("H_PLAIN", At(65), At(25), 10, O::None, type5)),
            "Request for 5 not supported for reverse history lookup.");
  EXPECT_EQ(FaultReason(Request("H_PLAIN", DateTime::MinValue, At(65), 10, O::None, type5)),
            "Request for 5 not supported for reverse history lookup.");
  // Forwards the type goes to the database, whose refusal is not reported.
  EXPECT_THAT(Read(Request("H_PLAIN", At(25), At(65), 10, O::None, type5)), IsEmpty());
}

TEST_F(HistoryTest, ACountNoReadCanNeedIsRefusedBeforeAnythingIsAllocated) {
  EXPECT_EQ(FaultReason(Request("H_PLAIN", At(25), At(65), std::numeric_limits<int32_t>::max(), O::BothB)),
            "A history read asks for 2147483647 values; at most 1000000 can be read at once.");
  EXPECT_EQ(dorvik::CallCount("RHIS21DATA"), 1);  // only the request before it was read
  EXPECT_THAT(Read(Request("H_PLAIN", At(25), At(65), 1'000'000)), Not(IsEmpty()));
}

TEST_F(HistoryTest, TextHistoryOfAPositiveTypeUsesEvenSlots) {
  HistoryRequestById request = Request("TX1", At(0), At(10), 10);
  request.FieldId = data.GetAttributeID("LABEL7");
  const TagValues values = Read(request);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].Value, Value(std::string("ABC")));
  EXPECT_EQ(values[1].Value, Value(std::string("ABCDEFG")));
  EXPECT_EQ(values[2].Value, Value(std::string("Z")));
  EXPECT_EQ(values[2].Status, -32768);
}

TEST_F(HistoryTest, ForwardOutsidersComeFromTheDatabaseOrAFollowUp) {
  // Room for both outsiders: 1 before, 9 inside, 1 after come back.
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(25), At(115), 10, O::BothA))),
              ElementsAre(2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12));
  EXPECT_THAT(CallArguments("RHIS21DATA"), ElementsAre(AllOf(HasSubstr("outsiders=3"), EndsWith("count=12"))));

  // The count filled: a twelfth value of level 0 is kept as it is ...
  dorvik::ClearCallLog();
  EXPECT_THAT(Reals(Read(Request("H_LEVEL0", At(25), At(125), 10, O::BothA))),
              ElementsAre(2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13));
  EXPECT_EQ(dorvik::CallCount("RHIS21DATA"), 1);
  // ... any other is read again after the eleventh value.
  dorvik::ClearCallLog();
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(25), At(125), 10, O::BothA))),
              ElementsAre(2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13));
  EXPECT_THAT(CallArguments("RHIS21DATA"), ElementsAre(EndsWith("count=12"), AllOf(HasSubstr("outsiders=2"),
                                                                               EndsWith("count=2"))));

  // Kinds outside the table add nothing.
  dorvik::ClearCallLog();
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(25), At(65), 4, static_cast<O>(4)))), ElementsAre(3, 4, 5, 6));
  EXPECT_THAT(CallArguments("RHIS21DATA"), ElementsAre(EndsWith("count=4")));
}

// Each request of a pair asked twice is patched on its own answer; the
// pair's list is the answers one after the other, in either order.
TEST_F(HistoryTest, APairAskedTwiceKeepsEachAnswerWithItsOutsiders) {
  const HistoryRequestById late = Request("H_PLAIN", At(185), At(155), 3, O::BeforeA);  // reverse
  const HistoryRequestById early = Request("H_PLAIN", At(15), At(35), 2, O::BothA);
  const std::vector<double> lateAlone = Reals(Read(late));
  const std::vector<double> earlyAlone = Reals(Read(early));
  EXPECT_THAT(lateAlone, ElementsAre(19, 18, 17, 16));
  EXPECT_THAT(earlyAlone, ElementsAre(1, 2, 3, 4));

  const int32_t record = data.GetRecordID("H_PLAIN");
  std::vector<double> both = lateAlone;
  both.insert(both.end(), earlyAlone.begin(), earlyAlone.end());
  EXPECT_EQ(Reals(data.GetHistoryValuesByIds({late, early}).at(record).at(valueTag)), both);
  both = earlyAlone;
  both.insert(both.end(), lateAlone.begin(), lateAlone.end());
  EXPECT_EQ(Reals(data.GetHistoryValuesByIds({early, late}).at(record).at(valueTag)), both);
}

TEST_F(HistoryTest, MoreLeadingValuesThanAskedForLeaveTheAnswerAlone) {
  // Values within the start's millisecond count as lying before the start.
  EXPECT_THAT(Reals(Read(Request("H_SUBMS", At(0, 500), At(10), 2, O::BothA))), ElementsAre(399, 400, 401, 402));
  EXPECT_EQ(dorvik::CallCount("RHIS21DATA"), 1);
}

TEST_F(HistoryTest, ReverseOutsidersAreReadAfterwardsAndKeepTheOrder) {
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(105), At(35), 3, O::BeforeA))), ElementsAre(11, 10, 9, 8));
  EXPECT_THAT(CallArguments("RHIS21REV"), ElementsAre(EndsWith("count=3")));
  EXPECT_THAT(CallArguments("RHIS21DATA"), ElementsAre(AllOf(HasSubstr("outsiders=2"), EndsWith("count=2"))));

  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(105), At(35), 3, O::AfterA))), ElementsAre(10, 9, 8, 7));
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(105), At(35), 3, O::BothB))), ElementsAre(12, 11, 10, 9, 8, 7, 6));
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(105), At(35), 3, static_cast<O>(4)))), ElementsAre(10, 9, 8));

  // An empty answer takes the after-window from the start ...
  EXPECT_THAT(Reals(Read(Request("H_PLAIN", At(55), At(51), 3, O::BeforeA))), ElementsAre(6));
  // ... unless the start is open: nothing lies after it.
  dorvik::ClearCallLog();
  EXPECT_THAT(Read(Request("H_PLAIN", DateTime::MinValue, At(-100), 3, O::BeforeA)), IsEmpty());
  EXPECT_THAT(Read(Request("H_PLAIN", DateTime::MaxValue, At(1000), 3, O::BeforeA)), IsEmpty());
  EXPECT_EQ(dorvik::CallCount("RHIS21DATA"), 0);
}

}  // namespace
}  // namespace vantrel::access
