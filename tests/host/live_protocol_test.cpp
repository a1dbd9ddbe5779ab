// The live stream's messages: requests read strictly (what is wrong is
// named), updates written in the contracts' value form.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contracts/json.h"
#include "host/live/live_protocol.h"
#include "platform/exceptions.h"

namespace vantrel::host::live {
namespace {

using contracts::Json;
using ::testing::HasSubstr;

std::string ErrorOf(const std::string& text) {
  try {
    ParseLiveRequest(text);
  } catch (const platform::ArgumentException& error) {
    return error.what();
  }
  return "";
}

TEST(LiveProtocolTest, ReadsEachRequestAndNamesWhatIsWrong) {
  const LiveRequest subscribe = ParseLiveRequest(R"({"subscribe": {"TI101": ["VALUE", "UNITS"], "PI201": ["VALUE"]}})");
  EXPECT_EQ(subscribe.kind, LiveRequest::Kind::kSubscribe);
  ASSERT_EQ(subscribe.tags.size(), 2U);
  EXPECT_EQ(subscribe.tags.begin()->first, "TI101");  // in the message's order
  EXPECT_EQ(subscribe.tags.at("TI101"), (std::vector<std::string>{"VALUE", "UNITS"}));
  EXPECT_EQ(ParseLiveRequest(R"({"unsubscribe": {"TI101": ["UNITS"]}})").kind, LiveRequest::Kind::kUnsubscribe);
  const LiveRequest task = ParseLiveRequest(R"({"watchTask": "VN_Task"})");
  EXPECT_EQ(task.kind, LiveRequest::Kind::kWatchTask);
  EXPECT_EQ(task.task, "VN_Task");

  EXPECT_THAT(ErrorOf("{"), HasSubstr("not JSON"));
  EXPECT_THAT(ErrorOf("[]"), HasSubstr("one member"));
  EXPECT_THAT(ErrorOf(R"({"subscribe": {}, "watchTask": "T"})"), HasSubstr("one member"));
  EXPECT_THAT(ErrorOf(R"({"publish": {}})"), HasSubstr("unknown message \"publish\""));
  EXPECT_THAT(ErrorOf(R"({"subscribe": {"TI101": "VALUE"}})"), HasSubstr("/subscribe/TI101"));
  EXPECT_THAT(ErrorOf(R"({"watchTask": 5})"), HasSubstr("/watchTask"));
  EXPECT_THAT(ErrorOf(std::string(kMaxRequestBytes + 1, ' ')), HasSubstr("at most"));
}

TEST(LiveProtocolTest, WritesValuesRefusalsAndTasks) {
  std::vector<LiveUpdate> updates(3);
  updates[0].record = "TI101";
  updates[0].field = "VALUE";
  const contracts::DateTime time(2024, 3, 6, 12, 0, 0, 0, contracts::DateTimeKind::Utc);
  updates[0].values.emplace_back(74.25, time, 2, 1);
  updates[0].missed = 3;
  updates[1].kind = LiveUpdate::Kind::kRefused;
  updates[1].record = "XX";
  updates[1].field = "VALUE";
  updates[1].reason = "no such record";
  updates[2].kind = LiveUpdate::Kind::kActivations;
  updates[2].record = "VN_Task";
  updates[2].pending = 2;
  const Json message = Json::parse(EncodeUpdates(updates));
  const Json& list = message.at("updates");
  ASSERT_EQ(list.size(), 3U);
  EXPECT_EQ(list[0].at("values")[0].at("value").at("double").get<double>(), 74.25);
  EXPECT_EQ(list[0].at("values")[0].at("timestamp").get<std::string>(), "2024-03-06T12:00:00.0000000Z");
  EXPECT_EQ(list[0].at("values")[0].at("status").get<int>(), 2);
  EXPECT_EQ(list[0].at("missed").get<int>(), 3);
  EXPECT_EQ(list[1].at("refused").get<std::string>(), "no such record");
  EXPECT_EQ(list[2].at("task").get<std::string>(), "VN_Task");
  EXPECT_EQ(list[2].at("pending").get<int>(), 2);
  EXPECT_EQ(Json::parse(EncodeError("bad \"x\"")).at("error").get<std::string>(), "bad \"x\"");
}

}  // namespace
}  // namespace vantrel::host::live
