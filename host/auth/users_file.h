// The users file of the access service host: who may log in, with which
// password and roles, and which bearer tokens are valid. A text file, one
// record a line, fields separated by single spaces:
//
//   # comment lines and blank lines are ignored
//   vntaccessd-users 1                          <- first record: format and version
//   user NAME ROLES PASSWORD-HASH               <- ROLES: comma-separated, or "-" for none
//   token ID USER EXPIRES TOKEN-HASH            <- EXPIRES: Unix seconds (UTC)
//
// NAME: 1 to 64 characters of A-Z a-z 0-9 . _ -, not starting with "-" or ".".
// PASSWORD-HASH: argon2id in libsodium's string form. ID: 16 hex digits.
// TOKEN-HASH: BLAKE2b-256 of the token's text, 64 hex digits; the token
// itself is never stored. The only role that means something today is
// "impersonate"; other roles are kept as written.
//
// The file is private: it is read only when it is a regular file (not a
// symbolic link) owned by the process's user with no access for group or
// others, and written by replacing it atomically (a private temporary file
// beside it, then rename). Writers serialise on FILE.lock beside it.
// At most 16 MiB and 4,096 bytes per line.
//
// Functions here are thread-safe; they share no state.
#ifndef VANTREL_HOST_AUTH_USERS_FILE_H_
#define VANTREL_HOST_AUTH_USERS_FILE_H_

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::host::auth {

inline constexpr std::string_view kImpersonateRole = "impersonate";

// A users file that cannot be read, parsed or written; what() names the
// file, and the line for a parse error.
class UsersFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct UserEntry {
  std::string name;
  std::vector<std::string> roles;
  std::string passwordHash;
  bool HasRole(std::string_view role) const;
};

struct TokenEntry {
  std::string id;
  std::string user;
  int64_t expires = 0;  // Unix seconds
  std::string hash;
};

struct UsersFileContent {
  std::vector<UserEntry> users;
  std::vector<TokenEntry> tokens;

  // Null when there is none of that name; names compare exactly.
  const UserEntry* FindUser(std::string_view name) const;
  UserEntry* FindUser(std::string_view name);
  const TokenEntry* FindToken(std::string_view id) const;
};

// Whether name may name a user (see the header comment).
bool IsValidUserName(std::string_view name);

// Parses the text of a users file; throws UsersFileError naming the line.
UsersFileContent ParseUsersFile(std::string_view text);
std::string FormatUsersFile(const UsersFileContent& content);

// Reads and parses the file at path with the checks above. Throws
// UsersFileError (a missing file included).
UsersFileContent ReadUsersFile(const std::filesystem::path& path);
// Reads the file, or gives an empty content when it does not exist.
UsersFileContent ReadUsersFileOrEmpty(const std::filesystem::path& path);

// Replaces the file at path with content atomically, mode 0600. Refuses a
// path that is a symbolic link, not a regular file, or owned by another
// user. Throws UsersFileError; the old file is then unchanged.
void WriteUsersFile(const std::filesystem::path& path, const UsersFileContent& content);

// Holds an exclusive lock on PATH.lock for a read-modify-write of the users
// file at path. Blocks until the lock is free; throws UsersFileError when
// the lock file cannot be opened. Not movable.
class UsersFileLock {
 public:
  explicit UsersFileLock(const std::filesystem::path& path);
  ~UsersFileLock();
  UsersFileLock(const UsersFileLock&) = delete;
  UsersFileLock& operator=(const UsersFileLock&) = delete;

 private:
  int fd_;
};

}  // namespace vantrel::host::auth

#endif  // VANTREL_HOST_AUTH_USERS_FILE_H_
