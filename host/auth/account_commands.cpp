// `vntaccessd user ...` and `vntaccessd token ...`: the commands that keep
// the users file. Each change is a read-modify-write under the file's lock,
// written atomically; a running host sees it at its next reload (SIGHUP).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <ctime>
#include <istream>
#include <ostream>
#include <stdexcept>

#include "host/auth/authenticators.h"
#include "host/auth/secrets.h"
#include "host/auth/users_file.h"

namespace vantrel::host {
namespace {

using auth::TokenEntry;
using auth::UserEntry;
using auth::UsersFileContent;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kNotFound = 4;
constexpr size_t kMinPasswordBytes = 8;
constexpr size_t kMaxPasswordBytes = 1024;
constexpr int64_t kMaxTokenSeconds = 3650LL * 86400;

// A wrong command line or value: exit 2, nothing done.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A user or token named that does not exist: exit 4, nothing done.
class NotFound : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What one command was asked, filled by CLI11.
struct Request {
  std::string name;
  std::string usersFile;
  std::vector<std::string> roles;
  bool passwordStdin = false;
  std::string expires = "30d";
};

std::string ReadPassword(std::istream& in) {
  std::string password;
  char c;
  while (password.size() <= kMaxPasswordBytes + 2 && in.get(c)) password.push_back(c);
  if (!password.empty() && password.back() == '\n') password.pop_back();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.size() < kMinPasswordBytes || password.size() > kMaxPasswordBytes) {
    throw UsageError("the password on standard input must have " + std::to_string(kMinPasswordBytes) + " to " +
                     std::to_string(kMaxPasswordBytes) + " bytes");
  }
  return password;
}

std::string NewPasswordHash(const Request& request, std::istream& in) {
  if (!request.passwordStdin) throw UsageError("the password is read from standard input: give --password-stdin");
  std::string password = ReadPassword(in);
  std::string hash = auth::HashPassword(password);
  std::fill(password.begin(), password.end(), '\0');
  return hash;
}

void CheckName(const std::string& name) {
  if (!auth::IsValidUserName(name)) {
    throw UsageError("invalid user name \"" + name + "\": 1 to 64 of A-Z a-z 0-9 . _ -, not starting with - or .");
  }
}

UserEntry& ExistingUser(UsersFileContent& content, const std::string& name) {
  UserEntry* user = content.FindUser(name);
  if (user == nullptr) throw NotFound("no user \"" + name + "\"");
  return *user;
}

// Seconds of "30d", "12h", "90m", "3600s".
int64_t ParseDuration(const std::string& text) {
  int64_t count = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  int64_t unit = 0;
  if (error == std::errc() && end + 1 == text.data() + text.size()) {
    switch (*end) {
      case 's': unit = 1; break;
      case 'm': unit = 60; break;
      case 'h': unit = 3600; break;
      case 'd': unit = 86400; break;
      default: break;
    }
  }
  if (unit == 0 || count <= 0 || count > kMaxTokenSeconds / unit) {
    throw UsageError("--expires \"" + text + "\": a positive number with s, m, h or d, at most 3650d");
  }
  return count * unit;
}

std::string UtcText(int64_t seconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

void UserAdd(const Request& request, std::istream& in, std::ostream& out) {
  CheckName(request.name);
  for (const std::string& role : request.roles) {
    if (role != auth::kImpersonateRole) throw UsageError("unknown role \"" + role + "\" (known: impersonate)");
  }
  std::string hash = NewPasswordHash(request, in);
  auth::UsersFileLock lock(request.usersFile);
  UsersFileContent content = auth::ReadUsersFileOrEmpty(request.usersFile);
  for (const UserEntry& user : content.users) {
    // Accounts compare without case in the database; two such users would share one.
    if (std::equal(user.name.begin(), user.name.end(), request.name.begin(), request.name.end(),
                   [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); })) {
      throw std::runtime_error("user \"" + user.name + "\" exists already; use `user passwd` to change its password");
    }
  }
  content.users.push_back(UserEntry{request.name, request.roles, hash});
  auth::WriteUsersFile(request.usersFile, content);
  out << "added user " << request.name << (request.roles.empty() ? "" : " with role impersonate") << '\n';
}

void UserPasswd(const Request& request, std::istream& in, std::ostream& out) {
  CheckName(request.name);
  std::string hash = NewPasswordHash(request, in);
  auth::UsersFileLock lock(request.usersFile);
  UsersFileContent content = auth::ReadUsersFile(request.usersFile);
  ExistingUser(content, request.name).passwordHash = hash;
  auth::WriteUsersFile(request.usersFile, content);
  out << "changed the password of " << request.name << '\n';
}

void UserRemove(const Request& request, std::ostream& out) {
  CheckName(request.name);
  auth::UsersFileLock lock(request.usersFile);
  UsersFileContent content = auth::ReadUsersFile(request.usersFile);
  ExistingUser(content, request.name);
  std::erase_if(content.users, [&](const UserEntry& user) { return user.name == request.name; });
  size_t tokens = std::erase_if(content.tokens, [&](const TokenEntry& token) { return token.user == request.name; });
  auth::WriteUsersFile(request.usersFile, content);
  out << "removed user " << request.name << " and its " << tokens << " token(s)\n";
}

void UserList(const Request& request, std::ostream& out) {
  UsersFileContent content = auth::ReadUsersFile(request.usersFile);
  for (const UserEntry& user : content.users) {
    out << user.name << (user.HasRole(auth::kImpersonateRole) ? " impersonate" : "") << '\n';
  }
}

void TokenIssue(const Request& request, std::ostream& out, std::ostream& err) {
  CheckName(request.name);
  int64_t lifetime = ParseDuration(request.expires);
  auth::UsersFileLock lock(request.usersFile);
  UsersFileContent content = auth::ReadUsersFile(request.usersFile);
  ExistingUser(content, request.name);
  auth::IssuedToken token = auth::NewToken();
  while (content.FindToken(token.id) != nullptr) token = auth::NewToken();
  TokenEntry entry{token.id, request.name, NowSeconds() + lifetime, auth::TokenHash(token.text)};
  content.tokens.push_back(entry);
  auth::WriteUsersFile(request.usersFile, content);
  out << token.text << '\n';
  err << "token " << entry.id << " of " << entry.user << " expires " << UtcText(entry.expires)
      << "; it is shown only this once\n";
}

void TokenList(const Request& request, std::ostream& out) {
  UsersFileContent content = auth::ReadUsersFile(request.usersFile);
  int64_t now = NowSeconds();
  out << "ID                USER                 EXPIRES (UTC)\n";
  for (const TokenEntry& token : content.tokens) {
    std::string user = token.user;
    user.resize(std::max<size_t>(user.size(), 20), ' ');
    out << token.id << "  " << user << " " << UtcText(token.expires) << (token.expires <= now ? "  expired" : "")
        << '\n';
  }
}

// The id of the token that `what` (an id or a token's text) names in content.
std::string TokenToRevoke(const UsersFileContent& content, const std::string& what) {
  if (std::optional<std::string> id = auth::TokenId(what)) {
    const TokenEntry* entry = content.FindToken(*id);
    if (entry == nullptr || !auth::ConstantTimeEqual(auth::TokenHash(what), entry->hash)) {
      throw NotFound("no such token in the users file");
    }
    return *id;
  }
  bool isId = what.size() == 16 && std::all_of(what.begin(), what.end(), [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
              });
  if (!isId) throw UsageError("\"" + what + "\" is neither a token id (16 hex digits) nor a token");
  if (content.FindToken(what) == nullptr) throw NotFound("no token " + what);
  return what;
}

void TokenRevoke(const Request& request, std::ostream& out) {
  auth::UsersFileLock lock(request.usersFile);
  UsersFileContent content = auth::ReadUsersFile(request.usersFile);
  std::string id = TokenToRevoke(content, request.name);
  std::string user = content.FindToken(id)->user;
  std::erase_if(content.tokens, [&](const TokenEntry& token) { return token.id == id; });
  auth::WriteUsersFile(request.usersFile, content);
  out << "revoked token " << id << " of " << user << '\n';
}

CLI::App* AddCommand(CLI::App& app, const std::string& name, const std::string& about, Request& request,
                     const std::string& positional) {
  CLI::App* command = app.add_subcommand(name, about);
  if (!positional.empty()) {
    command->add_option(positional, request.name, positional == "token" ? "a token's id or its text" : "the user")
        ->required()
        ->type_name(positional == "token" ? "ID|TOKEN" : "NAME");
  }
  command->add_option("--users", request.usersFile, "the users file")->required();
  return command;
}

// Parses args into request and runs the action of the command chosen;
// turns every failure into its exit code and one line on err.
int Run(CLI::App& app, const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const std::function<void()>& action) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return kDone;
  } catch (const CLI::ParseError& error) {
    err << app.get_name() << ": " << error.what() << '\n';
    return kUsage;
  }
  try {
    action();
    return kDone;
  } catch (const UsageError& error) {
    err << app.get_name() << ": " << error.what() << '\n';
    return kUsage;
  } catch (const NotFound& error) {
    err << app.get_name() << ": " << error.what() << "; nothing done\n";
    return kNotFound;
  } catch (const std::exception& error) {
    err << app.get_name() << ": " << error.what() << '\n';
    return kFailed;
  }
}

}  // namespace

int RunUserCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
  CLI::App app("The users of vntaccessd: passwords (argon2id) and roles.", "vntaccessd user");
  app.require_subcommand(1);
  Request request;
  CLI::App* add = AddCommand(app, "add", "add a user; the password comes from standard input", request, "name");
  add->add_option("--role", request.roles, "a role to hold: impersonate (may call SetTLSData)");
  add->add_flag("--password-stdin", request.passwordStdin, "read the password from standard input");
  CLI::App* passwd = AddCommand(app, "passwd", "change a user's password (from standard input)", request, "name");
  passwd->add_flag("--password-stdin", request.passwordStdin, "read the password from standard input");
  CLI::App* remove = AddCommand(app, "remove", "remove a user and its tokens", request, "name");
  CLI::App* list = AddCommand(app, "list", "list the users and their roles", request, "");
  return Run(app, args, out, err, [&] {
    if (add->parsed()) UserAdd(request, in, out);
    if (passwd->parsed()) UserPasswd(request, in, out);
    if (remove->parsed()) UserRemove(request, out);
    if (list->parsed()) UserList(request, out);
  });
}

int RunTokenCommand(const std::vector<std::string>& args, std::istream& /*in*/, std::ostream& out,
                    std::ostream& err) {
  CLI::App app("Bearer tokens of vntaccessd: long random secrets, stored only as hashes.", "vntaccessd token");
  app.require_subcommand(1);
  Request request;
  CLI::App* issue = AddCommand(app, "issue", "issue a token for a user and print it, once", request, "name");
  issue->add_option("--expires", request.expires, "lifetime: a number with s, m, h or d (default 30d)");
  CLI::App* list = AddCommand(app, "list", "list token ids, users and expiry (never a secret)", request, "");
  CLI::App* revoke = AddCommand(app, "revoke", "revoke a token by its id or its text", request, "token");
  return Run(app, args, out, err, [&] {
    if (issue->parsed()) TokenIssue(request, out, err);
    if (list->parsed()) TokenList(request, out);
    if (revoke->parsed()) TokenRevoke(request, out);
  });
}

}  // namespace vantrel::host
