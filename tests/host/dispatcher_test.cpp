// The host's dispatch without a network: routes, credentials, rights, limits
// and the status code of each outcome, against a real database.
#include "host/dispatcher.h"

#include <chrono>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/database_watch.h"
#include "host/metrics.h"
#include "host/worker_pool.h"
#include "tests/host/host_fixture.h"
#include "tests/support/test_plant.h"

namespace vantrel::testing {
namespace {

using contracts::Json;
using ::testing::HasSubstr;

std::string Header(const host::HttpResponse& response, const std::string& name) {
  std::string values;
  for (const auto& [key, value] : response.headers) {
    if (key == name) values += (values.empty() ? "" : " | ") + value;
  }
  return values;
}

constexpr const char* kWrite = R"({"tagValueList": {"TI101": {"VALUE": [{"value": {"double": 42.5}, "status": 0}]}}})";

TEST_F(HostTest, CallsAnswerTheResultInTheContractsJson) {
  const auto read = Handle(Post("/v1/access/GetTagValues", R"({"tagList": {"TI101": ["VALUE", "UNITS"]}})"));
  ASSERT_EQ(read.status, 200) << read.body;
  const Json values = BodyOf(read)["result"]["TI101"];
  EXPECT_EQ(values["VALUE"][0]["value"], Json({{"double", 12.5}}));
  EXPECT_EQ(values["UNITS"][0]["value"], Json({{"text", "degC"}}));
  EXPECT_EQ(read.account, "VNT\\writer");
  EXPECT_EQ(read.items, 2U);

  const auto id = Handle(Post("/v1/management/GetTagID", R"({"tagName": "TI101"})"));
  ASSERT_EQ(id.status, 200) << id.body;
  const auto name = Handle(Post("/v1/management/GetTagName", Json{{"tagId", BodyOf(id)["result"]}}.dump()));
  EXPECT_EQ(BodyOf(name)["result"], "TI101");
  // An operation without parameters takes an empty body; one without a result answers {}.
  EXPECT_EQ(BodyOf(Handle(Post("/v1/server/GetMaxHistorySizePerCall", "")))["result"], 10000);
  const auto write = Handle(Post("/v1/access/SetTagValues", kWrite));
  EXPECT_EQ(write.status, 200) << write.body;
  EXPECT_EQ(write.body, "{}");
  EXPECT_EQ(dorvik::CurrentText("TI101", "VALUE").value_or(""), "42.5");
}

TEST_F(HostTest, EveryRouteButHealthNeedsCredentials) {
  const auto health = Handle({"GET", "/v1/health", "", "", "", "127.0.0.1"});
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(BodyOf(health), Json({{"status", "up"}}));
  for (const auto& target : {"/v1/version", "/v1/access/GetTagValues", "/v1/nothing", "/metrics"}) {
    const auto missing = Handle({"POST", target, "", "", "{}", "127.0.0.1"});
    EXPECT_EQ(missing.status, 401) << target;
    EXPECT_THAT(Header(missing, "WWW-Authenticate"), HasSubstr("Basic realm=\"vntaccessd\""));
    EXPECT_THAT(Header(missing, "WWW-Authenticate"), HasSubstr("Bearer"));
    EXPECT_EQ(Handle({"POST", target, "Bearer forged", "", "{}", "127.0.0.1"}).status, 401) << target;
  }
  EXPECT_EQ(authenticator_.FailedLogins(), 4U);
  const auto throttled = Handle(Post("/v1/access/GetTagValues", "{}", "Bearer throttled"));
  EXPECT_EQ(throttled.status, 429);
  EXPECT_EQ(Header(throttled, "Retry-After"), "7");
  EXPECT_EQ(BodyOf(Handle({"GET", "/v1/version", "Bearer reader", "", "", "127.0.0.1"}))["api"], "v1");
}

TEST_F(HostTest, BadBodiesAre400WithTheJsonPath) {
  auto error = [&](const char* target, const char* body) {
    const auto response = Handle(Post(target, body));
    EXPECT_EQ(response.status, 400) << body;
    return BodyOf(response)["error"].get<std::string>();
  };
  EXPECT_THAT(error("/v1/access/GetTagValues", "{\"tagList\": "), HasSubstr("invalid JSON"));
  EXPECT_THAT(error("/v1/access/GetTagValues", "[]"), HasSubstr("expected an object"));
  EXPECT_THAT(error("/v1/access/GetTagValues", R"({"tagList": {"TI101": "VALUE"}})"),
              HasSubstr("/tagList/TI101: expected an array"));
  EXPECT_THAT(error("/v1/access/GetTagValues", R"({})"), HasSubstr("/tagList: missing parameter"));
  EXPECT_THAT(error("/v1/access/GetTagValues", R"({"tagList": {}, "extra": 1})"), HasSubstr("/extra: no such"));
  EXPECT_THAT(error("/v1/management/GetFieldName", R"({"tagId": 1, "fieldId": 1.5})"), HasSubstr("/fieldId"));
}

TEST_F(HostTest, UnknownRoutesMethodsAndOperationsAreNamed) {
  const auto typo = Handle(Post("/v1/access/GetTagValue", "{}"));
  EXPECT_EQ(typo.status, 404);
  EXPECT_THAT(BodyOf(typo)["error"].get<std::string>(), HasSubstr("did you mean GetTagValues?"));
  EXPECT_THAT(BodyOf(Handle(Post("/v1/access/GetTagID", "{}")))["error"].get<std::string>(),
              HasSubstr("POST /v1/management/GetTagID"));
  EXPECT_THAT(BodyOf(Handle(Post("/v1/acess/GetTagID", "{}")))["error"].get<std::string>(),
              HasSubstr("did you mean access?"));
  EXPECT_EQ(Handle(Post("/v2/x", "{}")).status, 404);
  const auto get = Handle({"GET", "/v1/access/GetTagValues", "Bearer writer", "", "", "127.0.0.1"});
  EXPECT_EQ(get.status, 405);
  EXPECT_EQ(Header(get, "Allow"), "POST");
  EXPECT_EQ(Handle({"DELETE", "/v1/health", "", "", "", "127.0.0.1"}).status, 405);
}

TEST_F(HostTest, ServiceFaultsAre422WithTheLibrarysReason) {
  const auto fault = Handle(Post("/v1/access/GetTagValues", R"({"tagList": {"TI101": []}})"));
  ASSERT_EQ(fault.status, 422) << fault.body;
  const Json body = BodyOf(fault);
  EXPECT_EQ(body["fault"]["errorType"], "ApplicationException");
  EXPECT_EQ(body["reason"], body["fault"]["message"]);
  EXPECT_THAT(body["reason"].get<std::string>(), HasSubstr("field list is empty"));
}

TEST_F(HostTest, ReadOnlyAccountsAreRefusedEveryWrite) {
  const auto refused = Handle(Post("/v1/access/SetTagValues", kWrite, "Bearer reader"));
  EXPECT_EQ(refused.status, 422) << refused.body;
  const auto byIds = Handle(Post("/v1/access/SetTagValuesByIds",
                                 Json{{"tagValuesByIds", {{"1", {{"1", Json::array()}}}}}}.dump(), "Bearer reader"));
  EXPECT_NE(byIds.status, 200);
  // CreateTags answers the names it created: none.
  const auto create = Handle(
      Post("/v1/management/CreateTags", R"({"tagsByDefinition": {"VN_AnalogDef": ["TI900"]}})", "Bearer reader"));
  EXPECT_NE(create.body, R"({"result":["TI900"]})");
  EXPECT_EQ(BodyOf(Handle(Post("/v1/management/GetTagID", R"({"tagName": "TI900"})")))["result"].get<int>() > 0,
            false);
  EXPECT_EQ(dorvik::CurrentText("TI101", "VALUE").value_or(""), "12.5");
  EXPECT_EQ(Handle(Post("/v1/access/GetTagValues", R"({"tagList": {"TI101": ["VALUE"]}})", "Bearer reader")).status,
            200);
}

TEST_F(HostTest, SetTlsDataNeedsTheImpersonateRole) {
  const std::string body = R"({"key": "5C2E9A41-7B3D-4F06-A8E2-19D4C6B07F3A", "userContext": "VNT\\writer"})";
  const auto refused = Handle(Post("/v1/server/SetTLSData", body, "Bearer reader"));
  EXPECT_EQ(refused.status, 403);
  EXPECT_THAT(BodyOf(refused)["error"].get<std::string>(), HasSubstr("impersonate role"));
  dorvik::ClearCallLog();
  dorvik::EnableCallLog();
  EXPECT_EQ(Handle(Post("/v1/server/SetTLSData", body, "Bearer boss")).status, 200);
  // It lasted for that call only: the thread is the host's again.
  const auto contexts = CallArguments("SetTlsData");
  ASSERT_FALSE(contexts.empty());
  EXPECT_THAT(contexts.back(), HasSubstr("vnthost"));
}

TEST_F(HostTest, LimitsAre413NamingTheLimit) {
  const auto items = Handle(Post("/v1/management/FindNonexistingTags", R"({"tagNames": ["A", "B", "C", "D", "E"]})"));
  EXPECT_EQ(items.status, 413);
  EXPECT_THAT(BodyOf(items)["error"].get<std::string>(), HasSubstr("5 items; the limit is 4 items per call"));
  const auto history = Handle(Post("/v1/access/GetHistoryValuesByIds",
                                   R"({"request": [{"tagId": 1, "fieldId": 1, "query": {"maxCount": 101}}]})"));
  EXPECT_EQ(history.status, 413);
  EXPECT_THAT(BodyOf(history)["error"].get<std::string>(), HasSubstr("/request/0/query/maxCount"));
}

TEST_F(HostTest, StoppingOrADatabaseDownIs503WithRetryAfter) {
  dispatcher_.SetDatabaseDown(true);
  const auto down = Handle(Post("/v1/management/GetServerVersion", ""));
  EXPECT_EQ(down.status, 503);
  EXPECT_FALSE(Header(down, "Retry-After").empty());
  EXPECT_EQ(Handle({"GET", "/v1/health", "", "", "", "127.0.0.1"}).status, 503);
  dispatcher_.SetDatabaseDown(false);
  EXPECT_EQ(Handle(Post("/v1/management/GetServerVersion", "")).status, 200);
  dispatcher_.SetStopping();
  EXPECT_THAT(BodyOf(Handle(Post("/v1/management/GetServerVersion", "")))["error"].get<std::string>(),
              HasSubstr("stopping"));
}

TEST_F(HostTest, ADatabaseShutdownIs503UntilTheDatabaseIsBack) {
  const host::DatabaseWatch watch([this](bool down) { dispatcher_.SetDatabaseDown(down); },
                                  std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its session registers for the event
  const host::HttpRequest health{"GET", "/v1/health", "", "", "", "127.0.0.1"};
  dorvik::Shutdown(7);  // returns after this process's shutdown callbacks ran
  EXPECT_EQ(Handle(health).status, 503);
  EXPECT_EQ(Handle(Post("/v1/management/GetServerVersion", "")).status, 503);
  dorvik::Restart();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!dispatcher_.Available() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Handle(health).status, 200);
  EXPECT_EQ(Handle(Post("/v1/management/GetServerVersion", "")).status, 200);
}

TEST_F(HostTest, MetricsAreThePrometheusTextBehindCredentials) {
  host::Metrics metrics;
  metrics.Record("access", "GetTagValues", 200, std::chrono::microseconds(3000));
  metrics.Record("access", "GetTagValues", 200, std::chrono::microseconds(2'000'000));
  metrics.Record("access", "Get\"x", 404, std::chrono::microseconds(10));
  dispatcher_.SetMetricsSource([&] { return metrics.Text({3, 1, authenticator_.FailedLogins()}); });
  EXPECT_EQ(Handle({"GET", "/metrics", "", "", "", "127.0.0.1"}).status, 401);
  EXPECT_EQ(Handle({"GET", "/metrics", "Bearer forged", "", "", "127.0.0.1"}).status, 401);
  const auto answer = Handle({"GET", "/metrics", "Bearer reader", "", "", "127.0.0.1"});
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(answer.contentType, "text/plain; version=0.0.4");
  EXPECT_THAT(answer.body,
              HasSubstr("vntaccessd_calls_total{service=\"access\",operation=\"GetTagValues\",status=\"200\"} 2\n"));
  EXPECT_THAT(answer.body, HasSubstr("operation=\"Get\\\"x\",status=\"404\"} 1\n"));
  EXPECT_THAT(answer.body, HasSubstr("vntaccessd_call_seconds_bucket{le=\"0.005\"} 2\n"));
  EXPECT_THAT(answer.body, HasSubstr("vntaccessd_call_seconds_bucket{le=\"+Inf\"} 3\n"));
  EXPECT_THAT(answer.body, HasSubstr("vntaccessd_connections 3\n"));
  EXPECT_THAT(answer.body, HasSubstr("vntaccessd_failed_logins_total 1\n"));
}

TEST_F(HostTest, CallsOverTheAccountsLimitAre429) {
  host::HostLimits limits;
  limits.maxCallsPerAccount = 0;  // every slot taken
  host::Dispatcher dispatcher(authenticator_, runner_, limits);
  const auto busy = dispatcher.Handle(Post("/v1/management/GetServerVersion", ""));
  EXPECT_EQ(busy.status, 429);
  EXPECT_THAT(BodyOf(busy)["error"].get<std::string>(), HasSubstr("VNT\\writer has 0 calls in progress"));
  EXPECT_EQ(Header(busy, "Retry-After"), "1");
  // A slot is given back after each call, fault or not.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(Handle(Post("/v1/access/GetTagValues", R"({"tagList": {"TI101": []}})")).status, 422);
  }
  EXPECT_EQ(Handle(Post("/v1/management/GetServerVersion", "")).status, 200);
}

// Found by host_request_fuzz: an operation name that is not UTF-8 made the
// answer's JSON fail to encode, and the caller got 500 instead of 404.
TEST_F(HostTest, AnOperationNameThatIsNotUtf8IsAnsweredAsUnknown) {
  const auto answer = Handle(Post("/v1/server/SetTLSDat\xac", "{}", "Bearer boss"));
  EXPECT_EQ(answer.status, 404);
  EXPECT_THAT(BodyOf(answer)["error"].get<std::string>(), HasSubstr("SetTLSDat\xef\xbf\xbd"));
  // The same for a record name in the history route's query: the library's
  // fault (no such record), not 500.
  host::HttpRequest history{"GET", "/v1/history?record=TI1\x8b\x8c&field=VALUE&points=10", "Bearer writer", "", "",
                            "127.0.0.1"};
  const auto unknown = Handle(history);
  EXPECT_EQ(unknown.status, 422) << unknown.body;
  EXPECT_TRUE(BodyOf(unknown).contains("fault")) << unknown.body;
}

TEST_F(HostTest, NoAccountIsCarriedAcrossPooledCalls) {
  host::WorkerPool pool(1, 16, [this] { runner_.RestoreHostContext(); });
  auto onWorker = [&](const host::HttpRequest& request) {
    std::promise<host::HttpResponse> answer;
    auto future = answer.get_future();
    EXPECT_TRUE(pool.TrySubmit([&] { answer.set_value(dispatcher_.Handle(request)); }));
    return future.get();
  };
  dorvik::EnableCallLog();
  for (int round = 0; round < 3; ++round) {
    dorvik::ClearCallLog();
    EXPECT_EQ(onWorker(Post("/v1/access/SetTagValues", kWrite, "Bearer writer")).status, 200) << round;
    const auto writerContexts = CallArguments("SetTlsData");
    ASSERT_GE(writerContexts.size(), 2U);
    EXPECT_THAT(writerContexts, ::testing::Contains(HasSubstr("writer")));
    EXPECT_THAT(writerContexts.back(), HasSubstr("vnthost"));
    dorvik::ClearCallLog();
    EXPECT_EQ(onWorker(Post("/v1/access/SetTagValues", kWrite, "Bearer reader")).status, 422) << round;
    const auto readerContexts = CallArguments("SetTlsData");
    EXPECT_THAT(readerContexts, ::testing::Contains(HasSubstr("reader")));
    EXPECT_THAT(readerContexts, ::testing::Not(::testing::Contains(HasSubstr("writer"))));
    EXPECT_THAT(readerContexts.back(), HasSubstr("vnthost"));
  }
}

}  // namespace
}  // namespace vantrel::testing
