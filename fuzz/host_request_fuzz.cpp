// The host's request parsing and dispatch, without a network: the input is
// the bytes a client sends on a connection, parsed as the listener parses
// them (Boost.Beast, the same head and body limits) into one or more
// requests, each handed to the dispatch over a small plant. Properties: the
// dispatch never throws; every answer has a status of the documented set;
// every error answer is a JSON object saying what is wrong; and after every
// call the thread's database user context is the host's own again.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http.hpp>

#include "contracts/json.h"
#include "engine/control.h"
#include "fuzz/fuzz_check.h"
#include "host/authenticator.h"
#include "host/call_runner.h"
#include "host/dispatcher.h"
#include "host/http_request_beast.h"
#include "session/session.h"
#include "tests/support/test_plant.h"

namespace {

namespace http = boost::beast::http;
namespace host = vantrel::host;

constexpr const char* kHostAccount = "VNT\\vnthost";
constexpr std::size_t kBodyLimit = 64 * 1024;
constexpr int kMostRequests = 4;  // pipelined requests taken from one input

// Fixed bearer tokens, so the fuzzer reaches the calls without paying for
// password hashing: "writer" may write the plant, "reader" only read, and
// "boss" holds the impersonate role.
class FixedTokens : public host::Authenticator {
 public:
  host::AuthResult Authenticate(std::string_view header, std::string_view) override {
    if (header.empty()) return {host::AuthOutcome::kMissing, std::nullopt, "none", 0};
    static const std::map<std::string, host::Principal, std::less<>> known{
        {"Bearer writer", {"writer", "VNT\\writer", false}},
        {"Bearer reader", {"reader", "VNT\\reader", false}},
        {"Bearer boss", {"boss", "VNT\\boss", true}},
    };
    const auto found = known.find(header);
    if (found == known.end()) return {host::AuthOutcome::kRefused, std::nullopt, "unknown", 0};
    return {host::AuthOutcome::kAccepted, found->second, "", 0};
  }
  void Reload() override {}
  uint64_t FailedLogins() const override { return 0; }
};

struct Host {
  Host() {
    dorvik::DatabaseBuilder plant = vantrel::testing::PlantBuilder();
    plant.Grant("VNT\\writer", vantrel::testing::kAnalogDef, 2).Grant("VNT\\boss", vantrel::testing::kAnalogDef, 2);
    dorvik::Install(plant);
    vantrel::access::Session::RefreshAll();
    limits.maxItemsPerCall = 64;
    limits.maxHistoryValuesPerRequest = 100;
    limits.maxBodyBytes = kBodyLimit;
    dorvik::EnableCallLog();
    dispatcher.SetMetricsSource([] { return std::string("vntaccessd_connections 0\n"); });
    runner.RestoreHostContext();
  }
  FixedTokens authenticator;
  host::CallRunner runner{kHostAccount};
  host::HostLimits limits;
  host::Dispatcher dispatcher{authenticator, runner, limits};
};

void CheckAnswer(const host::HttpResponse& response) {
  static const std::set<int> kStatuses{101, 200, 400, 401, 403, 404, 405, 408, 413, 422, 426, 429, 503};
  FUZZ_CHECK(kStatuses.count(response.status) == 1, "a documented status");
  // The database user contexts the call set, in order: the last is the host's.
  const std::vector<std::string> contexts = vantrel::testing::CallArguments("SetTlsData");
  FUZZ_CHECK(contexts.empty() || contexts.back().find("vnthost") != std::string::npos,
             "the thread's database user context is the host's again");
  if (response.status < 400) return;
  const auto body = vantrel::contracts::Json::parse(response.body, nullptr, false);
  FUZZ_CHECK(body.is_object(), "an error answer is a JSON object");
  if (response.status == 422) {
    FUZZ_CHECK(body.contains("fault") && body.contains("reason"), "a service fault carries the fault and reason");
  } else {
    FUZZ_CHECK(body.contains("error") && body["error"].is_string() && !body["error"].get<std::string>().empty(),
               "an error answer says what is wrong");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static Host* served = new Host();  // lives for the whole run, as the host does
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (int i = 0; i < kMostRequests && !rest.empty(); ++i) {
    http::request_parser<http::string_body> parser;
    parser.eager(true);
    parser.header_limit(host::kHeaderLimit);
    parser.body_limit(kBodyLimit);
    boost::beast::error_code error;
    const std::size_t used = parser.put(boost::asio::buffer(rest.data(), rest.size()), error);
    if (error == http::error::need_more) {  // the input ends the request, as a closed connection would
      error = {};
      parser.put_eof(error);
    }
    if (error || !parser.is_done()) return 0;  // the listener answers 400 or 413 without a dispatch
    rest.remove_prefix(used);
    host::HttpRequest request = host::ToHttpRequest(parser.get(), "127.0.0.1");
    dorvik::ClearCallLog();
    CheckAnswer(served->dispatcher.Handle(request));
  }
  return 0;
}
