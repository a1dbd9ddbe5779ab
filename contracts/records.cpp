#include "contracts/records.h"

#include <fmt/format.h>

namespace vantrel::contracts {

std::string Version::ToString() const {
  return fmt::format("{}.{}.{}.{}", Major, Minor, Build, Revision);
}

}  // namespace vantrel::contracts
