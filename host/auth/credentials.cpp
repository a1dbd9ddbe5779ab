#include "host/auth/credentials.h"

#include <algorithm>

#include "host/auth/secrets.h"

namespace vantrel::host::auth {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return lower(x) == lower(y);
         });
}

Credentials ParseBasic(std::string_view encoded) {
  std::optional<std::string> decoded = DecodeBase64(encoded);
  if (!decoded) return MalformedCredentials{"Basic credentials are not base64"};
  size_t colon = decoded->find(':');
  if (colon == std::string::npos) return MalformedCredentials{"Basic credentials without a colon"};
  BasicCredentials basic{decoded->substr(0, colon), decoded->substr(colon + 1)};
  std::fill(decoded->begin(), decoded->end(), '\0');
  return basic;
}

}  // namespace

Credentials ParseAuthorization(std::string_view header) {
  header = Trim(header);
  if (header.empty()) return NoCredentials{};
  if (header.size() > kMaxAuthorizationBytes) return MalformedCredentials{"Authorization header too long"};
  size_t space = header.find_first_of(" \t");
  std::string_view scheme = header.substr(0, space);
  std::string_view value = space == std::string_view::npos ? std::string_view() : Trim(header.substr(space));
  if (value.empty()) return MalformedCredentials{"Authorization header without credentials"};
  if (EqualsNoCase(scheme, "Basic")) return ParseBasic(value);
  if (EqualsNoCase(scheme, "Bearer")) return BearerCredentials{std::string(value)};
  return MalformedCredentials{"unsupported Authorization scheme \"" + LogSafe(scheme) + "\""};
}

std::string LoginName(std::string_view user, std::string_view domain) {
  size_t backslash = user.find('\\');
  if (backslash == std::string_view::npos) return std::string(user);
  if (!EqualsNoCase(user.substr(0, backslash), domain)) return {};
  return std::string(user.substr(backslash + 1));
}

std::string SourceAddress(std::string_view source) {
  if (!source.empty() && source.front() == '[') {
    size_t close = source.find(']');
    if (close != std::string_view::npos) return std::string(source.substr(1, close - 1));
  }
  if (std::count(source.begin(), source.end(), ':') == 1) return std::string(source.substr(0, source.find(':')));
  return std::string(source);
}

std::string LogSafe(std::string_view text) {
  std::string safe(text.substr(0, 64));
  for (char& c : safe) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  return safe;
}

}  // namespace vantrel::host::auth
