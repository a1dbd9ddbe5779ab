// GET /v1/history with points: a long history read in pages as the caller
// and reduced for a chart, the outsiders kept, every bad parameter answered
// with the parameter's name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "contracts/json.h"
#include "host/live/chart_history_route.h"
#include "tests/support/test_plant.h"

namespace vantrel::host::live {
namespace {

using contracts::Json;
using ::testing::HasSubstr;

constexpr int64_t kT0 = 1'700'000'000;  // 2023-11-14T22:13:20Z
constexpr int kValues = 25'000;         // three pages of the service's history limit

class ChartRouteTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dorvik::DatabaseBuilder builder = vantrel::testing::PlantBuilder();
    std::vector<dorvik::HistoryPoint> points;
    for (int i = 0; i < kValues; ++i) {
      const double value = i == 17'000 ? 999.0 : 50.0 + (i % 100) / 10.0;
      points.push_back({dorvik::Timestamp::FromSeconds(kT0 + i), value, 0});
    }
    builder.History(vantrel::testing::kTag1, "VALUE", std::move(points));
    vantrel::testing::InstallDatabase(builder);
  }

  static HttpResponse Get(const std::string& target) {
    HttpRequest request;
    request.method = "GET";
    request.target = target;
    auto response = ChartHistoryRoute(request, "VNT\\operator");
    if (!response) ADD_FAILURE() << "not routed: " << target;
    return response.value_or(HttpResponse{});
  }

  static std::vector<double> Reals(const Json& values) {
    std::vector<double> reals;
    for (const Json& value : values) reals.push_back(value["value"]["double"].get<double>());
    return reals;
  }
};

TEST_F(ChartRouteTest, ReadsEveryPageAndReducesToThePointsAsked) {
  const HttpResponse response =
      Get("/v1/history?record=TI100&field=VALUE&from=2023-11-14T22%3A13%3A20Z&to=2023-11-15T05:10:00Z&points=100");
  ASSERT_EQ(response.status, 200) << response.body;
  const Json body = Json::parse(response.body);
  EXPECT_EQ(body["raw"].get<int>(), kValues);
  EXPECT_FALSE(body["truncated"].get<bool>());
  EXPECT_EQ(body["points"].get<int>(), 100);
  const std::vector<double> shown = Reals(body["values"]);
  EXPECT_LE(shown.size(), 400U);
  EXPECT_GE(shown.size(), 100U);
  EXPECT_EQ(*std::max_element(shown.begin(), shown.end()), 999.0) << "the spike on the second page is drawn";
  EXPECT_EQ(*std::min_element(shown.begin(), shown.end()), 50.0);
  EXPECT_EQ(response.items, shown.size());
}

TEST_F(ChartRouteTest, KeepsTheValuesJustOutsideTheInterval) {
  // Values 1001 to 1999 inside; 1000 and 2000 are the outsiders.
  const HttpResponse response = Get(
      "/v1/history?record=TI100&field=VALUE&from=2023-11-14T22:30:00.5Z&to=2023-11-14T22:46:39.5Z&points=10"
      "&outsiders=BothA");
  ASSERT_EQ(response.status, 200) << response.body;
  const Json values = Json::parse(response.body)["values"];
  ASSERT_GE(values.size(), 3U);
  EXPECT_EQ(Json::parse(response.body)["raw"].get<int>(), 999 + 2);
  EXPECT_EQ(values.front()["timestamp"].get<std::string>().substr(0, 19), "2023-11-14T22:30:00");
  EXPECT_EQ(values.back()["timestamp"].get<std::string>().substr(0, 19), "2023-11-14T22:46:40");
}

TEST_F(ChartRouteTest, AnswersBadRequestsClearlyAndLeavesOthersToTheDispatcher) {
  EXPECT_EQ(Get("/v1/history?record=TI100&field=VALUE&points=0").status, 400);
  EXPECT_THAT(Get("/v1/history?record=TI100&field=VALUE&points=12x").body, HasSubstr("points must be"));
  EXPECT_THAT(Get("/v1/history?record=TI100&points=5").body, HasSubstr("field"));
  EXPECT_THAT(Get("/v1/history?record=TI100&field=VALUE&points=5&from=yesterday").body, HasSubstr("from"));
  EXPECT_THAT(Get("/v1/history?record=TI100&field=VALUE&points=5&outsiders=Most").body, HasSubstr("outsiders"));
  EXPECT_EQ(Get("/v1/history?record=NO_SUCH&field=VALUE&points=5").status, 404);

  HttpRequest plain;
  plain.method = "GET";
  plain.target = "/v1/history?record=TI100&field=VALUE";
  EXPECT_FALSE(ChartHistoryRoute(plain, "VNT\\operator").has_value());
  plain.target = "/v1/read?record=TI100&points=3";
  EXPECT_FALSE(ChartHistoryRoute(plain, "VNT\\operator").has_value());

  const auto query = QueryParameters("/x?a=1&b=%41%2f+c&a=2&flag&bad=%G1%4");
  EXPECT_EQ(query.at("a"), "2");
  EXPECT_EQ(query.at("b"), "A/ c");
  EXPECT_EQ(query.at("flag"), "");
  EXPECT_EQ(query.at("bad"), "%G1%4");
}

}  // namespace
}  // namespace vantrel::host::live
