// ServerManagement::SetTLSData with any key and any user context (the input
// split at its first line feed): the call succeeds only for the library's
// key, and otherwise ends in a service fault with a reason that leaves the
// thread's database user context as it was (seen through the rights the
// database gives the thread on a record).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "api/dorvik.h"
#include "engine/control.h"
#include "fuzz/fuzz_check.h"
#include "platform/fault.h"
#include "server/guid.h"
#include "server/server_management.h"
#include "tests/support/test_plant.h"

namespace {

using vantrel::access::Guid;

constexpr const char* kKey = "5C2E9A41-7B3D-4F06-A8E2-19D4C6B07F3A";

// The rights level of the calling thread's user on the plant's first tag:
// 3 for VNT\owner, 2 for everyone else.
int32_t RightsLevel() {
  static const IDANDFT item = [] {
    dorvik::DatabaseBuilder plant = vantrel::testing::PlantBuilder();
    plant.Grant("VNT\\owner", vantrel::testing::kTag1, 3);
    dorvik::Install(plant);
    int32_t field = 0;
    ERRBLOCK error{};
    DECODFT("VALUE", 5, &field, &error);
    return IDANDFT{NAME2RECID(vantrel::testing::kTag1, 5), field};
  }();
  int32_t allowed = 0, level = -1;
  ERRBLOCK error{};
  GETFLDPERMIS(item.ID, item.FT, 2, &allowed, &level, &error);
  return level;
}

bool IsTheKey(std::string_view key) {
  try {
    return Guid::Parse(key) == Guid::Parse(kKey);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = std::min(input.find('\n'), input.size());
  const std::string key(input.substr(0, split));
  const std::string context(input.substr(std::min(split + 1, input.size())));

  RightsLevel();
  SetTlsData("VNT", "owner");
  FUZZ_CHECK(RightsLevel() == 3, "the owner's rights");
  vantrel::access::ServerManagement server;
  try {
    server.SetTLSData(key, context);
    FUZZ_CHECK(IsTheKey(key), "only the library's key sets the context");
  } catch (const vantrel::platform::FaultException& fault) {
    FUZZ_CHECK(!fault.Reason().value_or("").empty(), "a refusal says why");
    FUZZ_CHECK(RightsLevel() == 3, "a refusal leaves the context as it was");
  }
  return 0;
}
