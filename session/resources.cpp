#include "session/resources.h"

#include <array>
#include <utility>

namespace vantrel::access {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kEntries{{
    {resource::kCantImprSysAcctError, "Failed to impersonate Vnt system account to initialize Vnt"},
    {resource::kFieldInfo, "Field(s):"},
    {resource::kVntNotUpError, "Failed to intialize Vantrel. It may not be up and running yet"},
    {resource::kLineInfo, "Line(s):"},
    {resource::kMakeTagError, "Make tag {0} {1} with error {2}."},
    {resource::kSharedCalc, "Shared Calc"},
    {resource::kUnknownReferenceSourceError, "Unknown reference source: {0}"},
}};

}  // namespace

const ResourceTable* ResourceTable::Open(std::string_view tableName) {
  static const ResourceTable table;
  return tableName == kResourceTableName ? &table : nullptr;
}

std::optional<std::string> ResourceTable::GetString(std::string_view name) const {
  for (const auto& [key, text] : kEntries) {
    if (key == name) return std::string(text);
  }
  return std::nullopt;
}

}  // namespace vantrel::access
