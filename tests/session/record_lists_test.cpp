// Record lists of definitions, record creation and the classification of
// names.
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "data/data_access.h"
#include "engine/control.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::TagIdentifier;
using contracts::TagIdentifiers;
using contracts::TagNames;
using contracts::TagTypeEnum;
using dorvik::FieldSpec;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using vantrel::testing::CallArguments;
using vantrel::testing::Calls;

constexpr int kFullBatch = 500;
constexpr int kLongList = 1203;

std::string Name(const char* prefix, int i) { return fmt::format("{}{:04}", prefix, i); }

// The plant, definitions of exactly 500 (F...) and of 1203 (L...) records,
// records whose names need the code page (É, a trailing no-break space),
// definitions of every record kind and map records for two definitions.
dorvik::DatabaseBuilder Builder() {
  auto builder = vantrel::testing::PlantBuilder();
  builder.Definition("VN_FullDef", {FieldSpec::Real("F_VALUE")})
      .Definition("VN_ListDef", {FieldSpec::Real("L_VALUE")})
      .Definition("VN_OddDef", {FieldSpec::Real("O_VALUE")})
      .Definition("VN_Kind3Def", {FieldSpec::Real("K_VALUE")}, {.kinds = {-3, -5}})
      .Definition("VN_Kind5Def", {FieldSpec::Real("K_VALUE")}, {.kinds = {-5, -19}})
      .Definition("VN_Kind19Def", {FieldSpec::Real("K_VALUE")}, {.kinds = {-19}})
      .Definition("VN_PlainDef", {FieldSpec::Real("K_VALUE")})
      .Definition("AtMapDef", {FieldSpec::Text("MAP_DefinitionRecord", 32), FieldSpec::Integer("MAP_IsDefault")})
      .Grant("*", "VN_ListDef", 2);
  for (int i = 0; i < kFullBatch; ++i) builder.Record(Name("F", i), "VN_FullDef");
  for (int i = 0; i < kLongList; ++i) builder.Record(Name("L", i), "VN_ListDef");
  builder.Record("CAF\xC9", "VN_OddDef").Record("TRAIL\xA0", "VN_OddDef");
  for (const char* kind : {"Kind3", "Kind5", "Kind19", "Plain"}) {
    builder.Record(fmt::format("R_{}", kind), fmt::format("VN_{}Def", kind));
  }
  for (const auto& [map, definition] : {std::pair{"MAP_ANALOG", "VN_AnalogDef"}, {"MAP_LIST", "VN_ListDef"}}) {
    builder.Record(map, "AtMapDef").Set(map, "MAP_DefinitionRecord", definition).Set(map, "MAP_IsDefault", 0);
  }
  return builder;
}

class RecordListsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vantrel::testing::InstallDatabase(Builder());
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  void TearDown() override { dorvik::EnableCallLog(false); }

  std::string At(int32_t id) { return fmt::format("at={}", id); }

  DataAccess session;  // a session that can read the map records
};

TEST_F(RecordListsTest, ListsGoInBatchesOf500UntilABatchIsShort) {
  const int32_t full = session.GetRecordID("VN_FullDef");
  const TagNames names = session.GetTagNamesByDefinition("VN_FullDef");
  ASSERT_EQ(names.size(), 500u);
  EXPECT_EQ(names.front(), "F0000");
  EXPECT_EQ(names.back(), "F0499");
  const int32_t last = session.GetRecordID("F0499");
  EXPECT_THAT(CallArguments("GETRECORDLIST_LNAME"),
              ElementsAre(fmt::format("mode=1 def={} max=500 at=0", full),
                          fmt::format("mode=1 def={} max=500 {}", full, At(last))));

  dorvik::ClearCallLog();
  const TagIdentifiers identifiers = session.GetTagIdentifiersByDefinition("L0007");  // a record names its definition
  ASSERT_EQ(identifiers.size(), 1203u);
  EXPECT_EQ(identifiers[1202], TagIdentifier("L1202", session.GetRecordID("L1202")));
  EXPECT_THAT(CallArguments("GETRECORDLIST_LNAME"),
              ElementsAre(HasSubstr("at=0"), EndsWith(At(session.GetRecordID("L0499"))),
                          EndsWith(At(session.GetRecordID("L0999")))));

  dorvik::ClearCallLog();
  EXPECT_TRUE(session.GetTagNamesByDefinition("NO_SUCH_DEFINITION").empty());
  EXPECT_EQ(Calls("GETRECORDLIST_LNAME"), 0);
}

TEST_F(RecordListsTest, NamesAreDecodedAndTrimmedPerOperation) {
  // Names: code page, trailing blanks only. Identifiers: ASCII, white space.
  EXPECT_THAT(session.GetTagNamesByDefinition("VN_OddDef"), ElementsAre("CAF\u00C9", "TRAIL\u00A0"));
  EXPECT_THAT(session.GetTagIdentifiersByDefinition("VN_OddDef"),
              ElementsAre(TagIdentifier("CAF?", session.GetRecordID("CAF\u00C9")),
                          TagIdentifier("TRAIL?", session.GetRecordID("TRAIL\u00A0"))));

  // A name test gets every name trimmed of white space, with the filters.
  std::vector<std::string> tested;
  const std::vector<std::string> filters{"C*"};
  const DelegateFilterName startsWithC = [&](const std::string& name, const std::vector<std::string>& given) {
    tested.push_back(name);
    EXPECT_EQ(given, filters);
    return name.front() == 'C';
  };
  EXPECT_THAT(session.GetFilteredTagNamesByDefinition("VN_OddDef", filters, startsWithC), ElementsAre("CAF\u00C9"));
  EXPECT_THAT(tested, ElementsAre("CAF\u00C9", "TRAIL"));
  EXPECT_THAT(session.GetFilteredTagIdentifiersByDefinition("VN_OddDef", filters, startsWithC),
              ElementsAre(TagIdentifier("CAF?", session.GetRecordID("CAF\u00C9"))));

  // Filters without a test, or a test without filters, keep every name.
  EXPECT_THAT(session.GetFilteredTagNamesByDefinition("VN_OddDef", filters, nullptr),
              ElementsAre("CAF\u00C9", "TRAIL\u00A0"));
  EXPECT_EQ(session.GetFilteredTagIdentifiersByDefinition("VN_OddDef", std::nullopt, startsWithC).size(), 2u);
}

TEST_F(RecordListsTest, ANameTestThatRejectsEverythingStillReadsTheWholeList) {
  int asked = 0;
  const DelegateFilterName none = [&](const std::string&, const std::vector<std::string>&) { return ++asked < 0; };
  EXPECT_TRUE(session.GetFilteredTagNamesByDefinition("VN_ListDef", std::vector<std::string>{}, none).empty());
  EXPECT_EQ(asked, kLongList);
  EXPECT_EQ(Calls("GETRECORDLIST_LNAME"), 3);
  EXPECT_TRUE(session.GetFilteredTagIdentifiersByDefinition("VN_ListDef", std::vector<std::string>{}, none).empty());
  EXPECT_EQ(asked, 2 * kLongList);
}

TEST_F(RecordListsTest, DefinitionRecordsAreListedInOneModeTwoList) {
  const TagNames definitions = session.GetAllDefinitionRecords();
  for (const char* name : {"VN_AnalogDef", "VN_FullDef", "VN_ListDef", "AtMapDef"}) {
    EXPECT_THAT(definitions, ::testing::Contains(name));
  }
  EXPECT_THAT(CallArguments("GETRECORDLIST_LNAME"), ElementsAre("mode=2 def=1 max=500 at=0"));
}

TEST_F(RecordListsTest, RecordsWithTheSameDefinitionStopAtTheLimit) {
  const int32_t first = session.GetRecordID("L0000");
  EXPECT_THAT(session.GetTagIdsWithSameDefinition(first, 3),
              ElementsAre(TagIdentifier("L0001", first + 1), TagIdentifier("L0002", first + 2),
                          TagIdentifier("L0003", first + 3)));
  EXPECT_THAT(CallArguments("GETRECORDLIST_LNAME"), ElementsAre(HasSubstr("max=3 " + At(first))));

  // Two left: a second call asks for the one missing and gets none.
  dorvik::ClearCallLog();
  const int32_t near = session.GetRecordID("L1200");
  EXPECT_EQ(session.GetTagIdsWithSameDefinition(near, 3).size(), 2u);
  EXPECT_THAT(CallArguments("GETRECORDLIST_LNAME"),
              ElementsAre(HasSubstr("max=3 " + At(near)), HasSubstr("max=1 " + At(near + 2))));

  // More than a batch: 500, then the remainder.
  dorvik::ClearCallLog();
  const TagIdentifiers many = session.GetTagIdsWithSameDefinition(first, 600);
  ASSERT_EQ(many.size(), 600u);
  EXPECT_EQ(many.back().Name, "L0600");
  EXPECT_THAT(CallArguments("GETRECORDLIST_LNAME"), ElementsAre(HasSubstr("max=500 "), HasSubstr("max=100 ")));

  // No definition: no call. A limit of 0 is the list function's to answer.
  dorvik::ClearCallLog();
  EXPECT_TRUE(session.GetTagIdsWithSameDefinition(0, 3).empty());
  EXPECT_EQ(Calls("GETRECORDLIST_LNAME"), 0);
  EXPECT_TRUE(session.GetTagIdsWithSameDefinition(first, 0).empty());
  EXPECT_THAT(CallArguments("GETRECORDLIST_LNAME"), ElementsAre(HasSubstr("max=0 ")));
}

TEST_F(RecordListsTest, CreateRecordCreatesOnceAndReportsRefusals) {
  vantrel::testing::LogCapture log;
  EXPECT_TRUE(session.CreateRecord("VN_ListDef", "L_NEW"));
  EXPECT_EQ(session.GetDefinitionRecordID("L_NEW"), session.GetRecordID("VN_ListDef"));
  EXPECT_EQ(Calls("NXTFREE"), 1);
  EXPECT_EQ(Calls("CREATERECORD"), 1);

  // Existing with that definition: true without creating anything.
  dorvik::ClearCallLog();
  EXPECT_TRUE(session.CreateRecord("L0001", "L_NEW"));
  EXPECT_EQ(Calls("NXTFREE") + Calls("CREATERECORD"), 0);

  // Existing with another definition: the database refuses; logged.
  EXPECT_FALSE(session.CreateRecord("VN_ListDef", vantrel::testing::kTag1));
  EXPECT_EQ(Calls("CREATERECORD"), 1);
  EXPECT_THAT(log.Lines(), ElementsAre(HasSubstr(" - CreateRecord, CREATERECORD")));

  // No definition: false without creating or logging.
  dorvik::ClearCallLog();
  EXPECT_FALSE(session.CreateRecord("NO_SUCH_DEFINITION", "L_OTHER"));
  EXPECT_EQ(Calls("NXTFREE"), 1);
  EXPECT_EQ(Calls("CREATERECORD"), 0);
  EXPECT_EQ(log.Lines().size(), 1u);
  EXPECT_LE(session.GetRecordID("L_OTHER"), 0);
}

TEST_F(RecordListsTest, ItemTypesFollowTheirPrecedence) {
  // A definition comes first, even one that has a map record; then a map
  // record, even for a record of kind -3; then -3, -5, -19.
  EXPECT_EQ(session.GetVntItemTypeByName("VN_AnalogDef"), TagTypeEnum::Definition);
  EXPECT_EQ(session.GetVntItemTypeByName(vantrel::testing::kTag1), TagTypeEnum::WithMapRecord);
  EXPECT_EQ(session.GetVntItemTypeByName("L0005"), TagTypeEnum::WithMapRecord);
  EXPECT_EQ(session.GetVntItemTypeByName("R_Kind3"), TagTypeEnum::RecordKind3);
  EXPECT_EQ(session.GetVntItemTypeByName("R_Kind5"), TagTypeEnum::RecordKind5);
  EXPECT_EQ(session.GetVntItemTypeByName("R_Kind19"), TagTypeEnum::RecordKind19);
  EXPECT_EQ(session.GetVntItemTypeByName("R_Plain"), TagTypeEnum::Other);
  EXPECT_EQ(session.GetVntItemTypeByName("NO_SUCH_RECORD"), TagTypeEnum::Other);
}

}  // namespace
}  // namespace vantrel::access
