// What travels back to a client: the columnar history answer when a client
// asks for it (the same values as the JSON answer), gzip only for a client
// that takes it, and the OpenAPI document of every route.
#include "host/response_encoding.h"

#include <cmath>
#include <set>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "contracts/operation_table.h"
#include "host/openapi.h"
#include "tests/host/host_fixture.h"
#include "wire/gzip.h"
#include "wire/history_columns.h"

namespace vantrel::testing {
namespace {

using contracts::Json;
using ::testing::HasSubstr;

std::string Header(const host::HttpResponse& response, const std::string& name) {
  for (const auto& [key, value] : response.headers) {
    if (key == name) return value;
  }
  return "";
}

constexpr int64_t kFirstSecond = 1'700'000'000;
constexpr int kHistoryCount = 60;

// TI101.VALUE keeps kHistoryCount values a second apart, with a level
// change and a gap of 30 s after the 20th.
class EncodingTest : public HostTest {
 protected:
  void SetUp() override {
    std::vector<dorvik::HistoryPoint> points;
    for (int i = 0; i < kHistoryCount; ++i) {
      const int64_t second = kFirstSecond + i + (i >= 20 ? 30 : 0);
      points.push_back({dorvik::Timestamp::FromSeconds(second), 0.5 * i, static_cast<int16_t>(i % 3)});
    }
    dorvik::Install(HostPlant().History("TI101", "VALUE", points));
    access::Session::RefreshAll();
  }

  std::string HistoryBody(int maxCount) {
    const int32_t tagId = BodyOf(Handle(Post("/v1/management/GetTagID", R"({"tagName": "TI101"})")))["result"];
    const int32_t fieldId = BodyOf(Handle(Post("/v1/management/GetFieldID", R"({"fieldName": "VALUE"})")))["result"];
    return Json{{"request",
                 {{{"tagId", tagId},
                   {"fieldId", fieldId},
                   {"query",
                    {{"startTime", "2023-11-14T00:00:00Z"},
                     {"endTime", "2023-11-16T00:00:00Z"},
                     {"maxCount", maxCount},
                     {"requestType", "Kind4"}}}}}}}
        .dump();
  }

  host::HttpRequest HistoryCall(int maxCount, const std::string& accept, const std::string& acceptEncoding = "") {
    host::HttpRequest request = Post("/v1/access/GetHistoryValuesByIds", HistoryBody(maxCount));
    request.accept = accept;
    request.acceptEncoding = acceptEncoding;
    return request;
  }
};

TEST_F(EncodingTest, ColumnsCarryTheSameValuesAsTheJsonAnswer) {
  const auto json = Handle(HistoryCall(100, "application/json"));
  ASSERT_EQ(json.status, 200) << json.body;
  EXPECT_EQ(json.contentType, "application/json");
  const auto columns = Handle(HistoryCall(100, "application/x-vantrel-columns, application/json;q=0.5"));
  ASSERT_EQ(columns.status, 200) << columns.body;
  EXPECT_EQ(columns.contentType, wire::kColumnsMediaType);

  const auto series = wire::DecodeHistoryColumns(columns.body);
  ASSERT_EQ(series.size(), 1U);
  const Json body = BodyOf(json);
  const Json& result = body["result"];
  ASSERT_EQ(result.size(), 1U) << json.body;
  const Json& values = result.begin().value().begin().value();
  EXPECT_EQ(series[0].tagId, std::stoi(result.begin().key()));
  ASSERT_EQ(series[0].times.size(), values.size());
  ASSERT_EQ(values.size(), static_cast<std::size_t>(kHistoryCount));
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto time = contracts::FromJson<contracts::DateTime>(values[i]["timestamp"]);
    EXPECT_EQ(series[0].times[i], wire::NanosecondsOf(time)) << i;
    EXPECT_EQ(series[0].values[i], values[i]["value"]["double"].get<double>()) << i;
    EXPECT_EQ(series[0].status[i], values[i].value("status", 0)) << i;
    EXPECT_EQ(series[0].level[i], values[i].value("level", 0)) << i;
  }
  // The gap after the 20th value is in the times.
  EXPECT_EQ(series[0].times[20] - series[0].times[19], 31'000'000'000);
}

TEST_F(EncodingTest, ColumnsAreOnlyForHistoryAndOnlyWhenAsked) {
  EXPECT_EQ(Handle(HistoryCall(5, "application/x-vantrel-columns;q=0")).contentType, "application/json");
  EXPECT_EQ(Handle(HistoryCall(5, "*/*")).contentType, "application/json");
  auto read = Post("/v1/access/GetTagValues", R"({"tagList": {"TI101": ["VALUE"]}})");
  read.accept = "application/x-vantrel-columns";
  EXPECT_EQ(Handle(read).contentType, "application/json");
  // Errors stay JSON whatever was asked.
  const auto over = Handle(HistoryCall(101, "application/x-vantrel-columns"));
  EXPECT_EQ(over.status, 413);
  EXPECT_EQ(over.contentType, "application/json");
}

TEST_F(EncodingTest, GzipOnlyForAClientThatTakesItAndOnlyWhenWorthIt) {
  const auto plain = Handle(HistoryCall(100, "application/json"));
  ASSERT_GE(plain.body.size(), host::kGzipMinBytes);
  EXPECT_EQ(Header(plain, "Content-Encoding"), "");
  EXPECT_EQ(Header(plain, "Vary"), "Accept-Encoding");
  EXPECT_EQ(Header(Handle(HistoryCall(100, "application/json", "gzip;q=0, identity")), "Content-Encoding"), "");

  const auto packed = Handle(HistoryCall(100, "application/json", "deflate, gzip"));
  EXPECT_EQ(Header(packed, "Content-Encoding"), "gzip");
  EXPECT_LT(packed.body.size(), plain.body.size());
  EXPECT_EQ(wire::GzipDecompress(packed.body, 1 << 20), plain.body);

  const auto small = Handle(HistoryCall(1, "application/json", "gzip"));
  EXPECT_LT(small.body.size(), host::kGzipMinBytes);
  EXPECT_EQ(Header(small, "Content-Encoding"), "");
  // The columnar answer goes as it is to this machine, compressed to another.
  const auto columns = Handle(HistoryCall(100, "application/x-vantrel-columns", "gzip"));
  EXPECT_EQ(Header(columns, "Content-Encoding"), "");
  EXPECT_NO_THROW(wire::DecodeHistoryColumns(columns.body));
  auto fromAfar = HistoryCall(100, "application/x-vantrel-columns", "gzip");
  fromAfar.source = "10.1.2.3";
  const auto packedColumns = Handle(fromAfar);
  EXPECT_EQ(Header(packedColumns, "Content-Encoding"), "gzip");
  EXPECT_EQ(wire::GzipDecompress(packedColumns.body, 1 << 20), columns.body);
}

TEST(AcceptTest, ColumnsAreNamedWithAQualityAboveZero) {
  EXPECT_TRUE(host::AcceptsColumns("application/x-vantrel-columns"));
  EXPECT_TRUE(host::AcceptsColumns("application/json;q=0.5, Application/X-Vantrel-Columns ; q=0.9"));
  EXPECT_FALSE(host::AcceptsColumns(""));
  EXPECT_FALSE(host::AcceptsColumns("application/json"));
  EXPECT_FALSE(host::AcceptsColumns("application/x-vantrel-columns;q=0.0"));
  EXPECT_FALSE(host::AcceptsColumns("application/x-vantrel-columns-v2"));
}

TEST_F(HostTest, TheOpenApiDocumentNamesEveryOperationAndRoute) {
  const auto answer = Handle({"GET", "/v1/openapi.json", "Bearer reader", "", "", "127.0.0.1"});
  ASSERT_EQ(answer.status, 200) << answer.body;
  const Json document = BodyOf(answer);  // valid JSON, or this throws
  EXPECT_THAT(document["openapi"].get<std::string>(), ::testing::StartsWith("3."));
  EXPECT_TRUE(document["info"].contains("title"));
  EXPECT_TRUE(document["info"].contains("version"));
  const Json& paths = document["paths"];
  for (const auto& operation : contracts::Operations()) {
    const std::string path = "/v1/" + std::string(contracts::ServiceName(operation.service)) + "/" +
                             std::string(operation.name);
    ASSERT_TRUE(paths.contains(path)) << path;
    const Json& post = paths[path]["post"];
    EXPECT_TRUE(post["responses"].contains("200")) << path;
    EXPECT_TRUE(post["responses"].contains("422")) << path;
    for (const auto& parameter : operation.parameters) {
      EXPECT_TRUE(post["requestBody"]["content"]["application/json"]["schema"]["properties"].contains(
          std::string(parameter.name)))
          << path << " " << parameter.name;
    }
  }
  EXPECT_TRUE(paths["/v1/access/GetHistoryValuesByIds"]["post"]["responses"]["200"]["content"].contains(
      std::string(wire::kColumnsMediaType)));
  std::set<std::string> keys;
  for (const auto& [key, value] : paths.items()) keys.insert(key);
  EXPECT_EQ(keys.size(), contracts::Operations().size() + host::FixedRoutes().size());
  EXPECT_EQ(Handle({"POST", "/v1/openapi.json", "Bearer reader", "", "", "127.0.0.1"}).status, 405);
  EXPECT_EQ(Handle({"GET", "/v1/openapi.json", "", "", "", "127.0.0.1"}).status, 401);
}

TEST_F(HostTest, EveryFixedRouteOfTheDocumentIsServed) {
  dispatcher_.SetMetricsSource([] { return std::string("# metrics\n"); });
  for (const auto& route : host::FixedRoutes()) {
    const bool chart = route.path == "/v1/history";
    if (route.path == "/v1/login" || route.path == "/v1/logout" || route.path == "/v1/session") {
      continue;  // served by the page's front door (host/web), checked in host_web_tests
    }
    const std::string target = std::string(route.path) + (chart ? "?record=TI101&field=VALUE&points=10" : "");
    const auto answer = Handle({std::string(route.method), target, "Bearer reader", "", "", "127.0.0.1"});
    EXPECT_NE(answer.status, 404) << route.path << ": " << answer.body;
    EXPECT_NE(answer.status, 405) << route.path;
  }
}

}  // namespace
}  // namespace vantrel::testing
