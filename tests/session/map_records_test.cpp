// Map records: which definitions have one (cached), and the map records of
// definitions with and without the default-or-first choice.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "data/data_access.h"
#include "engine/control.h"
#include "platform/exceptions.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::TagNamesByDefinitionTag;
using dorvik::FieldSpec;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using vantrel::testing::CallArguments;
using vantrel::testing::Calls;
using vantrel::testing::kTag1;

struct Map {
  const char* name;
  const char* definition;
  dorvik::Value isDefault;
};

// The plant, a second definition and the map records given; "MAP_IsDefault"
// is the field given.
dorvik::DatabaseBuilder Builder(const std::vector<Map>& maps,
                                FieldSpec isDefault = FieldSpec::Integer("MAP_IsDefault")) {
  auto builder = vantrel::testing::PlantBuilder();
  builder.Definition("VN_PumpDef", {FieldSpec::Real("SPEED")})
      .Definition("VN_ValveDef", {FieldSpec::Real("OPENING")})
      .Record("P100", "VN_PumpDef")
      .Record("XV100", "VN_ValveDef")
      .Definition("AtMapDef", {FieldSpec::Text("MAP_DefinitionRecord", 32), std::move(isDefault)});
  for (const Map& map : maps) {
    builder.Record(map.name, "AtMapDef").Set(map.name, "MAP_DefinitionRecord", map.definition);
    if (!map.isDefault.IsNone()) builder.Set(map.name, "MAP_IsDefault", map.isDefault);
  }
  return builder;
}

// Two map records of the analog definition (the second the default), two of
// the pump definition (neither default) and one that names no definition.
const std::vector<Map> kMaps{{"MAP_FACEPLATE", "VN_AnalogDef", 0},
                             {"MAP_TREND", "VN_AnalogDef", 1},
                             {"MAP_PUMP", "VN_PumpDef", 0},
                             {"MAP_PUMP2", "VN_PumpDef", 0},
                             {"MAP_LOST", "NO_SUCH_DEFINITION", 1}};

class MapRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override { Install(Builder(kMaps)); }
  void TearDown() override { dorvik::EnableCallLog(false); }
  void Install(const dorvik::DatabaseBuilder& builder) {
    vantrel::testing::InstallDatabase(builder);
    // Loaded definitions, so that the call log shows only the map records' reads.
    session.GetFieldDefinitions(session.GetRecordID("AtMapDef"));
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  // Calls that list or read records (not name lookups).
  static int ReadCalls() {
    return Calls("GETRECORDLIST_LNAME") + Calls("GETDATATYPES") + Calls("MRDBVALS") + Calls("DECODFT");
  }

  DataAccess session;
};

TEST_F(MapRecordsTest, AllMapRecordsOfEachDefinitionInTheOrderRead) {
  // Keys are spelled as the map records spell them; a record stands for
  // its definition; unknown names and definitions without map records add
  // nothing.
  EXPECT_EQ(session.GetMapRecords({"vn_analogdef", "P100", "VN_ValveDef", "NO_SUCH_NAME"}, false),
            (TagNamesByDefinitionTag{{"VN_AnalogDef", {"MAP_FACEPLATE", "MAP_TREND"}},
                                     {"VN_PumpDef", {"MAP_PUMP", "MAP_PUMP2"}}}));
  // One list and one batched read of both fields of all five.
  EXPECT_EQ(Calls("GETRECORDLIST_LNAME"), 1);
  EXPECT_THAT(CallArguments("MRDBVALS"), ElementsAre("n=10"));
}

TEST_F(MapRecordsTest, DefaultOrFirstChoosesTheFirstDefaultElseTheFirst) {
  EXPECT_EQ(session.GetMapRecords({"VN_AnalogDef", "VN_PumpDef"}, true),
            (TagNamesByDefinitionTag{{"VN_AnalogDef", {"MAP_TREND"}}, {"VN_PumpDef", {"MAP_PUMP"}}}));
  EXPECT_THAT(session.GetMapRecords({"VN_ValveDef"}, true), IsEmpty());
}

TEST_F(MapRecordsTest, TextDefaultsAreTrueOrFalseInAnyCaseAndNothingElse) {
  Install(
      Builder({{"MAP_A", "VN_AnalogDef", "False"}, {"MAP_B", "VN_AnalogDef", "TRUE"}, {"MAP_C", "VN_PumpDef", "fAlSe"}},
              FieldSpec::Text("MAP_IsDefault", 8)));
  EXPECT_THAT(session.GetMapRecords({"VN_AnalogDef"}, true).at("VN_AnalogDef"), ElementsAre("MAP_B"));

  Install(Builder({{"MAP_A", "VN_AnalogDef", "yes"}}, FieldSpec::Text("MAP_IsDefault", 8)));
  EXPECT_THROW(session.GetMapRecords({"VN_AnalogDef"}, true), platform::FormatException);
}

TEST_F(MapRecordsTest, AMapRecordWithoutTheFieldsIsAnError) {
  // "MAP_IsDefault" exists, but not in the map definition: the read files no
  // value under that name.
  auto builder = Builder({{"MAP_A", "VN_AnalogDef", {}}}, FieldSpec::Real("MAP_OTHER"));
  builder.Definition("VN_ElsewhereDef", {FieldSpec::Integer("MAP_IsDefault")});
  Install(builder);
  EXPECT_THROW(session.GetMapRecords({"VN_AnalogDef"}, false), platform::KeyNotFoundException);
  EXPECT_TRUE(session.HasMapRecord(kTag1)) << "HasMapRecord reads only the definition field";
}

TEST_F(MapRecordsTest, HasMapRecordAnswersRepeatsFromTheCache) {
  EXPECT_TRUE(session.HasMapRecord(kTag1));
  EXPECT_EQ(Calls("GETRECORDLIST_LNAME"), 1);
  EXPECT_THAT(CallArguments("MRDBVALS"), ElementsAre("n=5"));

  // The first call cached every map record's definition: neither the same
  // definition nor the pump's lists or reads again; only the name is looked up.
  dorvik::ClearCallLog();
  EXPECT_TRUE(session.HasMapRecord("VN_AnalogDef"));
  EXPECT_TRUE(session.HasMapRecord("P100"));
  EXPECT_EQ(ReadCalls(), 0);
  for (const auto& call : dorvik::CallLog()) {
    EXPECT_THAT(call.function, ::testing::AnyOf("NAME2RECID", "RECTYPEOK", "DEFINID"));
  }

  // A definition without a map record is not remembered.
  dorvik::ClearCallLog();
  EXPECT_FALSE(session.HasMapRecord("XV100"));
  EXPECT_FALSE(session.HasMapRecord("XV100"));
  EXPECT_EQ(Calls("GETRECORDLIST_LNAME"), 2);

  // After RefreshAll the next question reads again.
  Session::RefreshAll();
  dorvik::ClearCallLog();
  EXPECT_TRUE(session.HasMapRecord(kTag1));
  EXPECT_EQ(Calls("GETRECORDLIST_LNAME"), 1);
}

TEST_F(MapRecordsTest, AMapRecordNamingNoDefinitionAnswersForNoName) {
  // MAP_LOST names no record: an unknown name has no map record, first from
  // the database and then from the cache.
  EXPECT_FALSE(session.HasMapRecord("NO_SUCH_NAME"));
  EXPECT_FALSE(session.HasMapRecord("NO_SUCH_NAME"));
  EXPECT_FALSE(session.HasMapRecordNotFromCache("NO_SUCH_NAME"));
  EXPECT_EQ(session.GetVntItemTypeByName("NO_SUCH_NAME"), contracts::TagTypeEnum::Other);
}

TEST_F(MapRecordsTest, HasMapRecordNotFromCacheAlwaysReadsAndLeavesTheCacheAlone) {
  EXPECT_TRUE(session.HasMapRecordNotFromCache(kTag1));
  EXPECT_TRUE(session.HasMapRecordNotFromCache(kTag1));
  EXPECT_FALSE(session.HasMapRecordNotFromCache("XV100"));
  EXPECT_EQ(Calls("GETRECORDLIST_LNAME"), 3);
  EXPECT_THAT(CallArguments("MRDBVALS"), ElementsAre("n=10", "n=10", "n=10"));
  EXPECT_THAT(CallArguments("DECODFT"), ::testing::Contains("Map_IsDefault"));

  dorvik::ClearCallLog();
  EXPECT_TRUE(session.HasMapRecord(kTag1));
  EXPECT_EQ(Calls("GETRECORDLIST_LNAME"), 1) << "the uncached question filled no cache";
}

TEST(PlainSessionTest, APlainSessionCannotReadMapRecords) {
  vantrel::testing::InstallPlant();
  Session session;
  EXPECT_THROW(session.HasMapRecord(kTag1), platform::InvalidOperationException);
  EXPECT_THROW(session.GetMapRecords({"VN_AnalogDef"}, false), platform::InvalidOperationException);
}

}  // namespace
}  // namespace vantrel::access
