// Every public operation of DataAccess, Session and VntGlobal that calls the
// engine, with every engine error code at every one of its calls: the
// outcome is the fault-free one, an error with a message, or an answer the
// operation gives on purpose (listed with it). After every run the field
// definition cache holds only whole definitions. A new operation is one more
// entry in Operations(); Management and ServerManagement have sweeps of
// their own.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "contracts/json.h"
#include "data/data_access.h"
#include "engine/control.h"
#include "global/vnt_global.h"
#include "native/base64.h"
#include "platform/registry.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;
using contracts::HistoryRequestById;
using contracts::TagValue;
using contracts::TagValuesByIds;
using contracts::TagValuesByNames;
using dorvik::FieldSpec;
using dorvik::Sample;
using dorvik::Timestamp;
using O = contracts::OutsidersRequestTypeEnum;
using ::testing::IsEmpty;
using vantrel::testing::Answers;
using vantrel::testing::BestEffort;
using vantrel::testing::Json;
using vantrel::testing::kTag1;
using vantrel::testing::kTag2;
using vantrel::testing::SweptOperation;

constexpr int64_t kT0 = 1'700'000'000;

// The plant, history for TI100's VALUE, and a record that names its own
// selector in a field named like the plant's selector.
dorvik::DatabaseBuilder Builder() {
  auto builder = vantrel::testing::PlantBuilder();
  std::vector<dorvik::HistoryPoint> series;
  for (int i = 0; i < 20; ++i) series.push_back({Timestamp::FromSeconds(kT0 + 10 * i), double(i), int16_t(1)});
  builder.History(kTag1, "VALUE", series)
      .Selector("VN_TenSel", 6, {"LOW", "MIDDLE", "HIGH"}, 10)
      .Definition("VN_PerRecordDef", {FieldSpec::Integer("PMODE").WithSelector(vantrel::testing::kModeSelector),
                                      FieldSpec::RecordPointer(vantrel::testing::kModeSelector)})
      .Record("PR_TEN", "VN_PerRecordDef")
      .Set("PR_TEN", vantrel::testing::kModeSelector, dorvik::RecordLink{"VN_TenSel"})
      .Grant("*", "VN_PerRecordDef", 2);
  return builder;
}

// A session that reaches the field definition cache.
class SweepSession : public DataAccess {
 public:
  using Session::GetFieldDefinitions;
};

// --- The answers operations give on purpose -------------------------------------

// A read's answer as {"record": {"field": [values]}}: what a lesser answer
// may differ in, value list by value list.
struct Lesser {
  bool missing = false;      // a list (or a record) left out
  bool placeholder = false;  // a list of one value without quality: occurrences unknown
  bool emptyNames = false;   // texts and identifier names that came back empty
  bool subsequence = false;  // values left out of a list
};

bool IsPlaceholder(const Json& list) {
  return list.size() == 1 && list[0]["value"].is_null() && list[0]["status"] == 2 && list[0]["level"] == -6;
}

// value equals expected, or is expected with some of its texts (values and
// identifier names) empty.
bool EqualOrEmptyNamed(const Json& value, const Json& expected) {
  if (value == expected) return true;
  if (value.is_string() && expected.is_string()) return value == "";
  if (value.type() != expected.type() || value.size() != expected.size()) return false;
  if (value.is_array()) return std::equal(value.begin(), value.end(), expected.begin(), EqualOrEmptyNamed);
  if (!value.is_object()) return false;
  for (auto it = expected.begin(); it != expected.end(); ++it) {
    if (!value.contains(it.key()) || !EqualOrEmptyNamed(value[it.key()], it.value())) return false;
  }
  return true;
}

bool IsSubsequence(const Json& list, const Json& of) {
  auto next = of.begin();
  for (const Json& value : list) {
    next = std::find(next, of.end(), value);
    if (next == of.end()) return false;
    ++next;
  }
  return true;
}

bool IsLesserList(const Json& list, const Json& expected, const Lesser& lesser) {
  return list == expected || (lesser.placeholder && IsPlaceholder(list)) ||
         (lesser.subsequence && IsSubsequence(list, expected)) ||
         (lesser.emptyNames && EqualOrEmptyNamed(list, expected));
}

// Whether a read's answer is the reference's in a lesser form: no key the
// reference lacks, and every list the reference's or lesser.
bool IsLesserRead(const Json& answer, const Json& reference, const Lesser& lesser) {
  if (!lesser.missing && answer.size() != reference.size()) return false;
  for (auto record = answer.begin(); record != answer.end(); ++record) {
    if (!reference.contains(record.key())) return false;
    const Json& expected = reference[record.key()];
    if (!lesser.missing && record.value().size() != expected.size()) return false;
    for (auto field = record.value().begin(); field != record.value().end(); ++field) {
      if (!expected.contains(field.key()) || !IsLesserList(field.value(), expected[field.key()], lesser)) return false;
    }
  }
  return true;
}

std::function<bool(const Json&, const Json&)> LesserRead(Lesser lesser) {
  return [lesser](const Json& outcome, const Json& reference) {
    return outcome["state"] == reference["state"] && IsLesserRead(outcome["answer"], reference["answer"], lesser);
  };
}

// A write that left some of its fields as they were: each field read back is
// what the fault-free write stored, what was there before or, with
// noRecords, a pointer to no record where the write named one.
bool WroteSome(const Json& outcome, const Json& reference, const Json& before, bool noRecords) {
  const Json& state = outcome["state"];
  if (state.size() != reference["state"].size()) return false;
  for (auto record = state.begin(); record != state.end(); ++record) {
    for (auto field = record.value().begin(); field != record.value().end(); ++field) {
      const Json::json_pointer at("/" + record.key() + "/" + field.key());
      if (!reference["state"].contains(at) || !before.contains(at)) return false;
      const Json& written = reference["state"][at];
      const bool noRecord = noRecords && EqualOrEmptyNamed(field.value(), written);
      if (field.value() != written && field.value() != before[at] && !noRecord) return false;
    }
  }
  return true;
}

// A list of field definitions whose selectors could not all be read: some
// fields come without their selector texts.
bool LacksSomeSelectors(const Json& outcome, const Json& reference) {
  const Json& got = outcome["answer"];
  const Json& expected = reference["answer"];
  if (got.size() != expected.size()) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    Json withoutTexts = expected[i];
    withoutTexts["formattedStrings"] = Json::object();
    if (got[i] != expected[i] && got[i] != withoutTexts) return false;
  }
  return true;
}

// --- The operations ------------------------------------------------------------------

constexpr const char* kAccountKey = R"(HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Vantrel\17.0\PLANT)";

// The objects and identifiers the operations use, made without faults.
struct Context {
  Context() {
    for (const char* name :
         {kTag1, kTag2, "PR_TEN", vantrel::testing::kModeSelector, vantrel::testing::kAnalogDef, "VN_PerRecordDef"}) {
      ids[name] = data.GetRecordID(name);
    }
    for (const char* name : {"VALUE", "TREND", "LINK", "SOURCE", "DESCRIPTION", "MODE", "STAMP", "HI_LIMIT"}) {
      fields[name] = data.GetAttributeID(name);
    }
    for (const char* definition : {vantrel::testing::kAnalogDef, "VN_PerRecordDef"}) {
      whole[ids[definition]] = contracts::ToJson(*data.GetFieldDefinitions(ids[definition]));
    }
  }
  int32_t Id(const std::string& name) const { return ids.at(name); }
  int32_t Field(const std::string& name) const { return fields.at(name); }

  SweepSession data;
  std::map<std::string, int32_t> ids;
  std::map<std::string, int32_t> fields;
  std::map<int32_t, Json> whole;  // fault-free field definitions by definition id
  Json before;                    // the written fields before a write
};

TagValue Real(double value) { return TagValue(value, DateTime(2024, 1, 2, 3, 4, 5, 0, DateTimeKind::Utc), 1, 2); }
TagValue Text(std::string text) { return TagValue(std::move(text), DateTime::MinValue, 0, 0); }

// The values a write sets, and the values a run starts from.
TagValuesByIds WriteRequest(const Context& c, bool baseline) {
  const double shift = baseline ? 0 : 100;
  return TagValuesByIds{
      {c.Id(kTag2),
       {{c.Field("VALUE"), {Real(5.5 + shift)}},
        {c.Field("DESCRIPTION"), {Text(baseline ? "before" : "swept")}},
        {c.Field("LINK"), {Text(baseline ? "TI102" : kTag1)}}}},
      {c.Id(kTag1), {{c.Field("TREND"), {Real(1 + shift), Real(2 + shift), Real(3 + shift)}}}}};
}

// The written fields as read back, without faults, and without their times
// (a field without quality has the time it was last written).
Json WrittenState(Context& c) {
  contracts::TagsById fields;
  for (const auto& [record, values] : WriteRequest(c, true)) {
    for (const auto& entry : values) fields[record].push_back(entry.first);
  }
  Json state = contracts::ToJson(c.data.GetTagValues(fields));
  for (auto& record : state) {
    for (auto& list : record) {
      for (auto& value : list) value.erase("timestamp");
    }
  }
  return state;
}

HistoryRequestById History(const Context& c, int64_t start, int64_t end, int32_t maxCount, O outsiders) {
  HistoryRequestById request;
  request.TagId = c.Id(kTag1);
  request.FieldId = c.Field("VALUE");
  request.Query.StartTime = DateTime(DateTime::kUnixEpochTicks + (kT0 + start) * DateTime::kTicksPerSecond,
                                     DateTimeKind::Utc);
  request.Query.EndTime = DateTime(DateTime::kUnixEpochTicks + (kT0 + end) * DateTime::kTicksPerSecond,
                                   DateTimeKind::Utc);
  request.Query.MaxCount = maxCount;
  request.Query.OusidersType = outsiders;
  request.Query.RequestType = contracts::HistoryRequestTypeEnum::Kind4;
  return request;
}

std::string Base64(const std::string& text) {
  std::array<char, 512> out{};
  uint32_t length = out.size() - 1;
  UUEncodeString(text.c_str(), static_cast<uint32_t>(text.size()), out.data(), &length);
  return std::string(out.data(), length);
}

Json LinkState(bool opened) { return Json{{"opened", opened}, {"count", VntGlobal::GetRefCount()}}; }

// Starts from a closed link, opened again when asked.
void ResetLink(bool open) {
  while (VntGlobal::GetRefCount() > 0) VntGlobal::UninitializeVantrel();
  VntGlobal::Shutdown();
  if (open) VntGlobal::InitializeVantrel();
}

const BestEffort kLeftOut{"GETDATATYPES", "an item the database will not type is left out with its field",
                          LesserRead({.missing = true})};

// Every swept operation; c is null when only names and count are asked.
std::vector<SweptOperation> Operations(Context* c) {
  const auto unknownOccurrences = [](const char* function) {
    return BestEffort{function, "a field whose occurrences are unknown gets a placeholder value",
                      LesserRead({.placeholder = true})};
  };
  const auto unknownName = [](const char* function) {
    return BestEffort{function, "an unknown name is left out", LesserRead({.missing = true})};
  };
  const auto refreshed = [] { Session::RefreshAll(); };
  const auto baseline = [c] {
    c->data.SetTagValues(WriteRequest(*c, true));
    Session::RefreshAll();
  };
  const auto written = [c] { return WrittenState(*c); };
  const auto wroteSome = [c](const Json& outcome, const Json& reference) {
    return WroteSome(outcome, reference, c->before, false);
  };
  const BestEffort pointerToNoRecord{
      "NAME2RECID", "a pointer named by a record the database does not find is written as no record",
      [c](const Json& outcome, const Json& reference) { return WroteSome(outcome, reference, c->before, true); }};

  return {
      // DataAccess
      {.name = "GetTagValuesByIds",
       .prepare = refreshed,
       .run =
           [c] {
             const auto& f = c->fields;
             return contracts::ToJson(c->data.GetTagValues(contracts::TagsById{
                 {c->Id(kTag1),
                  {f.at("VALUE"), f.at("TREND"), f.at("LINK"), f.at("SOURCE"), f.at("DESCRIPTION"), f.at("MODE"),
                   f.at("STAMP")}},
                 {c->Id(kTag2), {f.at("VALUE"), f.at("HI_LIMIT")}}}));
           },
       .bestEffort = {kLeftOut, unknownOccurrences("DB2SHRT"), unknownOccurrences("DEFINID"),
                      {"GETNAMDB_LNAME", "a pointer decodes to the name the database gives, empty when it gives none",
                       LesserRead({.emptyNames = true})},
                      {"GETFTDB_LNAME", "a field pointer decodes to the name the database gives, empty when none",
                       LesserRead({.emptyNames = true})}}},
      {.name = "GetTagValuesByNames",
       .prepare = refreshed,
       .run =
           [c] {
             return contracts::ToJson(c->data.GetTagValues(contracts::Tags{
                 {"TI100", {"VALUE", "TREND", "DESCRIPTION", "MODE"}}, {"ti101", {"VALUE", "hi_limit"}}}));
           },
       .bestEffort = {kLeftOut, unknownName("NAME2RECID"), unknownName("DECODFT"), unknownOccurrences("DB2SHRT"),
                      unknownOccurrences("DEFINID")}},
      {.name = "SetTagValuesByIds",
       .prepare = baseline,
       .run =
           [c] {
             c->data.SetTagValues(WriteRequest(*c, false));
             return Json();
           },
       .observe = written,
       .bestEffort = {pointerToNoRecord}},
      {.name = "SetTagValuesByNames",
       .prepare = baseline,
       .run =
           [c] {
             c->data.SetTagValues(TagValuesByNames{
                 {"TI101", {{"VALUE", {Real(105.5)}}, {"DESCRIPTION", {Text("swept")}}, {"LINK", {Text(kTag1)}}}},
                 {"ti100", {{"trend", {Real(101), Real(102), Real(103)}}}}});
             return Json();
           },
       .observe = written,
       .bestEffort = {pointerToNoRecord,
                      {"NAME2RECID", "an unknown record name is skipped, with a log line", wroteSome},
                      {"DECODFT", "an unknown field name is skipped, with a log line", wroteSome}}},
      {.name = "GetHistoryValuesByIds",
       .prepare = refreshed,
       .run =
           [c] {
             return contracts::ToJson(c->data.GetHistoryValuesByIds(
                 {History(*c, 15, 35, 2, O::BothA), History(*c, 185, 155, 3, O::BeforeA),
                  History(*c, 55, 95, 2, O::AfterB)}));
           },
       .bestEffort = {{"GETDATATYPES", "a field the database will not type reads as an empty list",
                       LesserRead({.subsequence = true})},
                      {"RHIS21DATA", "a refused read gives the values it returned", LesserRead({.subsequence = true})},
                      {"RHIS21REV", "a refused read gives the values it returned", LesserRead({.subsequence = true})}}},

      // Session
      {.name = "SessionWithCallback",
       .run =
           [] {
             Session session(true);
             return Json();
           },
       .raisesFaults = false},
      {.name = "SetUserInfo",
       .run =
           [] {
             Session::SetUserInfo("VNT", "sweeper");
             return Json();
           },
       .raisesFaults = false},
      {.name = "GetRecordID",
       .run = [c] { return Json(c->data.GetRecordID(kTag1)); },
       .raisesFaults = false,
       .bestEffort = {{"NAME2RECID", "not found", Answers(0)}}},
      {.name = "GetAttributeID",
       .run = [c] { return Json(c->data.GetAttributeID("2 TREND")); },
       .raisesFaults = false,
       .bestEffort = {{"DECODFT", "not found", Answers(-1)}}},
      {.name = "GetRecordName",
       .run = [c] { return Json(c->data.GetRecordName(c->Id(kTag1))); },
       .raisesFaults = false,
       .bestEffort = {{"GETNAMDB_LNAME", "no name", Answers("")}}},
      {.name = "GetAttributeNameWithOccurenceNumber",
       .run = [c] { return Json(c->data.GetAttributeNameWithOccurenceNumber(c->Id(kTag1), c->Field("TREND") + 2)); },
       .raisesFaults = false,
       .bestEffort = {{"GETFTDB_LNAME", "no name", Answers("")}}},
      {.name = "GetDefinitionRecordID",
       .run = [c] { return Json(c->data.GetDefinitionRecordID(kTag1)); },
       .raisesFaults = false,
       .bestEffort = {{"NAME2RECID", "no record, so no definition", Answers(0)},
                      {"DEFINID", "no definition", Answers(0)}}},
      {.name = "GetDefinitionID",
       .run = [c] { return Json(c->data.GetDefinitionID(c->Id(kTag1))); },
       .raisesFaults = false,
       .bestEffort = {{"DEFINID", "no definition", Answers(0)}}},
      {.name = "GetDorvikEnvironmentVariable",
       .run = [c] { return Json(c->data.GetDorvikEnvironmentVariable("DORVIK_GROUP_NAME")); },
       .raisesFaults = false,
       .bestEffort = {{"c21_getenv", "not set", Answers("")}}},
      {.name = "GetFieldDefinitions",
       .prepare = refreshed,
       .run = [c] { return contracts::ToJson(*c->data.GetFieldDefinitions(c->Id(vantrel::testing::kAnalogDef))); },
       .raisesFaults = false,
       .bestEffort = {{"RDBVALS", "a selector that cannot be read leaves its field without texts", LacksSomeSelectors},
                      {"FIELDDEFNINFO", "a selector that cannot be read leaves its field without texts",
                       LacksSomeSelectors}}},
      {.name = "GetAttributeName",
       .prepare = refreshed,
       .run = [c] { return Json(c->data.GetAttributeName(c->Id(kTag1), c->Field("TREND"))); },
       .raisesFaults = false,
       .bestEffort = {{"GETFTDB_LNAME", "no name", Answers("")}}},
      {.name = "GetMaximumOcurrences",
       .prepare = refreshed,
       .run = [c] { return Json(c->data.GetMaximumOcurrences(kTag1, "TREND")); },
       .raisesFaults = false,
       .bestEffort = {{"NAME2RECID", "unknown: 1", Answers(1)},
                      {"DECODFT", "unknown: 1", Answers(1)},
                      {"DEFINID", "unknown: 1", Answers(1)},
                      {"DB2SHRT", "unknown: 1", Answers(1)}}},
      {.name = "GetRecordSpecificSelectors",
       .run =
           [c] {
             return contracts::ToJson(
                 c->data.GetRecordSpecificSelectors(c->Id("PR_TEN"), c->Id(vantrel::testing::kModeSelector)));
           },
       .raisesFaults = false,
       .bestEffort = {{"GETNAMDB_LNAME", "no selector", Answers(Json::object())},
                      {"DECODFT", "no selector", Answers(Json::object())},
                      {"RDBVALS", "no selector", Answers(Json::object())},
                      {"FIELDDEFNINFO", "no selector", Answers(Json::object())}}},

      // VntGlobal
      {.name = "InitializeVantrel",
       .prepare = [] { ResetLink(false); },
       .run = [] { return LinkState(VntGlobal::InitializeVantrel()); },
       .bestEffort = {{"INIDORV", "the link did not open: false", Answers(Json{{"opened", false}, {"count", 0}})}}},
      {.name = "UninitializeVantrel",
       .prepare = [] { ResetLink(true); },
       .run = [] { return LinkState(VntGlobal::UninitializeVantrel()); }},
      {.name = "Shutdown",
       .prepare = [] { ResetLink(true); },
       .run =
           [] {
             VntGlobal::Shutdown();
             return LinkState(true);
           }},
  };
}

class FaultSweepTest : public ::testing::TestWithParam<std::tuple<std::size_t, int16_t>> {
 protected:
  void SetUp() override {
    registry_ = std::filesystem::temp_directory_path() / ("fault_sweep_" + std::to_string(::getpid()) + ".reg");
    std::ofstream(registry_, std::ios::binary)
        << "REGEDIT4\n\n[" << kAccountKey << "]\n\"VANTREL_SYSTEM_ACCOUNT\"=\"" << Base64("VNT\\vntsystem")
        << "\"\n";
    ::setenv(platform::kRegistryFileVariable, registry_.c_str(), 1);
    dorvik::Reset();
    vantrel::testing::InstallDatabase(Builder());
    context_ = std::make_unique<Context>();
    context_->data.SetTagValues(WriteRequest(*context_, true));
    context_->before = WrittenState(*context_);
  }
  void TearDown() override {
    context_.reset();
    ResetLink(false);
    dorvik::Reset();
    ::unsetenv(platform::kRegistryFileVariable);
    std::filesystem::remove(registry_);
  }

  std::filesystem::path registry_;
  std::unique_ptr<Context> context_;
};

TEST_P(FaultSweepTest, EndsEqualInAnErrorOrAsIntended) {
  const auto [index, code] = GetParam();
  const SweptOperation op = Operations(context_.get()).at(index);
  const auto report = vantrel::testing::SweepFaults(
      op, code, [whole = &context_->whole] { return vantrel::testing::DefinitionCacheProblems(*whole); });
  EXPECT_GT(report.calls, 0u) << op.name << " makes no engine call: it has nothing to sweep";
  EXPECT_THAT(report.failures, IsEmpty());
}

std::string ParamName(const ::testing::TestParamInfo<FaultSweepTest::ParamType>& info) {
  const auto [index, code] = info.param;
  return Operations(nullptr).at(index).name + "_" + std::to_string(-code);
}

INSTANTIATE_TEST_SUITE_P(EveryOperationAndCode, FaultSweepTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, Operations(nullptr).size()),
                                            ::testing::ValuesIn(vantrel::testing::EngineErrorCodes())),
                         ParamName);

// The sweep fails exactly the call it names, whatever calls of the same
// function came before.
TEST(FailCallTest, FailsOnlyTheNamedCall) {
  dorvik::Reset();
  vantrel::testing::InstallDatabase(Builder());
  Session session;
  dorvik::EnableCallLog();
  dorvik::ClearCallLog();
  for (int i = 0; i < 3; ++i) session.GetRecordID(kTag1);
  const auto calls = dorvik::CallLog();
  dorvik::EnableCallLog(false);
  for (std::size_t k = 1; k <= 3; ++k) {
    vantrel::testing::FailCall(calls, k, -3);
    std::vector<bool> found;
    for (int i = 0; i < 3; ++i) found.push_back(session.GetRecordID(kTag1) > 0);
    dorvik::ClearFaults();
    std::vector<bool> expected(3, true);
    expected[k - 1] = false;
    EXPECT_EQ(found, expected) << k;
  }
  dorvik::Reset();
}

}  // namespace
}  // namespace vantrel::access
