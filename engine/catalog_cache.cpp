#include "engine/catalog_cache.h"

#include <mutex>

namespace dorvik {

bool CatalogCache::FindName(uint32_t generation, std::string_view name, int32_t& id) const {
  const FoldedWords folded(name);  // folded once, outside the lock
  std::shared_lock lock(mutex_);
  if (generation_ != generation) return false;
  const auto it = names_.find(folded);
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
