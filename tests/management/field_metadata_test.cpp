// Management: selectors, usable records, write rights, history flags and
// definitions of many tags in one call.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/control.h"
#include "management/management.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::FieldAccessRights;
using contracts::Selectors;
using contracts::TagHistoryInfo;
using contracts::TagsById;
using dorvik::FieldSpec;
using dorvik::RecordOptions;
using ::testing::ElementsAre;
using vantrel::testing::CallArguments;
using vantrel::testing::Calls;
using vantrel::testing::kModeSelector;
using vantrel::testing::kTag1;

constexpr int32_t kNoRecord = 999999;
const Selectors kModeTexts{{0, "OFF"}, {1, "ON"}, {2, "AUTO"}};
const Selectors kTenTexts{{10, "LOW"}, {11, "MIDDLE"}, {12, "HIGH"}};

// The plant and:
// - VN_MetaDef: selectors from the definition (M_MODE, M_RANGE), chosen per
//   record in M_OWNSEL (M_CHOICE), from a selector without entries (M_EMPTY),
//   none (M_PLAIN);
// - VN_RightsDef (writable by everyone) and VN_LockedDef (by nobody): fields
//   always writable, writable only while usable, without operator change,
//   with a strict operator rule, and with archived history.
dorvik::DatabaseBuilder Builder() {
  auto builder = vantrel::testing::PlantBuilder();
  builder.Selector("VN_TenSel", 6, {"LOW", "MIDDLE", "HIGH"}, 10)
      .Selector("VN_EmptySel", 4, {})
      .Definition("VN_MetaDef",
                  {FieldSpec::RecordPointer("M_OWNSEL"), FieldSpec::Integer("M_MODE").WithSelector(kModeSelector),
                   FieldSpec::Integer("M_RANGE").WithSelector("VN_TenSel"), FieldSpec::Real("M_PLAIN"),
                   FieldSpec::Integer("M_CHOICE").WithSelector("M_OWNSEL"),
                   FieldSpec::Integer("M_EMPTY").WithSelector("VN_EmptySel")})
      .Record("META1", "VN_MetaDef")
      .Record("META2", "VN_MetaDef")
      .Set("META1", "M_OWNSEL", dorvik::RecordLink{"VN_TenSel"});
  const std::vector<FieldSpec> rights{
      FieldSpec::Real("R_ALWAYS"), FieldSpec::Real("R_USABLEONLY").WithWriteProtection(2),
      FieldSpec::Real("R_NOOP").WithOperator(false), FieldSpec::Real("R_STRICT").WithOperator(false, true),
      FieldSpec::Real("R_HIST").WithHistory(true)};
  builder.Definition("VN_RightsDef", rights)
      .Definition("VN_LockedDef", rights)
      .Record("RW_USABLE", "VN_RightsDef")
      .Record("RW_UNUSABLE", "VN_RightsDef", RecordOptions{.usable = false})
      .Record("LOCKED1", "VN_LockedDef")
      .Grant("*", "VN_RightsDef", 2);
  return builder;
}

class FieldMetadataTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vantrel::testing::InstallDatabase(Builder()); }
  void SetUp() override {
    Session::RefreshAll();
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  void TearDown() override {
    dorvik::EnableCallLog(false);
    dorvik::ClearFaults();
  }
  int32_t Id(const char* record) { return management.GetTagID(record); }
  int32_t Field(const char* field) { return management.GetFieldID(field); }
  contracts::FieldIds Fields(std::initializer_list<const char*> names) {
    contracts::FieldIds ids;
    for (const char* name : names) ids.push_back(Field(name));
    return ids;
  }

  Management management;
};

TEST_F(FieldMetadataTest, SelectorsComeFromTheDefinitionOrTheRecordsOwnSelector) {
  const TagsById request{{Id("META1"), Fields({"M_MODE", "M_RANGE", "M_PLAIN", "M_CHOICE", "M_EMPTY"})},
                         {Id("META2"), Fields({"M_PLAIN", "M_CHOICE", "M_EMPTY"})},
                         {kNoRecord, Fields({"M_MODE"})}};
  const contracts::SelectorsByTagId selectors = management.GetSelectors(request);
  // META2 names no selector of its own, and nothing else of it has one.
  ASSERT_EQ(selectors.size(), 1u);
  EXPECT_EQ(selectors.at(Id("META1")),
            (contracts::SelectorsByIds{
                {Field("M_MODE"), kModeTexts}, {Field("M_RANGE"), kTenTexts}, {Field("M_CHOICE"), kTenTexts}}));

  // A per-record selector that cannot be read leaves its field out, silently.
  for (const char* function : {"RDBVALS", "MRDBOCCS"}) {
    dorvik::InjectFault(function, -900);
    EXPECT_FALSE(management.GetSelectors({{Id("META1"), Fields({"M_MODE", "M_CHOICE"})}})
                     .at(Id("META1"))
                     .contains(Field("M_CHOICE")))
        << function;
    dorvik::ClearFaults();
  }
}

TEST_F(FieldMetadataTest, UsableRecordsAndDefinitionsOfIdentifiers) {
  EXPECT_EQ(management.AreTagsUsable({Id("RW_USABLE"), Id("RW_UNUSABLE"), kNoRecord, Id("RW_USABLE")}),
            (contracts::UsableByTagId{{Id("RW_USABLE"), true}, {Id("RW_UNUSABLE"), false}, {kNoRecord, false}}));
  EXPECT_EQ(management.GetDefinitionIDs({Id("META1"), kNoRecord, 0}),
            (contracts::DefinitionIdByTagId{{Id("META1"), Id("VN_MetaDef")}, {kNoRecord, 0}, {0, 0}}));
}

TEST_F(FieldMetadataTest, ReadOnlyFollowsTheRecordStateTheOperatorRuleAndThePermission) {
  const FieldAccessRights writable{false, false};
  const FieldAccessRights readOnly{true, true};
  const FieldAccessRights notForTheCaller{false, true};
  const TagsById request{{Id("RW_USABLE"), Fields({"R_ALWAYS", "R_USABLEONLY", "R_NOOP", "R_STRICT", "DESCRIPTION"})},
                         {Id("RW_UNUSABLE"), Fields({"R_USABLEONLY"})},
                         {Id("LOCKED1"), Fields({"R_ALWAYS"})}};

  // Ignoring operator changeability: only the strict rule still holds. The
  // field RW_USABLE lacks (DESCRIPTION) has no definition to forbid writing.
  const auto ignoring = management.AreFieldsReadOnly(request, true);
  EXPECT_EQ(ignoring.at(Id("RW_USABLE")),
            (contracts::OrderedMap<int32_t, FieldAccessRights>{{Field("R_ALWAYS"), writable},
                                                               {Field("R_USABLEONLY"), writable},
                                                               {Field("R_NOOP"), writable},
                                                               {Field("R_STRICT"), readOnly},
                                                               {Field("DESCRIPTION"), writable}}));
  EXPECT_EQ(ignoring.at(Id("RW_UNUSABLE")).at(Field("R_USABLEONLY")), readOnly);
  EXPECT_EQ(ignoring.at(Id("LOCKED1")).at(Field("R_ALWAYS")), notForTheCaller);
  // One refresh; the permission only of fields the definition lets change.
  EXPECT_EQ(Calls("REFRESHUSERCONTEXT"), 1);
  EXPECT_EQ(Calls("GETFLDPERMIS"), 5);

  dorvik::ClearCallLog();
  const auto strict = management.AreFieldsReadOnly(request, false);
  EXPECT_EQ(strict.at(Id("RW_USABLE")).at(Field("R_NOOP")), readOnly);
  EXPECT_EQ(strict.at(Id("RW_USABLE")).at(Field("R_STRICT")), readOnly);
  EXPECT_EQ(strict.at(Id("RW_USABLE")).at(Field("R_ALWAYS")), writable);
  EXPECT_EQ(Calls("REFRESHUSERCONTEXT"), 1);
  EXPECT_EQ(Calls("GETFLDPERMIS"), 4);
  EXPECT_THAT(CallArguments("GETFLDPERMIS").front(), ::testing::EndsWith("kind=2"));
}

TEST_F(FieldMetadataTest, HistoryInfoAsksAgainAfterEachFailingEntry) {
  // Ten entries; entry 3 (a field TI100 lacks) and entry 7 (no such record) fail.
  const TagsById request{{Id(kTag1), Fields({"VALUE", "HI_LIMIT", "UNITS", "R_HIST", "STAMP", "MODE", "COUNTER"})},
                         {kNoRecord, Fields({"VALUE"})},
                         {Id("RW_USABLE"), Fields({"R_HIST", "R_ALWAYS"})}};
  const contracts::HistoryInfoByTagId info = management.GetHistoryInfo(request);
  EXPECT_THAT(CallArguments("FieldHistoryInfo"), ElementsAre("n=10", "n=6", "n=2"));

  ASSERT_EQ(info.size(), 2u);
  const auto& tag = info.at(Id(kTag1));
  EXPECT_EQ(tag.size(), 6u);
  EXPECT_FALSE(tag.contains(Field("R_HIST")));
  EXPECT_EQ(tag.at(Field("VALUE")), TagHistoryInfo(true, false));
  EXPECT_EQ(tag.at(Field("COUNTER")), TagHistoryInfo(false, false));
  EXPECT_EQ(info.at(Id("RW_USABLE")).at(Field("R_HIST")), TagHistoryInfo(true, true));
  EXPECT_EQ(info.at(Id("RW_USABLE")).at(Field("R_ALWAYS")), TagHistoryInfo(false, false));

  dorvik::ClearCallLog();
  EXPECT_TRUE(management.GetHistoryInfo({}).empty());
  EXPECT_THAT(CallArguments("FieldHistoryInfo"), ElementsAre("n=0"));
}

}  // namespace
}  // namespace vantrel::access
