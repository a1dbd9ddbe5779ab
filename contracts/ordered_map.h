// OrderedMap: the map of the contracts. It enumerates in insertion order,
// as the contracts' maps do, and finds keys by hash. Entries live in one
// vector: small maps cost one allocation, and inserting may move entries
// (references into the map are not kept across an insertion).
#ifndef VANTREL_CONTRACTS_ORDERED_MAP_H_
#define VANTREL_CONTRACTS_ORDERED_MAP_H_

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <tsl/ordered_map.h>

namespace vantrel::contracts {

template <typename Key, typename Mapped>
using OrderedMap = tsl::ordered_map<Key, Mapped, std::hash<Key>, std::equal_to<Key>,
                                    std::allocator<std::pair<Key, Mapped>>, std::vector<std::pair<Key, Mapped>>>;

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_ORDERED_MAP_H_
