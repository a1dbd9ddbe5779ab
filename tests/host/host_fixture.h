// What the host's tests share: an authenticator that knows fixed bearer
// tokens (so tests do not pay for password hashing), a database whose
// grants tell a writer from a reader, and a dispatcher over both.
#ifndef VANTREL_TESTS_HOST_HOST_FIXTURE_H_
#define VANTREL_TESTS_HOST_HOST_FIXTURE_H_

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "contracts/json.h"
#include "engine/control.h"
#include "host/authenticator.h"
#include "host/call_runner.h"
#include "host/dispatcher.h"
#include "host/http_message.h"
#include "session/session.h"

namespace vantrel::testing {

inline constexpr const char* kHostAccount = "VNT\\vnthost";
inline constexpr const char* kDefinition = "VN_AnalogDef";

// "Bearer writer", "Bearer reader", "Bearer boss" (impersonate role) are
// accepted; "Bearer throttled" is throttled; anything else is refused; no
// header is missing credentials.
class TokenAuthenticator : public host::Authenticator {
 public:
  host::AuthResult Authenticate(std::string_view header, std::string_view) override {
    if (header.empty()) return {host::AuthOutcome::kMissing, std::nullopt, "none", 0};
    if (header == "Bearer throttled") return {host::AuthOutcome::kThrottled, std::nullopt, "throttled", 7};
    static const std::map<std::string, host::Principal, std::less<>> known{
        {"Bearer writer", {"writer", "VNT\\writer", false}},
        {"Bearer reader", {"reader", "VNT\\reader", false}},
        {"Bearer boss", {"boss", "VNT\\boss", true}},
    };
    const auto found = known.find(header);
    if (found == known.end()) {
      ++failures_;
      return {host::AuthOutcome::kRefused, std::nullopt, "unknown", 0};
    }
    return {host::AuthOutcome::kAccepted, found->second, "", 0};
  }
  void Reload() override { ++reloads; }
  uint64_t FailedLogins() const override { return failures_; }

  std::atomic<int> reloads{0};

 private:
  std::atomic<uint64_t> failures_{0};
};

// Two analog records; VNT\writer may write them, VNT\reader and the host's
// own account only read.
inline dorvik::DatabaseBuilder HostPlant() {
  dorvik::DatabaseBuilder builder;
  builder.SystemAccount("VNT\\vntsystem")
      .Environment("DORVIK_GROUP_NAME", "PLANT")
      .Environment("VANTREL_VERSION", "17.0")
      .Definition(kDefinition, {dorvik::FieldSpec::Real("VALUE").WithQuality().WithHistory(),
                                dorvik::FieldSpec::Text("UNITS", 12)},
                  {.kinds = {-3}});
  builder.Record("TI101", kDefinition).Record("TI102", kDefinition);
  builder.Set("TI101", "VALUE", dorvik::Sample(12.5, 0, 0, dorvik::Timestamp::FromSeconds(1'700'000'000)))
      .Set("TI101", "UNITS", "degC")
      .Grant("VNT\\writer", kDefinition, 2)
      .Grant("VNT\\boss", kDefinition, 2);
  return builder;
}

inline host::HttpRequest Post(const std::string& target, const std::string& body,
                              const std::string& authorization = "Bearer writer") {
  return host::HttpRequest{"POST", target, authorization, "", body, "127.0.0.1"};
}

inline contracts::Json BodyOf(const host::HttpResponse& response) {
  return contracts::Json::parse(response.body);
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dorvik::Install(HostPlant());
    dorvik::ClearCallLog();
    access::Session::RefreshAll();
  }
  host::HttpResponse Handle(const host::HttpRequest& request) { return dispatcher_.Handle(request); }

  TokenAuthenticator authenticator_;
  host::CallRunner runner_{kHostAccount};
  host::HostLimits limits_ = [] {
    host::HostLimits limits;
    limits.maxItemsPerCall = 4;
    limits.maxHistoryValuesPerRequest = 100;
    return limits;
  }();
  host::Dispatcher dispatcher_{authenticator_, runner_, limits_};
};

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_HOST_HOST_FIXTURE_H_
