// Management: how operations are declared and report failures, the field
// list, making tags usable, creating tags and the process tag definitions.
#include <cmath>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/control.h"
#include "management/management.h"
#include "platform/fault.h"
#include "tests/support/fault_of.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::TagIdentifier;
using contracts::TagNames;
using dorvik::FieldSpec;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using vantrel::testing::CallArguments;
using vantrel::testing::Calls;
using vantrel::testing::FaultOf;
using vantrel::testing::kTag1;
using vantrel::testing::kTag2;
using vantrel::testing::kTag3;

constexpr int kManyFields = 250;

// The plant, a definition of many fields (one of them with a chosen number
// and description record), a definition nobody may write, and the branch
// record of the process tag definitions when asked for.
dorvik::DatabaseBuilder Builder(bool withBranch) {
  auto builder = vantrel::testing::PlantBuilder();
  std::vector<FieldSpec> many;
  for (int i = 0; i < kManyFields; ++i) many.push_back(FieldSpec::Real(fmt::format("G{:03}", i)));
  many.push_back(FieldSpec::Real("G_FIXED"));
  builder.Field("G_FIXED", 900, 9000)
      .Definition("VN_ManyDef", std::move(many))
      .Definition("VN_LockedDef", {FieldSpec::Real("LOCKED_VALUE")})
      .Record("B_LOCKED", "VN_LockedDef");
  if (withBranch) {
    builder
        .Definition("VN_BranchDef", {FieldSpec::Count("PE_BranchCount"),
                                     FieldSpec::Text("PE_Branch", 32).InRepeatArea("PE_BranchCount")})
        .Record("VN_TagsBranch", "VN_BranchDef")
        .SetOccurrences("VN_TagsBranch", "PE_Branch",
                        {dorvik::Sample(vantrel::testing::kAnalogDef), dorvik::Sample("NO_SUCH_DEFINITION")});
  }
  return builder;
}

class ManagementTest : public ::testing::Test {
 protected:
  void SetUp() override { Install(false); }
  void TearDown() override {
    dorvik::EnableCallLog(false);
    dorvik::ClearFaults();
  }
  void Install(bool withBranch) {
    vantrel::testing::InstallDatabase(Builder(withBranch));
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  bool Usable(const char* name) { return management.AreTagsUsable({management.GetTagID(name)}).begin()->second; }

  Management management;
};

TEST(ManagementDeclarationTest, EveryOperationRunsAsTheCaller) {
  const std::vector<std::string> operations{
      "GetDefinedFields", "GetFieldDefinitions", "GetTagID", "GetFieldID", "GetTagName", "GetFieldName",
      "FindNonexistingTags", "GetAllDefinitionTags", "GetTagNamesByDefinition", "MakeTagsUsable", "CreateTags",
      "GetTagTypeByName", "GetTagIdentifiersByDefinition", "GetServerVersion", "GetProcessTagDefinitions",
      "GetTagIdentifiersWithSameDefinition", "GetMapRecordsByDefinitionTags", "GetDefinitionIdentifierByTagName",
      "GetSelectors", "AreTagsUsable", "AreFieldsReadOnly", "GetHistoryInfo", "GetDefinitionIDs", "FindReferences",
      "FindReferencesBySource"};
  ASSERT_EQ(Management::kOperations.size(), operations.size());
  for (const std::string& name : operations) {
    const auto* declaration = platform::FindOperation(Management::kOperations, name);
    ASSERT_NE(declaration, nullptr) << name;
    EXPECT_EQ(declaration->Impersonation, platform::ImpersonationOption::Required) << name;
  }
}

TEST_F(ManagementTest, DefinedFieldsArePagedUntilAnEmptyPage) {
  const contracts::Fields fields = management.GetDefinedFields();
  ASSERT_GT(fields.size(), static_cast<std::size_t>(kManyFields));
  // Pages of 100 up to the last, short one, then one that brings nothing.
  const auto pages = static_cast<int32_t>(std::ceil(static_cast<double>(fields.size()) / 100.0));
  const std::vector<std::string> calls = CallArguments("GETFLDNAMS_LNAME");
  ASSERT_EQ(static_cast<int32_t>(calls.size()), pages + 1);
  EXPECT_EQ(calls.front(), "at=0 capacity=100");

  // Name, number (as a field tag) and description record of each field.
  const auto fixed = std::ranges::find(fields, std::string("G_FIXED"), &contracts::Field::Name);
  ASSERT_NE(fixed, fields.end());
  EXPECT_EQ(fixed->Number, management.GetFieldID("G_FIXED"));
  EXPECT_EQ(fixed->Number, 900 << 16);
  EXPECT_EQ(fixed->Id, 9000);
  EXPECT_EQ(std::ranges::count(fields, std::string("G249"), &contracts::Field::Name), 1);
}

TEST_F(ManagementTest, MakeTagsUsableStopsAtTheFirstRefusal) {
  vantrel::testing::LogCapture log;
  // kTag1 changes, the unknown name is skipped, B_LOCKED is refused (no write
  // right) and kTag2 is never reached.
  const auto fault = FaultOf([&] { management.MakeTagsUsable({kTag1, "X_NONE", "B_LOCKED", kTag2}, false); });
  EXPECT_EQ(fault.Reason(), "Make tag B_LOCKED Unusable with error -11.");
  EXPECT_EQ(fault.Detail().ErrorType(), "ApplicationException");
  EXPECT_FALSE(Usable(kTag1));
  EXPECT_TRUE(Usable(kTag2));
  EXPECT_EQ(Calls("MAKUNUSA"), 2);
  EXPECT_THAT(log.Lines(), ElementsAre(HasSubstr(" - MakeTagsUsable, MAKUNUSA")));

  // The first call refused with code 12.
  dorvik::InjectFault("MAKUSABL", 12);
  const auto refused = FaultOf([&] { management.MakeTagsUsable({"X_NONE", kTag1, kTag3}, true); });
  EXPECT_EQ(refused.Reason(), fmt::format("Make tag {} Usable with error 12.", kTag1));
  EXPECT_FALSE(Usable(kTag1));
  management.MakeTagsUsable({kTag1}, true);
  EXPECT_TRUE(Usable(kTag1));
}

TEST_F(ManagementTest, FindNonexistingTagsKeepsOrderAndRepeats) {
  EXPECT_THAT(management.FindNonexistingTags({"X", kTag1, "Y", "X", kTag2, ""}), ElementsAre("X", "Y", "X", ""));
}

TEST_F(ManagementTest, CreateTagsListsTheTagsThatExistWithTheirDefinition) {
  const contracts::TagNamesByDefinitionTag request{
      {vantrel::testing::kAnalogDef, {kTag1, "TI_NEW", vantrel::testing::kModeSelector}},
      {"NO_SUCH_DEFINITION", {"TI_OTHER"}}};
  EXPECT_THAT(management.CreateTags(request), ElementsAre(kTag1, "TI_NEW"));
  EXPECT_EQ(management.GetDefinitionIdentifierByTagName({"TI_NEW"}).at("TI_NEW").Name, vantrel::testing::kAnalogDef);
  EXPECT_FALSE(Usable("TI_NEW")) << "a new record starts unusable";
  EXPECT_THAT(management.FindNonexistingTags({"TI_OTHER"}), ElementsAre("TI_OTHER"));
}

TEST_F(ManagementTest, ProcessTagDefinitionsComeFromTheBranchRecord) {
  EXPECT_TRUE(management.GetProcessTagDefinitions().empty()) << "no VN_TagsBranch: nothing, and no fault";

  Install(true);
  EXPECT_THAT(
      management.GetProcessTagDefinitions(),
      ElementsAre(TagIdentifier(vantrel::testing::kAnalogDef, management.GetTagID(vantrel::testing::kAnalogDef)),
                  TagIdentifier("NO_SUCH_DEFINITION", 0)));

  // An occurrence count that cannot be read leaves no definition to name.
  dorvik::InjectFault("DB2SHRT", -900);
  EXPECT_THAT(FaultOf([&] { management.GetProcessTagDefinitions(); }).Reason().value_or(""),
              HasSubstr("The record VN_TagsBranch has no value in PE_Branch"));
}

TEST_F(ManagementTest, FailuresOfInnerOperationsArriveAsFaultsWithTheirMessage) {
  Install(true);
  management.GetProcessTagDefinitions();  // loads the definitions, so that the fault hits the value read
  dorvik::InjectFault("MRDBVALS", -900);
  const auto fault = FaultOf([&] { management.GetProcessTagDefinitions(); });
  EXPECT_THAT(fault.Reason().value_or(""),
              HasSubstr("Failed to get value for VN_TagsBranch, 1 PE_Branch with error MRDBVALS"));
  EXPECT_EQ(fault.Detail().ErrorType(), "ApplicationException");
}

TEST_F(ManagementTest, TheVersionIsTheLibrarysOwn) {
  EXPECT_EQ(management.GetServerVersion(), (contracts::Version{17, 0, 0, 0}));
}

}  // namespace
}  // namespace vantrel::access
