#include "views/value_parse.h"

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "views/errors.h"

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
  // Values that are not numbers: one rule, any case, a sign on the infinities.
  for (const char* text : {"NaN", "nan", "NAN"}) EXPECT_TRUE(std::isnan(ParseReal(text, "v"))) << text;
  for (const char* text : {"Infinity", "inf", "+INF", "infinity"}) EXPECT_EQ(ParseReal(text, "v"), HUGE_VAL) << text;
  for (const char* text : {"-Infinity", "-inf"}) EXPECT_EQ(ParseReal(text, "v"), -HUGE_VAL) << text;
  for (const char* text : {"", "1 000", "0x10", "1e", "--1", "+-1", "12abc", " 1", "1 ", ".", "e5", "infin", "-nan",
                           "nanx", "+-inf"}) {
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

TEST(ValueParseTest, NumbersAFieldWouldStoreAsOthersAreNamedWithTheNearestItHolds) {
  using contracts::TypeCode;
  auto change = [](const char* text, contracts::Value value, TypeCode field) {
    return ValueChange(text, value, field).value_or("");
  };
  // Underflow to zero, and below the normal range of a 4-byte real.
  EXPECT_THAT(change("1e-50", 1e-50, TypeCode::Single),
              HasSubstr("stored as 0 (the nearest value it holds is 1.4013e-45"));
  EXPECT_THAT(change("-1e-50", -1e-50, TypeCode::Single), HasSubstr("-1.4013e-45"));
  EXPECT_THAT(change("1e-40", 1e-40, TypeCode::Single), HasSubstr("below the precise range"));
  EXPECT_THAT(change("1e-320", 1e-320, TypeCode::Double), HasSubstr("an 8-byte real"));
  // Whole numbers beyond the exact range, as the text says them.
  EXPECT_THAT(change("16777217", 16777217.0, TypeCode::Single), HasSubstr("stored as 16777216"));
  EXPECT_THAT(change("-16777217", -16777217.0, TypeCode::Single), HasSubstr("stored as -16777216"));
  EXPECT_THAT(change("9007199254740993", 9007199254740992.0, TypeCode::Double), HasSubstr("9007199254740992"));
  EXPECT_THAT(change("3.5", 3.5, TypeCode::Int16), HasSubstr("the nearest value the field holds is 4"));
  EXPECT_THAT(change("40000", int32_t{40000}, TypeCode::Int16), HasSubstr("holds is 32767"));
  EXPECT_THAT(change("1e39", 1e39, TypeCode::Single), HasSubstr("out of range"));
  // Rounding to the field's precision, exact whole numbers, and what is no number, are no change.
  for (const char* text : {"0.1", "16777216", "+0016777216", "-3e2", "1e-30", "0", "NaN", "-Infinity"}) {
    EXPECT_EQ(ValueChange(text, 0.5, TypeCode::Single), std::nullopt) << text;
  }
  EXPECT_EQ(ValueChange("9007199254740992", 0.5, TypeCode::Double), std::nullopt);
  EXPECT_EQ(ValueChange("12", int16_t{12}, TypeCode::Int16), std::nullopt);
  EXPECT_EQ(ValueChange("1e-50", std::string("1e-50"), TypeCode::String), std::nullopt);
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
