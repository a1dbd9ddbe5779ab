// The vntaccessd program on a copy of the sample plant: its start line, a
// call with a password login, options from a config file, the refusal to
// start without a certificate, and SIGTERM ending it with status 0.
#include <signal.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "contracts/json.h"
#include "host/auth/authenticators.h"
#include "tests/host/raw_http.h"
#include "tests/support/child_process.h"
#include "tests/support/plant_copy.h"

namespace vantrel::testing {
namespace {

using namespace std::chrono_literals;
using contracts::Json;

std::string Base64(const std::string& text) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 3) {
    uint32_t chunk = static_cast<uint8_t>(text[i]) << 16;
    if (i + 1 < text.size()) chunk |= static_cast<uint8_t>(text[i + 1]) << 8;
    if (i + 2 < text.size()) chunk |= static_cast<uint8_t>(text[i + 2]);
    out += kDigits[(chunk >> 18) & 63];
    out += kDigits[(chunk >> 12) & 63];
    out += i + 1 < text.size() ? kDigits[(chunk >> 6) & 63] : '=';
    out += i + 2 < text.size() ? kDigits[chunk & 63] : '=';
  }
  return out;
}

class VntaccessdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    usersFile_ = (plant_.Folder() / "users").string();
    std::istringstream password("secret-pass1\n");
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(host::RunUserCommand({"add", "operator", "--users", usersFile_, "--password-stdin"}, password, out, err),
              0)
        << err.str();
  }

  std::vector<std::string> ServeArgs() const {
    return {"--database", plant_.Database(), "--registry", std::string(VANTREL_EXAMPLES_DIR) + "/registry.reg",
            "--users",    usersFile_,        "--domain",   "VNT",
            "--listen",   "127.0.0.1:0",     "--insecure"};
  }

  // The port of the start line, or 0 when it is not the expected one.
  static uint16_t PortOf(const std::string& line) {
    std::smatch match;
    static const std::regex kStart(R"(listening on http://127\.0\.0\.1:(\d+))");
    return std::regex_match(line, match, kStart) ? static_cast<uint16_t>(std::stoi(match[1])) : 0;
  }

  PlantCopy plant_;
  std::string usersFile_;
};

TEST_F(VntaccessdTest, ServesCallsAsTheLoggedInAccountAndStopsOnSigterm) {
  auto args = ServeArgs();
  const auto audit = plant_.Folder() / "audit.log";
  args.insert(args.end(), {"--audit-log", audit.string()});
  ChildProcess host(VNTACCESSD_PATH, args);
  const std::string line = host.ReadLine(30s);
  const uint16_t port = PortOf(line);
  ASSERT_NE(port, 0) << line;
  RawHttp connection(port);
  const std::string body = R"({"tagList": {"TI101": ["VALUE"]}})";
  ASSERT_TRUE(connection.Send("POST /v1/access/GetTagValues HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " +
                              Base64("operator:secret-pass1") + "\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\n\r\n" + body));
  const auto answer = connection.Read(20s);
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->status, 200) << answer->body;
  EXPECT_EQ(Json::parse(answer->body)["result"]["TI101"]["VALUE"][0]["value"], Json({{"double", 73.8}}));
  ASSERT_TRUE(connection.Send("GET /v1/version HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " +
                              Base64("operator:wrong-password") + "\r\n\r\n"));
  EXPECT_EQ(connection.Read(20s)->status, 401);
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(30s), 0);
  // One audit line per call, the account proven or none.
  std::ifstream in(audit);
  std::vector<Json> lines;
  for (std::string text; std::getline(in, text);) lines.push_back(Json::parse(text));
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0]["account"], "VNT\\operator");
  EXPECT_EQ(lines[0]["operation"], "GetTagValues");
  EXPECT_EQ(lines[0]["items"], 1);
  EXPECT_EQ(lines[0]["status"], 200);
  EXPECT_EQ(lines[1]["status"], 401);
  EXPECT_EQ(lines[1]["account"], "");
}

TEST_F(VntaccessdTest, TakesItsOptionsFromAConfigFile) {
  const auto config = plant_.Folder() / "vntaccessd.ini";
  std::ofstream(config) << "database = " << plant_.Database() << "\nregistry = " << VANTREL_EXAMPLES_DIR
                        << "/registry.reg\nusers = " << usersFile_ << "\ndomain = VNT\nlisten = 127.0.0.1:0\n"
                        << "insecure = true\nworkers = 2\n";
  ChildProcess host(VNTACCESSD_PATH, {"--config", config.string()});
  const std::string line = host.ReadLine(30s);
  const uint16_t port = PortOf(line);
  ASSERT_NE(port, 0) << line;
  RawHttp connection(port);
  ASSERT_TRUE(connection.Send("GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(connection.Read(20s)->body, R"({"status":"up"})");
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(30s), 0);
}

TEST_F(VntaccessdTest, TheToolCallsThroughTheHost) {
  ChildProcess host(VNTACCESSD_PATH, ServeArgs());
  const uint16_t port = PortOf(host.ReadLine(30s));
  ASSERT_NE(port, 0);
  const std::string server = "http://127.0.0.1:" + std::to_string(port);
  ::setenv("VNTACCESS_PASSWORD", "secret-pass1", 1);
  ChildProcess read(VNTACCESS_PATH, {"--server", server, "--user", "operator", "call", "GetTagValues",
                                     R"({"TI101": ["VALUE"]})", "--json"});
  std::string out;
  for (std::string line = read.ReadLine(20s); !line.empty(); line = read.ReadLine(20s)) out += line;
  EXPECT_EQ(read.Wait(30s), 0);
  EXPECT_EQ(Json::parse(out)["TI101"]["VALUE"][0]["value"], Json({{"double", 73.8}}));
  ChildProcess id(VNTACCESS_PATH,
                  {"--server", server, "--user", "operator", "call", "management.GetTagID", "\"TI101\""});
  EXPECT_EQ(id.ReadLine(20s), "1001");
  EXPECT_EQ(id.Wait(30s), 0);
  // The database's files are not reachable through a host.
  EXPECT_EQ(ChildProcess(VNTACCESS_PATH, {"--server", server, "check", "x.db"}).Wait(30s), 2);
  ::setenv("VNTACCESS_PASSWORD", "wrong-password", 1);
  EXPECT_EQ(ChildProcess(VNTACCESS_PATH, {"--server", server, "--user", "operator", "call", "GetServerVersion"})
                .Wait(30s),
            1);
  ::unsetenv("VNTACCESS_PASSWORD");
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(30s), 0);
}

TEST_F(VntaccessdTest, RefusesToStartWithoutACertificateOffLoopback) {
  auto args = ServeArgs();
  args.pop_back();  // no --insecure
  EXPECT_EQ(ChildProcess(VNTACCESSD_PATH, args).Wait(30s), 2);
  args.push_back("--insecure");
  args[9] = "0.0.0.0:0";
  EXPECT_EQ(ChildProcess(VNTACCESSD_PATH, args).Wait(30s), 2);
  args[9] = "127.0.0.1:99999";
  EXPECT_EQ(ChildProcess(VNTACCESSD_PATH, args).Wait(30s), 2);
}

}  // namespace
}  // namespace vantrel::testing
