// FoldedHash and FoldedEqual: ASCII case-insensitive hash and equality of
// record names, eight bytes at a time, so that a name is looked up as the
// caller wrote it while the key is kept folded ('A'..'Z' made lower case,
// every other byte, those from 0x80 included, as it is). Header-only: the
// catalog cache inlines them into every NAME2RECID. Pure functions; any
// thread.
#ifndef VANTREL_ENGINE_FOLDED_NAME_H_
#define VANTREL_ENGINE_FOLDED_NAME_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace dorvik {

struct FoldedHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept;
};
struct FoldedEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};

namespace folded_name_internal {

// Eight bytes with 'A'..'Z' made lower case, all others (bytes from 0x80
// included) unchanged: a byte is a capital when its low seven bits are at
// least 0x41 and below 0x5B and its top bit is clear. No sum carries into
// the next byte.
inline uint64_t FoldWord(uint64_t word) {
  const uint64_t low = word & 0x7F7F7F7F7F7F7F7FULL;
  const uint64_t fromA = low + 0x3F3F3F3F3F3F3F3FULL;   // top bit set from 0x41 on
  const uint64_t pastZ = low + 0x2525252525252525ULL;   // top bit set from 0x5B on
  const uint64_t capitals = fromA & ~pastZ & ~word & 0x8080808080808080ULL;
  return word | (capitals >> 2);
}

inline uint64_t Load64(const char* at) {
  uint64_t word;
  std::memcpy(&word, at, 8);  // a fixed size: one load, no call
  return word;
}

inline uint32_t Load32(const char* at) {
  uint32_t word;
  std::memcpy(&word, at, 4);
  return word;
}

// The word of text that starts at offset, the bytes past its end zero. A
// short tail is read with loads that overlap bytes already read (shifted
// out, or OR-ed in where they are the same bytes), never byte by byte and
// never past the text: names are hashed and compared on every NAME2RECID.
inline uint64_t WordAt(std::string_view text, std::size_t offset) {
  const std::size_t left = text.size() - offset;
  const char* at = text.data() + offset;
  if (left >= 8) return Load64(at);
  if (text.size() >= 8) return Load64(text.data() + text.size() - 8) >> (8 * (8 - left));
  if (left >= 4) return Load32(at) | (uint64_t{Load32(at + left - 4)} << (8 * (left - 4)));
  uint64_t word = 0;
  for (std::size_t i = 0; i < left; ++i) word |= uint64_t{static_cast<unsigned char>(at[i])} << (8 * i);
  return word;
}

inline uint64_t FoldedWordAt(std::string_view text, std::size_t offset) { return FoldWord(WordAt(text, offset)); }

}  // namespace folded_name_internal

inline std::size_t FoldedHash::operator()(std::string_view text) const noexcept {
  // Eight folded bytes at a time: names are looked up on every NAME2RECID.
  uint64_t hash = 0xcbf29ce484222325ULL ^ text.size();
  for (std::size_t offset = 0; offset < text.size(); offset += 8) {
    hash = (hash ^ folded_name_internal::FoldedWordAt(text, offset)) * 0x100000001b3ULL;
    hash ^= hash >> 29;
  }
  return static_cast<std::size_t>(hash);
}

inline bool FoldedEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t offset = 0; offset < a.size(); offset += 8) {
    using folded_name_internal::FoldedWordAt;
    if (FoldedWordAt(a, offset) != FoldedWordAt(b, offset)) return false;
  }
  return true;
}

}  // namespace dorvik

#endif  // VANTREL_ENGINE_FOLDED_NAME_H_
