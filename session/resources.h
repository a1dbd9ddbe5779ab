// The library's string table "VntAccess.Resources": culture-neutral message
// texts by entry name. The table is built once per process and never
// changes afterwards, so it may be read from any thread.
#ifndef VANTREL_SESSION_RESOURCES_H_
#define VANTREL_SESSION_RESOURCES_H_

#include <optional>
#include <string>
#include <string_view>

namespace vantrel::access {

inline constexpr std::string_view kResourceTableName = "VntAccess.Resources";

// Entry names of the table.
namespace resource {
inline constexpr std::string_view kCantImprSysAcctError = "CantImprSysAcctError";
inline constexpr std::string_view kFieldInfo = "FieldInfo";
inline constexpr std::string_view kVntNotUpError = "VntNotUpError";
inline constexpr std::string_view kLineInfo = "LineInfo";
inline constexpr std::string_view kMakeTagError = "MakeTagError";
inline constexpr std::string_view kSharedCalc = "SharedCalc";
inline constexpr std::string_view kUnknownReferenceSourceError = "UnknownReferenceSourceError";
}  // namespace resource

class ResourceTable {
 public:
  // The table of that name, or null when this library has no such table.
  static const ResourceTable* Open(std::string_view tableName);

  // The text of an entry; nothing for a name the table lacks.
  std::optional<std::string> GetString(std::string_view name) const;

 private:
  ResourceTable() = default;
};

}  // namespace vantrel::access

#endif  // VANTREL_SESSION_RESOURCES_H_
