// The base64 codec on any bytes and any output capacity: encoding then
// decoding gives the bytes back whenever both fit; decoding any text either
// fails with an empty output or gives data that encodes and decodes to
// itself. Output buffers are exactly capacity + 1 bytes, so a write past them
// is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz/fuzz_check.h"
#include "native/base64.h"

namespace {

using vantrel::access::UUDecodeString;
using vantrel::access::UUEncodeString;

struct Output {
  explicit Output(uint32_t capacity) : bytes(std::make_unique<char[]>(capacity + 1)), length(capacity) {}
  std::unique_ptr<char[]> bytes;
  uint32_t length;
  std::string_view View() const { return {bytes.get(), length}; }
};

// Runs codec over input (copied so that a zero byte ends it exactly) into an
// output of capacity bytes.
template <typename Codec>
std::pair<int32_t, Output> Run(Codec codec, std::string_view input, uint32_t capacity) {
  const auto copy = std::make_unique<char[]>(input.size() + 1);
  std::memcpy(copy.get(), input.data(), input.size());
  copy[input.size()] = '\0';
  Output out(capacity);
  const int32_t ok = codec(copy.get(), static_cast<uint32_t>(input.size()), out.bytes.get(), &out.length);
  FUZZ_CHECK(ok == 1 || (out.length == 0 && out.bytes[0] == '\0'), "a failure leaves an empty output");
  FUZZ_CHECK(ok == 0 || (out.length <= capacity && out.bytes[out.length] == '\0'), "a result ends in a zero");
  return {ok, std::move(out)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the capacity: up to twice the room the result needs.
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const uint32_t encodedSize = static_cast<uint32_t>((input.size() + 2) / 3 * 4);
  const uint32_t capacity = static_cast<uint32_t>(data[0]) * (encodedSize + 1) / 128;

  const auto [encoded, text] = Run(UUEncodeString, input, capacity);
  FUZZ_CHECK(encoded == (!input.empty() && capacity >= encodedSize), "encodes exactly when it fits");
  if (encoded == 1) {
    FUZZ_CHECK(text.length == encodedSize, "the encoded length");
    const auto [decoded, back] = Run(UUDecodeString, text.View(), static_cast<uint32_t>(input.size()));
    FUZZ_CHECK(decoded == 1 && back.View() == input, "decoding gives the bytes back");
  }

  // Any text: what decodes is stable under a second round trip.
  const auto [decoded, bytes] = Run(UUDecodeString, input, capacity);
  if (decoded == 1 && bytes.length > 0) {
    const auto [again, reencoded] = Run(UUEncodeString, bytes.View(), (bytes.length + 2) / 3 * 4);
    FUZZ_CHECK(again == 1, "decoded data encodes");
    const auto [twice, same] = Run(UUDecodeString, reencoded.View(), bytes.length);
    FUZZ_CHECK(twice == 1 && same.View() == bytes.View(), "decoded data round-trips");
  }
  return 0;
}
