// Session operations that translate between names and identifiers, hand
// text to the client library in fixed single-byte buffers, and convert
// timestamps.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/time_zone.h"
#include "session/session.h"

namespace vantrel::access {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;
namespace api = dorvik::api;

using NameBuffer = std::array<char, api::kNameBufferSize>;
using FieldNameBuffer = std::array<char, api::kFieldNameBufferSize>;
constexpr int32_t kMaxNameCharacters = static_cast<int32_t>(api::kNameBufferSize) - 1;
constexpr std::size_t kEnvironmentNameBufferSize = 256;

// Intervals of 100 ns from 1601-01-01 to 1970-01-01.
constexpr int64_t kFileTimeToUnixEpoch = 116444736000000000;
constexpr int64_t kTicksPerMicrosecond = 10;

// Plain ASCII without a zero character, the usual name: storable text that
// is its own code-page form, one byte a character.
bool IsPlainAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<uint8_t>(c - 1) < 0x7F; });
}

// A name in a 257-byte buffer, cut to 256 characters and zero-terminated,
// and its length in bytes; nothing for a name that is not storable text, as
// no name in the database can match it.
std::optional<int16_t> NameToBuffer(const std::string& name, NameBuffer& buffer) {
  if (IsPlainAscii(name)) {  // checked and copied in one pass
    const auto count = std::min<std::size_t>(name.size(), kMaxNameCharacters);
    std::memcpy(buffer.data(), name.data(), count);
    buffer[count] = '\0';
    return static_cast<int16_t>(count);
  }
  if (!Session::IsStorableText(name)) return std::nullopt;
  return static_cast<int16_t>(Session::ConvertStringToCharArray(name, buffer, kMaxNameCharacters));
}

// A zero character shown as \0, so that a message shows all of the text.
std::string Printable(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace

std::string Session::ReturnedText(std::span<const char> buffer, int16_t length) {
  const auto count = std::min<std::size_t>(length < 0 ? 0 : static_cast<std::size_t>(length), buffer.size());
  return platform::FromAsciiTrimmed(std::string_view(buffer.data(), count));
}

std::size_t Session::ConvertStringToCharArray(std::string_view source, std::span<char> dest, int32_t length) {
  if (dest.empty()) return 0;
  const auto limit = std::min<std::size_t>(length < 0 ? 0 : static_cast<std::size_t>(length), dest.size() - 1);
  if (platform::IsAscii(source)) {  // its own code-page form, one byte a character
    const std::size_t count = ::strnlen(source.data(), std::min(source.size(), limit));
    std::memcpy(dest.data(), source.data(), count);
    dest[count] = '\0';
    return count;
  }
  const std::string bytes = platform::ToAnsi(platform::CutToCharacters(source, limit));
  const std::size_t count = std::min(::strnlen(bytes.data(), bytes.size()), limit);
  std::memcpy(dest.data(), bytes.data(), count);
  dest[count] = '\0';
  return count;
}

bool Session::IsStorableText(std::string_view text) {
  if (IsPlainAscii(text)) return true;  // the usual name, in one pass
  return text.find('\0') == std::string_view::npos && platform::ToAnsiExact(text).has_value();
}

void Session::RequireStorableText(std::string_view text, std::string_view kind) {
  if (IsStorableText(text)) return;
  if (text.find('\0') != std::string_view::npos) {
    throw platform::ArgumentException(fmt::format(
        "The {0} \"{1}\" holds a zero character, which would end it in the database.", kind, Printable(text)));
  }
  if (!platform::ToAnsiExact(text)) {
    throw platform::ArgumentException(fmt::format(
        "The {0} \"{1}\" has characters that the database's code page cannot hold.", kind, text));
  }
}

void Session::SetUserInfo(const std::string& domain, const std::string& user) {
  // Accounts that differ only in characters the database cannot hold must
  // not become one user context.
  RequireStorableText(domain + "\\" + user, "account");
  NameBuffer domainBuffer{};
  NameBuffer userBuffer{};
  NameToBuffer(domain, domainBuffer);
  NameToBuffer(user, userBuffer);
  SetTlsData(domainBuffer.data(), userBuffer.data());
}

int32_t Session::GetRecordID(const std::string& tagName) {
  NameBuffer buffer;  // filled up to its terminator
  const auto length = NameToBuffer(tagName, buffer);
  if (!length) return 0;
  return NAME2RECID(buffer.data(), *length);
}

bool Session::IsRecordExist(const std::string& name) { return GetRecordID(name) > 0; }

int32_t Session::GetAttributeID(const std::string& fieldName) {
  int32_t fieldTag = -1;
  NameBuffer buffer;  // filled up to its terminator
  const auto length = NameToBuffer(fieldName, buffer);
  if (!length) return fieldTag;
  ERRBLOCK error{};
  DECODFT(buffer.data(), *length, &fieldTag, &error);
  return fieldTag;
}

std::string Session::GetRecordName(int32_t recid) {
  NameBuffer buffer{};
  int16_t length = 0;
  const int32_t id = recid;
  GETNAMDB_LNAME(&id, buffer.data(), &length);
  return ReturnedText(buffer, length);
}

std::string Session::GetAttributeNameWithOccurenceNumber(int32_t recid, int32_t fldid) {
  FieldNameBuffer buffer{};
  int16_t length = 0;
  GETFTDB_LNAME(recid, fldid, buffer.data(), &length);
  return ReturnedText(buffer, length);
}

int32_t Session::DefinitionOf(int32_t recid) {
  return RECTYPEOK(recid, api::kKindDefinition) != 0 ? recid : DEFINID(recid);
}

int32_t Session::GetDefinitionRecordID(const std::string& tagName) {
  return DefinitionOf(GetRecordID(tagName));
}

int32_t Session::GetDefinitionID(int32_t recid) { return DEFINID(recid); }

XUSTS Session::DateTimeToXusts(const DateTime& fromTime) {
  const DateTime utc =
      fromTime.Kind() == DateTimeKind::Utc ? fromTime : platform::ToUniversalTime(fromTime);
  const int64_t fileTime = utc.Ticks() - DateTime::kFileTimeEpochTicks;
  if (fileTime < 0) {
    throw platform::ArgumentOutOfRangeException(
        fmt::format("The time {} lies before 1601-01-01 UTC and has no native form.", utc.ToIsoString()));
  }
  const int64_t sinceEpoch = fileTime - kFileTimeToUnixEpoch;
  const int64_t seconds = sinceEpoch / DateTime::kTicksPerSecond;
  // A second count beyond 32 bits would wrap to a different time.
  if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max()) {
    throw platform::ArgumentOutOfRangeException(
        fmt::format("The time {} lies outside the native time range.", utc.ToIsoString()));
  }
  XUSTS result{};
  result.SECONDS = static_cast<int32_t>(seconds);
  result.MICROSECS =
      static_cast<int32_t>((sinceEpoch - seconds * DateTime::kTicksPerSecond) / kTicksPerMicrosecond);
  return result;
}

std::string Session::GetDorvikEnvironmentVariable(const std::string& variable) {
  if (variable.empty() || !IsStorableText(variable)) return {};  // no variable has such a name
  std::array<char, kEnvironmentNameBufferSize> name{};
  ConvertStringToCharArray(variable, name, static_cast<int32_t>(name.size()) - 1);
  const char* value = c21_getenv(name.data());
  if (value == nullptr) return {};
  return platform::FromAnsi(value);
}

}  // namespace vantrel::access
