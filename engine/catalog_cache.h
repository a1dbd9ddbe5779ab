// CatalogCache: this process's memory of what the single-item catalog calls
// (DEFINID, RECTYPEOK, NAME2RECID, GETNAMDB_LNAME, GETFTDB_LNAME) read from
// one store's records: each record's definition, usable flag and name, and
// the id each record name resolves to, absent ones included. Thread-safe:
// the threads of one process share it (readers under a shared lock).
//
// Every entry is tagged by the catalog generation of the store's signals
// page (SIGNALS.md) under which it was read, and the cache as a whole holds
// entries of one generation only:
//
//   Invariant: an entry of generation G was read in a transaction begun
//   after the page showed G, with G even. Every commit that changes a
//   record's name, definition or usable flag (or adds a record, field,
//   definition or selector) moves the page's word to an odd value before
//   it commits and to the next even value after (whether or not the commit
//   succeeded). So while the page still shows G no such commit has landed
//   since the entry was read, and an entry is served only while it does.
//   A writer that dies between the two leaves the word odd, and nothing is
//   cached until the next change of the catalog completes: slower, never stale.
//
// Memory: about 130 bytes per record looked up by name (its name entry and
// its id entry; 100,000 records: 13 MB measured, bench/engine_bench); at
// kMaxEntries entries of either kind the cache starts over empty.
//
//   int32_t definitionId = 0;
//   if (cache.WithRecord(generation, id, [&](const RecordIdentity& r) { definitionId = r.definitionId; })) ...
#ifndef VANTREL_ENGINE_CATALOG_CACHE_H_
#define VANTREL_ENGINE_CATALOG_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/catalog.h"
#include "engine/folded_name.h"
#include "engine/reader_writer_lock.h"

namespace dorvik {

// What the catalog calls need of one record id; definitionId 0: no such record.
struct RecordIdentity {
  int32_t definitionId = 0;
  bool usable = false;
  // The record reads whole (its definition is known and its values have the
  // size that definition gives): calls that read the record answer only then.
  bool wellFormed = false;
  const Definition* definition = nullptr;  // the store's Catalog entry; null when unknown
  std::string name;
  // False when reading the definition failed (damage, or an injected or
  // passing storage fault): the answer stands for this call, is never kept.
  bool settled = true;
  bool exists() const { return definitionId != 0; }
};

class CatalogCache {
 public:
  // Entries of either kind kept at most, before the cache starts over.
  static constexpr std::size_t kMaxEntries = 1 << 20;

  // Whether an entry for id of this generation is kept; if so, runs
  // use(const RecordIdentity&) on it under the shared lock (use must not
  // call back into the cache).
  template <typename Use>
  bool WithRecord(uint32_t generation, int32_t id, Use&& use) const {
    std::shared_lock lock(mutex_);
    if (generation_ != generation) return false;
    const auto it = records_.find(id);
    if (it == records_.end()) return false;
    use(it->second);
    return true;
  }
  // The id that name resolves to (0: none) when an entry of this generation is kept.
  bool FindName(uint32_t generation, std::string_view name, int32_t& id) const;

  // Keeps an entry read under generation. A cache of another generation is
  // emptied first. Callers pass only even generations and check before that
  // the page still shows it.
  void RememberRecord(uint32_t generation, int32_t id, RecordIdentity identity);
  void RememberName(uint32_t generation, std::string_view name, int32_t id);

  // Entries kept (tests and measurements).
  std::size_t records() const;
  std::size_t names() const;

 private:
  // Starts over when generation differs or the maps are full; mutex_ held.
  void Prepare(uint32_t generation, std::size_t held);

  // Name keys are kept folded. A caller's name is looked up as FoldedWords,
  // folded once; a folded key hashes as the same name does. Not noexcept on
  // purpose: libstdc++ then keeps each key's hash in its node, so that a
  // lookup passes the other names of its bucket by their hash instead of
  // comparing and hashing their text again.
  static_assert(FoldedWords::kMaxBytes >= kMaxNameLength, "every record name is looked up folded once");
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(const FoldedWords& name) const { return name.Hash(); }
    std::size_t operator()(std::string_view folded) const { return FoldedHash()(folded); }
  };
  struct NameEqual {
    using is_transparent = void;
    bool operator()(const FoldedWords& name, std::string_view folded) const noexcept { return name.Equals(folded); }
    bool operator()(std::string_view folded, const FoldedWords& name) const noexcept { return name.Equals(folded); }
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
  };

  mutable ReaderWriterLock mutex_;
  uint32_t generation_ = 0;  // guarded by mutex_
  std::unordered_map<int32_t, RecordIdentity> records_;                     // guarded by mutex_
  std::unordered_map<std::string, int32_t, NameHash, NameEqual> names_;     // guarded by mutex_
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_CATALOG_CACHE_H_
