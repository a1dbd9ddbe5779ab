#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "api/dorvik.h"
#include "engine/control.h"
#include "platform/exceptions.h"
#include "session/session.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::FieldReferenceTypeEnum;
using contracts::TypeCode;
using dorvik::FieldSpec;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using vantrel::testing::kAnalogDef;
using vantrel::testing::kModeSelector;
using vantrel::testing::kTag1;
using vantrel::testing::kTag2;

constexpr int16_t kFault = -900;  // an error code the engine names "error -900"

class TestSession : public Session {
 public:
  using Session::GetFieldDefinitionByFieldId;
  using Session::GetMaximumOcurrences;
  using Session::GetRepeatAreaIndex;
  using Session::IsRepeatAreaCount;
  using Session::TranslateToTypeCodeAndFieldReferenceType;
};

// The plant plus a definition whose fields 1 (text) and 3 (integer) name
// selectors, a definition without fields, and TI101 with 7 trend values.
dorvik::DatabaseBuilder Builder() {
  auto builder = vantrel::testing::PlantBuilder();
  builder
      .Definition("VN_SelDef", {FieldSpec::Real("SA"), FieldSpec::Text("SLABEL", 8).WithSelector(kModeSelector),
                                FieldSpec::Real("SB"), FieldSpec::Integer("SSTATE").WithSelector(kModeSelector)})
      .Definition("VN_EmptyDef", {})
      .SetOccurrences(kTag2, "TREND", std::vector<dorvik::Sample>(7, dorvik::Sample(1.5)));
  return builder;
}

std::vector<std::string> LoggedFunctions() {
  std::vector<std::string> functions;
  for (const auto& call : dorvik::CallLog()) functions.push_back(call.function);
  return functions;
}

class FieldDefinitionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vantrel::testing::InstallDatabase(Builder());
    analogDef = session.GetRecordID(kAnalogDef);
    selDef = session.GetRecordID("VN_SelDef");
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  void TearDown() override {
    dorvik::EnableCallLog(false);
    dorvik::ClearFaults();
  }
  int32_t Field(const char* name) { return session.GetAttributeID(name); }
  // The message of the ApplicationException a load raises.
  std::string LoadError(int32_t definitionId) {
    try {
      session.GetFieldDefinitions(definitionId);
    } catch (const platform::ApplicationException& error) {
      return error.what();
    }
    return "(no error)";
  }

  TestSession session;
  int32_t analogDef = 0;
  int32_t selDef = 0;
};

TEST_F(FieldDefinitionsTest, ColdLoadMakesTheBatchedReadsThenServesTheCache) {
  const FieldDefinitionsPtr first = session.GetFieldDefinitions(analogDef);
  ASSERT_EQ(first->size(), 14u);
  // Header, columns, numbers, names, then one selector series for MODE.
  EXPECT_THAT(LoggedFunctions(), ElementsAre("RDBVALS", "MRDBOCCS", "MRDBVALS", "MRDBVALS", "RDBVALS",
                                             "FIELDDEFNINFO", "MRDBOCCS"));
  EXPECT_EQ(dorvik::CallLog()[1].arguments, "id=" + std::to_string(analogDef) + " n=9 first=1 last=14");
  EXPECT_EQ(dorvik::CallLog()[2].arguments, "n=14");

  const int32_t trendTag = Field("TREND");
  dorvik::ClearCallLog();
  EXPECT_EQ(session.GetFieldDefinitions(analogDef).get(), first.get());
  const FieldDefinitionPtr trend = session.GetFieldDefinitionByFieldId(analogDef, trendTag + 5);
  ASSERT_NE(trend, nullptr);
  EXPECT_EQ(trend.get(), &(*first)[9]);
  EXPECT_TRUE(dorvik::CallLog().empty());

  Session::RefreshAll();
  const FieldDefinitionsPtr reloaded = session.GetFieldDefinitions(analogDef);
  EXPECT_NE(reloaded.get(), first.get());
  EXPECT_EQ(*reloaded, *first);  // the list handed out before stays valid
  EXPECT_EQ(dorvik::CallCount("MRDBVALS"), 2);
}

TEST_F(FieldDefinitionsTest, LoadedDefinitionsCarryEveryColumn) {
  const FieldDefinitionsPtr loaded = session.GetFieldDefinitions(analogDef);
  const auto& fields = *loaded;
  EXPECT_EQ(fields[0].Name, "DESCRIPTION");
  EXPECT_EQ(fields[0].DataType, TypeCode::String);
  EXPECT_EQ(fields[0].Length, 40);
  EXPECT_EQ(fields[1].Number, Field("VALUE"));
  EXPECT_EQ(fields[1].DataType, TypeCode::Double);
  EXPECT_EQ(fields[1].QualityField, 1);
  EXPECT_EQ(fields[1].HistoryPointer, 1);
  EXPECT_EQ(fields[3].DataType, TypeCode::Single);
  EXPECT_EQ(fields[5].FieldReferenceType, FieldReferenceTypeEnum::Selector);
  EXPECT_EQ(fields[5].SelectorRecordId, session.GetRecordID(kModeSelector));
  EXPECT_EQ(fields[5].FormattedStrings, (contracts::Selectors{{0, "OFF"}, {1, "ON"}, {2, "AUTO"}}));
  EXPECT_EQ(fields[6].DataType, TypeCode::Int32);
  EXPECT_EQ(fields[8].FieldReferenceType, FieldReferenceTypeEnum::DataType6);
  EXPECT_EQ(fields[9].RepeatArea, 9);  // TREND counts in the ninth field
  EXPECT_EQ(fields[10].FieldReferenceType, FieldReferenceTypeEnum::Record);
  EXPECT_FALSE(fields[1].ReadOnlyUsable || fields[1].ReadOnlyUnusable);  // code 3
  EXPECT_TRUE(fields[13].ReadOnlyUsable && fields[13].ReadOnlyUnusable);  // code 0

  // A selector on a text field fills the texts but names no selector.
  const auto& label = (*session.GetFieldDefinitions(selDef))[1];
  EXPECT_EQ(label.FieldReferenceType, FieldReferenceTypeEnum::None);
  EXPECT_EQ(label.SelectorRecordId, 0);
  EXPECT_EQ(label.FormattedStrings.size(), 3u);
}

TEST_F(FieldDefinitionsTest, IdsOfZeroOrLessGiveEmptyUncachedLists) {
  const int32_t value = Field("VALUE");
  const int32_t other = Field("SA");
  dorvik::ClearCallLog();
  const auto none = session.GetFieldDefinitions(0);
  EXPECT_TRUE(none->empty());
  EXPECT_NE(session.GetFieldDefinitions(0).get(), none.get());
  EXPECT_TRUE(session.GetFieldDefinitions(-3)->empty());
  EXPECT_EQ(session.GetFieldDefinitionByFieldId(0, value), nullptr);
  EXPECT_TRUE(dorvik::CallLog().empty());
  EXPECT_EQ(session.GetFieldDefinitionByFieldId(analogDef, other), nullptr);
  EXPECT_EQ(dorvik::CallLog().size(), 4u + 3u);  // only the analog definition was loaded

  // A definition without fields loads as an empty list, and is cached.
  const int32_t emptyDef = session.GetRecordID("VN_EmptyDef");
  const auto empty = session.GetFieldDefinitions(emptyDef);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(session.GetFieldDefinitions(emptyDef).get(), empty.get());
}

TEST_F(FieldDefinitionsTest, AFailingSelectorAbortsTheLoadAndCachesNothing) {
  vantrel::testing::LogCapture log;
  // The column read and the selector of field 1 pass; field 3's selector fails.
  dorvik::InjectFault("MRDBOCCS", 0, 1000, 2);
  dorvik::InjectFault("MRDBOCCS", kFault);
  const std::string expected = "Could not read occurrences of SelectorId:" +
                               std::to_string(session.GetRecordID(kModeSelector)) +
                               ".firstoc:1, lastoc:3. Error:MRDBOCCS: error -900";
  EXPECT_EQ(LoadError(selDef), expected);
  EXPECT_EQ(log.Count("Failed to get field definition of fieldId:3"), 1u);
  EXPECT_EQ(log.Count(expected), 1u);

  dorvik::ClearCallLog();
  EXPECT_EQ(session.GetFieldDefinitions(selDef)->size(), 4u);  // tried again
  EXPECT_EQ(dorvik::CallCount("MRDBOCCS"), 3);
}

// A selector record the database refuses to read leaves its field without
// texts in that answer only: the definition is not cached, fields are still
// found in it, and the next request loads it whole.
TEST_F(FieldDefinitionsTest, ADefinitionWithARefusedSelectorReadIsNotCached) {
  for (int load = 0; load < 2; ++load) {  // the first selector's width fails in each of the two loads below
    dorvik::InjectFault("FIELDDEFNINFO", kFault);
    dorvik::InjectFault("FIELDDEFNINFO", 0, 1000);
  }
  const FieldDefinitionsPtr partial = session.GetFieldDefinitions(selDef);
  EXPECT_TRUE((*partial)[1].FormattedStrings.empty());
  EXPECT_EQ((*partial)[3].FormattedStrings.size(), 3u);
  const FieldDefinitionPtr state = session.GetFieldDefinitionByFieldId(selDef, Field("SSTATE"));
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->Name, "SSTATE");

  dorvik::ClearFaults();
  dorvik::ClearCallLog();
  const FieldDefinitionsPtr whole = session.GetFieldDefinitions(selDef);
  EXPECT_EQ((*whole)[1].FormattedStrings.size(), 3u);
  EXPECT_EQ(dorvik::CallCount("RDBVALS"), 3);  // loaded again: the header and two selectors
  EXPECT_EQ(session.GetFieldDefinitions(selDef).get(), whole.get());
  EXPECT_EQ(dorvik::CallCount("RDBVALS"), 3);
}

TEST_F(FieldDefinitionsTest, FailedReadsRaiseTheirErrorsAndCacheNothing) {
  vantrel::testing::LogCapture log;
  dorvik::InjectFault("RDBVALS", kFault);
  EXPECT_EQ(LoadError(analogDef), "RDBVALS: error -900");
  dorvik::InjectFault("MRDBOCCS", kFault);
  EXPECT_EQ(LoadError(analogDef), "MRDBOCCS: error -900");
  dorvik::InjectFault("MRDBVALS", 0, 1000);  // numbers pass, names fail
  dorvik::InjectFault("MRDBVALS", kFault, 0);
  EXPECT_EQ(LoadError(analogDef), "MRDBVALS: error -900");
  EXPECT_THAT(log.Lines(), ElementsAre(EndsWith(" - GetFieldDefinitions, RDBVALS: error -900"),
                                       EndsWith(" - GetFieldDefinitions, MRDBOCCS: error -900"),
                                       EndsWith(" - GetFieldDefinitions, MRDBVALS: error -900")));

  // A number read that stops early is raised with the counts, not logged.
  dorvik::InjectFault("MRDBVALS", kFault, 2);
  EXPECT_EQ(LoadError(analogDef), "Failed to read all field information, expected 14, got 2");
  EXPECT_EQ(log.Lines().size(), 3u);
  EXPECT_EQ(session.GetFieldDefinitions(analogDef)->size(), 14u);
}

TEST_F(FieldDefinitionsTest, MaximumOccurrencesOfRepeatAndOtherFields) {
  const int32_t tag2 = session.GetRecordID(kTag2);
  const int32_t trend = Field("TREND");
  const auto infos = session.GetMaximumOcurrences(tag2, {trend, trend + 3, Field("SA"), Field("VALUE")});
  ASSERT_EQ(infos.size(), 4u);
  EXPECT_EQ(infos.begin()->first, trend);
  const MaxOcurrenceInfo& whole = infos.at(trend);
  EXPECT_TRUE(whole.IsRepeatArea);
  EXPECT_EQ(whole.Occurrences, 7);
  const MaxOcurrenceInfo& one = infos.at(trend + 3);
  EXPECT_FALSE(one.IsRepeatArea);
  EXPECT_EQ(one.Occurrences, 1);
  EXPECT_EQ(one.ErrorType, MaxOccurrenceError::NoError);
  EXPECT_EQ(infos.at(Field("SA")).ErrorType, MaxOccurrenceError::FieldNotDefined);
  EXPECT_EQ(infos.at(Field("SA")).Occurrences, 1);
  EXPECT_EQ(infos.at(Field("VALUE")).Occurrences, 1);
  EXPECT_EQ(dorvik::CallCount("DB2SHRT"), 1);
  EXPECT_EQ(session.GetMaximumOcurrences(99999, {trend}).at(trend).ErrorType, MaxOccurrenceError::FieldNotDefined);

  EXPECT_EQ(session.GetMaximumOcurrences(kTag2, "TREND"), 7);
  EXPECT_EQ(session.GetMaximumOcurrences(kTag2, "NO_SUCH_FIELD"), 1);
  try {
    session.GetMaximumOcurrences(tag2, contracts::FieldIds{});
    ADD_FAILURE() << "an empty field list was accepted";
  } catch (const platform::ApplicationException& error) {
    EXPECT_EQ(std::string(error.what()), "Failed to find the maximum occurences for fields of record ID '" +
                                             std::to_string(tag2) + "' because field list is empty.");
  }
}

TEST_F(FieldDefinitionsTest, UnreadableCountIsReportedAndLogged) {
  vantrel::testing::LogCapture log;
  const int32_t trend = Field("TREND");
  dorvik::InjectFault("DB2SHRT", kFault);
  const auto infos = session.GetMaximumOcurrences(session.GetRecordID(kTag2), {trend});
  EXPECT_EQ(infos.at(trend).ErrorType, MaxOccurrenceError::CountReadFailed);
  EXPECT_FALSE(infos.at(trend).IsRepeatArea);
  EXPECT_EQ(infos.at(trend).Occurrences, 1);
  EXPECT_THAT(log.Lines(), ElementsAre(EndsWith(" - GetMaximumOcurrences, DB2SHRT: error -900")));
  dorvik::InjectFault("DB2SHRT", kFault);
  EXPECT_EQ(session.GetMaximumOcurrences(kTag2, "TREND"), 1);
}

TEST_F(FieldDefinitionsTest, RepeatAreaQuestionsAndFieldNames) {
  const int32_t tag1 = session.GetRecordID(kTag1);
  const int32_t trend = Field("TREND");
  EXPECT_EQ(session.GetRepeatAreaIndex(analogDef, trend), 9);
  EXPECT_EQ(session.GetRepeatAreaIndex(analogDef, trend + 1), 0);
  EXPECT_EQ(session.GetRepeatAreaIndex(analogDef, Field("VALUE")), 0);
  EXPECT_EQ(session.GetRepeatAreaIndex(0, trend), 0);

  EXPECT_EQ(session.GetAttributeName(tag1, trend), "TREND");  // "1 TREND" without its prefix
  EXPECT_EQ(session.GetAttributeName(tag1, Field("VALUE")), "VALUE");
  EXPECT_EQ(session.GetAttributeName(tag1, trend + 2), "2 TREND");  // an occurrence keeps its number

  EXPECT_TRUE(session.IsRepeatAreaCount(tag1, Field("TREND_COUNT")));
  EXPECT_TRUE(session.IsRepeatAreaCount(analogDef, Field("TREND_COUNT")));  // a definition is its own
  EXPECT_FALSE(session.IsRepeatAreaCount(tag1, trend));
  EXPECT_FALSE(session.IsRepeatAreaCount(tag1, Field("SA")));
}

TEST(FieldTypeMappingTest, DataTypeAndLengthWordChooseTypeCodeAndReference) {
  struct Case {
    int16_t dataType, length;
    int32_t selector;
    TypeCode code;
    FieldReferenceTypeEnum reference;
  };
  using R = FieldReferenceTypeEnum;
  const Case cases[] = {
      {1, 0x10, 0, TypeCode::Int16, R::None},     {1, 0x50, 0, TypeCode::Int32, R::None},
      {1, 0x4F, 0, TypeCode::Int16, R::None},     {1, 0x20, 0, TypeCode::Int32, R::None},
      {1, 0x410, 7, TypeCode::Int32, R::Flagged}, {1, 0x4F, 7, TypeCode::Int16, R::Selector},
      {3, 4, 0, TypeCode::Single, R::None},       {3, 8, 0, TypeCode::Double, R::None},
      {9, 0x10, 7, TypeCode::String, R::None},    {0, 4, 0, TypeCode::Int32, R::Record},
      {2, 8, 0, TypeCode::DateTime, R::None},     {4, 20, 7, TypeCode::String, R::None},
      {5, 20, 0, TypeCode::String, R::DataType5}, {6, 0x10, 7, TypeCode::Int16, R::DataType6},
  };
  for (const Case& c : cases) {
    R reference = R::Record;
    const int16_t code = TestSession::TranslateToTypeCodeAndFieldReferenceType(c.dataType, c.length, c.selector,
                                                                               reference);
    EXPECT_EQ(code, static_cast<int16_t>(c.code)) << c.dataType << "/" << c.length;
    EXPECT_EQ(reference, c.reference) << c.dataType << "/" << c.length;
  }
}

}  // namespace
}  // namespace vantrel::access
