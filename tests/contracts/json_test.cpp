#include "contracts/json.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include <fmt/format.h>

namespace vantrel::contracts {
namespace {

// One TagValue of every value kind, with every timestamp kind among them.
TagValues EveryKindOfValue() {
  const DateTime utc(638'000'000'123'456'789, DateTimeKind::Utc);
  return {
      TagValue(std::monostate{}, DateTime::MinValue, TagValue::kNoStatus, TagValue::kNoLevel),
      TagValue(true, utc, 0, 1),
      TagValue(int16_t{-32768}, utc.WithKind(DateTimeKind::Local), 2, -6),
      TagValue(int32_t{2'147'483'647}, utc.WithKind(DateTimeKind::Unspecified), 3, 4),
      TagValue(int64_t{-9'000'000'000'000'000'000}, utc, 0, 0),
      TagValue(1.1f, utc, 0, 0),
      TagValue(-2.5e-300, utc, 0, 0),
      TagValue(DateTime::MaxValue, DateTime::MaxValue, -32768, -1),
      TagValue(std::string("caf\xC3\xA9 \"quoted\""), utc, 0, 0),
      TagValue(TagIdentifiers{{"T1", 5}, {"F_VALUE", 0x00030000}}, utc, 0, 0),
  };
}

TEST(JsonRoundTrip, NestedTagValuesByIdsWithEveryValueKind) {
  TagValuesByIds values;
  values[7][0x00020000] = EveryKindOfValue();
  values[7][-65536] = {TagValue(int16_t{3}, DateTime::MinValue, 0, 0)};
  values[-3][0] = {};
  values[1] = {};

  const Json json = values;
  const std::string text = json.dump();
  const auto back = Json::parse(text).get<TagValuesByIds>();
  EXPECT_EQ(back, values);
  // Kinds survive, not only values that compare equal.
  EXPECT_TRUE(std::holds_alternative<int16_t>(back.at(7).at(-65536)[0].Value));
  EXPECT_EQ(back.at(7).at(0x00020000)[2].Timestamp.Kind(), DateTimeKind::Local);
  // Keys keep the map's order, not a sorted one.
  EXPECT_EQ(text.find("\"7\""), 1u);
  EXPECT_LT(text.find("\"-3\""), text.find("\"1\":"));
}

TEST(JsonFormat, TagValueAndValueKindsHaveTheirDocumentedForm) {
  EXPECT_EQ(
      ToJson(TagValue(int16_t{3}, DateTime(2024, 3, 7, 9, 5, 1, 0, DateTimeKind::Utc), 0, 1))
          .dump(),
      R"({"value":{"int16":3},"timestamp":"2024-03-07T09:05:01.0000000Z","status":0,"level":1})");
  EXPECT_EQ(ToJson(Value{}).dump(), "null");
  EXPECT_EQ(ToJson(Value{1.1f}).dump(), R"({"float":1.1})");
  EXPECT_EQ(ToJson(Value{std::string("abc")}).dump(), R"({"text":"abc"})");
  EXPECT_EQ(ToJson(Value{TagIdentifiers{{"T1", 5}}}).dump(),
            R"({"ids":[{"name":"T1","number":5}]})");
  EXPECT_EQ(ToJson(Value{DateTime(2024, 1, 2, 3, 4, 5, 0, DateTimeKind::Local)}).dump(),
            R"({"time":"2024-01-02T03:04:05.0000000[local]"})");
}

TEST(JsonFormat, NonFiniteRealsTravelAsText) {
  const Json nan = ToJson(Value{std::numeric_limits<double>::quiet_NaN()});
  EXPECT_EQ(nan.dump(), R"({"double":"NaN"})");
  EXPECT_TRUE(std::isnan(std::get<double>(FromJson<Value>(nan))));
  const Value infinity{-std::numeric_limits<float>::infinity()};
  EXPECT_EQ(ToJson(infinity).dump(), R"({"float":"-Infinity"})");
  EXPECT_EQ(FromJson<Value>(ToJson(infinity)), infinity);
}

TEST(JsonRoundTrip, EveryOtherContractRecordAndCollection) {
  FieldDefinition definition;
  definition.Name = "PE_Branch";
  definition.Id = 12;
  definition.Number = 0x00050000;
  definition.DataType = TypeCode::String;
  definition.FieldReferenceType = FieldReferenceTypeEnum::Selector;
  definition.SelectorRecordId = 44;
  definition.Length = -1;
  definition.RepeatArea = 3;
  definition.QualityField = 4;
  definition.TimestampField = 5;
  definition.HistoryPointer = 6;
  definition.FormattedStrings = {{2, "On"}, {1, "Off"}};
  definition.ReadOnlyUsable = true;
  const FieldDefinitionsByTagName definitions = {{"VN_CalcDef", {definition, FieldDefinition{}}}};
  EXPECT_EQ(Json(definitions).get<FieldDefinitionsByTagName>(), definitions);

  HistoryQuery query;
  query.StartTime = DateTime(2024, 1, 1, 0, 0, 0, 0, DateTimeKind::Utc);
  query.EndTime = DateTime::MaxValue;
  query.MaxCount = 100;
  query.OusidersType = OutsidersRequestTypeEnum::BothB;
  query.ReturnStep = true;
  const HistoryRequests requests = {{5, 0x00010000, query}};
  const Json requestsJson = requests;
  EXPECT_EQ(requestsJson[0]["query"]["ousidersType"], "BothB");
  EXPECT_EQ(requestsJson.get<HistoryRequests>(), requests);

  const TagReferences references = {
      {"T1", {{"CALC1", {ReferenceSourceTypeEnum::Calculation, "Line(s): 3", "VN_CalcDef"}}}}};
  EXPECT_EQ(Json(references).get<TagReferences>(), references);

  const FieldAccessRightsByTagId rights = {{5, {{0x00010000, {true, false}}}}};
  EXPECT_EQ(Json(rights).get<FieldAccessRightsByTagId>(), rights);
  const HistoryInfoByTagId history = {{5, {{0x00010000, TagHistoryInfo(true, true)}}}};
  EXPECT_EQ(Json(history).get<HistoryInfoByTagId>(), history);
  const SelectorsByTagId selectors = {{5, {{0x00020000, {{0, "Auto"}, {1, "Manual"}}}}}};
  EXPECT_EQ(Json(selectors).get<SelectorsByTagId>(), selectors);
  const DefinitionIdentifierByTagName identifiers = {{"T1", {"TankDef", 9}}};
  EXPECT_EQ(Json(identifiers).get<DefinitionIdentifierByTagName>(), identifiers);
  const Tags tags = {{"T1", {"F1", "F2"}}};
  EXPECT_EQ(Json(tags).get<Tags>(), tags);
  const UsableByTagId usable = {{5, true}, {6, false}};
  EXPECT_EQ(Json(usable).get<UsableByTagId>(), usable);

  const TagNames names = {"A", "B"};
  EXPECT_EQ(FromJson<TagNames>(ToJson(names)), names);
  const Version version{17, 0, 3, 1};
  EXPECT_EQ(Json(version).get<Version>(), version);
  const ServiceException detail("ApplicationException", "disk full");
  EXPECT_EQ(Json(detail).get<ServiceException>(), detail);
  const Fields fields = {Field("F1", 3, 40)};
  EXPECT_EQ(Json(fields).get<Fields>(), fields);
}

TEST(JsonFormat, EnumsAreNamesAndAcceptNumbers) {
  EXPECT_EQ(Json(TypeCode::Int16), "Int16");
  EXPECT_EQ(Json(static_cast<OutsidersRequestTypeEnum>(9)), 9);
  EXPECT_EQ(Json(9).get<OutsidersRequestTypeEnum>(), static_cast<OutsidersRequestTypeEnum>(9));
  EXPECT_EQ(Json(4).get<HistoryRequestTypeEnum>(), HistoryRequestTypeEnum::Kind4);
}

TEST(JsonFormat, MissingMembersKeepTheirDefaults) {
  const auto query = ParseJson<HistoryQuery>(R"({"maxCount": 10})");
  EXPECT_EQ(query.MaxCount, 10);
  EXPECT_EQ(query.StartTime, DateTime::MinValue);
  EXPECT_EQ(query.RequestType, HistoryRequestTypeEnum::Kind4);
}

// The message of the JsonFormatError that reading text as T throws.
template <typename T>
std::string ErrorOf(const std::string& text) {
  try {
    ParseJson<T>(text);
  } catch (const JsonFormatError& error) {
    const platform::ArgumentException& asArgument = error;
    return asArgument.what();
  }
  return "no error";
}

TEST(JsonErrors, NameThePathAndWhatIsWrong) {
  EXPECT_EQ(ErrorOf<TagValuesByIds>(R"({"5":{"1073741824":[{"value":{"int16":70000}}]}})"),
            "/5/1073741824/0/value/int16: 70000 is out of range for int16");
  EXPECT_EQ(ErrorOf<TagValuesByIds>(R"({"5":{"1":[{"value":{"double":"x"}}]}})"),
            "/5/1/0/value/double: expected a number");
  EXPECT_EQ(ErrorOf<TagValuesByIds>(R"({"5":[]})"), "/5: expected an object");
  EXPECT_EQ(ErrorOf<TagValuesByIds>(R"([])"), "(root): expected an object");
  EXPECT_EQ(ErrorOf<TagValuesByIds>(R"({"5":{"1":[{"value":{"int8":1}}]}})"),
            "/5/1/0/value: unknown kind of value \"int8\" (expected one of bool, int16, int32, "
            "int64, float, double, time, text, ids)");
  EXPECT_EQ(
      ErrorOf<TagValuesByIds>(R"({"5":{"1":[{"value":{"int16":1,"int32":1}}]}})"),
      "/5/1/0/value: expected null or an object with one member naming the kind of the value");
  EXPECT_EQ(ErrorOf<TagValuesByIds>(R"({"5":{"1":[{"timestamp":"yesterday"}]}})"),
            "/5/1/0/timestamp: String 'yesterday' was not recognized as a valid DateTime.");
  EXPECT_EQ(ErrorOf<TagValuesByIds>(R"({"5":{"1":[{"value":{"int32":1.5}}]}})"),
            "/5/1/0/value/int32: expected an integer");
  EXPECT_EQ(ErrorOf<TagValuesByIds>(R"({"5":{"1":[{"value":{"float":1e300}}]}})"),
            "/5/1/0/value/float: 1e+300 is out of range for float");
  EXPECT_EQ(ErrorOf<TagValuesByIds>(R"({"5":{"1":[{"status":"bad"}]}})"),
            "/5/1/0/status: expected an integer");
}

TEST(JsonErrors, IntegerKeysMustBeCanonicalInt32Text) {
  for (const char* key : {"abc", "05", "+5", " 5", "2147483648", "", "1.0"}) {
    EXPECT_EQ(ErrorOf<UsableByTagId>(std::string(R"({")") + key + R"(":true})"),
              std::string("/") + key + ": expected a key of decimal int32 text");
  }
}

TEST(JsonErrors, RecordsRejectUnknownMembersAndWrongEnums) {
  EXPECT_EQ(ErrorOf<HistoryRequests>(R"([{"query":{"OutsidersType":"BothA"}}])"),
            "/0/query/OutsidersType: unknown member");
  EXPECT_EQ(ErrorOf<HistoryRequests>(R"([{"query":{"ousidersType":"BothD"}}])"),
            "/0/query/ousidersType: \"BothD\" is not a name of OutsidersRequestTypeEnum");
  EXPECT_EQ(ErrorOf<TagReferences>(R"({"a/b~c":{"X":{"source":true}}})"),
            "/a~1b~0c/X/source: expected a name of ReferenceSourceTypeEnum or a number");
  EXPECT_EQ(ErrorOf<TagNames>(R"(["A", 5])"), "/1: expected a text");
  EXPECT_EQ(ErrorOf<Version>(R"({"major":true})"), "/major: expected an integer");
}

TEST(JsonErrors, MalformedTextIsAnArgumentError) {
  EXPECT_THROW(ParseJson<TagNames>("[\"A\","), platform::ArgumentException);
  EXPECT_THROW(Json::parse(R"({"x":1})").get<TagValue>(), platform::ArgumentException);
}

// A number beyond a double's range is a format error too, at its path.
TEST(JsonErrors, NumbersTooLargeForADoubleNameTheirPath) {
  const auto pathOf = [](std::string_view text) {
    try {
      ParseJson<TagValuesByIds>(text);
    } catch (const JsonFormatError& error) {
      EXPECT_NE(error.Reason().find("1e999"), std::string::npos) << error.what();
      return error.Path();
    }
    return std::string("no error");
  };
  EXPECT_EQ(pathOf("1e999"), "");
  EXPECT_EQ(pathOf(R"({"5":{"1":[{"value":{"double":1}},{"value":{"double":-1e999}}]}})"), "/5/1/1/value/double");
  EXPECT_EQ(pathOf(R"({"a/b":[[1,2],{"c":[1e999]}]})"), "/a~1b/1/c/0");
}

// The parser builds each object by appending members and indexes repeated
// keys by hash; what it builds must be exactly nlohmann's own document.
TEST(JsonText, ParsesToTheDocumentNlohmannBuildsRepeatedKeysIncluded) {
  for (const char* text : {
           R"({"a": 1, "b": [true, null, 2.5, "x"], "a": {"c": -7, "c": 8, "d": []}})",
           R"([{"k": 1}, {"k": 2, "j": 3, "k": 4}, [], {}, "\u00e9\n"])",
           R"("text")",
           R"(18446744073709551615)",
           R"({"x": {"y": {"z": [1, {"x": 1, "y": 2, "x": 3}]}}, "x": 0})",
       }) {
    const Json ours = ParseJsonText(text);
    const Json theirs = Json::parse(text);
    EXPECT_EQ(ours, theirs) << text;
    EXPECT_EQ(ours.dump(), theirs.dump()) << text;  // the members' order too
  }
  std::string large = "{";
  for (int key = 0; key < 200'000; ++key) {
    large += fmt::format("{}\"{}\": {}", key == 0 ? "" : ",", key * 7 % 200'000, key);
  }
  large += R"(, "0": "again"})";
  const Json parsed = ParseJsonText(large);
  ASSERT_EQ(parsed.size(), 200'000U);
  EXPECT_EQ(parsed.begin().key(), "0");
  EXPECT_EQ(parsed["0"], "again");
  EXPECT_EQ((++parsed.begin()).key(), "7");
  EXPECT_EQ(parsed["7"], 1);
}

}  // namespace
}  // namespace vantrel::contracts
