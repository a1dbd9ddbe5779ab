// Where names are referenced, as the refs command shows it and the host
// serves on GET /v1/refs: the management service's reference search in the
// lines of calculation records (calc), the fields of other records that
// point at a record (fields) and SQL (sql). JSON: {NAME: {PLACE: {"source",
// "definition", "info", "lines" or "fields"}}}, each name once, an empty
// object for a name found nowhere.
#ifndef VANTREL_VIEWS_REFS_VIEW_H_
#define VANTREL_VIEWS_REFS_VIEW_H_

#include <optional>
#include <string>
#include <vector>

#include "contracts/enums.h"
#include "contracts/services.h"
#include "views/output.h"

namespace vantrel::cli {

struct RefsArgs {
  std::vector<std::string> names;
  std::optional<contracts::ReferenceSourceTypeEnum> source;  // none: every source
};

// A source by name (calc, fields, sql), any case; nullopt for "all".
// Throws UsageError listing the sources.
std::optional<contracts::ReferenceSourceTypeEnum> ParseSource(const std::string& text);

Shown RefsView(const RefsArgs& args, contracts::IManagementService& management);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_REFS_VIEW_H_
