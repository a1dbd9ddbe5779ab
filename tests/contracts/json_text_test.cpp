// The two forms the converter writes, text (ToJsonText, what a host sends)
// and document (ToJson, what the tool prints), must never drift apart; and
// the quick request reader must read what the thorough one reads, or leave
// the text to it. Each test compares both over many values, awkward ones
// above all.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "contracts/json.h"
#include "contracts/operation_table.h"

namespace vantrel::contracts {
namespace {

// What the host wrote before it had a text writer: the document, dumped.
template <typename T>
std::string Dumped(const T& value) {
  return ToJson(value).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::vector<double> AwkwardDoubles() {
  using Limits = std::numeric_limits<double>;
  std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 0.1, 1.5, 100.0, 1e15, 1e16, 1e17, 1e21, 1e22, 1e-4, 1e-5,
                                1e-7, 123456789.123, 5e-324, -5e-324, 2.2250738585072014e-308, Limits::max(),
                                Limits::lowest(), Limits::min(), Limits::epsilon(), 9007199254740993.0,
                                Limits::quiet_NaN(), Limits::infinity(), -Limits::infinity()};
  std::mt19937_64 random(22);
  for (int i = 0; i < 20'000; ++i) {
    const double value = std::bit_cast<double>(random());
    values.push_back(value);
    values.push_back(static_cast<double>(static_cast<int64_t>(random()) >> (i % 60)) / 1000.0);
  }
  return values;
}

std::vector<float> AwkwardFloats() {
  using Limits = std::numeric_limits<float>;
  std::vector<float> values = {0.0f, -0.0f, 1.1f, 0.1f, 3.4e38f, Limits::max(), Limits::min(), Limits::denorm_min(),
                               16777217.0f, Limits::quiet_NaN(), Limits::infinity(), -Limits::infinity()};
  std::mt19937 random(7);
  for (int i = 0; i < 5'000; ++i) values.push_back(std::bit_cast<float>(static_cast<uint32_t>(random())));
  return values;
}

// withBrokenUtf8: also texts that are not UTF-8 (which the text replaces,
// so they cannot read back).
std::vector<std::string> AwkwardTexts(bool withBrokenUtf8 = true) {
  std::vector<std::string> texts = {"",
          "TI101",
          "with \"quotes\" and \\backslash\\",
          "controls \b\f\n\r\t\x01\x1f and DEL \x7f",
          std::string("a NUL \0 inside", 14),
          "caf\xC3\xA9, \xE2\x82\xAC, \xF0\x9F\x98\x80",
          "/~ pointer characters ~1 ~0",
          "</script>"};
  // Plain texts about the length the writer gathers in one piece, and past it.
  for (const std::size_t length : {90, 91, 92, 93, 94, 95, 96, 97, 300}) texts.push_back(std::string(length, 'x'));
  texts.push_back(std::string(200, 'y') + "\n");
  if (withBrokenUtf8) texts.insert(texts.end(), {"cut UTF-8 \xC3", "not UTF-8 \xFF\xFE and \xC0\xAF"});
  return texts;
}

std::vector<DateTime> AwkwardTimes() {
  std::vector<DateTime> times = {DateTime::MinValue, DateTime::MaxValue, DateTime(2024, 2, 29, 23, 59, 59)};
  std::mt19937_64 random(3);
  for (int i = 0; i < 3'000; ++i) {
    const auto ticks = static_cast<int64_t>(random() % static_cast<uint64_t>(DateTime::MaxValue.Ticks() + 1));
    times.emplace_back(ticks, static_cast<DateTimeKind>(i % 3));
  }
  return times;
}

// Every kind of value, each with many awkward contents, keyed by awkward ids.
TagValuesByIds AwkwardAnswer(bool withBrokenUtf8 = true) {
  TagValuesByIds answer;
  int32_t tag = std::numeric_limits<int32_t>::min();
  auto add = [&](Value value, DateTime time) {
    answer[tag][-(tag % 7)] = {TagValue(std::move(value), time, tag % 1000, -1)};
    tag = static_cast<int32_t>(static_cast<uint32_t>(tag) + 104'729U);  // wraps round the ids' range
  };
  const DateTime when(638'000'000'123'456'789, DateTimeKind::Utc);
  for (double value : AwkwardDoubles()) add(value, when);
  for (float value : AwkwardFloats()) add(value, when);
  for (const std::string& text : AwkwardTexts(withBrokenUtf8)) add(text, when);
  for (const DateTime& time : AwkwardTimes()) add(time, time);
  constexpr int64_t kLeast = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMost = std::numeric_limits<int64_t>::max();
  for (int64_t value : {kLeast, int64_t{-1}, int64_t{0}, kMost}) {
    add(value, when);
    add(static_cast<int32_t>(value), when);
    add(static_cast<int16_t>(value), when);
  }
  add(true, when);
  add(false, when);
  add(std::monostate{}, DateTime::MinValue);
  add(TagIdentifiers{{"T\"1\"", std::numeric_limits<int32_t>::min()}, {"", 0}}, when);
  answer[std::numeric_limits<int32_t>::max()] = {};
  return answer;
}

TEST(JsonText, IsTheDumpedDocumentToTheByteForEveryKindOfValue) {
  const TagValuesByIds answer = AwkwardAnswer();
  ASSERT_GT(answer.size(), 40'000u);
  EXPECT_EQ(ToJsonText(answer), Dumped(answer));
}

TEST(JsonText, IsTheDumpedDocumentForOtherRecordsAndNameKeyedMaps) {
  TagValuesByNames byNames;
  for (const std::string& text : AwkwardTexts()) {
    byNames[text][text + ".F"] = {TagValue(text, DateTime::MaxValue, 0, 0)};
  }
  EXPECT_EQ(ToJsonText(byNames), Dumped(byNames));

  FieldDefinition definition;
  definition.Name = "VALUE";
  definition.DataType = TypeCode::Double;
  definition.FormattedStrings = {{0, "a\tb"}, {-1, "\xFF"}};
  const FieldDefinitionsByTagName definitions{{"TI101", {definition, FieldDefinition{}}}};
  EXPECT_EQ(ToJsonText(definitions), Dumped(definitions));
  const HistoryRequests requests{{5, 0x20000, HistoryQuery{}}};
  EXPECT_EQ(ToJsonText(requests), Dumped(requests));
  EXPECT_EQ(ToJsonText(ServiceException("ArgumentException", "bad \"name\"\n")),
            Dumped(ServiceException("ArgumentException", "bad \"name\"\n")));
  EXPECT_EQ(ToJsonText(TagIds{}), "[]");
  EXPECT_EQ(ToJsonText(TagValuesByIds{}), "{}");
}

// The text reads back to the value it was written from, bit for bit.
TEST(JsonText, ReadsBackToTheSameValues) {
  const TagValuesByIds answer = AwkwardAnswer(false);
  const auto back = ParseJson<TagValuesByIds>(ToJsonText(answer));
  ASSERT_EQ(back.size(), answer.size());
  auto it = back.begin();
  for (const auto& [tag, fields] : answer) {
    ASSERT_EQ(it->first, tag);
    ASSERT_EQ(it->second.size(), fields.size());
    if (fields.empty()) {
      ++it;
      continue;
    }
    ASSERT_EQ(it->second.begin()->first, fields.begin()->first);
    ASSERT_EQ(it->second.begin()->second.size(), 1u);
    const TagValue& expected = fields.begin()->second[0];
    const TagValue& got = it->second.begin()->second[0];
    ASSERT_EQ(expected.Value.index(), got.Value.index()) << tag;
    if (const auto* real = std::get_if<double>(&expected.Value)) {
      const double gotReal = std::get<double>(got.Value);
      EXPECT_TRUE(std::isnan(*real) ? std::isnan(gotReal)
                                    : std::bit_cast<uint64_t>(*real) == std::bit_cast<uint64_t>(gotReal))
          << tag;
    } else if (const auto* single = std::get_if<float>(&expected.Value)) {
      const float gotSingle = std::get<float>(got.Value);
      EXPECT_TRUE(std::isnan(*single) ? std::isnan(gotSingle)
                                      : std::bit_cast<uint32_t>(*single) == std::bit_cast<uint32_t>(gotSingle))
          << tag;
    } else {
      EXPECT_EQ(expected, got) << tag;
    }
    EXPECT_EQ(expected.Timestamp.Kind(), got.Timestamp.Kind());
    ++it;
  }
}

TEST(DateTimeText, KeepsTheFormattedFormAndReadsBack) {
  for (const DateTime& time : AwkwardTimes()) {
    const int64_t ticks = time.Ticks();
    const std::string expected =
        fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:07}{}", time.Year(), time.Month(), time.Day(), time.Hour(),
                    time.Minute(), time.Second(), ticks % DateTime::kTicksPerSecond,
                    time.Kind() == DateTimeKind::Utc ? "Z" : time.Kind() == DateTimeKind::Local ? "[local]" : "");
    ASSERT_EQ(time.ToRoundTripString(), expected);
    const DateTime back = DateTime::Parse(expected);
    ASSERT_EQ(back.Ticks(), ticks);
    ASSERT_EQ(back.Kind(), time.Kind());
  }
}

// ---- the quick request reader

// PrepareText must give what the thorough path gives, value or error.
template <typename Argument>
void ExpectSameReading(std::string_view operationName, const std::string& body) {
  SCOPED_TRACE(body);
  const Operation& operation = *FindOperation(ServiceKind::kAccess, operationName);
  std::optional<Argument> thorough;
  std::string thoroughError;
  try {
    thorough = operation.Prepare(body.empty() ? Json::object() : ParseJsonText(body)).Argument<Argument>(0);
  } catch (const JsonFormatError& error) {
    thoroughError = error.what();
  }
  try {
    const Argument quick = operation.PrepareText(body).Argument<Argument>(0);
    ASSERT_TRUE(thorough.has_value()) << "the thorough reader refused it: " << thoroughError;
    EXPECT_EQ(quick, *thorough);
    EXPECT_TRUE(std::equal(quick.begin(), quick.end(), thorough->begin(), thorough->end()));  // the order too
  } catch (const JsonFormatError& error) {
    EXPECT_FALSE(thorough.has_value());
    EXPECT_EQ(error.what(), thoroughError);
  }
}

TEST(QuickRequestReader, ReadsWhatTheThoroughReaderReadsByIds) {
  for (const std::string body : {
           R"({"tagList": {"5": [65536, 131072], "-3": [], "2147483647": [-2147483648]}})",
           " \n{\t\"tagList\" :{ \"5\" : [ 1 ,2 ] } }\r\n",
           R"({"tagList": {}})",
           R"({"tagList": {"5": [-0]}})",
           // All of these fall to the thorough reader: its value or its error.
           R"({"tagList": {"5": [1], "5": [2]}})",
           R"({"tagList": {"05": [1]}})",
           R"({"tagList": {"+5": [1]}})",
           R"({"tagList": {"-0": [1]}})",
           R"({"tagList": {"2147483648": [1]}})",
           R"({"tagList": {"5": [2147483648]}})",
           R"({"tagList": {"5": [1.0]}})",
           R"({"tagList": {"5": [1e3]}})",
           R"({"tagList": {"5": [01]}})",
           R"({"tagList": {"5": ["1"]}})",
           R"({"tagList": {"\u0035": [1]}})",
           R"({"tagList": {"5": [1,]}})",
           R"({"tagList": {"5": [1]}} trailing)",
           R"({"tagList": {"5": [1]}, "tagList": {"6": [2]}})",
           R"({"tagList": {"5": [1]}, "other": 1})",
           R"({"tagList": [5]})",
           R"({})",
           R"([])",
           "",
           "{\"tagList\": {\"5\": [1]",
           "\xEF\xBB\xBF{\"tagList\": {\"5\": [1]}}",
       }) {
    ExpectSameReading<TagsById>("GetTagValuesByIds", body);
  }
}

TEST(QuickRequestReader, ReadsWhatTheThoroughReaderReadsByNames) {
  for (const std::string body : {
           R"({"tagList": {"TI101": ["VALUE", "LABEL"], "FI-7/a b": []}})",
           R"({"tagList": {"TI101": ["VALUE"], "TI101": ["LABEL"]}})",
           R"({"tagList": {"T\"1": ["VALUE"]}})",
           R"({"tagList": {"T\u00e9": ["VALUE"]}})",
           "{\"tagList\": {\"T\xC3\xA9\": [\"VALUE\"]}}",
           "{\"tagList\": {\"T\xFF\": [\"VALUE\"]}}",
           "{\"tagList\": {\"T\tab\": [\"VALUE\"]}}",
           R"({"tagList": {"TI101": [5]}})",
           R"({"tagList": {"TI101": null}})",
       }) {
    ExpectSameReading<Tags>("GetTagValues", body);
  }
}

TEST(QuickRequestReader, ReadsLargeRequestsInTheirOrder) {
  std::string body = R"({"tagList": {)";
  for (int tag = 20'000; tag > 0; tag -= 3) {
    body += fmt::format("{}\"{}\": [{}, {}]", tag == 20'000 ? "" : ",", tag, tag * 2, -tag);
  }
  body += "}}";
  ExpectSameReading<TagsById>("GetTagValuesByIds", body);
}

}  // namespace
}  // namespace vantrel::contracts
