#include "native/base64.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

namespace vantrel::access {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t kNotInAlphabet = -1;

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = kNotInAlphabet;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr std::array<int8_t, 256> kDecodeTable = MakeDecodeTable();

// A scratch block that grows to a requested size: kept when it is large
// enough, else replaced by a block of exactly that size holding the old
// contents.
class GrowableBuffer {
 public:
  bool Reserve(std::size_t size) {
    if (size <= size_) return true;
    std::unique_ptr<char[]> grown;
    try {
      grown = std::make_unique_for_overwrite<char[]>(size);
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    size_ = size;
    return true;
  }
  char* Data() { return data_.get(); }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

// Common outer steps of both directions: input ends at its length, and the
// result is copied only when it fits.
int32_t Fail(char* out, uint32_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  if (out != nullptr) out[0] = '\0';
  return 0;
}

bool InputEndsAtLength(const char* input, uint32_t length) {
  return input != nullptr && length != 0 && input[length] == '\0';
}

int32_t Deliver(const char* result, std::size_t length, char* out, uint32_t* outLength) {
  if (length > *outLength) return Fail(out, outLength);
  std::memcpy(out, result, length);
  out[length] = '\0';
  *outLength = static_cast<uint32_t>(length);
  return 1;
}

// Decodes the base64 data at the start of text; nothing for a data length
// that no encoder produces (one character left over) or when memory runs out.
std::optional<std::size_t> Decode(const char* text, GrowableBuffer& buffer) {
  while (*text == ' ' || *text == '\t') ++text;
  std::size_t n = 0;
  while (kDecodeTable[static_cast<unsigned char>(text[n])] != kNotInAlphabet) ++n;
  if (n % 4 == 1) return std::nullopt;
  if (!buffer.Reserve(((n + 3) / 4) * 3 + 4)) return std::nullopt;

  auto value = [&](std::size_t i) { return i < n ? static_cast<uint8_t>(kDecodeTable[static_cast<unsigned char>(text[i])]) : uint8_t{0}; };
  char* out = buffer.Data();
  std::size_t written = 0;
  for (std::size_t i = 0; i < n; i += 4) {
    const uint8_t a = value(i), b = value(i + 1), c = value(i + 2), d = value(i + 3);
    out[written++] = static_cast<char>((a << 2) | (b >> 4));
    out[written++] = static_cast<char>((b << 4) | (c >> 2));
    out[written++] = static_cast<char>((c << 6) | d);
  }
  const std::size_t remainder = n % 4;
  const std::size_t length = written - (remainder == 2 ? 2 : remainder == 3 ? 1 : 0);
  out[length] = '\0';
  return length;
}

std::optional<std::size_t> Encode(const unsigned char* data, std::size_t length, GrowableBuffer& buffer) {
  if (!buffer.Reserve(length + (length + 3) / 3 + 4)) return std::nullopt;
  char* out = buffer.Data();
  std::size_t written = 0;
  for (std::size_t i = 0; i < length; i += 3) {
    const std::size_t left = length - i;
    const uint32_t group = (uint32_t{data[i]} << 16) | (left > 1 ? uint32_t{data[i + 1]} << 8 : 0u) |
                           (left > 2 ? uint32_t{data[i + 2]} : 0u);
    out[written++] = kAlphabet[(group >> 18) & 0x3F];
    out[written++] = kAlphabet[(group >> 12) & 0x3F];
    out[written++] = left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out[written++] = left > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  out[written] = '\0';
  return written;
}

}  // namespace

int32_t UUDecodeString(const char* text, uint32_t textLength, char* out, uint32_t* outLength) {
  if (out == nullptr || outLength == nullptr) return 0;
  if (!InputEndsAtLength(text, textLength)) return Fail(out, outLength);
  GrowableBuffer buffer;
  const auto length = Decode(text, buffer);
  if (!length) return Fail(out, outLength);
  return Deliver(buffer.Data(), *length, out, outLength);
}

int32_t UUEncodeString(const char* data, uint32_t dataLength, char* out, uint32_t* outLength) {
  if (out == nullptr || outLength == nullptr) return 0;
  if (!InputEndsAtLength(data, dataLength)) return Fail(out, outLength);
  GrowableBuffer buffer;
  const auto length = Encode(reinterpret_cast<const unsigned char*>(data), dataLength, buffer);
  if (!length) return Fail(out, outLength);
  return Deliver(buffer.Data(), *length, out, outLength);
}

}  // namespace vantrel::access
