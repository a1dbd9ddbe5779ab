// Credentials: what an Authorization header claims, before anything is
// checked. Pure functions, thread-safe.
#ifndef VANTREL_HOST_AUTH_CREDENTIALS_H_
#define VANTREL_HOST_AUTH_CREDENTIALS_H_

#include <string>
#include <string_view>
#include <variant>

namespace vantrel::host::auth {

struct NoCredentials {};
struct BasicCredentials {
  std::string user;      // as sent: may carry a "DOMAIN\" prefix
  std::string password;  // may be empty
};
struct BearerCredentials {
  std::string token;
};
struct MalformedCredentials {
  std::string reason;  // for the log
};
using Credentials = std::variant<NoCredentials, BasicCredentials, BearerCredentials, MalformedCredentials>;

// The longest Authorization header looked at; a longer one is malformed.
inline constexpr size_t kMaxAuthorizationBytes = 8192;

// Reads an Authorization header value: empty (or blanks) is NoCredentials;
// the scheme names compare without case, as HTTP says.
Credentials ParseAuthorization(std::string_view header);

// The login name of a Basic user that may be written "DOMAIN\name": the
// name when the domain is absent or equals domain (without case); empty
// when it names another domain.
std::string LoginName(std::string_view user, std::string_view domain);

// The address part of a source written "ADDRESS", "IPv4:PORT" or
// "[IPv6]:PORT", so that the failure throttle counts per address rather
// than per connection.
std::string SourceAddress(std::string_view source);

// text made safe for a log line: control and non-ASCII bytes become '?',
// at most 64 characters.
std::string LogSafe(std::string_view text);

}  // namespace vantrel::host::auth

#endif  // VANTREL_HOST_AUTH_CREDENTIALS_H_
