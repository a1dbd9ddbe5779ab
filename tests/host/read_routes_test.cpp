// The tool's views on GET routes, without a network: the answers as the
// caller and the worker's context given back, the parameters checked and
// named, names that resolve to nothing, the host's limits and
// availability, and the routes in the OpenAPI document. That the bodies
// equal the tool's own output is checked on a real host in vntaccessd_tests.
#include "host/read_routes.h"

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/openapi.h"
#include "host/query_text.h"
#include "tests/host/host_fixture.h"
#include "tests/support/test_plant.h"

namespace vantrel::testing {
namespace {

using ::testing::HasSubstr;
using contracts::Json;

host::HttpRequest Get(const std::string& target, const std::string& authorization = "Bearer reader") {
  return host::HttpRequest{"GET", target, authorization, "", "", "127.0.0.1"};
}

std::string ErrorOf(const host::HttpResponse& response) { return BodyOf(response).value("error", ""); }

TEST_F(HostTest, ReadRoutesAnswerAsTheCallerAndGiveTheWorkerBack) {
  dorvik::EnableCallLog();
  const auto read = Handle(Get("/v1/read?record=TI101&field=VALUE"));
  ASSERT_EQ(read.status, 200) << read.body;
  const Json body = BodyOf(read);
  EXPECT_DOUBLE_EQ(body["TI101"]["VALUE"]["value"].get<double>(), 12.5);
  EXPECT_EQ(body["TI101"]["VALUE"]["time"], "2023-11-14T22:13:20Z");
  EXPECT_EQ(read.body, body.dump(2) + "\n");  // printed as the tool prints --json
  EXPECT_EQ(read.account, "VNT\\reader");
  EXPECT_EQ(read.service, "view");
  EXPECT_EQ(read.operation, "read");
  EXPECT_EQ(read.items, 1U);
  const auto contexts = CallArguments("SetTlsData");
  ASSERT_FALSE(contexts.empty());
  EXPECT_THAT(contexts.back(), HasSubstr("vnthost"));
  // Without field, every field of the definition; the writer sees what the reader sees.
  const auto all = Handle(Get("/v1/read?record=TI101,TI102", "Bearer writer"));
  ASSERT_EQ(all.status, 200) << all.body;
  EXPECT_EQ(BodyOf(all)["TI101"]["UNITS"]["value"], "degC");
  EXPECT_TRUE(BodyOf(all)["TI102"].contains("VALUE"));
  EXPECT_EQ(all.items, 4U);
  EXPECT_EQ(Handle(Get("/v1/read?record=TI101,TI102")).body, all.body);
  // A pattern with its field, percent-encoded, as the tool's 'TI*.VALUE'.
  const auto pattern = Handle(Get("/v1/read?record=TI%2A.VALUE"));
  ASSERT_EQ(pattern.status, 200) << pattern.body;
  EXPECT_EQ(BodyOf(pattern).size(), 2U);
}

TEST_F(HostTest, ReadRoutesServeTheConfigurationAndReferences) {
  const auto definitions = Handle(Get("/v1/definitions"));
  ASSERT_EQ(definitions.status, 200) << definitions.body;
  EXPECT_EQ(BodyOf(definitions)[kDefinition]["records"], 2);
  const auto records = Handle(Get("/v1/records?definition=TI101&like=ti*2"));
  ASSERT_EQ(records.status, 200) << records.body;
  EXPECT_EQ(BodyOf(records)["definition"], kDefinition);
  EXPECT_EQ(BodyOf(records)["records"].size(), 1U);
  EXPECT_TRUE(BodyOf(records)["records"].contains("TI102"));
  const auto fields = Handle(Get("/v1/fields?record=TI101"));
  ASSERT_EQ(fields.status, 200) << fields.body;
  EXPECT_EQ(BodyOf(fields)["record"], "TI101");
  EXPECT_EQ(BodyOf(fields)["fields"]["VALUE"]["history"], true);
  EXPECT_EQ(Handle(Get("/v1/fields?definition=VN_AnalogDef")).status, 200);
  const auto refs = Handle(Get("/v1/refs?name=TI101&name=TI101&source=fields"));
  ASSERT_EQ(refs.status, 200) << refs.body;
  EXPECT_EQ(BodyOf(refs), (Json{{"TI101", Json::object()}}));
  const auto history =
      Handle(Get("/v1/history?record=TI101&field=VALUE&from=2023-11-14T00:00:00Z&to=2023-11-15T00:00:00Z&max=10"));
  ASSERT_EQ(history.status, 200) << history.body;
  EXPECT_EQ(history.operation, "history");
  EXPECT_EQ(BodyOf(history)["units"], "degC");
  EXPECT_EQ(BodyOf(history)["from"], "2023-11-14T00:00:00Z");
}

TEST_F(HostTest, ReadRoutesNameTheParameterTheyRefuse) {
  const auto unknown = Handle(Get("/v1/read?record=TI101&fild=VALUE"));
  EXPECT_EQ(unknown.status, 400);
  EXPECT_THAT(ErrorOf(unknown), HasSubstr("unknown parameter fild for /v1/read; parameters: record, field"));
  EXPECT_THAT(ErrorOf(Handle(Get("/v1/definitions?x=1"))), HasSubstr("it takes none"));
  const auto missing = Handle(Get("/v1/read?field=VALUE"));
  EXPECT_EQ(missing.status, 400);
  EXPECT_THAT(ErrorOf(missing), HasSubstr("the parameter record is needed"));
  const auto badTime = Handle(Get("/v1/history?record=TI101&field=VALUE&from=yesterday-ish"));
  EXPECT_EQ(badTime.status, 400);
  EXPECT_THAT(ErrorOf(badTime), HasSubstr("from: "));
  const auto twice = Handle(Get("/v1/history?record=TI101&field=VALUE&field=UNITS"));
  EXPECT_EQ(twice.status, 400);
  EXPECT_THAT(ErrorOf(twice), HasSubstr("field is given 2 times"));
  EXPECT_THAT(ErrorOf(Handle(Get("/v1/history?record=TI101&field=VALUE&outsiders=Most"))),
              HasSubstr("outsiders: 'Most' is not a kind"));
  EXPECT_THAT(ErrorOf(Handle(Get("/v1/history?record=TI101&field=VALUE&max=0"))), HasSubstr("max"));
  EXPECT_THAT(ErrorOf(Handle(Get("/v1/refs?name=TI101&source=disk"))), HasSubstr("'disk' is not a source"));
  EXPECT_THAT(ErrorOf(Handle(Get("/v1/records?definition=TI101&like="))), HasSubstr("like: the pattern is empty"));
  EXPECT_EQ(Handle(Get("/v1/records")).status, 400);
  EXPECT_EQ(Handle(host::HttpRequest{"POST", "/v1/read?record=TI101", "Bearer reader", "", "", "127.0.0.1"}).status,
            405);
  EXPECT_EQ(Handle(Get("/v1/read?record=TI101", "")).status, 401);
}

TEST_F(HostTest, ReadRoutesAnswerUnknownNamesWithTheToolsSuggestions) {
  const auto record = Handle(Get("/v1/read?record=TI10l&field=VALUE"));
  EXPECT_EQ(record.status, 404);
  EXPECT_THAT(ErrorOf(record), HasSubstr("TI10l"));
  EXPECT_THAT(ErrorOf(record), HasSubstr("TI101"));
  const auto field = Handle(Get("/v1/read?record=TI101&field=VALU"));
  EXPECT_EQ(field.status, 404);
  EXPECT_THAT(ErrorOf(field), HasSubstr("VALUE"));
  const auto noHistory = Handle(Get("/v1/history?record=TI101&field=UNITS"));
  EXPECT_EQ(noHistory.status, 404);
  EXPECT_THAT(ErrorOf(noHistory), HasSubstr("keeps no history"));
  EXPECT_EQ(Handle(Get("/v1/fields?definition=NO_SUCH_DEF")).status, 404);
}

TEST_F(HostTest, ReadRoutesKeepTheHostsLimitsAndAvailability) {
  const auto history = Handle(Get("/v1/history?record=TI101&field=VALUE&max=101"));
  EXPECT_EQ(history.status, 413);
  EXPECT_THAT(ErrorOf(history), HasSubstr("101 history values asked; the limit is 100 per request"));
  const auto names = Handle(Get("/v1/refs?name=A&name=B&name=C&name=D&name=E"));
  EXPECT_EQ(names.status, 413);
  EXPECT_THAT(ErrorOf(names), HasSubstr("the limit is 4 items per call"));
  dispatcher_.SetDatabaseDown(true);
  const auto down = Handle(Get("/v1/definitions"));
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(down.operation, "definitions");
}

TEST_F(HostTest, ReadRoutesAreInTheApiDocument) {
  const Json paths = host::OpenApiDocument("1")["paths"];
  for (const char* route : {"read", "history", "records", "fields", "definitions", "refs"}) {
    const std::string path = std::string("/v1/") + route;
    ASSERT_TRUE(paths.contains(path)) << path;
    EXPECT_TRUE(paths[path].contains("get")) << path;
    EXPECT_EQ(host::ReadRouteName(path), route);
  }
  EXPECT_EQ(host::ReadRouteName("/v1/reads"), "");
  EXPECT_EQ(host::QueryPairs("/v1/read?a=1&&b=x+y%21&a"),
            (std::vector<std::pair<std::string, std::string>>{{"a", "1"}, {"b", "x y!"}, {"a", ""}}));
}

}  // namespace
}  // namespace vantrel::testing
