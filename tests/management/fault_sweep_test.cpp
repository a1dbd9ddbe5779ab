// Every public operation of Management on a copy of the sample plant, with
// every engine error code at every one of its engine calls: the outcome is
// the fault-free one, a service fault with a reason, or an answer the
// operation gives on purpose (listed with it). After every run the field
// definition cache holds only whole definitions. Operations that change the
// database start each run from the plant file.
#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "contracts/json.h"
#include "engine/control.h"
#include "management/management.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/plant_copy.h"

namespace vantrel::access {
namespace {

using contracts::ReferenceSourceTypeEnum;
using contracts::TagNames;
using contracts::TagsById;
using contracts::ToJson;
using ::testing::IsEmpty;
using vantrel::testing::Answers;
using vantrel::testing::BestEffort;
using vantrel::testing::Json;
using vantrel::testing::SweptOperation;

// Whether outcome's answer is the reference's with parts left out: lists
// keep a subsequence of their entries, maps some of their keys, each part
// itself the reference's or lesser.
bool IsLesser(const Json& got, const Json& expected) {
  if (got == expected) return true;
  if (got.is_object() && expected.is_object()) {
    for (auto entry = got.begin(); entry != got.end(); ++entry) {
      if (!expected.contains(entry.key()) || !IsLesser(entry.value(), expected[entry.key()])) return false;
    }
    return true;
  }
  if (!got.is_array() || !expected.is_array()) return false;
  auto next = expected.begin();
  for (const Json& item : got) {
    next = std::find(next, expected.end(), item);
    if (next == expected.end()) return false;
    ++next;
  }
  return true;
}

bool LeftOut(const Json& outcome, const Json& reference) {
  return outcome["state"] == reference["state"] && IsLesser(outcome["answer"], reference["answer"]);
}

// Tags the database refused to create are left out of the answer, which
// names only tags that exist afterwards.
bool NotCreated(const Json& outcome, const Json& reference) {
  if (!IsLesser(outcome["answer"], reference["answer"])) return false;
  for (const Json& name : outcome["answer"]) {
    bool exists = false;
    for (const auto& [definition, names] : outcome["state"].items()) {
      exists = exists || std::find(names.begin(), names.end(), name) != names.end();
    }
    if (!exists) return false;
  }
  return true;
}

// Field definitions whose selector texts could not all be read: some fields
// come without them.
bool LacksSomeSelectorTexts(const Json& outcome, const Json& reference) {
  const Json& got = outcome["answer"];
  const Json& expected = reference["answer"];
  if (got.size() != expected.size()) return false;
  for (auto entry = got.begin(); entry != got.end(); ++entry) {
    const Json& list = expected[entry.key()];
    if (entry.value().size() != list.size()) return false;
    for (std::size_t i = 0; i < list.size(); ++i) {
      Json withoutTexts = list[i];
      withoutTexts["formattedStrings"] = Json::object();
      if (entry.value()[i] != list[i] && entry.value()[i] != withoutTexts) return false;
    }
  }
  return true;
}

// Access rights asked with a failing question read as writable: ReadOnly
// false, and UserReadOnly true only where the fault-free answer has it.
bool FailsOpen(const Json& outcome, const Json& reference) {
  const Json& got = outcome["answer"];
  const Json& expected = reference["answer"];
  if (got.size() != expected.size()) return false;
  for (auto record = got.begin(); record != got.end(); ++record) {
    const Json& fields = expected[record.key()];
    if (record.value().size() != fields.size()) return false;
    for (auto field = record.value().begin(); field != record.value().end(); ++field) {
      const Json& want = fields[field.key()];
      const Json& have = field.value();
      const bool open = have["readOnly"] == false && (have["userReadOnly"] == false || want["userReadOnly"] == true);
      if (have != want && !open) return false;
    }
  }
  return true;
}

// The API functions that report no error: a failing call reads as a valid
// answer ("no such record", "no name", "not of that kind", "no more
// entries", "not set"), which the library cannot tell from the truth and
// takes as given.
constexpr std::array<const char*, 12> kWithoutErrorBlock{
    "NAME2RECID", "GETNAMDB_LNAME",      "GETFTDB_LNAME",    "DEFINID",    "RECTYPEOK",                 "VALIDUSA",
    "NXTFREE",    "NXTREFER",            "GETRECORDLIST_LNAME", "GETFLDNAMS_LNAME", "GetVntEnvironmentVariable",
    "c21_getenv"};

// The plant, its ids and the fault-free load of every definition.
struct Context {
  Context() : plant(true) {
    Open();
    for (const std::string& definition : management.GetAllDefinitionTags()) {
      const int32_t id = management.GetTagID(definition);
      whole[id] = ToJson(*management.GetFieldDefinitions(id));
    }
    for (const char* name : {"TI101", "LI401", "XV501", "P101", "PI201", "AI_SPARE1", "CALC_COOLING"}) {
      ids[name] = management.GetTagID(name);
    }
    for (const char* name : {"TREND", "MODE", "STATE", "VALUE", "UNITS", "DESCRIPTION", "CALC_RESULT"}) {
      fields[name] = management.GetFieldID(name);
    }
  }
  // Opens a fresh copy of the imported plant: what a run wrote is durable,
  // so the next run starts from a copy the runs never touched.
  void Open() {
    const std::filesystem::path folder = plant.Folder() / ("run" + std::to_string(++copies));
    std::filesystem::create_directory(folder);
    std::filesystem::copy_file(std::filesystem::path(plant.Database()) / "data.mdb", folder / "data.mdb");
    dorvik::Open(folder.string());
    Session::RefreshAll();
  }
  // Made without faults, before any run.
  int32_t Id(const std::string& name) const { return ids.at(name); }
  int32_t Field(const std::string& name) const { return fields.at(name); }

  vantrel::testing::PlantCopy plant;
  int copies = 0;
  Management management;
  std::map<int32_t, Json> whole;
  std::map<std::string, int32_t> ids;
  std::map<std::string, int32_t> fields;
};

std::vector<SweptOperation> OperationsOfManagement(Context* c);

// Every swept operation; c is null when only names and count are asked.
// A function without an error block that an operation does not list
// itself is taken as given.
std::vector<SweptOperation> Operations(Context* c) {
  std::vector<SweptOperation> operations = OperationsOfManagement(c);
  for (SweptOperation& op : operations) {
    for (const char* function : kWithoutErrorBlock) {
      if (std::ranges::find(op.bestEffort, function, &BestEffort::function) != op.bestEffort.end()) continue;
      op.bestEffort.push_back({function, "the database's answer, as the API gives it without an error",
                               [](const Json&, const Json&) { return true; }});
    }
  }
  return operations;
}

std::vector<SweptOperation> OperationsOfManagement(Context* c) {
  const auto refreshed = [] { Session::RefreshAll(); };
  const auto reopened = [c] { c->Open(); };
  const auto leftOut = [](const char* function) {
    return BestEffort{function, "entries the database does not answer for are left out", LeftOut};
  };
  const TagNames definitions{"VN_AnalogDef", "P101", "VN_TextDef", "NO_SUCH_TAG"};
  return {
      {.name = "GetDefinedFields", .run = [c] { return ToJson(c->management.GetDefinedFields()); }},
      {.name = "GetFieldDefinitions",
       .prepare = refreshed,
       .run = [c] { return ToJson(c->management.GetFieldDefinitions(TagNames{"TI101", "XV501", "NO_SUCH_TAG"})); },
       .bestEffort = {{"RDBVALS", "a selector that cannot be read leaves its field without texts",
                       LacksSomeSelectorTexts},
                      {"FIELDDEFNINFO", "a selector that cannot be read leaves its field without texts",
                       LacksSomeSelectorTexts}}},
      {.name = "GetTagID",
       .run = [c] { return Json(c->management.GetTagID("TI101")); },
       .bestEffort = {{"NAME2RECID", "not found", Answers(0)}}},
      {.name = "GetFieldID",
       .run = [c] { return Json(c->management.GetFieldID("TREND")); },
       .bestEffort = {{"DECODFT", "not found", Answers(-1)}}},
      {.name = "GetTagName",
       .run = [c] { return Json(c->management.GetTagName(c->Id("LI401"))); },
       .bestEffort = {{"GETNAMDB_LNAME", "no name", Answers("")}}},
      {.name = "GetFieldName",
       .run = [c] { return Json(c->management.GetFieldName(c->Id("TI101"), c->Field("TREND"))); },
       .bestEffort = {{"GETFTDB_LNAME", "no name", Answers("")}}},
      {.name = "FindNonexistingTags",
       .run = [c] { return ToJson(c->management.FindNonexistingTags({"TI101", "TI999", "P101"})); }},
      {.name = "GetAllDefinitionTags", .run = [c] { return ToJson(c->management.GetAllDefinitionTags()); }},
      {.name = "GetTagNamesByDefinition",
       .run = [c, definitions] { return ToJson(c->management.GetTagNamesByDefinition(definitions)); },
      },
      {.name = "MakeTagsUsable",
       .prepare = reopened,
       .run =
           [c] {
             c->management.MakeTagsUsable({"AI_SPARE1", "NO_SUCH_TAG", "TI101"}, true);
             return Json();
           },
       .observe = [c] { return ToJson(c->management.AreTagsUsable({c->Id("AI_SPARE1"), c->Id("TI101")})); }},
      {.name = "CreateTags",
       .prepare = reopened,
       .run =
           [c] {
             return ToJson(
                 c->management.CreateTags({{"VN_AnalogDef", {"TI101", "TI103"}}, {"VN_TextDef", {"TX_NEW"}}}));
           },
       .observe =
           [c] {
             return ToJson(c->management.GetTagNamesByDefinition(TagNames{"VN_AnalogDef", "VN_TextDef"}));
           },
       .bestEffort = {{"CREATERECORD", "a tag the database refuses to create is left out", NotCreated}}},
      {.name = "GetTagTypeByName", .run = [c] { return ToJson(c->management.GetTagTypeByName("TI101")); }},
      {.name = "GetTagIdentifiersByDefinition",
       .run = [c, definitions] { return ToJson(c->management.GetTagIdentifiersByDefinition(definitions)); },
      },
      {.name = "GetServerVersion", .run = [c] { return ToJson(c->management.GetServerVersion()); }},
      {.name = "GetProcessTagDefinitions",
       .run = [c] { return ToJson(c->management.GetProcessTagDefinitions()); },
       .bestEffort = {{"GETDATATYPES", "a branch entry the database will not type is left out", LeftOut}}},
      {.name = "GetTagIdentifiersWithSameDefinition",
       .run = [c] { return ToJson(c->management.GetTagIdentifiersWithSameDefinition(c->Id("TI101"), 3)); }},
      {.name = "GetMapRecordsByDefinitionTags",
       .prepare = refreshed,
       .run = [c, definitions] { return ToJson(c->management.GetMapRecordsByDefinitionTags(definitions, true)); },
      },
      {.name = "GetDefinitionIdentifierByTagName",
       .run =
           [c] {
             return ToJson(c->management.GetDefinitionIdentifierByTagName({"TI101", "VN_TextDef", "NO_SUCH_TAG"}));
           },
      },
      {.name = "GetSelectors",
       .prepare = refreshed,
       .run =
           [c] {
             return ToJson(c->management.GetSelectors(TagsById{{c->Id("P101"), {c->Field("MODE"), c->Field("STATE")}},
                                                   {c->Id("TI101"), {c->Field("VALUE")}}}));
           },
       .bestEffort = {leftOut("RDBVALS"), leftOut("FIELDDEFNINFO")}},
      {.name = "AreTagsUsable",
       .run = [c] { return ToJson(c->management.AreTagsUsable({c->Id("TI101"), c->Id("AI_SPARE1"), 999999})); }},
      {.name = "AreFieldsReadOnly",
       .prepare = refreshed,
       .run =
           [c] {
             return ToJson(
                 c->management.AreFieldsReadOnly({{c->Id("TI101"), {c->Field("DESCRIPTION"), c->Field("VALUE")}},
                                                  {c->Id("CALC_COOLING"), {c->Field("CALC_RESULT")}}},
                                                 true));
           },
       .bestEffort = {{"FIELDDEFNINFO", "a definition that cannot be read forbids nothing", FailsOpen},
                      {"GETFLDPERMIS", "a permission that cannot be read forbids nothing", FailsOpen}}},
      {.name = "GetHistoryInfo",
       .run =
           [c] {
             return ToJson(c->management.GetHistoryInfo({{c->Id("PI201"), {c->Field("VALUE"), c->Field("UNITS")}},
                                             {c->Id("TI101"), {c->Field("VALUE")}}}));
           },
       .bestEffort = {leftOut("FieldHistoryInfo")}},
      {.name = "GetDefinitionIDs",
       .run = [c] { return ToJson(c->management.GetDefinitionIDs({c->Id("XV501"), c->Id("TI101"), 999999})); }},
      {.name = "FindReferences",
       .run = [c] { return ToJson(c->management.FindReferences({"TI101", "P101", "FI301"})); },
       .bestEffort = {{"GETDATATYPES", "lines the database will not type are not searched", LeftOut}}},
      {.name = "FindReferencesBySource",
       .run =
           [c] {
             return ToJson(c->management.FindReferencesBySource(TagNames{"TI101", "PI201"},
                                                                ReferenceSourceTypeEnum::RecordReference));
           }},
  };
}

class ManagementFaultSweepTest : public ::testing::TestWithParam<std::tuple<std::size_t, int16_t>> {
 protected:
  static void SetUpTestSuite() { dorvik::Reset(); }
  void SetUp() override { context_ = std::make_unique<Context>(); }
  void TearDown() override {
    context_.reset();
    dorvik::Reset();
  }

  std::unique_ptr<Context> context_;
};

TEST_P(ManagementFaultSweepTest, EndsEqualInAFaultOrAsIntended) {
  const auto [index, code] = GetParam();
  const SweptOperation op = Operations(context_.get()).at(index);
  const auto report = vantrel::testing::SweepFaults(
      op, code, [whole = &context_->whole] { return vantrel::testing::DefinitionCacheProblems(*whole); });
  if (op.name != "GetServerVersion") {
    EXPECT_GT(report.calls, 0u) << op.name << " makes no engine call: it has nothing to sweep";
  }
  EXPECT_THAT(report.failures, IsEmpty());
}

std::string ParamName(const ::testing::TestParamInfo<ManagementFaultSweepTest::ParamType>& info) {
  const auto [index, code] = info.param;
  return Operations(nullptr).at(index).name + "_" + std::to_string(-code);
}

INSTANTIATE_TEST_SUITE_P(EveryOperationAndCode, ManagementFaultSweepTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, Operations(nullptr).size()),
                                            ::testing::ValuesIn(vantrel::testing::EngineErrorCodes())),
                         ParamName);

// Every public operation of Management is swept.
TEST(ManagementFaultSweep, SweepsEveryOperation) {
  std::vector<std::string> swept;
  for (const SweptOperation& op : Operations(nullptr)) swept.push_back(op.name);
  std::vector<std::string> declared;
  for (const auto& operation : Management::kOperations) declared.emplace_back(operation.Name);
  EXPECT_EQ(swept, declared);
}

}  // namespace
}  // namespace vantrel::access
