// The vntaccessd program on a copy of the sample plant: its start line, a
// call with a password login, options from a config file, the refusal to
// start without a certificate, SIGTERM ending it with status 0, and the
// certificate taken again at SIGHUP; the read-only GET routes beside the tool.
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

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

// The standard output of a shell command, or "" when it fails.
std::string OutputOf(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char chunk[512];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
  return ::pclose(pipe) == 0 ? out : "";
}

// Makes a self-signed certificate for 127.0.0.1 named subject, written to
// cert and key; returns its SHA-256 fingerprint line.
std::string MakeCertificate(const std::string& subject, const std::string& cert, const std::string& key) {
  const std::string made = OutputOf(
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=" + subject +
      " -addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert + " 2>/dev/null && echo made");
  if (made.empty()) return "";
  return OutputOf("openssl x509 -noout -fingerprint -sha256 -in " + cert);
}

// The fingerprint line of the certificate a new TLS connection to port is
// shown, or "" when the handshake fails.
std::string ServedFingerprint(uint16_t port) {
  return OutputOf("timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                  " </dev/null 2>/dev/null | openssl x509 -noout -fingerprint -sha256 2>/dev/null");
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
  ChildProcess read(VNTACCESS_PATH, {"--server", server, "--user", "VNT\\operator", "call", "GetTagValues",
                                     R"({"TI101": ["VALUE"]})", "--json"});
  std::string out;
  for (std::string line = read.ReadLine(20s); !line.empty(); line = read.ReadLine(20s)) out += line;
  EXPECT_EQ(read.Wait(30s), 0);
  EXPECT_EQ(Json::parse(out)["TI101"]["VALUE"][0]["value"], Json({{"double", 73.8}}));
  ChildProcess id(VNTACCESS_PATH,
                  {"--server", server, "--user", "VNT\\operator", "call", "management.GetTagID", "\"TI101\""});
  EXPECT_EQ(id.ReadLine(20s), "1001");
  EXPECT_EQ(id.Wait(30s), 0);
  // The database's files are not reachable through a host.
  EXPECT_EQ(ChildProcess(VNTACCESS_PATH, {"--server", server, "check", "x.db"}).Wait(30s), 2);
  ::setenv("VNTACCESS_PASSWORD", "wrong-password", 1);
  EXPECT_EQ(ChildProcess(VNTACCESS_PATH, {"--server", server, "--user", "VNT\\operator", "call", "GetServerVersion"})
                .Wait(30s),
            1);
  ::unsetenv("VNTACCESS_PASSWORD");
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(30s), 0);
}

// What vntaccess prints, standard error after standard output, and its exit code.
struct ToolAnswer {
  std::string text;
  int code = -1;
  bool operator==(const ToolAnswer&) const = default;
};

void PrintTo(const ToolAnswer& answer, std::ostream* out) { *out << "exit " << answer.code << ":\n" << answer.text; }

// What vntaccess prints and its exit code; stderr is "2>&1" (merged into
// the text) or "2>/dev/null" (left out).
ToolAnswer RunTool(std::vector<std::string> args, const std::string& stderrTo) {
  args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" " + stderrTo, VNTACCESS_PATH});
  ChildProcess tool("/bin/sh", args);
  ToolAnswer answer;
  for (std::string line = tool.ReadLine(30s); !line.empty(); line = tool.ReadLine(30s)) answer.text += line + "\n";
  answer.code = tool.Wait(30s);
  return answer;
}

ToolAnswer RunToolMerged(std::vector<std::string> args) { return RunTool(std::move(args), "2>&1"); }

TEST_F(VntaccessdTest, TheToolsCommandsPrintTheSameThroughTheHostAsInProcess) {
  ChildProcess host(VNTACCESSD_PATH, ServeArgs());
  const uint16_t port = PortOf(host.ReadLine(30s));
  ASSERT_NE(port, 0);
  const std::string server = "http://127.0.0.1:" + std::to_string(port);
  ::setenv("VNTACCESS_PASSWORD", "secret-pass1", 1);
  // refs searches the query files too; the host's folder is beyond the tool.
  std::filesystem::copy(std::filesystem::path(VANTREL_EXAMPLES_DIR) / "queries", plant_.Folder() / "queries");
  const std::vector<std::vector<std::string>> commands{
      {"read", "TI101", "DESCRIPTION", "VALUE", "UNITS", "TREND"},
      {"read", "TI101,TI102,PI201", "VALUE", "--json"},
      {"read", "TI999", "VALU"},  // not found, with suggestions from the host's names
      {"read", "TI101", "VALU"},
      {"fields", "VN_DiscreteDef"},
      {"fields", "P101", "--json"},
      {"records", "TI101", "--like", "TI*"},
      {"definitions", "--csv"},
      {"history", "PI201", "VALUE", "--from", "2024-03-05 04:00Z", "--to", "2024-03-05 10:00Z", "--outsiders", "BothA"},
      {"history", "TI101", "TI102", "VALUE", "--from", "2024-03-04Z", "--to", "2024-03-07Z", "--every", "1d",
       "--agg", "min,avg,max,count", "--json"},
      {"refs", "TI101"},
      {"find", "TI*"},
      {"server", "env", "DORVIK_GROUP_NAME", "NO_SUCH"},
      {"write", "TI101", "VALUE", "74,5"},
      {"--dry-run", "write", "TI101", "VALUE", "75.5", "--time", "2024-03-07 03:00Z"},
      {"write", "P101", "MODE", "ON", "--time", "2024-03-07 03:00Z"},
      {"read", "P101", "MODE", "--json"},
  };
  for (const auto& command : commands) {
    std::vector<std::string> local{"--database", plant_.Database(), "--user", "VNT\\operator", "--utc"};
    std::vector<std::string> remote{"--server", server, "--user", "VNT\\operator", "--utc"};
    local.insert(local.end(), command.begin(), command.end());
    remote.insert(remote.end(), command.begin(), command.end());
    const ToolAnswer inProcess = RunToolMerged(local);
    EXPECT_EQ(RunToolMerged(remote), inProcess) << "vntaccess " << ::testing::PrintToString(command);
  }
  // The database's files stay on its machine: one line, exit 2.
  const std::vector<std::vector<std::string>> onTheMachine{
      {"import", "a.json", "b.db"}, {"export", "a.db", "b.json"}, {"check", "a.db"}, {"task", "T1"}};
  for (const auto& words : onTheMachine) {
    const std::string& command = words.front();
    std::vector<std::string> args{"--server", server};
    args.insert(args.end(), words.begin(), words.end());
    const ToolAnswer refused = RunToolMerged(args);
    EXPECT_EQ(refused.code, 2) << command;
    EXPECT_THAT(refused.text, ::testing::StartsWith("vntaccess: " + command + " runs on the database's machine"));
    EXPECT_EQ(std::count(refused.text.begin(), refused.text.end(), '\n'), 1) << refused.text;
  }
  const ToolAnswer shell = RunToolMerged({"--server", server});
  EXPECT_EQ(shell.code, 2);
  EXPECT_THAT(shell.text, ::testing::StartsWith("vntaccess: the shell and scripts"));
  ::unsetenv("VNTACCESS_PASSWORD");
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(30s), 0);
}

// What vntaccess prints on standard output (standard error left out), and its exit code.
ToolAnswer RunToolOutput(std::vector<std::string> args) { return RunTool(std::move(args), "2>/dev/null"); }

// The read-only GET routes answer with the very text `vntaccess --json`
// prints for the same command in process, and a name the tool cannot
// resolve with the tool's own message.
TEST_F(VntaccessdTest, TheReadRoutesAnswerWhatTheToolPrintsWithJson) {
  ChildProcess host(VNTACCESSD_PATH, ServeArgs());
  const uint16_t port = PortOf(host.ReadLine(30s));
  ASSERT_NE(port, 0);
  std::filesystem::copy(std::filesystem::path(VANTREL_EXAMPLES_DIR) / "queries", plant_.Folder() / "queries");
  RawHttp connection(port);
  auto get = [&](const std::string& target) {
    EXPECT_TRUE(connection.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\nAuthorization: Basic " +
                                Base64("operator:secret-pass1") + "\r\n\r\n"));
    return connection.Read(30s).value_or(RawAnswer{});
  };
  const std::vector<std::pair<std::string, std::vector<std::string>>> routes{
      {"/v1/read?record=TI101&field=VALUE&field=UNITS&field=TREND", {"read", "TI101", "VALUE", "UNITS", "TREND"}},
      {"/v1/read?record=P101", {"read", "P101"}},
      {"/v1/read?record=TI%2A.VALUE", {"read", "TI*.VALUE"}},
      {"/v1/read?record=TI101,PI201&record=TI102&field=VALUE", {"read", "TI101,PI201,TI102", "VALUE"}},
      {"/v1/history?record=PI201&field=VALUE&from=2024-03-05+04:00Z&to=2024-03-05T10:00:00Z&outsiders=BothA",
       {"history", "PI201", "VALUE", "--from", "2024-03-05 04:00Z", "--to", "2024-03-05T10:00:00Z", "--outsiders",
        "BothA"}},
      {"/v1/history?record=TI101&record=TI102&field=VALUE&from=2024-03-04T00:00:00Z&to=2024-03-07T00:00:00Z&max=5",
       {"history", "TI101", "TI102", "VALUE", "--from", "2024-03-04T00:00:00Z", "--to", "2024-03-07T00:00:00Z",
        "--max", "5"}},
      {"/v1/records?definition=TI101&like=TI*&like=pi2%3F1", {"records", "TI101", "--like", "TI*", "--like", "pi2?1"}},
      {"/v1/fields?record=P101", {"fields", "P101"}},
      {"/v1/fields?definition=VN_DiscreteDef", {"fields", "VN_DiscreteDef"}},
      {"/v1/definitions", {"definitions"}},
      {"/v1/refs?name=TI101&name=NO_SUCH", {"refs", "TI101", "NO_SUCH"}},
      {"/v1/refs?name=TI101&source=calc", {"refs", "TI101", "--source", "calc"}},
  };
  for (const auto& [target, command] : routes) {
    std::vector<std::string> local{"--database", plant_.Database(), "--user", "VNT\\operator", "--json"};
    local.insert(local.end(), command.begin(), command.end());
    const ToolAnswer printed = RunToolOutput(local);
    const RawAnswer answer = get(target);
    EXPECT_EQ(answer.status, 200) << target << ": " << answer.body;
    EXPECT_EQ(answer.body, printed.text) << target;
    EXPECT_THAT(printed.code, ::testing::AnyOf(0, 5)) << target;
  }
  // Names that resolve to nothing: the tool's message, suggestions included, as a 404.
  const std::vector<std::pair<std::string, std::vector<std::string>>> unknown{
      {"/v1/read?record=TI999&field=VALU", {"read", "TI999", "VALU"}},
      {"/v1/read?record=TI101&field=VALU", {"read", "TI101", "VALU"}},
      {"/v1/fields?definition=VN_AnalogDf", {"fields", "VN_AnalogDf"}},
  };
  for (const auto& [target, command] : unknown) {
    std::vector<std::string> local{"--database", plant_.Database(), "--user", "VNT\\operator", "--json"};
    local.insert(local.end(), command.begin(), command.end());
    const ToolAnswer refused = RunToolMerged(local);
    const RawAnswer answer = get(target);
    EXPECT_EQ(refused.code, 4) << target;
    EXPECT_EQ(answer.status, 404) << target;
    EXPECT_EQ("vntaccess: " + Json::parse(answer.body).value("error", "") + "\n", refused.text) << target;
  }
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(30s), 0);
}

// SIGHUP takes the certificate and key again for the connections that come
// next; a broken pair is refused with a line on standard error and the one
// in use stays.
TEST_F(VntaccessdTest, SighupTakesANewCertificateAndKeepsTheOldOneWhenTheNewIsBroken) {
  const std::string cert = (plant_.Folder() / "cert.pem").string();
  const std::string key = (plant_.Folder() / "key.pem").string();
  const std::string errors = (plant_.Folder() / "stderr.log").string();
  const std::string first = MakeCertificate("first", cert, key);
  ASSERT_FALSE(first.empty()) << "openssl could not make a certificate";
  auto args = ServeArgs();
  args.pop_back();  // --insecure
  args.insert(args.end(), {"--tls-cert", cert, "--tls-key", key});
  // Through a shell, so that the host's standard error lands in a file.
  args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>" + errors, VNTACCESSD_PATH});
  ChildProcess host("/bin/sh", args);
  std::smatch match;
  const std::string line = host.ReadLine(30s);
  ASSERT_TRUE(std::regex_match(line, match, std::regex(R"(listening on https://127\.0\.0\.1:(\d+))"))) << line;
  const auto port = static_cast<uint16_t>(std::stoi(match[1]));
  EXPECT_EQ(ServedFingerprint(port), first);

  const std::string second = MakeCertificate("second", cert, key);
  ASSERT_FALSE(second.empty());
  ASSERT_NE(second, first);
  host.Signal(SIGHUP);
  std::string served;
  for (int i = 0; i < 100 && served != second; ++i) {  // the reload is asynchronous to the signal
    std::this_thread::sleep_for(100ms);
    served = ServedFingerprint(port);
  }
  EXPECT_EQ(served, second);

  std::ofstream(cert, std::ios::trunc) << "-----BEGIN CERTIFICATE-----\nbroken\n-----END CERTIFICATE-----\n";
  host.Signal(SIGHUP);
  std::string logged;
  for (int i = 0; i < 100 && logged.find("kept the old certificate") == std::string::npos; ++i) {
    std::this_thread::sleep_for(100ms);
    std::ifstream in(errors);
    logged.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_THAT(logged, ::testing::HasSubstr("kept the old certificate: cannot read the certificate " + cert));
  EXPECT_EQ(ServedFingerprint(port), second);
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(30s), 0);
}

// --metrics-listen: /metrics without credentials on its own loopback port,
// nothing else there; the main listener still asks for credentials.
TEST_F(VntaccessdTest, ServesMetricsOnTheirOwnLoopbackListener) {
  auto args = ServeArgs();
  args.insert(args.end(), {"--metrics-listen", "127.0.0.1:0"});
  ChildProcess host(VNTACCESSD_PATH, args);
  const uint16_t port = PortOf(host.ReadLine(30s));
  ASSERT_NE(port, 0);
  std::smatch match;
  const std::string second = host.ReadLine(30s);
  ASSERT_TRUE(std::regex_match(second, match, std::regex(R"(metrics on http://127\.0\.0\.1:(\d+)/metrics)")))
      << second;
  const auto metricsPort = static_cast<uint16_t>(std::stoi(match[1]));
  ASSERT_NE(metricsPort, port);
  RawHttp main(port);
  ASSERT_TRUE(main.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(main.Read(20s)->status, 401);
  RawHttp metrics(metricsPort);
  ASSERT_TRUE(metrics.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
  const auto scraped = metrics.Read(20s);
  ASSERT_TRUE(scraped);
  EXPECT_EQ(scraped->status, 200);
  // The refused call on the main listener is counted.
  EXPECT_THAT(scraped->body,
              ::testing::HasSubstr(R"(vntaccessd_calls_total{service="",operation="other",status="401"} 1)"));
  for (const std::string request :
       {"GET /v1/version HTTP/1.1\r\nHost: x\r\n\r\n",
        "POST /v1/access/GetTagValues HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}"}) {
    ASSERT_TRUE(metrics.Send(request));
    const auto refused = metrics.Read(20s);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 404) << request;
  }
  host.Signal(SIGTERM);
  EXPECT_EQ(host.Wait(30s), 0);
  // Only a loopback address: elsewhere, scrapers log in on the main listener.
  args.back() = "0.0.0.0:0";
  EXPECT_EQ(ChildProcess(VNTACCESSD_PATH, args).Wait(30s), 2);
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
