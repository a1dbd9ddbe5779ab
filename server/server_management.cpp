#include "server/server_management.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/fault.h"
#include "platform/identity.h"
#include "server/guid.h"
#include "session/session.h"

namespace vantrel::access {
namespace {

constexpr std::size_t kEnvironmentBufferSize = dorvik::api::kEnvironmentValueSize;
constexpr std::string_view kGroupFolderVariable = "DORVIK_GROUP_FOLDER_NAME";

// The key a caller presents to set a user context, read once.
const Guid& gNTLMKeyGuid() {
  static const Guid key = Guid::Parse("5C2E9A41-7B3D-4F06-A8E2-19D4C6B07F3A");
  return key;
}

}  // namespace

std::string ServerManagement::GetVntEnvironmentVariable(const std::string& variableName) {
  std::array<char, kEnvironmentBufferSize> name{};
  std::array<char, kEnvironmentBufferSize> value{};
  Session::ConvertStringToCharArray(variableName, name, static_cast<int32_t>(name.size() - 1));
  const int32_t count = ::GetVntEnvironmentVariable(name.data(), value.data(), static_cast<int32_t>(value.size()));
  if (count <= 0) return {};
  return platform::FromAscii(std::string_view(value.data(), std::min<std::size_t>(count, value.size())));
}

std::string ServerManagement::GetVntGroup200FolderPath() {
  return GetVntEnvironmentVariable(std::string(kGroupFolderVariable));
}

void ServerManagement::SetTLSData(const std::string& key, const std::string& userContext) {
  platform::RunServiceOperation([&] {
    if (Guid::Parse(key) != gNTLMKeyGuid()) {
      throw platform::Exception("Key is not recognized for setting user context");
    }
    const auto account = platform::AccountName::Parse(userContext);
    Session::SetUserInfo(account.Domain, account.User);
  });
}

}  // namespace vantrel::access
