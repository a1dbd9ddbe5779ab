#include "global/vnt_global.h"

#include <array>
#include <cstring>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "native/base64.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/fault.h"
#include "platform/identity.h"
#include "platform/registry.h"
#include "session/resources.h"
#include "session/session.h"

namespace vantrel::access {
namespace {

constexpr std::string_view kSystemAccountKeyPattern = "SOFTWARE\\Korvane\\Vantrel\\{0}\\{1}";
constexpr std::string_view kSystemAccountValue = "VANTREL_SYSTEM_ACCOUNT";
constexpr std::string_view kLocalDomain = ".";
constexpr std::size_t kAccountBufferSize = 256;

// A database environment variable through GetVntEnvironmentVariable;
// nothing when it is unset or empty.
std::optional<std::string> EnvironmentValue(const char* name) {
  std::array<char, dorvik::api::kEnvironmentValueSize> buffer{};
  const int32_t length = GetVntEnvironmentVariable(name, buffer.data(), static_cast<int32_t>(buffer.size()));
  if (length <= 0) return std::nullopt;
  const auto count = std::min<std::size_t>(static_cast<std::size_t>(length), buffer.size());
  return platform::FromAscii(std::string_view(buffer.data(), count));
}

}  // namespace

std::atomic<int32_t>& VntGlobal::counter() {
  static std::atomic<int32_t> value{0};
  return value;
}

std::timed_mutex& VntGlobal::lockedObj() {
  static std::timed_mutex mutex;
  return mutex;
}

std::atomic<std::chrono::milliseconds::rep>& VntGlobal::lockTimeout() {
  static std::atomic<std::chrono::milliseconds::rep> timeout{kDefaultLockTimeout.count()};
  return timeout;
}

void VntGlobal::SetLockTimeout(std::chrono::milliseconds timeout) { lockTimeout() = timeout.count(); }

bool VntGlobal::InitializeVantrel() {
  std::unique_lock lock(lockedObj(), std::defer_lock);
  if (!lock.try_lock_for(std::chrono::milliseconds(lockTimeout().load()))) return false;

  const int32_t count = counter().load();
  if (count > 0) {
    counter().fetch_add(1);
    return true;
  }
  if (count < 0) {
    // More releases than takes: back to closed without opening.
    counter().store(0);
    return true;
  }
  bool accountSet = false;
  try {
    accountSet = DoVntSysAccount();
  } catch (const std::exception& error) {
    throw platform::FaultException::FromError(error);
  }
  if (!accountSet) {
    const std::string text = GetResourceString(resource::kCantImprSysAcctError).value_or("");
    throw platform::FaultException(contracts::ServiceException(platform::ApplicationException(text)), text);
  }
  if (INIDORV() == 0) return false;
  counter().store(1);
  return true;
}

bool VntGlobal::UninitializeVantrel() {
  std::unique_lock lock(lockedObj(), std::defer_lock);
  if (!lock.try_lock_for(std::chrono::milliseconds(lockTimeout().load()))) return false;
  if (counter().fetch_sub(1) - 1 == 0) {
    try {
      ENDDORV();
    } catch (...) {
      // The count is already lowered; a failing detach changes nothing more.
    }
  }
  return true;
}

int32_t VntGlobal::GetRefCount() { return counter().load(); }

void VntGlobal::Shutdown() {
  ENDDORV();
  counter().store(0);
}

std::optional<std::string> VntGlobal::GetResourceString(std::string_view name) {
  static const ResourceTable* table = ResourceTable::Open(kResourceTableName);
  if (table == nullptr) return "Unknown error";
  return table->GetString(name);
}

bool VntGlobal::DoVntSysAccount() {
  const auto group = EnvironmentValue("DORVIK_GROUP_NAME");
  if (!group) return false;
  const auto version = EnvironmentValue("VANTREL_VERSION");
  if (!version) return false;

  const auto key = platform::RegistryKey::OpenLocalMachine(fmt::format(kSystemAccountKeyPattern, *version, *group));
  if (!key) return false;
  const std::string stored = key->GetString(std::string(kSystemAccountValue)).value_or("");
  if (stored.empty()) return false;

  std::array<char, kAccountBufferSize> encoded{};
  Session::ConvertStringToCharArray(stored, encoded, static_cast<int32_t>(encoded.size()) - 1);
  std::array<char, kAccountBufferSize> decoded{};
  uint32_t decodedLength = static_cast<uint32_t>(decoded.size()) - 1;
  UUDecodeString(encoded.data(), static_cast<uint32_t>(::strnlen(encoded.data(), encoded.size())), decoded.data(),
                 &decodedLength);

  const std::string account = platform::FromAscii(
      std::string_view(decoded.data(), std::min<std::size_t>(decodedLength, decoded.size())));
  const auto name = platform::AccountName::Parse(account);
  const std::string domain = name.Domain == kLocalDomain ? platform::MachineName() : name.Domain;
  Session::SetUserInfo(domain, name.User);
  return true;
}

}  // namespace vantrel::access
