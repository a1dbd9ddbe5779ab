#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/control.h"
#include "platform/exceptions.h"
#include "session/session.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::Selectors;
using dorvik::FieldSpec;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using vantrel::testing::kModeSelector;

constexpr int16_t kFault = -900;

class SelectorSession : public Session {
 public:
  using Session::GetSelectors;
};

// Selectors of widths 7 (OFF/ON/AUTO from 0) and 6 (from 10), one without
// entries, and records that name their own selector in the field named like
// the mode selector.
dorvik::DatabaseBuilder Builder() {
  auto builder = vantrel::testing::PlantBuilder();
  builder.Selector("VN_TenSel", 6, {"LOW", "MIDDLE", "HIGH"}, 10)
      .Selector("VN_NoneSel", 4, {})
      .Definition("VN_PerRecordDef", {FieldSpec::Integer("PMODE").WithSelector(kModeSelector),
                                      FieldSpec::RecordPointer(kModeSelector)})
      .Record("PR_TEN", "VN_PerRecordDef")
      .Record("PR_NONE", "VN_PerRecordDef")
      .Record("PR_ZERO", "VN_PerRecordDef")
      .Set("PR_TEN", kModeSelector, dorvik::RecordLink{"VN_TenSel"})
      .Set("PR_NONE", kModeSelector, dorvik::RecordLink{"VN_NoneSel"});
  return builder;
}

class SelectorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vantrel::testing::InstallDatabase(Builder());
    modeSel = session.GetRecordID(kModeSelector);
    tenSel = session.GetRecordID("VN_TenSel");
    noneSel = session.GetRecordID("VN_NoneSel");
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  void TearDown() override {
    dorvik::EnableCallLog(false);
    dorvik::ClearFaults();
  }
  int32_t Record(const char* name) { return session.GetRecordID(name); }

  SelectorSession session;
  int32_t modeSel = 0;
  int32_t tenSel = 0;
  int32_t noneSel = 0;
};

TEST_F(SelectorsTest, EntriesAreNumberedFromFirstWithPaddingRemoved) {
  // Width 7 travels in slots of 8, width 6 in slots of 6: wrong strides
  // would misplace every entry after the first.
  EXPECT_EQ(session.GetSelectors(modeSel), (Selectors{{0, "OFF"}, {1, "ON"}, {2, "AUTO"}}));
  EXPECT_EQ(session.GetSelectors(tenSel), (Selectors{{10, "LOW"}, {11, "MIDDLE"}, {12, "HIGH"}}));
  EXPECT_EQ(dorvik::CallLog().back().arguments, "id=" + std::to_string(tenSel) + " n=1 first=1 last=3");
}

TEST_F(SelectorsTest, NoSelectorOrNoEntriesGiveAnEmptyMap) {
  vantrel::testing::LogCapture log;
  EXPECT_TRUE(session.GetSelectors(0).empty());
  EXPECT_TRUE(session.GetSelectors(-5).empty());
  EXPECT_TRUE(dorvik::CallLog().empty());

  EXPECT_TRUE(session.GetSelectors(noneSel).empty());
  EXPECT_THAT(log.Lines(), ElementsAre(EndsWith(" - GetSelectors, RDBVALS: no error")));
  EXPECT_EQ(dorvik::CallCount("MRDBOCCS"), 0);

  // Header and definition failures answer empty without a log line.
  EXPECT_TRUE(session.GetSelectors(Record("TI100")).empty());
  dorvik::InjectFault("FIELDDEFNINFO", kFault);
  EXPECT_TRUE(session.GetSelectors(modeSel).empty());
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST_F(SelectorsTest, AFailedOccurrenceReadIsLoggedAndRaised) {
  vantrel::testing::LogCapture log;
  dorvik::InjectFault("MRDBOCCS", kFault);
  const std::string expected = "Could not read occurrences of SelectorId:" + std::to_string(modeSel) +
                               ".firstoc:1, lastoc:3. Error:MRDBOCCS: error -900";
  try {
    session.GetSelectors(modeSel);
    ADD_FAILURE() << "the failed read was not raised";
  } catch (const platform::ApplicationException& error) {
    EXPECT_EQ(std::string(error.what()), expected);
  }
  EXPECT_THAT(log.Lines(), ElementsAre(EndsWith(" - " + expected)));
}

TEST_F(SelectorsTest, RecordSpecificSelectorsComeFromTheRecordsOwnField) {
  EXPECT_EQ(session.GetRecordSpecificSelectors(Record("PR_TEN"), modeSel),
            (Selectors{{10, "LOW"}, {11, "MIDDLE"}, {12, "HIGH"}}));
  EXPECT_TRUE(session.GetRecordSpecificSelectors(Record("PR_ZERO"), modeSel).empty());
  EXPECT_TRUE(session.GetRecordSpecificSelectors(Record("PR_TEN"), 0).empty());
  EXPECT_TRUE(session.GetRecordSpecificSelectors(Record("PR_TEN"), tenSel).empty());  // no field of that name

  // A selector without entries still runs the (empty) occurrence read.
  dorvik::ClearCallLog();
  EXPECT_TRUE(session.GetRecordSpecificSelectors(Record("PR_NONE"), modeSel).empty());
  EXPECT_EQ(dorvik::CallLog().back().arguments, "id=" + std::to_string(noneSel) + " n=1 first=1 last=0");
}

TEST_F(SelectorsTest, RecordSpecificFailuresLogOrRaiseTheErrorText) {
  vantrel::testing::LogCapture log;
  const int32_t record = Record("PR_TEN");
  dorvik::InjectFault("FIELDDEFNINFO", kFault);
  EXPECT_TRUE(session.GetRecordSpecificSelectors(record, modeSel).empty());
  EXPECT_THAT(log.Lines(), ElementsAre(EndsWith(" - GetRecordSpecificSelectors, FIELDDEFNINFO: error -900")));

  dorvik::InjectFault("MRDBOCCS", kFault);
  try {
    session.GetRecordSpecificSelectors(record, modeSel);
    ADD_FAILURE() << "the failed read was not raised";
  } catch (const platform::ApplicationException& error) {
    EXPECT_EQ(std::string(error.what()), "MRDBOCCS: error -900");
  }
  EXPECT_EQ(log.Lines().size(), 1u);
}

}  // namespace
}  // namespace vantrel::access
