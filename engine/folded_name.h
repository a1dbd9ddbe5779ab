// FoldedHash and FoldedEqual: ASCII case-insensitive hash and equality of
// record names, eight bytes at a time, so that a name is looked up as the
// caller wrote it while the key is kept folded ('A'..'Z' made lower case,
// every other byte, those from 0x80 included, as it is). Header-only: the
// catalog cache inlines them into every NAME2RECID. Pure functions; any
// thread.
//
// FoldedWords folds a name once, a word at a time, into words kept beside
// it: the catalog cache keeps its keys folded and hashes and compares a
// caller's name through these words, so that NAME2RECID folds that name
// once rather than at every hash and comparison.
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

// A name of at most kMaxBytes (every record name) folded into words; the
// last word's bytes past the name are zero. A longer name equals nothing.
class FoldedWords {
 public:
  static constexpr std::size_t kMaxBytes = 256;
  explicit FoldedWords(std::string_view text);
  // Hashes as FoldedHash hashes the name.
  std::size_t Hash() const;
  // Whether folded, a name kept folded, is this name.
  bool Equals(std::string_view folded) const;

 private:
  std::size_t size_;
  uint64_t words_[kMaxBytes / 8];
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

inline uint64_t HashStart(std::size_t size) { return 0xcbf29ce484222325ULL ^ size; }
inline uint64_t HashStep(uint64_t hash, uint64_t foldedWord) {
  hash = (hash ^ foldedWord) * 0x100000001b3ULL;
  return hash ^ (hash >> 29);
}

}  // namespace folded_name_internal

inline std::size_t FoldedHash::operator()(std::string_view text) const noexcept {
  // Eight folded bytes at a time: names are looked up on every NAME2RECID.
  using namespace folded_name_internal;
  uint64_t hash = HashStart(text.size());
  for (std::size_t offset = 0; offset < text.size(); offset += 8) hash = HashStep(hash, FoldedWordAt(text, offset));
  return static_cast<std::size_t>(hash);
}

inline FoldedWords::FoldedWords(std::string_view text) : size_(text.size()) {
  if (size_ > kMaxBytes) return;  // callers keep to kMaxBytes; such a name equals nothing
  for (std::size_t offset = 0; offset < size_; offset += 8) {
    words_[offset / 8] = folded_name_internal::FoldedWordAt(text, offset);
  }
}

inline std::size_t FoldedWords::Hash() const {
  using namespace folded_name_internal;
  uint64_t hash = HashStart(size_);
  if (size_ > kMaxBytes) return static_cast<std::size_t>(hash);
  for (std::size_t offset = 0; offset < size_; offset += 8) hash = HashStep(hash, words_[offset / 8]);
  return static_cast<std::size_t>(hash);
}

inline bool FoldedWords::Equals(std::string_view folded) const {
  if (folded.size() != size_ || size_ > kMaxBytes) return false;
  for (std::size_t offset = 0; offset < size_; offset += 8) {
    if (folded_name_internal::WordAt(folded, offset) != words_[offset / 8]) return false;
  }
  return true;
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
