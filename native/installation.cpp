#include "native/installation.h"

#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "platform/host.h"
#include "platform/registry.h"

namespace vantrel::access {
namespace {

constexpr const char* kEmpty = "";
constexpr const char* kErrorCaption = "Error";
constexpr const char* kVantrelKey = "SOFTWARE\\Korvane\\Vantrel";
constexpr const char* kCurrentVersionKey = "SOFTWARE\\Korvane\\Vantrel\\CurrentVersion";
constexpr const char* kTaskServiceKeyPrefix = "System\\CurrentControlSet\\Services\\DvkTskSrv";

constexpr std::size_t kValueBufferSize = 255;
constexpr std::size_t kKeyBufferSize = 256;
constexpr std::size_t kAccountBufferSize = 4096;

// Copies text as single-byte characters into buffer, cut to fit with its
// terminator, and returns the buffer.
template <std::size_t N>
const char* Store(std::array<char, N>& buffer, const std::string& text) {
  const std::string bytes = platform::ToAnsi(text);
  const std::size_t count = std::min(::strnlen(bytes.data(), bytes.size()), N - 1);
  std::memcpy(buffer.data(), bytes.data(), count);
  buffer[count] = '\0';
  return buffer.data();
}

// The value of a key as text, with the key's absence told apart.
struct KeyValue {
  bool keyFound = false;
  std::optional<std::string> value;
};

KeyValue ReadValue(const std::string& keyPath, const std::string& valueName) {
  const auto key = platform::RegistryKey::OpenLocalMachine(keyPath);
  if (!key) return {};
  return {true, key->GetString(valueName)};
}

}  // namespace

const char* GetCurrentVersion() {
  thread_local std::array<char, kValueBufferSize> buffer{};
  const KeyValue read = ReadValue(kCurrentVersionKey, "VANTREL_VERSION");
  if (!read.keyFound) {
    platform::ShowMessageBox("Installation information read failed.\nTrying to read Vantrel current version.",
                             kErrorCaption);
    platform::ExitProcess(0);
  }
  if (!read.value) {
    platform::ShowMessageBox("Registry Installation Read problem for Vnt version", kErrorCaption);
    return kEmpty;
  }
  return Store(buffer, *read.value);
}

const char* GetCurrentVantrelBase(const char* version) {
  thread_local std::array<char, kValueBufferSize> buffer{};
  std::array<char, kKeyBufferSize> keyPath{};
  Store(keyPath, std::string(kVantrelKey) + "\\" + platform::FromAnsi(version != nullptr ? version : ""));
  const KeyValue read = ReadValue(platform::FromAnsi(keyPath.data()), "VANTREL_BASE");
  if (!read.keyFound) {
    platform::ShowMessageBox("Registry Installation Read problem in GetCurrentVantrelBase", kErrorCaption);
    return kEmpty;
  }
  if (!read.value) {
    platform::ShowMessageBox("Registry Installation Read problem for Vnt version in GetCurrentVantrelBase",
                             kErrorCaption);
    return kEmpty;
  }
  return Store(buffer, *read.value);
}

const char* GetInstallBaseFolder() {
  thread_local std::array<char, kValueBufferSize> buffer{};
  const char* version = GetCurrentVersion();
  if (*version == '\0') return kEmpty;
  return Store(buffer, platform::FromAnsi(GetCurrentVantrelBase(version)));
}

const char* GetGroupName() {
  thread_local std::array<char, kValueBufferSize> buffer{};
  const char* value = c21_getenv("DORVIK_GROUP_NAME");
  if (value == nullptr) return kEmpty;
  return Store(buffer, platform::FromAnsi(value));
}

const char* GetTaskServiceAccount() {
  thread_local std::array<char, kAccountBufferSize> buffer{};
  const char* group = GetGroupName();
  if (*group == '\0') return kEmpty;
  const KeyValue read = ReadValue(std::string(kTaskServiceKeyPrefix) + platform::FromAnsi(group), "ObjectName");
  if (!read.value) return kEmpty;
  return Store(buffer, *read.value);
}

}  // namespace vantrel::access
