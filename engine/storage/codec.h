// Byte-level encoding of stored entries: big-endian keys (so that LMDB's
// byte order is numeric order) and little-endian, unaligned values written
// and read with std::memcpy. ByteReader checks every length against what is
// left and reports a malformed entry as a corrupted store. Stateless helpers
// and single-owner buffers; thread-compatible.
#ifndef VANTREL_ENGINE_STORAGE_CODEC_H_
#define VANTREL_ENGINE_STORAGE_CODEC_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/storage/env.h"

namespace dorvik::storage {

// Big-endian keys.
inline void PutBigEndian32(std::byte* out, uint32_t value) {
  for (int i = 3; i >= 0; --i, value >>= 8) out[i] = static_cast<std::byte>(value & 0xFF);
}
inline uint32_t GetBigEndian32(const std::byte* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<uint32_t>(in[i]);
  return value;
}
inline void PutBigEndian64(std::byte* out, uint64_t value) {
  for (int i = 7; i >= 0; --i, value >>= 8) out[i] = static_cast<std::byte>(value & 0xFF);
}
inline uint64_t GetBigEndian64(const std::byte* in) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | static_cast<uint64_t>(in[i]);
  return value;
}
// A signed time as an order-preserving unsigned key.
inline uint64_t OrderedTime(int64_t micros) { return static_cast<uint64_t>(micros) ^ (uint64_t{1} << 63); }
inline int64_t TimeFromOrdered(uint64_t key) { return static_cast<int64_t>(key ^ (uint64_t{1} << 63)); }

// The key of a table keyed by an id alone (records, definitions, fields,
// selectors): 4 bytes in native order, compared by LMDB as an unsigned
// integer (MDB_INTEGERKEY), which is the cheapest key to look up.
struct IdKey {
  explicit IdKey(int32_t id) : value(static_cast<uint32_t>(id)) {}
  MDB_val val() const { return Bytes(&value, sizeof value); }
  uint32_t value;
};
// Every stored id is positive. A key that reads as zero or negative is
// damage: it sorts after every real id, so a walk that resumes from it
// would start over from the first record and never end.
inline int32_t IdOfKey(const MDB_val& key) {
  if (key.mv_size != sizeof(uint32_t)) ThrowCorrupted("id key");
  uint32_t id = 0;
  std::memcpy(&id, key.mv_data, sizeof id);
  if (id == 0 || id > uint32_t{INT32_MAX}) ThrowCorrupted("id key");
  return static_cast<int32_t>(id);
}

// Appends values to a byte buffer.
class ByteWriter {
 public:
  template <typename T>
  ByteWriter& Put(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    const std::size_t at = bytes_.size();
    bytes_.resize(at + sizeof value);
    std::memcpy(bytes_.data() + at, &value, sizeof value);
    return *this;
  }
  // A text: its length (uint32) and its bytes.
  ByteWriter& Text(std::string_view text) {
    Put(static_cast<uint32_t>(text.size()));
    return Raw(text.data(), text.size());
  }
  ByteWriter& Raw(const void* data, std::size_t size) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + size);
    if (size != 0) std::memcpy(bytes_.data() + at, data, size);
    return *this;
  }
  const std::vector<std::byte>& bytes() const { return bytes_; }
  MDB_val val() const { return Bytes(bytes_.data(), bytes_.size()); }

 private:
  std::vector<std::byte> bytes_;
};

// Reads values back; what names the entry in a corruption report.
class ByteReader {
 public:
  ByteReader(const MDB_val& value, const char* what)
      : at_(static_cast<const std::byte*>(value.mv_data)), left_(value.mv_size), what_(what) {}
  template <typename T>
  T Get() {
    T value;
    std::memcpy(&value, Take(sizeof value), sizeof value);
    return value;
  }
  std::string_view Text() {
    const auto size = Get<uint32_t>();
    return std::string_view(reinterpret_cast<const char*>(Take(size)), size);
  }
  const std::byte* Take(std::size_t size) {
    if (size > left_) ThrowCorrupted(what_);
    const std::byte* taken = at_;
    at_ += size;
    left_ -= size;
    return taken;
  }
  std::size_t left() const { return left_; }

 private:
  const std::byte* at_;
  std::size_t left_;
  const char* what_;
};

}  // namespace dorvik::storage

#endif  // VANTREL_ENGINE_STORAGE_CODEC_H_
