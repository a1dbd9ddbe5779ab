// gzip bodies and the Accept-Encoding test: a round trip of what the host
// sends, the header forms clients send, and damaged, cut and oversized
// bodies refused with an error rather than read on.
#include "wire/gzip.h"

#include <string>

#include <gtest/gtest.h>

namespace vantrel::testing {
namespace {

std::string JsonLikeText(std::size_t repeats) {
  std::string text;
  for (std::size_t i = 0; i < repeats; ++i) {
    text += R"({"value":{"double":)" + std::to_string(i) + R"(},"timestamp":"2024-01-01T00:00:00Z"},)";
  }
  return text;
}

TEST(GzipTest, ARoundTripGivesTheSameBytesSmaller) {
  const std::string text = JsonLikeText(5000);
  const std::string packed = wire::GzipCompress(text);
  EXPECT_LT(packed.size() * 5, text.size());
  ASSERT_GE(packed.size(), 2U);
  EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x1f);  // the gzip mark, not zlib's
  EXPECT_EQ(static_cast<unsigned char>(packed[1]), 0x8b);
  EXPECT_EQ(wire::GzipDecompress(packed, text.size()), text);
  EXPECT_EQ(wire::GzipDecompress(wire::GzipCompress(""), 0), "");
  // Two members one after another are one body.
  EXPECT_EQ(wire::GzipDecompress(wire::GzipCompress("ab") + wire::GzipCompress("cd"), 10), "abcd");
}

TEST(GzipTest, AcceptEncodingFormsClientsSend) {
  EXPECT_TRUE(wire::AcceptsGzip("gzip"));
  EXPECT_TRUE(wire::AcceptsGzip("gzip, deflate, br"));
  EXPECT_TRUE(wire::AcceptsGzip("br;q=1.0, GZIP;q=0.5"));
  EXPECT_TRUE(wire::AcceptsGzip("x-gzip"));
  EXPECT_TRUE(wire::AcceptsGzip("*"));
  EXPECT_FALSE(wire::AcceptsGzip(""));
  EXPECT_FALSE(wire::AcceptsGzip("identity"));
  EXPECT_FALSE(wire::AcceptsGzip("deflate, br"));
  EXPECT_FALSE(wire::AcceptsGzip("gzip;q=0"));
  EXPECT_FALSE(wire::AcceptsGzip("gzip;q=0.000, *"));  // named and refused wins over the wildcard
  EXPECT_FALSE(wire::AcceptsGzip("*;q=0"));
  EXPECT_FALSE(wire::AcceptsGzip("gzip;q=nonsense"));
}

TEST(GzipTest, DamagedCutAndOversizedBodiesAreRefused) {
  const std::string text = JsonLikeText(2000);
  const std::string packed = wire::GzipCompress(text);
  EXPECT_THROW(wire::GzipDecompress("not gzip at all", 1000), wire::GzipError);
  EXPECT_THROW(wire::GzipDecompress(packed.substr(0, packed.size() / 2), text.size()), wire::GzipError);
  EXPECT_THROW(wire::GzipDecompress(packed.substr(0, packed.size() - 4), text.size()), wire::GzipError)
      << "without its length trailer";
  std::string damaged = packed;
  damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x55);
  EXPECT_THROW(wire::GzipDecompress(damaged, text.size()), wire::GzipError);
  // A small body that inflates far past the limit (a "bomb") stops at the limit.
  const std::string bomb = wire::GzipCompress(std::string(10'000'000, '\0'), 9);
  EXPECT_LT(bomb.size(), 20'000U);
  EXPECT_THROW(wire::GzipDecompress(bomb, 1'000'000), wire::GzipError);
  EXPECT_THROW(wire::GzipDecompress(packed, text.size() - 1), wire::GzipError);
}

}  // namespace
}  // namespace vantrel::testing
