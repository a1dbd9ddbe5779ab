#include "engine/catalog_cache.h"

#include <cstring>
#include <mutex>

namespace dorvik {

namespace {

// Eight bytes with 'A'..'Z' made lower case, all others (bytes from 0x80
// included) unchanged: a byte is a capital when its low seven bits are at
// least 0x41 and below 0x5B and its top bit is clear. No sum carries into
// the next byte.
uint64_t FoldWord(uint64_t word) {
  const uint64_t low = word & 0x7F7F7F7F7F7F7F7FULL;
  const uint64_t fromA = low + 0x3F3F3F3F3F3F3F3FULL;   // top bit set from 0x41 on
  const uint64_t pastZ = low + 0x2525252525252525ULL;   // top bit set from 0x5B on
  const uint64_t capitals = fromA & ~pastZ & ~word & 0x8080808080808080ULL;
  return word | (capitals >> 2);
}

// Word i of text, the bytes past its end zero.
uint64_t WordAt(std::string_view text, std::size_t offset) {
  uint64_t word = 0;
  if (text.size() - offset >= 8) {
    std::memcpy(&word, text.data() + offset, 8);  // a fixed size: one load, no call
    return word;
  }
  for (std::size_t i = offset; i < text.size(); ++i) {
    word |= uint64_t{static_cast<unsigned char>(text[i])} << (8 * (i - offset));
  }
  return word;
}

}  // namespace

std::size_t FoldedHash::operator()(std::string_view text) const noexcept {
  // Eight folded bytes at a time: names are looked up on every NAME2RECID.
  uint64_t hash = 0xcbf29ce484222325ULL ^ text.size();
  for (std::size_t offset = 0; offset < text.size(); offset += 8) {
    hash = (hash ^ FoldWord(WordAt(text, offset))) * 0x100000001b3ULL;
    hash ^= hash >> 29;
  }
  return static_cast<std::size_t>(hash);
}

bool FoldedEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t offset = 0; offset < a.size(); offset += 8) {
    if (FoldWord(WordAt(a, offset)) != FoldWord(WordAt(b, offset))) return false;
  }
  return true;
}

bool CatalogCache::FindName(uint32_t generation, std::string_view name, int32_t& id) const {
  std::shared_lock lock(mutex_);
  if (generation_ != generation) return false;
  const auto it = names_.find(name);
  if (it == names_.end()) return false;
  id = it->second;
  return true;
}

void CatalogCache::Prepare(uint32_t generation, std::size_t held) {
  if (generation_ == generation && held < kMaxEntries) return;
  records_.clear();
  names_.clear();
  generation_ = generation;
}

void CatalogCache::RememberRecord(uint32_t generation, int32_t id, RecordIdentity identity) {
  std::unique_lock lock(mutex_);
  Prepare(generation, records_.size());
  records_.insert_or_assign(id, std::move(identity));
}

void CatalogCache::RememberName(uint32_t generation, std::string_view name, int32_t id) {
  std::unique_lock lock(mutex_);
  Prepare(generation, names_.size());
  names_.insert_or_assign(FoldCase(name), id);
}

std::size_t CatalogCache::records() const {
  std::shared_lock lock(mutex_);
  return records_.size();
}

std::size_t CatalogCache::names() const {
  std::shared_lock lock(mutex_);
  return names_.size();
}

}  // namespace dorvik
