#include "contracts/enums.h"

#include <gtest/gtest.h>

namespace vantrel::contracts {
namespace {

TEST(EnumNames, NamedValuesFormatAsTheirNames) {
  EXPECT_EQ(ToString(TagTypeEnum::WithMapRecord), "WithMapRecord");
  EXPECT_EQ(ToString(FieldReferenceTypeEnum::DataType6), "DataType6");
  EXPECT_EQ(ToString(ReferenceSourceTypeEnum::SqlQuery), "SqlQuery");
  EXPECT_EQ(ToString(HistoryRequestTypeEnum::Kind4), "Kind4");
  EXPECT_EQ(ToString(OutsidersRequestTypeEnum::BothC), "BothC");
  EXPECT_EQ(ToString(TypeCode::DateTime), "DateTime");
  EXPECT_EQ(ToString(DateTimeKind::Utc), "Utc");
}

TEST(EnumNames, ValuesWithoutANameFormatAsTheirNumber) {
  EXPECT_EQ(ToString(static_cast<HistoryRequestTypeEnum>(2)), "2");
  EXPECT_EQ(ToString(static_cast<OutsidersRequestTypeEnum>(9)), "9");
  EXPECT_EQ(ToString(static_cast<TypeCode>(-24)), "-24");
}

TEST(EnumNames, ParseTakesNamesAndNumbers) {
  EXPECT_EQ(ParseEnum<OutsidersRequestTypeEnum>("AfterB"), OutsidersRequestTypeEnum::AfterB);
  EXPECT_EQ(ParseEnum<OutsidersRequestTypeEnum>("24"), OutsidersRequestTypeEnum::BothB);
  EXPECT_EQ(ParseEnum<OutsidersRequestTypeEnum>("9"), static_cast<OutsidersRequestTypeEnum>(9));
  EXPECT_EQ(ParseEnum<TypeCode>("-3"), static_cast<TypeCode>(-3));
  EXPECT_EQ(ParseEnum<TagTypeEnum>("Definition"), TagTypeEnum::Definition);
  EXPECT_EQ(ParseEnum<DateTimeKind>("Local"), DateTimeKind::Local);
}

TEST(EnumNames, ParseRejectsOtherText) {
  EXPECT_FALSE(ParseEnum<HistoryRequestTypeEnum>("kind4"));
  EXPECT_FALSE(ParseEnum<HistoryRequestTypeEnum>(""));
  EXPECT_FALSE(ParseEnum<HistoryRequestTypeEnum>("4x"));
  EXPECT_FALSE(ParseEnum<HistoryRequestTypeEnum>(" 4"));
  EXPECT_FALSE(ParseEnum<HistoryRequestTypeEnum>("99999999999"));
  EXPECT_FALSE(ParseEnum<ReferenceSourceTypeEnum>("Record"));
}

}  // namespace
}  // namespace vantrel::contracts
