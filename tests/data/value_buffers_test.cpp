#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/dorvik.h"
#include "platform/exceptions.h"
#include "platform/fault.h"
#include "tests/support/data_access_test_peer.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::DateTime;
using contracts::DateTimeKind;
using contracts::TagIdentifier;
using contracts::TagIdentifiers;
using contracts::TagValue;
using contracts::TagValuesByIds;
using contracts::Value;

const DateTime kTime(2024, 3, 7, 9, 5, 1, 500, DateTimeKind::Utc);

template <typename T>
T ReadAt(const std::byte* data) {
  T value;
  std::memcpy(&value, data, sizeof(T));
  return value;
}

// The message of the error that body raises.
template <typename Error, typename Body>
std::string ErrorOf(Body body) {
  try {
    body();
  } catch (const Error& error) {
    return error.what();
  }
  return "(no error)";
}

class ValueBuffersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto builder = vantrel::testing::PlantBuilder();
    builder.Record("REACTOR A", vantrel::testing::kAnalogDef);
    vantrel::testing::InstallDatabase(builder);
    tag1 = data.GetRecordID(vantrel::testing::kTag1);
    tag2 = data.GetRecordID(vantrel::testing::kTag2);
    valueTag = data.GetAttributeID("VALUE");
    trendTag = data.GetAttributeID("TREND");
  }
  // The record and field a -2 value of the given text names.
  IDANDFT Reference(const Value& value) {
    std::array<std::byte, sizeof(IDANDFT)> record{};
    EXPECT_EQ(peer.Encode(record.data(), api::kTypeRecordAndField, TagValue(value, {}, 0, 0)), 8);
    return ReadAt<IDANDFT>(record.data());
  }

  DataAccess data;
  DataAccessTestPeer peer{data};
  int32_t tag1 = 0, tag2 = 0, valueTag = 0, trendTag = 0;
};

TEST_F(ValueBuffersTest, FieldDefinitionsChooseTypeCodeAndSize) {
  struct Case {
    const char* field;
    int16_t type;
    std::size_t size;
  };
  const Case cases[] = {{"DESCRIPTION", -24, sizeof(TVANDQU)}, {"VALUE", -21, 24}, {"LO_LIMIT", -20, 16},
                        {"COUNTER", -19, 16},  {"SMALL", -18, 16},        {"MODE", -18, 16},
                        {"TREND_COUNT", -3, 2}, {"LINK", -1, 4},          {"SOURCE", -2, 8},
                        {"STAMP", -17, 8}};
  for (const Case& c : cases) {
    const SizeAndType format = peer.Format(tag1, data.GetAttributeID(c.field));
    EXPECT_EQ(format.type, c.type) << c.field;
    EXPECT_EQ(static_cast<std::size_t>(format.size), c.size) << c.field;
  }
  EXPECT_EQ(peer.Format(tag1, trendTag + 2).type, -21);  // the occurrence does not matter
}

TEST_F(ValueBuffersTest, UnknownFieldIsAFaultWithTheTagInHex) {
  try {
    peer.Format(tag1, static_cast<int32_t>(0xFFFE0003u));
    ADD_FAILURE() << "an unknown field was accepted";
  } catch (const platform::FaultException& fault) {
    EXPECT_EQ(fault.Detail().Message(), "Invalid field id 0xFFFE0003 for tag id " + std::to_string(tag1));
    EXPECT_EQ(fault.Detail().ErrorType(), "Exception");
    EXPECT_FALSE(fault.Reason().has_value());
  }
  EXPECT_EQ(ErrorOf<platform::FaultException>([&] { peer.Format(99999, 0x00CD0000); }),
            "Invalid field id 0xCD0000 for tag id 99999");
}

TEST_F(ValueBuffersTest, EveryTypeCodeEncodesAtItsOffsetsAndDecodesBack) {
  struct Case {
    int16_t type;
    TagValue value;
    int32_t size;
    TagValue decoded;  // what reading the record gives
  };
  auto plain = [](Value value) { return TagValue(std::move(value), DateTime::MinValue, -32768, -1); };
  const TagIdentifiers pointer{TagIdentifier("TI101", tag2), TagIdentifier("VALUE", valueTag)};
  const Case cases[] = {
      {-3, TagValue(int32_t{1234}, kTime, 1, 2), 2, plain(int16_t{1234})},
      {-18, TagValue(int16_t{-7}, kTime, 3, 4), 16, TagValue(int16_t{-7}, kTime, 3, 4)},
      {-19, TagValue(123456, kTime, 5, 6), 16, TagValue(123456, kTime, 5, 6)},
      {-20, TagValue(2.5f, kTime, 7, 8), 16, TagValue(2.5f, kTime, 7, 8)},
      {-21, TagValue(12.25, kTime, 9, 10), 24, TagValue(12.25, kTime, 9, 10)},
      {-17, TagValue(kTime, DateTime::MinValue, 0, 0), 8, TagValue(kTime, kTime, -32768, -1)},
      {-1, TagValue(std::string("TI101"), kTime, 0, 0), 4, plain(std::string("TI101"))},
      {-1, TagValue(tag2, kTime, 0, 0), 4, plain(std::string("TI101"))},
      {-2, TagValue(pointer, kTime, 0, 0), 8, plain(pointer)},
  };
  for (const Case& c : cases) {
    std::array<std::byte, 32> record{};
    EXPECT_EQ(peer.Encode(record.data(), c.type, c.value), c.size) << c.type;
    EXPECT_EQ(peer.Decode(c.type, record.data()), c.decoded) << c.type;
  }
  // The records as the native structures see them.
  std::array<std::byte, 32> record{};
  peer.Encode(record.data(), -18, TagValue(int16_t{-7}, kTime, 3, 4));
  const auto s = ReadAt<SVANDQU>(record.data());
  EXPECT_EQ(s.VALUE, -7);
  EXPECT_EQ(s.STATUS, 3);
  EXPECT_EQ(s.LEVEL, 4);
  EXPECT_EQ(s.TIME.SECONDS, Session::DateTimeToXusts(kTime).SECONDS);
  EXPECT_EQ(s.TIME.MICROSECS, 500'000);
  peer.Encode(record.data(), -1, TagValue(std::string("TI101"), {}, 0, 0));
  EXPECT_EQ(ReadAt<int32_t>(record.data()), tag2);

  // A type code without a layout writes and reads nothing.
  std::array<std::byte, 8> untouched{};
  EXPECT_EQ(peer.Encode(untouched.data(), -5, TagValue(1.0, kTime, 1, 1)), 0);
  EXPECT_EQ(untouched, (std::array<std::byte, 8>{}));
  EXPECT_EQ(peer.Decode(-5, untouched.data()), TagValue());
}

TEST_F(ValueBuffersTest, DoubleRecordAtAnOffsetOfFourButNotEight) {
  alignas(8) std::array<std::byte, 4 + sizeof(DVANDQU)> buffer{};
  std::byte* record = buffer.data() + 4;
  ASSERT_EQ(peer.Encode(record, -21, TagValue(-0.1, kTime, 11, 12)), 24);
  const auto d = ReadAt<DVANDQU>(record);
  EXPECT_EQ(d.VALUE, -0.1);
  EXPECT_EQ(d.STATUS, 11);
  EXPECT_EQ(d.LEVEL, 12);
  EXPECT_EQ(ReadAt<XUSTS>(record + 12).MICROSECS, 500'000);
  EXPECT_EQ(peer.Decode(-21, record), TagValue(-0.1, kTime, 11, 12));
}

TEST_F(ValueBuffersTest, RecordAndFieldPointerTextForms) {
  const int32_t reactor = data.GetRecordID("REACTOR A");
  EXPECT_EQ(Reference(std::string("TI101 VALUE")).ID, tag2);
  EXPECT_EQ(Reference(std::string("TI101 VALUE")).FT, valueTag);
  EXPECT_EQ(Reference(std::string("TI101\tVALUE")).ID, tag2);
  EXPECT_EQ(Reference(std::string("TI101\tVALUE")).FT, valueTag);
  EXPECT_EQ(Reference(std::string("REACTOR A VALUE")).ID, reactor);  // split at the last blank
  EXPECT_EQ(Reference(std::string("REACTOR A VALUE")).FT, valueTag);
  EXPECT_EQ(Reference(int32_t{5}).ID, -1);
  EXPECT_EQ(Reference(int32_t{5}).FT, -1);
  EXPECT_EQ(Reference(Value()).FT, -1);

  std::array<std::byte, 8> record{};
  for (const char* text : {" VALUE", "TI101VALUE"}) {
    EXPECT_EQ(ErrorOf<platform::Exception>(
                  [&] { peer.Encode(record.data(), -2, TagValue(std::string(text), {}, 0, 0)); }),
              "Expected space delimiter between record and field name.")
        << text;
  }
  EXPECT_THROW(peer.Encode(record.data(), -2, TagValue(TagIdentifiers{TagIdentifier("TI101", tag2)}, {}, 0, 0)),
               platform::ArgumentException);
}

TEST_F(ValueBuffersTest, OccurrencesTakeTheirElementOfTheCallersList) {
  TagValuesByIds values;
  values[tag1][trendTag] = {TagValue(1.0, kTime, 0, 0), TagValue(2.0, kTime, 0, 0), TagValue(3.0, kTime, 0, 0)};
  values[tag2][trendTag + 3] = {TagValue(9.0, kTime, 0, 0)};
  values[tag2][trendTag] = {TagValue(4.0, kTime, 0, 0), TagValue(5.0, kTime, 0, 0)};
  values[tag2][valueTag] = {};
  auto written = [&](int32_t record, int32_t field) {
    std::array<std::byte, sizeof(DVANDQU)> buffer{};
    EXPECT_EQ(peer.EncodeFrom(buffer.data(), IDANDFT{record, field}, -21, values), 24);
    return ReadAt<double>(buffer.data());
  };
  EXPECT_EQ(written(tag1, trendTag + 1), 1.0);
  EXPECT_EQ(written(tag1, trendTag + 2), 2.0);
  EXPECT_EQ(written(tag1, trendTag + 3), 3.0);
  EXPECT_EQ(written(tag1, trendTag + 5), 1.0);  // no fifth element: the first
  EXPECT_EQ(written(tag2, trendTag + 3), 9.0);  // its own key, index 2 missing
  EXPECT_EQ(written(tag2, trendTag + 2), 5.0);  // the base key

  std::array<std::byte, sizeof(DVANDQU)> buffer{};
  values[123][valueTag] = {TagValue(1.0, kTime, 0, 0)};
  EXPECT_EQ(ErrorOf<platform::Exception>(
                [&] { peer.EncodeFrom(buffer.data(), IDANDFT{123, 0x00AB0001}, -21, values); }),
            "No value is given to set tag field tag id, 123, 0xAB0001.");
  EXPECT_THROW(peer.EncodeFrom(buffer.data(), IDANDFT{tag2, valueTag}, -21, values), platform::ArgumentException);
}

TEST_F(ValueBuffersTest, TextRecordsKeepWithinTheirCharacterBuffer) {
  std::array<std::byte, sizeof(TVANDQU)> record{};
  std::array<char, 20> storage{};
  storage.fill('A');
  std::fill(storage.begin() + 16, storage.end(), 'Z');  // guard bytes after the buffer
  const std::span<char> text(storage.data(), 16);

  // A count past the capacity puts the terminator at the last byte.
  const int16_t tooLong = 50;
  std::memcpy(record.data() + offsetof(TVANDQU, LENGTH), &tooLong, sizeof(tooLong));
  EXPECT_EQ(peer.Decode(-24, record.data(), text).Value, Value(std::string(15, 'A')));
  EXPECT_EQ(storage[15], '\0');
  EXPECT_EQ(std::string(storage.data() + 16, 4), "ZZZZ");
  const int16_t negative = -3;
  std::memcpy(record.data() + offsetof(TVANDQU, LENGTH), &negative, sizeof(negative));
  EXPECT_EQ(peer.Decode(-24, record.data(), text).Value, Value(std::string()));

  // Writes: the text, its length and the quality; a text that cannot be
  // stored whole is refused.
  std::fill(text.begin(), text.end(), '\0');
  EXPECT_EQ(peer.Encode(record.data(), -24, TagValue(std::string("Grüße"), kTime, 1, 2), text),
            static_cast<int32_t>(sizeof(TVANDQU)));
  EXPECT_EQ(ReadAt<int16_t>(record.data() + offsetof(TVANDQU, LENGTH)), 5);
  EXPECT_EQ(std::string(text.data()), "Gr\xFC\xDF" "e");
  EXPECT_EQ(peer.Decode(-24, record.data(), text), TagValue(std::string("Grüße"), kTime, 1, 2));
  EXPECT_EQ(peer.Encode(record.data(), -24, TagValue(std::string(15, 'x'), kTime, 0, 0), text),
            static_cast<int32_t>(sizeof(TVANDQU)));
  EXPECT_EQ(text[15], '\0');
  EXPECT_THROW(peer.Encode(record.data(), -24, TagValue(std::string(16, 'x'), kTime, 0, 0), text),
               platform::ArgumentException);

  // Padding is trimmed; a value without a time is written as the native zero time.
  const char padded[] = "  degC  ";
  std::memcpy(text.data(), padded, sizeof(padded));
  const int16_t eight = 8;
  std::memcpy(record.data() + offsetof(TVANDQU, LENGTH), &eight, sizeof(eight));
  EXPECT_EQ(peer.Decode(-24, record.data(), text).Value, Value(std::string("degC")));
  peer.Encode(record.data(), -24, TagValue(std::string("x"), DateTime::MinValue, 0, 0), text);
  EXPECT_EQ(ReadAt<XUSTS>(record.data() + offsetof(TVANDQU, TIME)).SECONDS, 0);
}

}  // namespace
}  // namespace vantrel::access
