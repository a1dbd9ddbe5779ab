// A private scratch folder with a users file in it, for the tests of the
// host's accounts. Users made here get the cheapest argon2id cost so that
// tests can make many; the commands under test use the real cost.
#ifndef VANTREL_TESTS_HOST_AUTH_FIXTURE_H_
#define VANTREL_TESTS_HOST_AUTH_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "host/auth/authenticators.h"
#include "host/auth/secrets.h"
#include "host/auth/users_file.h"

namespace vantrel::testing {

class AuthFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vnt-auth-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    usersFile_ = folder_ / "users";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  static host::auth::UserEntry User(const std::string& name, const std::string& password, bool impersonate = false) {
    std::vector<std::string> roles;
    if (impersonate) roles.emplace_back(host::auth::kImpersonateRole);
    return {name, roles, host::auth::HashPassword(password, host::auth::PasswordCost::kMinimum)};
  }

  // Runs `vntaccessd user|token ARGS --users FILE` with input on stdin.
  struct CommandRun {
    int code;
    std::string out;
    std::string err;
  };
  CommandRun Run(bool user, std::vector<std::string> args, const std::string& input = "") {
    args.push_back("--users");
    args.push_back(usersFile_.string());
    std::istringstream in(input);
    std::ostringstream out, err;
    int code = user ? host::RunUserCommand(args, in, out, err) : host::RunTokenCommand(args, in, out, err);
    return {code, out.str(), err.str()};
  }

  std::filesystem::path folder_;
  std::filesystem::path usersFile_;
};

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_HOST_AUTH_FIXTURE_H_
