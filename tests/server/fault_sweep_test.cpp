// Every public operation of ServerManagement that calls the engine, with
// every engine error code at every one of its engine calls: the outcome is
// the fault-free one, a service fault with a reason (SetTLSData), or an
// answer the operation gives on purpose (listed with it).
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "api/dorvik.h"
#include "engine/control.h"
#include "server/server_management.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using ::testing::IsEmpty;
using vantrel::testing::Answers;
using vantrel::testing::Json;
using vantrel::testing::SweptOperation;

constexpr const char* kKey = "{5c2e9a41-7b3d-4f06-a8e2-19d4c6b07f3a}";

// The rights level of the calling thread's user on the plant's first tag
// (3 for VNT\owner, 2 for everyone else), asked without faults.
int32_t RightsLevel() {
  const int32_t id = NAME2RECID(vantrel::testing::kTag1, 5);
  int32_t field = 0;
  ERRBLOCK error{};
  DECODFT("VALUE", 5, &field, &error);
  int32_t allowed = 0, level = -1;
  GETFLDPERMIS(id, field, 2, &allowed, &level, &error);
  return level;
}

std::vector<SweptOperation> Operations(ServerManagement* server) {
  return {
      {.name = "GetVntGroup200FolderPath",
       .run = [server] { return Json(server->GetVntGroup200FolderPath()); },
       .raisesFaults = false,
       .bestEffort = {{"GetVntEnvironmentVariable", "not set", Answers("")}}},
      {.name = "GetVntEnvironmentVariable",
       .run = [server] { return Json(server->GetVntEnvironmentVariable("DORVIK_GROUP_NAME")); },
       .raisesFaults = false,
       .bestEffort = {{"GetVntEnvironmentVariable", "not set", Answers("")}}},
      {.name = "SetTLSData",
       .prepare = [] { SetTlsData("VNT", "someone"); },
       .run =
           [server] {
             server->SetTLSData(kKey, "VNT\\owner");
             return Json();
           },
       .observe = [] { return Json(RightsLevel()); }},
  };
}

class ServerFaultSweepTest : public ::testing::TestWithParam<std::tuple<std::size_t, int16_t>> {
 protected:
  void SetUp() override {
    auto plant = vantrel::testing::PlantBuilder();
    plant.Environment("DORVIK_GROUP_FOLDER_NAME", "/srv/plant", true).Grant("VNT\\owner", vantrel::testing::kTag1, 3);
    vantrel::testing::InstallDatabase(plant);
  }
  void TearDown() override { dorvik::Reset(); }

  ServerManagement server_;
};

TEST_P(ServerFaultSweepTest, EndsEqualInAFaultOrAsIntended) {
  const auto [index, code] = GetParam();
  const SweptOperation op = Operations(&server_).at(index);
  const auto report = vantrel::testing::SweepFaults(op, code, [] { return std::string(); });
  EXPECT_GT(report.calls, 0u) << op.name << " makes no engine call: it has nothing to sweep";
  EXPECT_THAT(report.failures, IsEmpty());
}

std::string ParamName(const ::testing::TestParamInfo<ServerFaultSweepTest::ParamType>& info) {
  const auto [index, code] = info.param;
  return Operations(nullptr).at(index).name + "_" + std::to_string(-code);
}

INSTANTIATE_TEST_SUITE_P(EveryOperationAndCode, ServerFaultSweepTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, Operations(nullptr).size()),
                                            ::testing::ValuesIn(vantrel::testing::EngineErrorCodes())),
                         ParamName);

// Every public operation is swept, but GetMaxHistorySizePerCall: a constant
// that reaches no engine.
TEST(ServerFaultSweep, SweepsEveryOperationThatCallsTheEngine) {
  std::vector<std::string> swept;
  for (const SweptOperation& op : Operations(nullptr)) swept.push_back(op.name);
  std::vector<std::string> declared;
  for (const auto& operation : ServerManagement::kOperations) {
    if (operation.Name != "GetMaxHistorySizePerCall") declared.emplace_back(operation.Name);
  }
  EXPECT_EQ(swept, declared);
}

}  // namespace
}  // namespace vantrel::access
