#include "native/base64.h"

#include <array>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace vantrel::access {
namespace {

struct Result {
  int32_t ok;
  std::string out;
  uint32_t length;
};

Result Decode(const std::string& text, uint32_t capacity = 255) {
  std::array<char, 300> out{};
  out.fill('x');
  uint32_t length = capacity;
  const int32_t ok = UUDecodeString(text.c_str(), static_cast<uint32_t>(text.size()), out.data(), &length);
  return {ok, std::string(out.data(), std::strlen(out.data())), length};
}

Result Encode(const std::string& data, uint32_t capacity = 255) {
  std::array<char, 300> out{};
  out.fill('x');
  uint32_t length = capacity;
  const int32_t ok = UUEncodeString(data.c_str(), static_cast<uint32_t>(data.size()), out.data(), &length);
  return {ok, std::string(out.data(), std::strlen(out.data())), length};
}

TEST(Base64Test, DecodesThreeBytesWithOrWithoutTrailers) {
  for (const std::string text : {"YWJj", "YWJj=", "YWJj\n", "YWJj YWJj", "  \tYWJj"}) {
    const Result result = Decode(text);
    EXPECT_EQ(result.ok, 1) << text;
    EXPECT_EQ(result.out, "abc") << text;
    EXPECT_EQ(result.length, 3u) << text;
  }
}

TEST(Base64Test, DecodesPartialGroupsWithOptionalPadding) {
  EXPECT_EQ(Decode("VlQ=").out, "VT");
  EXPECT_EQ(Decode("VlQ").out, "VT");
  EXPECT_EQ(Decode("Vg==").out, "V");
  EXPECT_EQ(Decode("Vg").length, 1u);
  EXPECT_EQ(Decode("Vk5UXHZudHN5c3RlbQ==").out, "VNT\\vntsystem");
}

TEST(Base64Test, ResultEqualToCapacityFitsAndLargerFails) {
  Result exact = Decode("YWJj", 3);
  EXPECT_EQ(exact.ok, 1);
  EXPECT_EQ(exact.out, "abc");
  Result tooSmall = Decode("YWJj", 2);
  EXPECT_EQ(tooSmall.ok, 0);
  EXPECT_EQ(tooSmall.out, "");
  EXPECT_EQ(tooSmall.length, 0u);
}

TEST(Base64Test, MalformedInputFailsWithEmptyOutput) {
  // The length must point at the terminator.
  std::array<char, 16> out{};
  out.fill('x');
  uint32_t length = 10;
  EXPECT_EQ(UUDecodeString("YWJjZA", 4, out.data(), &length), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(Decode("").ok, 0);
  // One character left over is no encoder's output.
  EXPECT_EQ(Decode("YWJjZ").ok, 0);
  length = 10;
  EXPECT_EQ(UUDecodeString(nullptr, 3, out.data(), &length), 0);
}

TEST(Base64Test, EncodesWithPaddingAndRoundTrips) {
  EXPECT_EQ(Encode("abc").out, "YWJj");
  EXPECT_EQ(Encode("ab").out, "YWI=");
  EXPECT_EQ(Encode("a").out, "YQ==");
  EXPECT_EQ(Encode("a").length, 4u);
  const std::string account = "DOMAIN\\some.user";
  const Result encoded = Encode(account);
  EXPECT_EQ(Decode(encoded.out).out, account);
  EXPECT_EQ(Encode("abc", 3).ok, 0);
}

TEST(Base64Test, LongInputsSurviveBufferGrowth) {
  std::string data;
  for (int i = 0; i < 200; ++i) data += static_cast<char>('A' + i % 26);
  std::array<char, 400> encoded{};
  uint32_t encodedLength = 399;
  ASSERT_EQ(UUEncodeString(data.c_str(), static_cast<uint32_t>(data.size()), encoded.data(), &encodedLength), 1);
  std::array<char, 400> decoded{};
  uint32_t decodedLength = 399;
  ASSERT_EQ(UUDecodeString(encoded.data(), encodedLength, decoded.data(), &decodedLength), 1);
  EXPECT_EQ(std::string(decoded.data(), decodedLength), data);
}

}  // namespace
}  // namespace vantrel::access
