#include "platform/registry.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

#include <fmt/format.h>

#include "platform/exceptions.h"

namespace vantrel::platform {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kLocalMachine = "hkey_local_machine";
constexpr std::array<std::string_view, 4> kOtherHives = {"hkey_classes_root", "hkey_current_user",
                                                         "hkey_users", "hkey_current_config"};
constexpr size_t kMaxDwordDigits = 8;

// Values of one key by lower-case name; nothing for a value that is not a
// string (dword:, hex:).
using KeyValues = std::map<std::string, std::optional<std::string>>;
// Keys of HKEY_LOCAL_MACHINE by lower-case path.
using LocalMachineKeys = std::map<std::string, KeyValues>;

std::string ToLowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string_view TrimBlanks(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A key path as stored: lower-case, without surrounding backslashes.
std::string NormalizePath(std::string_view path) {
  const size_t first = path.find_first_not_of('\\');
  if (first == std::string_view::npos) return {};
  return ToLowerAscii(path.substr(first, path.find_last_not_of('\\') - first + 1));
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads a REGEDIT4 export line by line into the keys of HKEY_LOCAL_MACHINE.
class RegistryFileParser {
 public:
  RegistryFileParser(std::string fileName, std::istream& in)
      : fileName_(std::move(fileName)), in_(in) {}

  LocalMachineKeys Parse() {
    std::string_view line;
    while (NextLine(line) && line.empty()) {
    }
    if (line.starts_with(kUtf8ByteOrderMark)) line.remove_prefix(kUtf8ByteOrderMark.size());
    if (line != kHeader) Fail("expected the header line REGEDIT4");
    while (NextLine(line)) {
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        StartKey(line);
      } else if (line.front() == '"' || line.front() == '@') {
        ReadValue(line);
      } else {
        Fail(fmt::format("unexpected text \"{}\"", line));
      }
    }
    return std::move(keys_);
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw IOException(fmt::format("{}:{}: {}", fileName_, std::max<size_t>(lineNumber_, 1), what));
  }

  // The next line without surrounding blanks; false at the end of the file.
  bool NextLine(std::string_view& line) {
    if (!std::getline(in_, lineText_)) {
      if (in_.bad()) Fail("read error");
      return false;
    }
    ++lineNumber_;
    line = TrimBlanks(lineText_);
    return true;
  }

  void StartKey(std::string_view line) {
    if (line.back() != ']') Fail("a key line must end with ]");
    const std::string_view path = line.substr(1, line.size() - 2);
    if (path.starts_with('-')) Fail("key deletions are not supported");
    const size_t slash = path.find('\\');
    const std::string hive = ToLowerAscii(path.substr(0, slash));
    if (hive == kLocalMachine) {
      current_ = &keys_[NormalizePath(slash == std::string_view::npos ? "" : path.substr(slash))];
    } else if (std::find(kOtherHives.begin(), kOtherHives.end(), hive) != kOtherHives.end()) {
      current_ = nullptr;  // checked, but not visible
    } else {
      Fail(fmt::format("unknown root key \"{}\"", path.substr(0, slash)));
    }
    inKey_ = true;
  }

  // A quoted text with \\ and \" escapes starting at text[pos] == '"';
  // pos ends after the closing quote.
  std::string ReadQuoted(std::string_view text, size_t& pos) const {
    std::string unquoted;
    for (++pos; pos < text.size(); ++pos) {
      const char c = text[pos];
      if (c == '"') {
        ++pos;
        return unquoted;
      }
      if (c == '\\') {
        if (++pos == text.size() || (text[pos] != '\\' && text[pos] != '"')) {
          Fail("only \\\\ and \\\" may follow a backslash in a quoted text");
        }
      }
      unquoted += text[pos];
    }
    Fail("a quoted text lacks its closing quote");
  }

  void ReadValue(std::string_view line) {
    if (!inKey_) Fail("a value must follow a key line");
    const bool isDefault = line.front() == '@';
    size_t pos = isDefault ? 1 : 0;
    const std::string name = isDefault ? std::string() : ReadQuoted(line, pos);
    const std::string_view rest = TrimBlanks(line.substr(pos));
    if (!rest.starts_with('=')) Fail("expected = after the value name");
    std::optional<std::string> data = ReadData(TrimBlanks(rest.substr(1)));
    if (current_ != nullptr) (*current_)[ToLowerAscii(name)] = std::move(data);
  }

  // The data after "=": a quoted string (returned), or dword:/hex: data
  // (checked; nothing returned, as it is no string).
  std::optional<std::string> ReadData(std::string_view data) {
    if (data.starts_with('"')) {
      size_t pos = 0;
      std::string text = ReadQuoted(data, pos);
      if (!TrimBlanks(data.substr(pos)).empty()) Fail("unexpected text after a quoted value");
      return text;
    }
    if (data.starts_with("dword:")) {
      const std::string_view digits = data.substr(6);
      if (digits.empty() || digits.size() > kMaxDwordDigits ||
          !std::all_of(digits.begin(), digits.end(), IsHexDigit)) {
        Fail("a dword value needs one to eight hexadecimal digits");
      }
      return std::nullopt;
    }
    if (data.starts_with("hex")) {
      CheckHexBytes(
          data.substr(data.find(':') == std::string_view::npos ? data.size() : data.find(':') + 1),
          data);
      return std::nullopt;
    }
    if (data == "-") Fail("value deletions are not supported");
    Fail(fmt::format("unrecognised value data \"{}\"", data));
  }

  // "hex:" or "hex(n):" bytes "0a,ff,...", continued on further lines after
  // a trailing backslash.
  void CheckHexBytes(std::string_view bytes, std::string_view data) {
    const std::string_view kind = data.substr(0, data.size() - bytes.size());
    const bool typed = kind.size() > 5 && kind.starts_with("hex(") && kind.ends_with("):") &&
                       std::all_of(kind.begin() + 4, kind.end() - 2, IsHexDigit);
    if (kind != "hex:" && !typed) Fail("expected hex: or hex(n): before binary data");
    std::string joined(bytes);
    while (!joined.empty() && joined.back() == '\\') {
      joined.pop_back();
      std::string_view next;
      if (!NextLine(next)) Fail("binary data continues past the end of the file");
      joined += next;
    }
    CheckByteList(joined);
  }

  void CheckByteList(std::string_view list) {
    list = TrimBlanks(list);
    while (!list.empty()) {
      const size_t comma = list.find(',');
      const std::string_view byte = TrimBlanks(list.substr(0, comma));
      if (byte.size() != 2 || !IsHexDigit(byte[0]) || !IsHexDigit(byte[1])) {
        Fail(fmt::format("\"{}\" is not a hexadecimal byte", byte));
      }
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
      if (TrimBlanks(list).empty()) Fail("a byte must follow the comma");
    }
  }

  std::string fileName_;
  std::istream& in_;
  std::string lineText_;
  size_t lineNumber_ = 0;
  LocalMachineKeys keys_;
  KeyValues* current_ = nullptr;
  bool inKey_ = false;
};

// The local machine's keys from the file named by VANTREL_REGISTRY; none
// when the variable is unset or the file does not exist.
LocalMachineKeys ReadLocalMachine() {
  const char* fileName = std::getenv(kRegistryFileVariable);
  if (fileName == nullptr || fileName[0] == '\0') return {};
  std::ifstream in(fileName, std::ios::binary);
  if (!in) {
    std::error_code error;
    if (!std::filesystem::exists(fileName, error)) return {};
    throw IOException(fmt::format("{}: the registry file cannot be read", fileName));
  }
  return RegistryFileParser(fileName, in).Parse();
}

}  // namespace

std::optional<RegistryKey> RegistryKey::OpenLocalMachine(const std::string& path) {
  const LocalMachineKeys keys = ReadLocalMachine();
  const std::string wanted = NormalizePath(path);
  if (const auto key = keys.find(wanted); key != keys.end()) {
    std::map<std::string, std::string> strings;
    for (const auto& [name, value] : key->second) {
      if (value) strings.emplace(name, *value);
    }
    return RegistryKey(std::move(strings));
  }
  // A key that only its subkeys name exists too, without values.
  const std::string prefix = wanted + "\\";
  const auto below = keys.lower_bound(prefix);
  if (below != keys.end() && below->first.starts_with(prefix)) {
    return RegistryKey({});
  }
  return std::nullopt;
}

std::optional<std::string> RegistryKey::GetString(const std::string& name) const {
  const auto value = values_.find(ToLowerAscii(name));
  if (value == values_.end()) return std::nullopt;
  return value->second;
}

}  // namespace vantrel::platform
