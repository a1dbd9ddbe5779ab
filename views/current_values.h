// The current values of resolved fields as the read command shows them: a
// table (record, field, value, status, level, time) and the same content as
// JSON keyed by record and field. The tool prints it (cli/values_view.h);
// the host serves its JSON on GET /v1/read.
#ifndef VANTREL_VIEWS_CURRENT_VALUES_H_
#define VANTREL_VIEWS_CURRENT_VALUES_H_

#include <string>
#include <vector>

#include "views/field_resolver.h"
#include "views/output.h"
#include "views/view_sources.h"

namespace vantrel::cli {

class ToolAccess;

// What one read of fields shows, and the fields that got no value back
// (by full name: "TI101 VALUE").
struct CurrentValues {
  Shown shown;
  std::vector<std::string> missing;
};

// The fields a read names: records (each "TI101,TI102" or a pattern 'TI*')
// and field names; without field names every field of each record's
// definition. One record word 'TI*.VALUE' with no field names reads that
// field of every match. Names that do not resolve throw NotFoundError with
// suggestions. Each field once, in the order first asked.
std::vector<ResolvedField> ResolveReadFields(std::vector<std::string> records, std::vector<std::string> fields,
                                             ViewSources& sources);

// 'TI*.VALUE' as the one record word without fields: the pattern and, after
// its last point, the field (a plain name with a point stays a record name).
void TakeDottedField(std::vector<std::string>& records, std::vector<std::string>& fields);

// Each field once, in the order first asked.
std::vector<ResolvedField> DistinctFields(std::vector<ResolvedField> fields);

// Reads the current values of fields (in batches of the data service's
// size) and builds what they show.
CurrentValues ReadCurrentValues(const std::vector<ResolvedField>& fields, ToolAccess& access);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_CURRENT_VALUES_H_
