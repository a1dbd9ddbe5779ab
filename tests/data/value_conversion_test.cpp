#include "data/value_conversion.h"

#include <limits>

#include <gtest/gtest.h>

#include "platform/exceptions.h"

namespace vantrel::access {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;
using contracts::TagIdentifier;
using contracts::TagIdentifiers;
using contracts::Value;

TEST(ValueConversionTest, NoValueConvertsToTheEmptyForms) {
  EXPECT_EQ(ToInt16(Value()), 0);
  EXPECT_EQ(ToInt32(Value()), 0);
  EXPECT_EQ(ToDouble(Value()), 0.0);
  EXPECT_EQ(ToText(Value()), "");
  EXPECT_EQ(ToDateTime(Value()), DateTime::MinValue);
}

TEST(ValueConversionTest, RealsRoundHalfToEven) {
  EXPECT_EQ(ToInt32(Value(2.5)), 2);
  EXPECT_EQ(ToInt32(Value(3.5)), 4);
  EXPECT_EQ(ToInt32(Value(-2.5)), -2);
  EXPECT_EQ(ToInt16(Value(2.6f)), 3);
}

TEST(ValueConversionTest, OutOfRangeIsOverflow) {
  EXPECT_THROW(ToInt16(Value(int32_t{40000})), platform::OverflowException);
  EXPECT_THROW(ToInt16(Value(32767.5)), platform::OverflowException);
  EXPECT_THROW(ToInt32(Value(int64_t{1} << 40)), platform::OverflowException);
  EXPECT_THROW(ToInt32(Value(std::numeric_limits<double>::quiet_NaN())), platform::OverflowException);
  EXPECT_THROW(ToSingle(Value(1e300)), platform::OverflowException);
  EXPECT_THROW(ToInt16(Value(std::string("70000"))), platform::OverflowException);
  EXPECT_EQ(ToInt16(Value(int32_t{-32768})), -32768);
}

TEST(ValueConversionTest, BooleansAreOneOrZero) {
  EXPECT_EQ(ToInt32(Value(true)), 1);
  EXPECT_EQ(ToInt16(Value(false)), 0);
  EXPECT_EQ(ToDouble(Value(true)), 1.0);
  EXPECT_EQ(ToText(Value(true)), "True");
}

TEST(ValueConversionTest, TextParsesInTheInvariantCulture) {
  EXPECT_EQ(ToInt32(Value(std::string(" -42 "))), -42);
  EXPECT_EQ(ToInt16(Value(std::string("+7"))), 7);
  EXPECT_DOUBLE_EQ(ToDouble(Value(std::string("1234.5"))), 1234.5);
  EXPECT_DOUBLE_EQ(ToDouble(Value(std::string("1,234.5"))), 1234.5);
  EXPECT_DOUBLE_EQ(ToDouble(Value(std::string("-1.5E3"))), -1500.0);
  EXPECT_THROW(ToInt32(Value(std::string("1.5"))), platform::FormatException);
  EXPECT_THROW(ToInt32(Value(std::string("abc"))), platform::FormatException);
  EXPECT_DOUBLE_EQ(ToDouble(Value(std::string("1,5"))), 15.0);  // "," only separates thousands
  EXPECT_THROW(ToDouble(Value(std::string(",5"))), platform::FormatException);
  EXPECT_THROW(ToDouble(Value(std::string("1.5.2"))), platform::FormatException);
  EXPECT_THROW(ToDouble(Value(std::string(""))), platform::FormatException);
  const DateTime parsed = ToDateTime(Value(std::string("2024-03-07T09:05:01Z")));
  EXPECT_EQ(parsed, DateTime(2024, 3, 7, 9, 5, 1, 0, DateTimeKind::Utc));
}

TEST(ValueConversionTest, TimesAndNumbersDoNotConvertIntoEachOther) {
  const DateTime time(2024, 1, 2, 3, 4, 5, 0, DateTimeKind::Utc);
  EXPECT_THROW(ToInt32(Value(time)), platform::InvalidCastException);
  EXPECT_THROW(ToDouble(Value(time)), platform::InvalidCastException);
  EXPECT_THROW(ToDateTime(Value(int32_t{5})), platform::InvalidCastException);
  EXPECT_THROW(ToInt32(Value(TagIdentifiers{})), platform::InvalidCastException);
}

TEST(ValueConversionTest, EveryValueHasATextForm) {
  EXPECT_EQ(ToText(Value(int16_t{-3})), "-3");
  EXPECT_EQ(ToText(Value(1.5)), "1.5");
  EXPECT_EQ(ToText(Value(0.1f)), "0.1");
  EXPECT_EQ(ToText(Value(1e20)), "1E+20");
  EXPECT_EQ(ToText(Value(DateTime(2024, 3, 7, 9, 5, 1))), "3/7/2024 9:05:01");
  EXPECT_EQ(ToText(Value(TagIdentifiers{TagIdentifier("TI100", 101), TagIdentifier("VALUE", 0x20000)})),
            "TI100 VALUE");
}

}  // namespace
}  // namespace vantrel::access
