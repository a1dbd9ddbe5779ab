// Selectors: the value set of an enumerated field, number to text, in the
// order the selector record lists them.
#ifndef VANTREL_CONTRACTS_SELECTORS_H_
#define VANTREL_CONTRACTS_SELECTORS_H_

#include <cstdint>
#include <string>

#include "contracts/ordered_map.h"

namespace vantrel::contracts {

using Selectors = OrderedMap<int32_t, std::string>;
using SelectorsByIds = OrderedMap<int32_t, Selectors>;

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_SELECTORS_H_
