#include <string>
#include <type_traits>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "data/data_access.h"
#include "engine/control.h"
#include "platform/fault.h"
#include "platform/time_zone.h"
#include "tests/support/data_access_test_peer.h"
#include "tests/support/fault_of.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using vantrel::testing::CallArguments;
using vantrel::testing::FaultOf;
using vantrel::testing::Reals;

using contracts::DateTime;
using contracts::DateTimeKind;
using contracts::TagIdentifier;
using contracts::TagIdentifiers;
using contracts::TagsById;
using contracts::TagValue;
using contracts::TagValues;
using contracts::TagValuesByIds;
using contracts::TagValuesById;
using contracts::TagValuesByName;
using contracts::TagValuesByNames;
using contracts::Value;
using dorvik::FieldSpec;
using dorvik::Sample;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using vantrel::testing::kTag1;
using vantrel::testing::kTag2;
using vantrel::testing::kTag3;

constexpr int kWideFields = 600;

std::vector<Sample> Occurrences(int count, double first) {
  std::vector<Sample> samples;
  for (int k = 0; k < count; ++k) samples.emplace_back(first + k);
  return samples;
}

// The plant, a definition of 600 reals with quality (records WIDE1, WIDE2)
// and one of 10 reals and a repeat area (records REP<occurrences>).
dorvik::DatabaseBuilder Builder() {
  auto builder = vantrel::testing::PlantBuilder();
  std::vector<FieldSpec> wide;
  for (int i = 0; i < kWideFields; ++i) wide.push_back(FieldSpec::Real("W" + std::to_string(i)).WithQuality());
  std::vector<FieldSpec> repeated;
  for (int i = 0; i < 10; ++i) repeated.push_back(FieldSpec::Real("O" + std::to_string(i)));
  repeated.push_back(FieldSpec::Count("RCOUNT"));
  repeated.push_back(FieldSpec::Real("REP").InRepeatArea("RCOUNT"));
  builder.Definition("VN_WideDef", std::move(wide))
      .Definition("VN_RepDef", std::move(repeated))
      .Record("WIDE1", "VN_WideDef")
      .Record("WIDE2", "VN_WideDef")
      .Set("WIDE1", "W500", 5.5)
      .Grant("*", "VN_WideDef", 2)
      .Grant("*", "VN_RepDef", 2)
      .Set(kTag1, "COUNTER", Sample(77, 1, 2, dorvik::Timestamp::FromSeconds(1'700'000'010)))
      .Set(kTag3, "UNITS", "  bar  ")
      .Record("TW1", vantrel::testing::kAnalogDef);
  for (int count : {0, 3, 4, 5, 700}) {
    const std::string name = "REP" + std::to_string(count);
    builder.Record(name, "VN_RepDef").SetOccurrences(name, "REP", Occurrences(count, 0.0));
  }
  builder.Record("WMIX", "VN_RepDef").SetOccurrences("WMIX", "REP", Occurrences(3, 0.0));
  return builder;
}

DateTime UnixTime(int64_t seconds, int64_t milliseconds = 0) {
  return DateTime(DateTime::kUnixEpochTicks + seconds * DateTime::kTicksPerSecond +
                      milliseconds * DateTime::kTicksPerMillisecond,
                  DateTimeKind::Utc);
}

TagValue Real(double value) { return TagValue(value, UnixTime(1'700'000'000), 0, 0); }

class CurrentValuesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vantrel::testing::InstallDatabase(Builder()); }
  void SetUp() override {
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  void TearDown() override {
    dorvik::EnableCallLog(false);
    dorvik::ClearFaults();
  }
  int32_t Id(const std::string& record) { return data.GetRecordID(record); }
  int32_t Field(const std::string& field) { return data.GetAttributeID(field); }
  // Loads the definition of a record, so that the call log shows only reads.
  void Warm(const std::string& record) {
    data.GetFieldDefinitions(data.GetDefinitionRecordID(record));
    dorvik::ClearCallLog();
  }
  TagValues ReadOne(const std::string& record, const std::string& field) {
    return data.GetTagValues(TagsById{{Id(record), {Field(field)}}}).at(Id(record)).at(Field(field));
  }
  contracts::FieldIds WideFields(int from, int to) {
    contracts::FieldIds fields;
    for (int i = from; i < to; ++i) fields.push_back(Field("W" + std::to_string(i)));
    return fields;
  }

  DataAccess data;
};

// The database is shared by the tests of this suite; tests that write use
// their own records or fields, or restore what they change.

TEST_F(CurrentValuesTest, ReadsGoInBatchesOfAtMost500) {
  const TagsById request{{Id("WIDE1"), WideFields(0, 501)}};
  Warm("WIDE1");
  const TagValuesByIds result = data.GetTagValues(request);
  EXPECT_THAT(CallArguments("MRDBVALS"), ElementsAre("n=500", "n=1"));
  EXPECT_THAT(CallArguments("GETDATATYPES"), ElementsAre("n=500", "n=1"));
  ASSERT_EQ(result.at(Id("WIDE1")).size(), 501u);
  EXPECT_EQ(result.at(Id("WIDE1")).at(Field("W500"))[0].Value, Value(5.5));
}

TEST_F(CurrentValuesTest, RepeatAreasExpandIntoOneListPerField) {
  Warm("REP3");
  EXPECT_THAT(Reals(ReadOne("REP3", "REP")), ElementsAre(0.0, 1.0, 2.0));

  const TagValuesByIds none = data.GetTagValues(TagsById{{Id("REP0"), {Field("REP"), Field("O0")}}});
  EXPECT_FALSE(none.at(Id("REP0")).contains(Field("REP")));
  EXPECT_TRUE(none.at(Id("REP0")).contains(Field("O0")));

  // An occurrence asked for by itself keeps its own key, also beside its
  // whole field or the same field of another record in the batch.
  const int32_t rep = Field("REP");
  const TagValuesByIds mixed = data.GetTagValues(TagsById{{Id("REP3"), {rep, rep + 2}}, {Id("REP700"), {rep + 2}}});
  EXPECT_THAT(Reals(mixed.at(Id("REP3")).at(rep)), ElementsAre(0.0, 1.0, 2.0));
  EXPECT_THAT(Reals(mixed.at(Id("REP3")).at(rep + 2)), ElementsAre(1.0));
  EXPECT_THAT(Reals(mixed.at(Id("REP700")).at(rep + 2)), ElementsAre(1.0));
  EXPECT_EQ(mixed.at(Id("REP700")).size(), 1u);

  contracts::FieldIds fields;
  for (int i = 0; i < 10; ++i) fields.push_back(Field("O" + std::to_string(i)));
  fields.push_back(Field("REP"));
  const TagsById request{{Id("REP700"), fields}};
  dorvik::ClearCallLog();
  const TagValuesByIds result = data.GetTagValues(request);
  EXPECT_THAT(CallArguments("MRDBVALS"), ElementsAre("n=10", "n=700"));
  const TagValues& repeated = result.at(Id("REP700")).at(Field("REP"));
  ASSERT_EQ(repeated.size(), 700u);
  EXPECT_EQ(repeated[699].Value, Value(699.0));
  EXPECT_EQ(result.at(Id("REP700")).size(), 11u);
}

TEST_F(CurrentValuesTest, PointersAndCountsAreAskedForLast) {
  const int32_t tag1 = Id(kTag1);
  const contracts::FieldIds fields{Field("LINK"), Field("TREND_COUNT"), Field("COUNTER")};
  const std::vector<IDANDFT> items{{tag1, fields[0]}, {tag1, fields[1]}, {tag1, fields[2]}};
  DataAccessTestPeer peer(data);
  const BatchLayout layout = peer.LayOut(items);
  EXPECT_EQ(layout.BufferSize(), 24u);
  EXPECT_THAT(layout.CallTypes(), ElementsAre(-19, -1, -3));

  const TagValuesById values = data.GetTagValues(TagsById{{tag1, fields}}).at(tag1);
  EXPECT_EQ(values.at(Field("COUNTER"))[0], TagValue(77, UnixTime(1'700'000'010), 1, 2));
  EXPECT_EQ(values.at(Field("LINK"))[0], TagValue(std::string(kTag2), DateTime::MinValue, -32768, -1));
  EXPECT_EQ(values.at(Field("TREND_COUNT"))[0].Value, Value(int16_t{3}));

  // A read that stops at item k names item k of that order.
  vantrel::testing::LogCapture log;
  const char* names[] = {"COUNTER", "LINK", "TREND_COUNT"};
  for (int k = 0; k < 3; ++k) {
    dorvik::InjectFault("MRDBVALS", -900, k);
    const auto fault = FaultOf([&] { data.GetTagValues(TagsById{{tag1, fields}}); });
    const std::string first = k == 0 ? "MRDBVALS: error -900" : "MRDBVALS: item " + std::to_string(k) + " failed: error";
    EXPECT_EQ(fault.Reason().value_or(""), std::string("Failed to get value for TI100, ") + names[k] +
                                               " with error " + first + ", MRDBVALS: error -900");
    EXPECT_EQ(fault.Detail().ErrorType(), "ApplicationException");
    EXPECT_THAT(log.Lines().back(), EndsWith(" - GetTagValues, " + first));
  }
}

TEST_F(CurrentValuesTest, ValuesDecodeWithTheirQualityTextsTrimmedAndPointersAsNames) {
  const TagValuesById values =
      data.GetTagValues(TagsById{{Id(kTag1), {Field("VALUE"), Field("SOURCE"), Field("STAMP")}}}).at(Id(kTag1));
  EXPECT_EQ(values.at(Field("VALUE"))[0], TagValue(12.5, UnixTime(1'700'000'000, 250), 1, 0));
  EXPECT_EQ(values.at(Field("SOURCE"))[0].Value,
            Value(TagIdentifiers{TagIdentifier(kTag2, Id(kTag2)), TagIdentifier("VALUE", Field("VALUE"))}));
  EXPECT_EQ(values.at(Field("STAMP"))[0], TagValue(UnixTime(1'700'000'100), UnixTime(1'700'000'100), -32768, -1));
  EXPECT_EQ(ReadOne(kTag3, "UNITS")[0].Value, Value(std::string("bar")));
}

TEST_F(CurrentValuesTest, ReadsByNamesSkipUnknownNamesAndUseTheDatabasesSpelling) {
  const TagValuesByNames result =
      data.GetTagValues(contracts::Tags{{"ti100", {"value", "NOPE", "1 trend"}}, {"NOSUCH", {"VALUE"}}});
  ASSERT_EQ(result.size(), 1u);
  const auto& fields = result.at("TI100");
  EXPECT_THAT(fields.begin()->first, "VALUE");
  EXPECT_TRUE(fields.contains("1 TREND"));
  EXPECT_EQ(fields.size(), 2u);
  EXPECT_TRUE(data.GetTagValues(contracts::Tags{{"NOSUCH", {"VALUE"}}}).empty());

  const auto fault = FaultOf([&] { data.GetTagValues(contracts::Tags{{"TI100", {"NOPE"}}}); });
  EXPECT_EQ(fault.Reason().value_or(""), "Failed to find the maximum occurences for fields of record ID '" +
                                             std::to_string(Id(kTag1)) + "' because field list is empty.");
}

// Records of one field each, the field changing from record to record:
// each record holds its own field only, a repeat area its whole list.
TEST_F(CurrentValuesTest, RecordsOfOneFieldEachHoldTheirOwnField) {
  const TagValuesByIds byIds = data.GetTagValues(TagsById{{Id("REP3"), {Field("REP")}},
                                                          {Id("REP4"), {Field("O1")}},
                                                          {Id("REP5"), {Field("REP")}},
                                                          {Id("WIDE1"), {Field("W500")}}});
  const auto keys = [](const auto& map) {
    std::vector<typename std::decay_t<decltype(map)>::key_type> found;
    for (const auto& [key, values] : map) found.push_back(key);
    return found;
  };
  ASSERT_THAT(keys(byIds), ElementsAre(Id("REP3"), Id("REP4"), Id("REP5"), Id("WIDE1")));
  EXPECT_THAT(keys(byIds.at(Id("REP4"))), ElementsAre(Field("O1")));
  EXPECT_EQ(byIds.at(Id("REP4")).at(Field("O1")).size(), 1u);
  EXPECT_THAT(Reals(byIds.at(Id("REP3")).at(Field("REP"))), ElementsAre(0, 1, 2));
  EXPECT_THAT(Reals(byIds.at(Id("REP5")).at(Field("REP"))), ElementsAre(0, 1, 2, 3, 4));
  EXPECT_THAT(keys(byIds.at(Id("WIDE1"))), ElementsAre(Field("W500")));
  EXPECT_EQ(byIds.at(Id("WIDE1")).at(Field("W500"))[0].Value, Value(5.5));

  const TagValuesByNames byNames =
      data.GetTagValues(contracts::Tags{{"REP3", {"REP"}}, {"REP4", {"O1"}}, {"rep5", {"rep"}}, {"WIDE1", {"W500"}}});
  ASSERT_THAT(keys(byNames), ElementsAre("REP3", "REP4", "REP5", "WIDE1"));
  EXPECT_THAT(keys(byNames.at("REP4")), ElementsAre("O1"));
  EXPECT_THAT(Reals(byNames.at("REP3").at("REP")), ElementsAre(0, 1, 2));
  EXPECT_THAT(Reals(byNames.at("REP5").at("REP")), ElementsAre(0, 1, 2, 3, 4));
  EXPECT_THAT(keys(byNames.at("WIDE1")), ElementsAre("W500"));
  EXPECT_EQ(byNames.at("WIDE1").at("W500")[0].Value, Value(5.5));
}

TEST_F(CurrentValuesTest, FieldWithUnreadableCountGetsAPlaceholder) {
  dorvik::InjectFault("DB2SHRT", -900);
  const DateTime before = platform::Now();
  const TagValuesById values = data.GetTagValues(TagsById{{Id(kTag1), {Field("TREND"), Field("VALUE")}}}).at(Id(kTag1));
  const TagValues& trend = values.at(Field("TREND"));
  ASSERT_EQ(trend.size(), 1u);
  EXPECT_FALSE(contracts::HasValue(trend[0].Value));
  EXPECT_EQ(trend[0].Status, 2);
  EXPECT_EQ(trend[0].Level, -6);
  EXPECT_EQ(trend[0].Timestamp.Kind(), DateTimeKind::Local);
  EXPECT_GE(trend[0].Timestamp, before);
  EXPECT_LE(trend[0].Timestamp, platform::Now());
  EXPECT_EQ(values.at(Field("VALUE"))[0].Value, Value(12.5));

  // The same when the record asks for that field alone.
  dorvik::InjectFault("DB2SHRT", -900);
  const TagValues alone = data.GetTagValues(TagsById{{Id(kTag1), {Field("TREND")}}}).at(Id(kTag1)).at(Field("TREND"));
  ASSERT_EQ(alone.size(), 1u);
  EXPECT_FALSE(contracts::HasValue(alone[0].Value));
  EXPECT_EQ(alone[0].Level, -6);
}

// A field with an item the database would not type is left out whole: the
// rest of a repeat area's values would stand at the wrong occurrences.
TEST_F(CurrentValuesTest, AFieldWithAnUntypedItemIsLeftOutWhole) {
  Warm("REP3");
  dorvik::InjectFault("GETDATATYPES", -5, 2);  // items O0, REP 1, REP 2, REP 3: occurrence 2
  const TagValuesById values = data.GetTagValues(TagsById{{Id("REP3"), {Field("O0"), Field("REP")}}}).at(Id("REP3"));
  EXPECT_FALSE(values.contains(Field("REP")));
  EXPECT_TRUE(values.contains(Field("O0")));
}

// A write stores all it was given or fails: it does not store occurrence 1
// alone when the occurrences are unknown, nor leave out what the database
// would not type.
TEST_F(CurrentValuesTest, AWriteStoresAllItWasGivenOrFails) {
  const int32_t rep = Field("REP");
  const TagValues before = ReadOne("REP5", "REP");
  dorvik::InjectFault("DB2SHRT", -10);
  const auto unknown = FaultOf([&] { data.SetTagValues(TagValuesByIds{{Id("REP5"), {{rep, {Real(50), Real(51)}}}}}); });
  EXPECT_EQ(unknown.Reason().value_or(""), fmt::format("Failed to find the number of occurrences of field 0x{:X} of "
                                                       "record {}.", rep, Id("REP5")));

  dorvik::InjectFault("GETDATATYPES", -11, 1);
  const auto untyped = FaultOf([&] {
    data.SetTagValues(TagValuesByIds{{Id("REP5"), {{Field("O0"), {Real(60)}}, {Field("O1"), {Real(61)}}}}});
  });
  EXPECT_THAT(untyped.Reason().value_or(""), StartsWith("Failed to set value for REP5, O1 with error GETDATATYPES: "));
  EXPECT_EQ(dorvik::CallCount("MWDBVALS"), 0);
  EXPECT_EQ(ReadOne("REP5", "REP"), before);
  EXPECT_NE(ReadOne("REP5", "O0")[0].Value, Value(60.0));
}

TEST_F(CurrentValuesTest, RepeatAreaWritesStopAtTheValuesGiven) {
  const int32_t rep = Field("REP");
  data.SetTagValues(TagValuesByIds{{Id("REP5"), {{rep, {Real(10), Real(11), Real(12)}}}}});
  EXPECT_THAT(Reals(ReadOne("REP5", "REP")), ElementsAre(10, 11, 12, 3, 4));
  data.SetTagValues(TagValuesByIds{{Id("REP5"), {{rep, {Real(20), Real(21), Real(22), Real(23), Real(24), Real(25),
                                                        Real(26)}}}}});
  EXPECT_THAT(Reals(ReadOne("REP5", "REP")), ElementsAre(20, 21, 22, 23, 24));

  data.SetTagValues(TagValuesByIds{{Id("REP4"), {{rep, {Real(30)}}}}});
  EXPECT_THAT(Reals(ReadOne("REP4", "REP")), ElementsAre(30, 1, 2, 3));
  dorvik::ClearCallLog();
  data.SetTagValues(TagValuesByIds{{Id("REP4"), {{rep, {}}}}});
  EXPECT_EQ(dorvik::CallCount("MWDBVALS"), 0);
  EXPECT_THAT(Reals(ReadOne("REP4", "REP")), ElementsAre(30, 1, 2, 3));
}

TEST_F(CurrentValuesTest, WritesOf600FieldsGoInBatchesOf500And100) {
  TagValuesByIds request;
  for (int i = 0; i < kWideFields; ++i) {
    request[Id(i < 400 ? "WIDE1" : "WIDE2")][Field("W" + std::to_string(i))] = {Real(i + 0.5)};
  }
  Warm("WIDE1");
  data.SetTagValues(request);
  EXPECT_THAT(CallArguments("MWDBVALS"), ElementsAre("n=500", "n=100"));
  const TagValuesByIds back = data.GetTagValues(TagsById{{Id("WIDE1"), WideFields(0, 400)},
                                                         {Id("WIDE2"), WideFields(400, kWideFields)}});
  for (int i = 0; i < kWideFields; ++i) {
    const auto& value = back.at(Id(i < 400 ? "WIDE1" : "WIDE2")).at(Field("W" + std::to_string(i)))[0];
    ASSERT_EQ(value.Value, Value(i + 0.5)) << i;
  }
}

TEST_F(CurrentValuesTest, WritesKeepQualityTimesPointersAndTexts) {
  const int32_t record = Id("TW1");
  const DateTime local(2024, 5, 6, 7, 8, 9, 123, DateTimeKind::Local);
  data.SetTagValues(TagValuesByIds{
      {record,
       {{Field("VALUE"), {TagValue(42.5, local, 5, 3)}},
        {Field("SMALL"), {TagValue(-12, UnixTime(1'600'000'000), 7, 1)}},
        {Field("COUNTER"), {TagValue(std::string(" 1234 "), DateTime::MinValue, 0, 0)}},
        {Field("LINK"), {TagValue(std::string("TI100"), {}, 0, 0)}},
        {Field("SOURCE"), {TagValue(std::string("TI101 VALUE"), {}, 0, 0)}},
        {Field("UNITS"), {TagValue(std::string("kPa"), {}, 0, 0)}}}}});
  const TagValue value = ReadOne("TW1", "VALUE")[0];
  EXPECT_EQ(value, TagValue(42.5, platform::ToUniversalTime(local), 5, 3));
  EXPECT_EQ(value.Timestamp.Kind(), DateTimeKind::Utc);
  EXPECT_EQ(ReadOne("TW1", "SMALL")[0], TagValue(int16_t{-12}, UnixTime(1'600'000'000), 7, 1));
  EXPECT_EQ(ReadOne("TW1", "COUNTER")[0], TagValue(1234, DateTime::UnixEpoch(), 0, 0));  // no time: native zero
  EXPECT_EQ(ReadOne("TW1", "LINK")[0].Value, Value(std::string("TI100")));
  EXPECT_EQ(ReadOne("TW1", "SOURCE")[0].Value,
            Value(TagIdentifiers{TagIdentifier(kTag2, Id(kTag2)), TagIdentifier("VALUE", Field("VALUE"))}));
  EXPECT_EQ(dorvik::CurrentText("TW1", "UNITS"), "kPa");

  data.SetTagValues(TagValuesByIds{{record, {{Field("LINK"), {TagValue(Id(kTag2), {}, 0, 0)}}}}});
  EXPECT_EQ(ReadOne("TW1", "LINK")[0].Value, Value(std::string(kTag2)));

  // Texts the field cannot hold whole are refused, by the library or the database.
  const auto tooLong = FaultOf([&] {
    data.SetTagValues(TagValuesByIds{{record, {{Field("UNITS"), {TagValue(std::string(16, 'x'), {}, 0, 0)}}}}});
  });
  EXPECT_THAT(tooLong.Reason().value_or(""), HasSubstr("16 characters"));
  const auto refused = FaultOf([&] {
    data.SetTagValues(TagValuesByIds{{record, {{Field("UNITS"), {TagValue(std::string(13, 'x'), {}, 0, 0)}}}}});
  });
  EXPECT_THAT(refused.Reason().value_or(""), StartsWith("Failed to set value for TW1, UNITS with error "));
  EXPECT_EQ(dorvik::CurrentText("TW1", "UNITS"), "kPa");
  EXPECT_THROW(data.SetTagValues(TagValuesByIds{{record, {{Field("HI_LIMIT"), {}}}}}), platform::FaultException);
}

// A text is stored as given or not at all: a zero character would cut it
// short and characters the code page lacks would become '?'.
TEST_F(CurrentValuesTest, TextsTheDatabaseCannotHoldAreRefusedBeforeTheWrite) {
  const int32_t record = Id("TW1");
  data.SetTagValues(TagValuesByIds{{record, {{Field("DESCRIPTION"), {TagValue(std::string("kept"), {}, 0, 0)}}}}});
  dorvik::ClearCallLog();
  const std::vector<std::pair<std::string, std::string>> refused{
      {std::string("ab\0XYZ", 6), "The text \"ab\\0XYZ\" holds a zero character"},
      {"\xE6\xB8\xA9\xE5\xBA\xA6",
       "The text \"\xE6\xB8\xA9\xE5\xBA\xA6\" has characters that the database's code page cannot hold."}};
  for (const auto& [text, message] : refused) {
    const auto fault = FaultOf([&, &text = text] {
      data.SetTagValues(TagValuesByIds{{record, {{Field("DESCRIPTION"), {TagValue(text, {}, 0, 0)}}}}});
    });
    EXPECT_THAT(fault.Reason().value_or(""), StartsWith(message));
  }
  EXPECT_EQ(dorvik::CallCount("MWDBVALS"), 0);
  EXPECT_EQ(dorvik::CurrentText("TW1", "DESCRIPTION"), "kept");
}

TEST_F(CurrentValuesTest, WritesByNamesLogBadNames) {
  vantrel::testing::LogCapture log(TraceLevel::Off);  // these lines skip the level check
  data.SetTagValues(TagValuesByNames{{"TI101", {{"HI_LIMIT", {Real(1.5)}}, {"NOPE", {Real(2)}}}},
                                     {"NOSUCH", {{"VALUE", {Real(3)}}, {"NOPE2", {Real(4)}}}}});
  EXPECT_THAT(log.Lines(), ElementsAre("Failed because and field name NOPE is invalid",
                                       "Failed because record name NOSUCH is invalid",
                                       "Failed because record name NOSUCH is invalid and field name NOPE2 is invalid"));
  EXPECT_EQ(ReadOne(kTag2, "HI_LIMIT")[0].Value, Value(1.5));
}

// Two spellings of one record in one request add up, as two names of one
// field do: every value given is written, every field asked for is read.
TEST_F(CurrentValuesTest, SpellingsOfOneRecordMergeInWritesAndReadsByNames) {
  data.SetTagValues(TagValuesByNames{{"WMIX", {{"O1", {Real(1)}}, {"REP", {Real(10)}}}},
                                     {"wmix", {{"O2", {Real(2)}}, {"rep", {Real(11), Real(12)}}}}});
  EXPECT_EQ(ReadOne("WMIX", "O1")[0].Value, Value(1.0));
  EXPECT_EQ(ReadOne("WMIX", "O2")[0].Value, Value(2.0));
  EXPECT_THAT(Reals(ReadOne("WMIX", "REP")), ElementsAre(10, 11, 12));

  const TagValuesByNames read = data.GetTagValues(contracts::Tags{{"WMIX", {"O1", "REP"}}, {"wmix", {"o2"}}});
  ASSERT_EQ(read.size(), 1u);
  const TagValuesByName& fields = read.at("WMIX");
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_THAT(Reals(fields.at("O1")), ElementsAre(1));
  EXPECT_THAT(Reals(fields.at("REP")), ElementsAre(10, 11, 12));
  EXPECT_THAT(Reals(fields.at("O2")), ElementsAre(2));
}

TEST_F(CurrentValuesTest, RefusedWritesFaultWithTheDatabasesMessageAndKeepEarlierBatches) {
  TagValuesByIds request;
  for (const int32_t field : WideFields(0, 500)) request[Id("WIDE2")][field] = {Real(7)};
  request[Id(kTag1)][Field("NOTE")] = {TagValue(std::string("x"), {}, 0, 0)};
  const auto protectedField = FaultOf([&] { data.SetTagValues(request); });
  EXPECT_THAT(protectedField.Reason().value_or(""),
              StartsWith("Failed to set value for TI100, NOTE with error MWDBVALS: field 0x"));
  EXPECT_THAT(protectedField.Reason().value_or(""), HasSubstr("write protected"));
  EXPECT_EQ(ReadOne("WIDE2", "W499")[0].Value, Value(7.0));

  const auto unknown = FaultOf([&] { data.SetTagValues(TagValuesByIds{{Id(kTag1), {{0x00CD0000, {Real(1)}}}}}); });
  EXPECT_EQ(std::string(unknown.what()), "Invalid field id 0xCD0000 for tag id " + std::to_string(Id(kTag1)));

  dorvik::RevokePermission("*", "VN_WideDef");
  DataAccess withoutRights;  // takes the changed rights
  const auto denied = FaultOf(
      [&] { withoutRights.SetTagValues(TagValuesByIds{{Id("WIDE2"), {{Field("W0"), {Real(1)}}}}}); });
  dorvik::SetPermission("*", "VN_WideDef", 2);
  EXPECT_EQ(denied.Reason().value_or(""),
            "Failed to set value for WIDE2, W0 with error MWDBVALS: no write right on record " +
                std::to_string(Id("WIDE2")) + ", MWDBVALS: no write right on record " + std::to_string(Id("WIDE2")));
  EXPECT_EQ(ReadOne("WIDE2", "W0")[0].Value, Value(7.0));
}

// A read by names keeps its values aside until it asks their names: its
// records and fields come in the order a read by ids files them (a value
// without quality placeholder first, record pointers after the others).
TEST_F(CurrentValuesTest, ReadsByNamesFileInTheOrderOfReadsByIds) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> request{
      {kTag2, {"LINK"}}, {kTag1, {"LINK", "VALUE", "TREND"}}, {kTag3, {"UNITS", "TREND_COUNT"}}};
  contracts::Tags byNames;
  TagsById byIds;
  for (const auto& [record, fields] : request) {
    for (const auto& field : fields) {
      byNames[record].push_back(field);
      byIds[Id(record)].push_back(Field(field));
    }
  }
  dorvik::InjectFault("DB2SHRT", -900);  // TI100's TREND: a placeholder
  const TagValuesByIds read = data.GetTagValues(byIds);
  dorvik::InjectFault("DB2SHRT", -900);
  const TagValuesByNames named = data.GetTagValues(byNames);

  std::vector<std::string> expected;
  for (auto record = read.begin(); record != read.end(); ++record) {
    for (auto field = record->second.begin(); field != record->second.end(); ++field) {
      expected.push_back(data.GetRecordName(record->first) + " " + data.GetAttributeName(record->first, field->first));
    }
  }
  std::vector<std::string> got;
  for (auto record = named.begin(); record != named.end(); ++record) {
    for (auto field = record->second.begin(); field != record->second.end(); ++field) {
      got.push_back(record->first + " " + field->first);
      if (field->first != "TREND") {
        EXPECT_EQ(field->second, read.at(Id(record->first)).at(Field(field->first))) << got.back();
      }
    }
  }
  EXPECT_EQ(got, expected);
  EXPECT_EQ(got.front(), std::string(kTag1) + " TREND");
}

// A write finds each item's value under its own field tag first: an
// occurrence given by itself wins over its whole field's list, wherever it
// stands among the record's fields.
TEST_F(CurrentValuesTest, AnOccurrenceGivenByItselfWinsOverItsWholeField) {
  const int32_t rep = Field("REP");
  const TagValues before = ReadOne("REP3", "REP");
  data.SetTagValues(TagValuesByIds{{Id("REP3"), {{rep + 2, {Real(99)}}, {rep, {Real(10), Real(11), Real(12)}}}},
                                   {Id("REP4"), {{rep + 1, {Real(7)}}}}});
  EXPECT_THAT(Reals(ReadOne("REP3", "REP")), ElementsAre(10, 99, 12));
  EXPECT_EQ(ReadOne("REP4", "REP")[0].Value, Value(7.0));
  data.SetTagValues(TagValuesByIds{{Id("REP3"), {{rep, before}}}, {Id("REP4"), {{rep + 1, {Real(0)}}}}});
  EXPECT_EQ(Reals(ReadOne("REP3", "REP")), Reals(before));
}

}  // namespace
}  // namespace vantrel::access
