// The native value records of DataAccess with any type code and any bytes,
// against the test plant: decoding gives a value or an error with a message;
// a decoded value encodes again, into a record of its type's size, and (but
// for pointers) decodes to the same value; and any value encodes into any
// type code or fails with a message. Records and text buffers are heap
// blocks of exactly their size, so a read or write past them is caught.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "contracts/json.h"
#include "data/data_access.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/data_access_test_peer.h"
#include "tests/support/test_plant.h"

namespace {

namespace api = dorvik::api;
using vantrel::access::DataAccess;
using vantrel::access::DataAccessTestPeer;
using vantrel::contracts::DateTime;
using vantrel::contracts::TagIdentifier;
using vantrel::contracts::TagIdentifiers;
using vantrel::contracts::TagValue;
using vantrel::contracts::ToJson;

// The type codes of value records and their sizes.
struct RecordType {
  int16_t code;
  int32_t size;
};
constexpr std::array<RecordType, 9> kRecordTypes{{{api::kTypeRecordId, 4},
                                                  {api::kTypeRecordAndField, sizeof(IDANDFT)},
                                                  {api::kTypeInt16, 2},
                                                  {api::kTypeTime, sizeof(XUSTS)},
                                                  {api::kTypeInt16Quality, sizeof(SVANDQU)},
                                                  {api::kTypeInt32Quality, sizeof(LVANDQU)},
                                                  {api::kTypeFloatQuality, sizeof(RVANDQU)},
                                                  {api::kTypeDoubleQuality, sizeof(DVANDQU)},
                                                  {api::kTypeTextQuality, sizeof(TVANDQU)}}};

int32_t RecordSize(int16_t code) {
  for (const RecordType& type : kRecordTypes) {
    if (type.code == code) return type.size;
  }
  return 0;
}

DataAccessTestPeer& Peer() {
  static const bool installed = (vantrel::testing::InstallPlant(), true);
  static DataAccess data;
  static DataAccessTestPeer peer(data);
  (void)installed;
  return peer;
}

// A heap block of exactly size bytes.
struct Block {
  explicit Block(std::size_t size) : bytes(std::make_unique<std::byte[]>(std::max<std::size_t>(size, 1))), size(size) {}
  std::unique_ptr<std::byte[]> bytes;
  std::size_t size;
};

std::optional<TagValue> Decode(int16_t type, const Block& record, std::span<char> text) {
  try {
    return Peer().Decode(type, record.bytes.get(), text);
  } catch (const std::exception& error) {
    FUZZ_CHECK(std::strlen(error.what()) > 0, "a decoding error says what is wrong");
    return std::nullopt;
  }
}

// Encodes value as type into a fresh record and text buffer of textSize;
// the record and the text, or nothing when it fails with a message.
std::optional<std::pair<Block, std::vector<char>>> Encode(int16_t type, const TagValue& value, std::size_t textSize) {
  Block record(static_cast<std::size_t>(std::max(RecordSize(type), 1)));
  std::vector<char> text(textSize);
  try {
    const int32_t written = Peer().Encode(record.bytes.get(), type, value, std::span<char>(text));
    FUZZ_CHECK(written == RecordSize(type), "an encoded record has its type's size");
  } catch (const std::exception& error) {
    FUZZ_CHECK(std::strlen(error.what()) > 0, "an encoding error says what is wrong");
    return std::nullopt;
  }
  return std::make_pair(std::move(record), std::move(text));
}

int16_t AnyType(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange(0, 7) == 0) return input.ConsumeIntegral<int16_t>();
  return kRecordTypes[input.ConsumeIntegralInRange<std::size_t>(0, kRecordTypes.size() - 1)].code;
}

TagValue AnyValue(FuzzedDataProvider& input) {
  vantrel::contracts::Value value;
  switch (input.ConsumeIntegralInRange(0, 9)) {
    case 0: break;
    case 1: value = input.ConsumeBool(); break;
    case 2: value = input.ConsumeIntegral<int16_t>(); break;
    case 3: value = input.ConsumeIntegral<int32_t>(); break;
    case 4: value = input.ConsumeIntegral<int64_t>(); break;
    case 5: value = input.ConsumeFloatingPoint<float>(); break;
    case 6: value = input.ConsumeFloatingPoint<double>(); break;
    case 7: value = DateTime(input.ConsumeIntegralInRange<int64_t>(0, DateTime::kMaxTicks)); break;
    case 8: value = input.ConsumeRandomLengthString(300); break;
    default: {
      TagIdentifiers ids;
      for (int n = input.ConsumeIntegralInRange(0, 3); n > 0; --n) {
        ids.emplace_back(input.ConsumeRandomLengthString(20), input.ConsumeIntegral<int32_t>());
      }
      value = std::move(ids);
    }
  }
  const DateTime time(input.ConsumeIntegralInRange<int64_t>(0, DateTime::kMaxTicks));
  return TagValue(std::move(value), time, input.ConsumeIntegral<int16_t>(), input.ConsumeIntegral<int16_t>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const int16_t type = AnyType(input);
  const std::size_t textSize = input.ConsumeIntegralInRange<std::size_t>(0, 80);
  Block record(static_cast<std::size_t>(std::max(RecordSize(type), 1)));
  std::vector<char> text(textSize);
  for (auto& byte : std::span(record.bytes.get(), record.size)) byte = std::byte{input.ConsumeIntegral<uint8_t>()};
  for (char& c : text) c = input.ConsumeIntegral<char>();

  // Decode, encode, decode: the same value. Pointers travel by name, which
  // some records (field descriptions) do not answer to, so for them only the
  // encoding is checked.
  const bool byName = type == api::kTypeRecordId || type == api::kTypeRecordAndField;
  if (const auto decoded = Decode(type, record, std::span<char>(text))) {
    if (const auto encoded = Encode(type, *decoded, textSize); encoded && !byName) {
      auto again = encoded->second;
      const auto twice = Decode(type, encoded->first, std::span<char>(again));
      if (twice && ToJson(*twice) != ToJson(*decoded)) {
        std::fprintf(stderr, "type %d: decoded %s, then %s\n", type, ToJson(*decoded).dump().c_str(),
                     ToJson(*twice).dump().c_str());
      }
      FUZZ_CHECK(twice && ToJson(*twice) == ToJson(*decoded), "a decoded value encodes to itself");
    }
  }

  // Any value into any type: a record of the type's size or an error.
  const int16_t target = AnyType(input);
  const TagValue value = AnyValue(input);
  if (const auto encoded = Encode(target, value, input.ConsumeIntegralInRange<std::size_t>(0, 400))) {
    auto encodedText = encoded->second;
    Decode(target, encoded->first, std::span<char>(encodedText));
  }
  return 0;
}
