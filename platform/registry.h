// A read-only view of the local machine's registry, read from a REGEDIT4
// text file (the regedit export format) named by the environment variable
// VANTREL_REGISTRY. Keys under [HKEY_LOCAL_MACHINE\...] hold string values
// ("name"="text", with \\ and \" escapes; @ is the default value). Key and
// value names match case-insensitively (ASCII letters), as on Windows. A
// missing file, key or value reads as missing; so does a value that is no
// string (dword:, hex:). Keys of other hives are checked but not visible; a
// key that only its subkeys name exists, without values. A malformed file
// throws IOException "<file>:<line>: <what is wrong>". Thread-safe: each
// Open reads the file anew.
#ifndef VANTREL_PLATFORM_REGISTRY_H_
#define VANTREL_PLATFORM_REGISTRY_H_

#include <map>
#include <optional>
#include <string>

namespace vantrel::platform {

class RegistryKey {
 public:
  // Opens a key below HKEY_LOCAL_MACHINE ("SOFTWARE\Korvane\Vantrel\...").
  static std::optional<RegistryKey> OpenLocalMachine(const std::string& path);

  // The text of value name, or nothing when the key has no such value.
  std::optional<std::string> GetString(const std::string& name) const;

 private:
  explicit RegistryKey(std::map<std::string, std::string> values) : values_(std::move(values)) {}
  std::map<std::string, std::string> values_;  // keyed by lower-case name
};

// The environment variable naming the registry file.
inline constexpr const char* kRegistryFileVariable = "VANTREL_REGISTRY";

}  // namespace vantrel::platform

#endif  // VANTREL_PLATFORM_REGISTRY_H_
