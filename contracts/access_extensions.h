// AccessExtensions::Clone: a deep copy of a contract record or collection,
// for callers that must change a copy of a shared, read-only value.
#ifndef VANTREL_CONTRACTS_ACCESS_EXTENSIONS_H_
#define VANTREL_CONTRACTS_ACCESS_EXTENSIONS_H_

#include <type_traits>

namespace vantrel::contracts {

struct AccessExtensions {
  // Contract records hold their members by value, so a copy is deep.
  template <typename T>
  static T Clone(const T& value) {
    static_assert(std::is_copy_constructible_v<T>);
    return T(value);
  }
};

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_ACCESS_EXTENSIONS_H_
