#include "host/auth/users_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "host/auth/private_file.h"

namespace vantrel::host::auth {
namespace {

constexpr std::string_view kFormatLine = "vntaccessd-users 1";
constexpr size_t kMaxFileBytes = 16u << 20;
constexpr size_t kMaxLineBytes = 4096;
constexpr size_t kMaxNameChars = 64;

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    size_t space = line.find(' ');
    fields.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  return fields;
}

bool IsHex(std::string_view text, size_t length) {
  return text.size() == length &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Reads one file's records; remembers the line for error messages.
class Parser {
 public:
  UsersFileContent Parse(std::string_view text) {
    bool sawFormat = false;
    while (!text.empty()) {
      ++lineNumber_;
      size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      if (line.size() > kMaxLineBytes) Fail("longer than " + std::to_string(kMaxLineBytes) + " bytes");
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.empty() || line.front() == '#') continue;
      if (!sawFormat) {
        if (line != kFormatLine) Fail("expected \"" + std::string(kFormatLine) + "\" as the first record");
        sawFormat = true;
        continue;
      }
      ParseRecord(SplitFields(line));
    }
    if (!sawFormat) Fail("no \"" + std::string(kFormatLine) + "\" record: not a users file");
    return std::move(content_);
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw UsersFileError("line " + std::to_string(lineNumber_) + ": " + what);
  }

  void ParseRecord(const std::vector<std::string_view>& fields) {
    if (fields[0] == "user") return ParseUser(fields);
    if (fields[0] == "token") return ParseToken(fields);
    Fail("unknown record \"" + std::string(fields[0]) + "\" (expected user or token)");
  }

  void ParseUser(const std::vector<std::string_view>& fields) {
    if (fields.size() != 4) Fail("a user record has 4 fields: user NAME ROLES PASSWORD-HASH");
    UserEntry user;
    user.name = std::string(fields[1]);
    if (!IsValidUserName(user.name)) Fail("invalid user name \"" + user.name + "\"");
    if (content_.FindUser(user.name) != nullptr) Fail("user \"" + user.name + "\" appears twice");
    if (fields[2] != "-") user.roles = SplitRoles(fields[2]);
    user.passwordHash = std::string(fields[3]);
    if (user.passwordHash.rfind("$argon2id$", 0) != 0) {
      Fail("the password hash of \"" + user.name + "\" is not argon2id");
    }
    content_.users.push_back(std::move(user));
  }

  std::vector<std::string> SplitRoles(std::string_view text) {
    std::vector<std::string> roles;
    while (true) {
      size_t comma = text.find(',');
      std::string_view role = text.substr(0, comma);
      if (!IsValidUserName(role)) Fail("invalid role \"" + std::string(role) + "\"");
      roles.emplace_back(role);
      if (comma == std::string_view::npos) return roles;
      text.remove_prefix(comma + 1);
    }
  }

  void ParseToken(const std::vector<std::string_view>& fields) {
    if (fields.size() != 5) Fail("a token record has 5 fields: token ID USER EXPIRES TOKEN-HASH");
    TokenEntry token;
    token.id = std::string(fields[1]);
    if (!IsHex(token.id, 16)) Fail("a token id is 16 lower-case hex digits");
    if (content_.FindToken(token.id) != nullptr) Fail("token " + token.id + " appears twice");
    token.user = std::string(fields[2]);
    if (!IsValidUserName(token.user)) Fail("invalid user name \"" + token.user + "\"");
    std::string_view expires = fields[3];
    auto [end, error] = std::from_chars(expires.data(), expires.data() + expires.size(), token.expires);
    if (error != std::errc() || end != expires.data() + expires.size() || token.expires < 0) {
      Fail("the expiry of token " + token.id + " is not a number of seconds");
    }
    token.hash = std::string(fields[4]);
    if (!IsHex(token.hash, 64)) Fail("the hash of token " + token.id + " is not 64 hex digits");
    content_.tokens.push_back(std::move(token));
  }

  UsersFileContent content_;
  int lineNumber_ = 0;
};

}  // namespace

bool UserEntry::HasRole(std::string_view role) const {
  return std::find(roles.begin(), roles.end(), role) != roles.end();
}

const UserEntry* UsersFileContent::FindUser(std::string_view name) const {
  auto found = std::find_if(users.begin(), users.end(), [&](const UserEntry& u) { return u.name == name; });
  return found == users.end() ? nullptr : &*found;
}

UserEntry* UsersFileContent::FindUser(std::string_view name) {
  return const_cast<UserEntry*>(std::as_const(*this).FindUser(name));
}

const TokenEntry* UsersFileContent::FindToken(std::string_view id) const {
  auto found = std::find_if(tokens.begin(), tokens.end(), [&](const TokenEntry& t) { return t.id == id; });
  return found == tokens.end() ? nullptr : &*found;
}

bool IsValidUserName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameChars || name.front() == '-' || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
}

UsersFileContent ParseUsersFile(std::string_view text) { return Parser().Parse(text); }

std::string FormatUsersFile(const UsersFileContent& content) {
  std::string text = "# vntaccessd users and tokens; edit with `vntaccessd user` and `vntaccessd token`.\n";
  text += kFormatLine;
  text += '\n';
  for (const UserEntry& user : content.users) {
    std::string roles;
    for (const std::string& role : user.roles) roles += (roles.empty() ? "" : ",") + role;
    text += "user " + user.name + " " + (roles.empty() ? "-" : roles) + " " + user.passwordHash + "\n";
  }
  for (const TokenEntry& token : content.tokens) {
    text += "token " + token.id + " " + token.user + " " + std::to_string(token.expires) + " " + token.hash + "\n";
  }
  return text;
}

UsersFileContent ReadUsersFile(const std::filesystem::path& path) {
  std::string text = ReadPrivateFile(path, kMaxFileBytes);
  try {
    return ParseUsersFile(text);
  } catch (const UsersFileError& error) {
    throw UsersFileError(path.string() + ": " + error.what());
  }
}

UsersFileContent ReadUsersFileOrEmpty(const std::filesystem::path& path) {
  std::error_code ignored;
  if (std::filesystem::symlink_status(path, ignored).type() != std::filesystem::file_type::not_found) {
    return ReadUsersFile(path);
  }
  return {};
}

void WriteUsersFile(const std::filesystem::path& path, const UsersFileContent& content) {
  ReplacePrivateFile(path, FormatUsersFile(content));
}

UsersFileLock::UsersFileLock(const std::filesystem::path& path) {
  std::string lockPath = path.string() + ".lock";
  fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) throw UsersFileError(lockPath + ": cannot open the lock file: " + std::strerror(errno));
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    ::close(fd_);
    throw UsersFileError(lockPath + ": cannot lock: " + std::strerror(error));
  }
}

UsersFileLock::~UsersFileLock() { ::close(fd_); }

}  // namespace vantrel::host::auth
