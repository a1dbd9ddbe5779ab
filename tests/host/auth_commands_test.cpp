// `vntaccessd user` and `vntaccessd token` over a users file, and the file
// itself: its format, its privacy and its refusal of links.
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "tests/host/auth_fixture.h"

namespace vantrel::testing {
namespace {

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int Mode(const std::filesystem::path& path) {
  struct stat info;
  EXPECT_EQ(::lstat(path.c_str(), &info), 0);
  return static_cast<int>(info.st_mode & 0777);
}

class AccountCommandsTest : public AuthFolderTest {
 protected:
  void AddUser(const std::string& name, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"add", name, "--password-stdin"};
    args.insert(args.end(), extra.begin(), extra.end());
    CommandRun run = Run(true, args, name + "-password\n");
    ASSERT_EQ(run.code, 0) << run.err;
  }
  std::string IssueToken(const std::string& user) {
    CommandRun run = Run(false, {"issue", user, "--expires", "2h"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << "the token alone on one line";
    return run.out.substr(0, run.out.find('\n'));
  }
};

TEST_F(AccountCommandsTest, UserAddWritesAPrivateFileWithAnArgon2idHashOfStandardInput) {
  AddUser("operator", {"--role", "impersonate"});
  AddUser("reader");
  EXPECT_EQ(Mode(usersFile_), 0600);
  host::auth::UsersFileContent content = host::auth::ReadUsersFile(usersFile_);
  ASSERT_EQ(content.users.size(), 2u);
  EXPECT_TRUE(content.users[0].HasRole("impersonate"));
  EXPECT_FALSE(content.users[1].HasRole("impersonate"));
  EXPECT_TRUE(host::auth::VerifyPassword(content.users[0].passwordHash, "operator-password"))
      << "the final line end is not part of the password";
  EXPECT_EQ(ReadText(usersFile_).find("operator-password"), std::string::npos);
  EXPECT_EQ(content.users[0].passwordHash.rfind("$argon2id$", 0), 0u);
  CommandRun list = Run(true, {"list"});
  EXPECT_EQ(list.out, "operator impersonate\nreader\n");
}

TEST_F(AccountCommandsTest, UserCommandsRefuseWrongInputAndChangeNothing) {
  AddUser("operator");
  std::string before = ReadText(usersFile_);
  EXPECT_EQ(Run(true, {"add", "operator", "--password-stdin"}, "another-pass").code, 1) << "exists already";
  EXPECT_EQ(Run(true, {"add", "OPERATOR", "--password-stdin"}, "another-pass").code, 1) << "same account";
  EXPECT_EQ(Run(true, {"add", "bad name", "--password-stdin"}, "another-pass").code, 2);
  EXPECT_EQ(Run(true, {"add", "-x", "--password-stdin"}, "another-pass").code, 2);
  EXPECT_EQ(Run(true, {"add", "short", "--password-stdin"}, "1234567\n").code, 2) << "under 8 bytes";
  EXPECT_EQ(Run(true, {"add", "nostdin"}, "long-enough-pass").code, 2);
  EXPECT_EQ(Run(true, {"add", "roles", "--role", "admin", "--password-stdin"}, "long-enough-pass").code, 2);
  EXPECT_EQ(Run(true, {"passwd", "ghost", "--password-stdin"}, "long-enough-pass").code, 4);
  EXPECT_EQ(Run(true, {"remove", "ghost"}).code, 4);
  EXPECT_EQ(Run(true, {"frobnicate"}).code, 2);
  EXPECT_EQ(ReadText(usersFile_), before);
}

TEST_F(AccountCommandsTest, ATokenIsPrintedOnceAndStoredOnlyAsItsHash) {
  AddUser("reader");
  std::string token = IssueToken("reader");
  std::optional<std::string> id = host::auth::TokenId(token);
  ASSERT_TRUE(id) << token;
  EXPECT_EQ(ReadText(usersFile_).find(token.substr(token.size() - 20)), std::string::npos);
  host::auth::UsersFileContent content = host::auth::ReadUsersFile(usersFile_);
  ASSERT_EQ(content.tokens.size(), 1u);
  EXPECT_EQ(content.tokens[0].hash, host::auth::TokenHash(token));
  int64_t lifetime = content.tokens[0].expires - static_cast<int64_t>(std::time(nullptr));
  EXPECT_NEAR(static_cast<double>(lifetime), 7200.0, 60.0);

  CommandRun list = Run(false, {"list"});
  EXPECT_EQ(list.code, 0);
  EXPECT_NE(list.out.find(*id + "  reader"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find(token.substr(token.size() - 20)), std::string::npos) << "no secret in the listing";

  EXPECT_EQ(Run(false, {"issue", "ghost"}).code, 4);
  for (const char* bad : {"0s", "5", "3w", "3651d", "-1d"}) {
    EXPECT_EQ(Run(false, {"issue", "reader", "--expires", bad}).code, 2) << bad;
  }
}

TEST_F(AccountCommandsTest, TokensAreRevokedByIdOrByTextAndRemovedWithTheirUser) {
  AddUser("reader");
  AddUser("operator");
  std::string first = IssueToken("reader");
  std::string second = IssueToken("reader");
  std::string third = IssueToken("operator");
  EXPECT_EQ(Run(false, {"revoke", *host::auth::TokenId(first)}).code, 0);
  EXPECT_EQ(Run(false, {"revoke", second}).code, 0);
  EXPECT_EQ(Run(false, {"revoke", second}).code, 4) << "already revoked";
  std::string forged = third.substr(0, third.size() - 4) + "AAAA";
  EXPECT_EQ(Run(false, {"revoke", forged}).code, 4) << "a wrong secret does not revoke by its id";
  EXPECT_EQ(Run(false, {"revoke", "not-a-token"}).code, 2);
  ASSERT_EQ(host::auth::ReadUsersFile(usersFile_).tokens.size(), 1u);

  CommandRun removed = Run(true, {"remove", "operator"});
  EXPECT_EQ(removed.code, 0);
  EXPECT_NE(removed.out.find("1 token"), std::string::npos) << removed.out;
  host::auth::UsersFileContent content = host::auth::ReadUsersFile(usersFile_);
  EXPECT_TRUE(content.tokens.empty());
  EXPECT_EQ(content.FindUser("operator"), nullptr);
  EXPECT_NE(content.FindUser("reader"), nullptr);
}

TEST_F(AccountCommandsTest, ASymlinkedOrForeignUsersFileIsNeitherReadNorWrittenThrough) {
  std::filesystem::path target = folder_ / "elsewhere";
  std::ofstream(target) << "not yours\n";
  ::chmod(target.c_str(), 0600);
  std::filesystem::create_symlink(target, usersFile_);
  CommandRun add = Run(true, {"add", "operator", "--password-stdin"}, "operator-password");
  EXPECT_EQ(add.code, 1);
  EXPECT_NE(add.err.find("symbolic link"), std::string::npos) << add.err;
  EXPECT_EQ(ReadText(target), "not yours\n");
  EXPECT_TRUE(std::filesystem::is_symlink(usersFile_));
  EXPECT_THROW(host::auth::WriteUsersFile(usersFile_, {}), host::auth::UsersFileError);
  EXPECT_EQ(ReadText(target), "not yours\n");
}

TEST_F(AccountCommandsTest, AUsersFileOpenToOthersIsRefused) {
  AddUser("reader");
  ::chmod(usersFile_.c_str(), 0644);
  CommandRun list = Run(true, {"list"});
  EXPECT_EQ(list.code, 1);
  EXPECT_NE(list.err.find("chmod 600"), std::string::npos) << list.err;
}

TEST(UsersFileFormatTest, ParsesWhatItFormatsAndNamesTheLineOfAnError) {
  host::auth::UsersFileContent content;
  content.users.push_back({"op", {"impersonate", "future-role"}, "$argon2id$v=19$m=8,t=1,p=1$c2FsdA$aGFzaA"});
  content.tokens.push_back({"0123456789abcdef", "op", 1800000000, std::string(64, 'a')});
  host::auth::UsersFileContent again = host::auth::ParseUsersFile(host::auth::FormatUsersFile(content));
  EXPECT_EQ(host::auth::FormatUsersFile(again), host::auth::FormatUsersFile(content));
  EXPECT_EQ(again.users[0].roles.size(), 2u) << "unknown roles are kept";

  auto errorOf = [](const std::string& text) -> std::string {
    try {
      host::auth::ParseUsersFile(text);
    } catch (const host::auth::UsersFileError& error) {
      return error.what();
    }
    return "no error";
  };
  EXPECT_NE(errorOf("").find("not a users file"), std::string::npos);
  EXPECT_NE(errorOf("user a - $argon2id$x\n").find("line 1"), std::string::npos);
  std::string head = "# c\nvntaccessd-users 1\n";
  EXPECT_NE(errorOf(head + "user a - $argon2id$x\nuser a - $argon2id$y\n").find("line 4: user \"a\" appears twice"),
            std::string::npos);
  EXPECT_NE(errorOf(head + "user a - $2b$bcrypt\n").find("not argon2id"), std::string::npos);
  EXPECT_NE(errorOf(head + "token 0123 a 1 " + std::string(64, 'a') + "\n").find("16 lower-case hex"),
            std::string::npos);
  EXPECT_NE(errorOf(head + "token 0123456789abcdef a soon " + std::string(64, 'a') + "\n").find("expiry"),
            std::string::npos);
  EXPECT_NE(errorOf(head + "group x\n").find("unknown record"), std::string::npos);
  EXPECT_NE(errorOf(head + std::string(5000, '#') + "\n").find("longer than"), std::string::npos);
}

}  // namespace
}  // namespace vantrel::testing
