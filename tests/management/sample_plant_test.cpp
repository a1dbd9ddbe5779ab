// Every administration and metadata operation of Management, end to end on
// a copy of the sample plant (examples/plant.json).
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/control.h"
#include "management/management.h"
#include "platform/fault.h"
#include "tests/support/plant_copy.h"

namespace vantrel::access {
namespace {

using contracts::FieldAccessRights;
using contracts::TagIdentifier;
using contracts::TagNamesByDefinitionTag;
using contracts::TagTypeEnum;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;

class SamplePlantTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dorvik::Reset(); }
  void SetUp() override {
    dorvik::Open(plant_.File());
    Session::RefreshAll();
  }
  void TearDown() override { dorvik::Reset(); }
  int32_t Id(const std::string& name) { return management.GetTagID(name); }
  int32_t Field(const std::string& name) { return management.GetFieldID(name); }

  vantrel::testing::PlantCopy plant_;
  // Constructed after the reset (which forgets the thread's user context).
  Management management;
};

TEST_F(SamplePlantTest, BrowsesDefinitionsRecordsAndFields) {
  EXPECT_THAT(management.GetAllDefinitionTags(),
              IsSupersetOf({"VN_AnalogDef", "VN_DiscreteDef", "VN_TextDef", "VN_CalcDef", "QueryDef", "TextViewDef",
                            "CompQueryDef", "ProcedureDef", "ViewDef", "AtMapDef", "VN_BranchDef", "VN_TaskDef"}));
  const auto analogs = management.GetTagNamesByDefinition(contracts::TagNames{"VN_AnalogDef", "VN_AnalogDef"});
  ASSERT_EQ(analogs.size(), 1u);
  EXPECT_THAT(analogs.at("VN_AnalogDef"),
              ElementsAre("TI101", "TI102", "TI1010", "PI201", "FI301", "LI401", "AI_SPARE1"));
  const auto identifiers = management.GetTagIdentifiersByDefinition(contracts::TagNames{"P101"});
  EXPECT_THAT(identifiers.at("P101"), ElementsAre(TagIdentifier("P101", Id("P101")), TagIdentifier("P102", Id("P102")),
                                                  TagIdentifier("XV501", Id("XV501"))));
  EXPECT_THAT(management.GetTagIdentifiersWithSameDefinition(Id("TI101"), 2),
              ElementsAre(TagIdentifier("TI102", Id("TI102")), TagIdentifier("TI1010", Id("TI1010"))));

  const contracts::Fields fields = management.GetDefinedFields();
  const auto value = std::ranges::find(fields, std::string("VALUE"), &contracts::Field::Name);
  ASSERT_NE(value, fields.end());
  EXPECT_EQ(value->Number, Field("VALUE"));
  const auto definitions = management.GetFieldDefinitions({"TI101", "NO_SUCH_TAG"});
  ASSERT_EQ(definitions.size(), 1u);
  EXPECT_THAT(definitions.at("TI101"), Contains(::testing::Field(&contracts::Field::Name, "UPSTREAM_VALUE")));

  EXPECT_EQ(management.GetTagName(Id("LI401")), "LI401");
  EXPECT_EQ(management.GetFieldName(Id("TI101"), Field("TREND")), "TREND");
  EXPECT_LE(management.GetTagID("NO_SUCH_TAG"), 0);
  EXPECT_EQ(management.GetFieldID("NO_SUCH_FIELD"), -1);
  EXPECT_THAT(management.FindNonexistingTags({"TI101", "TI999", "TI999"}), ElementsAre("TI999", "TI999"));
  const auto definitionOf = management.GetDefinitionIdentifierByTagName({"TI101", "VN_TextDef", "NO_SUCH_TAG"});
  EXPECT_EQ(definitionOf.size(), 2u);
  EXPECT_EQ(definitionOf.at("TI101"), TagIdentifier("VN_AnalogDef", Id("VN_AnalogDef")));
  EXPECT_EQ(definitionOf.at("VN_TextDef"), TagIdentifier("VN_TextDef", Id("VN_TextDef")));
  EXPECT_EQ(management.GetServerVersion(), (contracts::Version{17, 0, 0, 0}));
}

TEST_F(SamplePlantTest, ClassifiesNamesAndFindsMapRecordsAndProcessDefinitions) {
  EXPECT_EQ(management.GetTagTypeByName("VN_AnalogDef"), TagTypeEnum::Definition);
  EXPECT_EQ(management.GetTagTypeByName("TI101"), TagTypeEnum::WithMapRecord);
  EXPECT_EQ(management.GetTagTypeByName("XV501"), TagTypeEnum::WithMapRecord);
  EXPECT_EQ(management.GetTagTypeByName("BATCH_ID"), TagTypeEnum::RecordKind5);
  EXPECT_EQ(management.GetTagTypeByName("VN_SequenceTask"), TagTypeEnum::RecordKind19);
  EXPECT_EQ(management.GetTagTypeByName("CALC_DELTA_T"), TagTypeEnum::Other);

  const contracts::TagNames wanted{"VN_AnalogDef", "P101", "VN_TextDef"};
  EXPECT_EQ(management.GetMapRecordsByDefinitionTags(wanted, false),
            (TagNamesByDefinitionTag{{"VN_AnalogDef", {"MAP_ANALOG_FACEPLATE", "MAP_ANALOG_TREND"}},
                                     {"VN_DiscreteDef", {"MAP_DISCRETE"}}}));
  EXPECT_EQ(management.GetMapRecordsByDefinitionTags(wanted, true),
            (TagNamesByDefinitionTag{{"VN_AnalogDef", {"MAP_ANALOG_TREND"}}, {"VN_DiscreteDef", {"MAP_DISCRETE"}}}));

  EXPECT_THAT(management.GetProcessTagDefinitions(), ElementsAre(TagIdentifier("VN_AnalogDef", Id("VN_AnalogDef")),
                                                                 TagIdentifier("VN_DiscreteDef", Id("VN_DiscreteDef")),
                                                                 TagIdentifier("VN_TextDef", Id("VN_TextDef")),
                                                                 TagIdentifier("VN_CalcDef", Id("VN_CalcDef"))));
}

TEST_F(SamplePlantTest, CreatesTagsAndChangesWhetherTheyAreUsable) {
  EXPECT_THAT(management.CreateTags({{"VN_AnalogDef", {"TI101", "TI103"}}, {"VN_CalcDef", {"CALC_NEW"}}}),
              ElementsAre("TI101", "TI103"))
      << "only the process definitions may be written";
  EXPECT_THAT(management.GetTagNamesByDefinition(contracts::TagNames{"VN_AnalogDef"}).at("VN_AnalogDef"),
              Contains("TI103"));

  EXPECT_EQ(management.AreTagsUsable({Id("TI103"), Id("AI_SPARE1"), Id("TI101")}),
            (contracts::UsableByTagId{{Id("TI103"), false}, {Id("AI_SPARE1"), false}, {Id("TI101"), true}}));
  management.MakeTagsUsable({"TI103", "AI_SPARE1"}, true);
  EXPECT_EQ(management.AreTagsUsable({Id("TI103"), Id("AI_SPARE1")}),
            (contracts::UsableByTagId{{Id("TI103"), true}, {Id("AI_SPARE1"), true}}));
  EXPECT_THROW(management.MakeTagsUsable({"CALC_COOLING"}, false), platform::FaultException);
}

TEST_F(SamplePlantTest, AnswersFieldMetadata) {
  EXPECT_EQ(management.GetSelectors({{Id("P101"), {Field("MODE"), Field("STATE")}}}),
            (contracts::SelectorsByTagId{{Id("P101"), {{Field("MODE"), {{0, "OFF"}, {1, "ON"}, {2, "AUTO"}}}}}}));

  // DESCRIPTION may change only while its record is unusable; the caller may
  // write the analog records but not the calculations.
  const auto rights = management.AreFieldsReadOnly({{Id("TI101"), {Field("DESCRIPTION"), Field("VALUE")}},
                                                    {Id("AI_SPARE1"), {Field("DESCRIPTION")}},
                                                    {Id("CALC_COOLING"), {Field("CALC_RESULT")}}},
                                                   true);
  EXPECT_EQ(rights.at(Id("TI101")).at(Field("DESCRIPTION")), (FieldAccessRights{true, true}));
  EXPECT_EQ(rights.at(Id("TI101")).at(Field("VALUE")), (FieldAccessRights{false, false}));
  EXPECT_EQ(rights.at(Id("AI_SPARE1")).at(Field("DESCRIPTION")), (FieldAccessRights{false, false}));
  EXPECT_EQ(rights.at(Id("CALC_COOLING")).at(Field("CALC_RESULT")), (FieldAccessRights{false, true}));

  const auto history = management.GetHistoryInfo({{Id("PI201"), {Field("VALUE"), Field("UNITS")}}});
  EXPECT_EQ(history.at(Id("PI201")).at(Field("VALUE")), contracts::TagHistoryInfo(true, false));
  EXPECT_EQ(history.at(Id("PI201")).at(Field("UNITS")), contracts::TagHistoryInfo(false, false));
  EXPECT_EQ(management.GetDefinitionIDs({Id("XV501")}).at(Id("XV501")), Id("VN_DiscreteDef"));
}

}  // namespace
}  // namespace vantrel::access
