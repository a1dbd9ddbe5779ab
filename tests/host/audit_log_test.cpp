// The audit log: the members of a line, and the care with which its file is
// opened (no symbolic link, owner-only mode, appending, reopened by name).
#include "host/audit_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vantrel::testing {
namespace {

using ::testing::HasSubstr;

class AuditLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vnt-audit-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::vector<nlohmann::json> Lines(const std::filesystem::path& file) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
  }

  std::filesystem::path folder_;
  host::HttpRequest request_{"POST", "/v1/access/GetTagValues", "Basic x", "", "{}", "10.0.0.5"};
  host::HttpResponse response_ = [] {
    host::HttpResponse response;
    response.status = 422;
    response.account = "VNT\\operator";
    response.service = "access";
    response.operation = "GetTagValues";
    response.items = 3;
    return response;
  }();
};

TEST_F(AuditLogTest, ALineHoldsTheCallsMembersAndNoSecret) {
  const auto now = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'700'000'000'123));
  const std::string line = host::AuditLine(request_, response_, std::chrono::microseconds(1250), now);
  EXPECT_EQ(line,
            R"({"time":"2023-11-14T22:13:20.123Z","account":"VNT\\operator","source":"10.0.0.5","service":"access",)"
            R"("operation":"GetTagValues","items":3,"status":422,"durationMs":1.25})");
  // A route that is no call is logged by its path; odd bytes stay one JSON line.
  host::HttpRequest odd{"GET", "/v1/x\xff\"\n?q=1", "", "", "", "::1"};
  const auto parsed = nlohmann::json::parse(host::AuditLine(odd, host::HttpResponse{}, {}, now));
  EXPECT_THAT(parsed["operation"].get<std::string>(), HasSubstr("/v1/x"));
  EXPECT_EQ(parsed["account"], "");
}

TEST_F(AuditLogTest, TheFileIsPrivateAppendedAndReopenedByName) {
  const auto file = folder_ / "audit.log";
  std::ofstream(file) << R"({"earlier":true})" << "\n";
  ::chmod(file.c_str(), 0600);
  host::AuditLog log(file);
  log.Record(request_, response_, std::chrono::microseconds(10));
  ASSERT_EQ(Lines(file).size(), 2U);
  EXPECT_EQ(Lines(file)[1]["status"], 422);
  // Rotation: the old file moves away, SIGHUP reopens a new one by the name.
  std::filesystem::rename(file, folder_ / "audit.log.1");
  log.Reopen();
  log.Record(request_, response_, std::chrono::microseconds(10));
  EXPECT_EQ(Lines(file).size(), 1U);
  EXPECT_EQ(Lines(folder_ / "audit.log.1").size(), 2U);
  struct stat status {};
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600U);
  EXPECT_EQ(log.WriteFailures(), 0U);
}

TEST_F(AuditLogTest, ASymbolicLinkIsRefused) {
  const auto target = folder_ / "elsewhere";
  std::ofstream(target) << "";
  std::filesystem::create_symlink(target, folder_ / "audit.log");
  try {
    host::AuditLog log(folder_ / "audit.log");
    FAIL() << "opened through a link";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), HasSubstr("symbolic link"));
  }
  EXPECT_EQ(std::filesystem::file_size(target), 0U);
  EXPECT_THROW(host::AuditLog(folder_ / "missing" / "audit.log"), std::runtime_error);
}

}  // namespace
}  // namespace vantrel::testing
