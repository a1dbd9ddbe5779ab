#include "cli/value_parse.h"

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/errors.h"

namespace vantrel::cli {
namespace {

using ::testing::HasSubstr;

// The message of the UsageError that parse throws.
template <typename Parse>
std::string Refusal(Parse&& parse) {
  try {
    parse();
  } catch (const UsageError& error) {
    return error.what();
  }
  ADD_FAILURE() << "accepted";
  return {};
}

TEST(ValueParseTest, RealsAreInvariantAndStrict) {
  EXPECT_EQ(ParseReal("74.25", "v"), 74.25);
  EXPECT_EQ(ParseReal("-3e2", "v"), -300);
  EXPECT_EQ(ParseReal("+.5", "v"), 0.5);
  EXPECT_EQ(ParseReal("5.", "v"), 5);
  EXPECT_TRUE(std::isnan(ParseReal("NaN", "v")));
  EXPECT_EQ(ParseReal("-Infinity", "v"), -HUGE_VAL);
  for (const char* text : {"", "1 000", "0x10", "1e", "--1", "+-1", "12abc", " 1", "1 ", ".", "e5", "inf"}) {
    EXPECT_THAT(Refusal([&] { ParseReal(text, "TI101 VALUE"); }), HasSubstr("TI101 VALUE: '")) << text;
  }
  // A comma is neither read as a decimal point nor skipped as a separator.
  EXPECT_THAT(Refusal([] { ParseReal("74,5", "v"); }), HasSubstr("write 74.5 or 745"));
  EXPECT_THAT(Refusal([] { ParseReal("1,000", "v"); }), HasSubstr("write 1.000 or 1000"));
  EXPECT_THAT(Refusal([] { ParseReal("1,000,000", "v"); }), HasSubstr("without thousands separators"));
  EXPECT_THAT(Refusal([] { ParseReal("1e999", "v"); }), HasSubstr("out of range"));
}

TEST(ValueParseTest, IntegersAndIdentifiersKeepToTheirRange) {
  EXPECT_EQ(ParseInteger("32767", "v", INT16_MIN, INT16_MAX), 32767);
  EXPECT_EQ(ParseInteger("+7", "v", 0, 10), 7);
  EXPECT_EQ(ParseInteger("-32768", "v", INT16_MIN, INT16_MAX), -32768);
  EXPECT_THAT(Refusal([] { ParseInteger("32768", "STATE", INT16_MIN, INT16_MAX); }),
              HasSubstr("STATE: 32768 is out of range (-32768 to 32767)"));
  EXPECT_THAT(Refusal([] { ParseInteger("99999999999999999999", "v", 0, 10); }), HasSubstr("out of range"));
  for (const char* text : {"3.0", "1e3", "+-5", "-", "", "5x", "0x10"}) {
    EXPECT_THAT(Refusal([&] { ParseInteger(text, "v", -100, 100); }), HasSubstr("is not a whole number")) << text;
  }
  EXPECT_EQ(ParseIdentifier("0x00020000", "tag"), 0x00020000);
  EXPECT_EQ(ParseIdentifier("0xFFFF0000", "tag"), static_cast<int32_t>(0xFFFF0000u));
  EXPECT_EQ(ParseIdentifier("12", "id"), 12);
  EXPECT_THAT(Refusal([] { ParseIdentifier("0x1FFFFFFFF", "tag"); }), HasSubstr("out of range"));
  EXPECT_THAT(Refusal([] { ParseIdentifier("0xZZ", "tag"); }), HasSubstr("tag: '0xZZ' is not a number"));
}

TEST(ValueParseTest, TruthValuesAndQualityRanges) {
  EXPECT_TRUE(ParseBool("true", "b"));
  EXPECT_TRUE(ParseBool("TRUE", "b"));
  EXPECT_TRUE(ParseBool("1", "b"));
  EXPECT_FALSE(ParseBool("False", "b"));
  EXPECT_FALSE(ParseBool("0", "b"));
  for (const char* text : {"yes", "no", "on", "2", "", "t"}) {
    EXPECT_THAT(Refusal([&] { ParseBool(text, "--type bool"); }), HasSubstr("use true, false, 1 or 0")) << text;
  }
  // What used to be stored cut to 16 bits (99999999 became -7937) is refused.
  EXPECT_THAT(Refusal([] { ParseStatus("99999999"); }), HasSubstr("--status: 99999999 is out of range"));
  EXPECT_THAT(Refusal([] { ParseStatus("-32768"); }), HasSubstr("out of range"));  // marks "no quality"
  EXPECT_EQ(ParseStatus("-32767"), -32767);
  EXPECT_EQ(ParseLevel("32767"), 32767);
  EXPECT_THAT(Refusal([] { ParseLevel("-1"); }), HasSubstr("--level: -1 is out of range (0 to 32767)"));
}

TEST(ValueParseTest, TypedValuesHaveTheNamedKind) {
  const auto now = contracts::DateTime(2024, 3, 7, 12, 0, 0, 0, contracts::DateTimeKind::Utc);
  EXPECT_EQ(ParseTypedValue("70", ValueType::kInt16, now), contracts::Value(int16_t{70}));
  EXPECT_EQ(ParseTypedValue("70000", ValueType::kInt32, now), contracts::Value(int32_t{70000}));
  EXPECT_EQ(ParseTypedValue("1.5", ValueType::kFloat, now), contracts::Value(1.5f));
  EXPECT_EQ(ParseTypedValue("74,5", ValueType::kText, now), contracts::Value(std::string("74,5")));
  EXPECT_EQ(ParseTypedValue("0", ValueType::kBool, now), contracts::Value(false));
  EXPECT_EQ(ParseTypedValue("-1h", ValueType::kTime, now), contracts::Value(now.AddSeconds(-3600)));
  EXPECT_THAT(Refusal([&] { ParseTypedValue("70000", ValueType::kInt16, now); }), HasSubstr("--type int16"));
  EXPECT_THAT(Refusal([&] { ParseTypedValue("1e39", ValueType::kFloat, now); }), HasSubstr("4-byte real"));
  EXPECT_THAT(Refusal([&] { ParseTypedValue("yes", ValueType::kBool, now); }), HasSubstr("true, false, 1 or 0"));
  EXPECT_THAT(Refusal([&] { ParseTypedValue("soon", ValueType::kTime, now); }), HasSubstr("--type time: 'soon'"));
  EXPECT_EQ(ParseValueType("double"), ValueType::kDouble);
  EXPECT_THAT(Refusal([] { ParseValueType("real"); }),
              HasSubstr("types: text, int16, int32, float, double, time, bool"));
}

}  // namespace
}  // namespace vantrel::cli
