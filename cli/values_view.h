// Reading and showing the current values of resolved fields (read,
// read-ids) in the three output forms. History has cli/history_view.h.
#ifndef VANTREL_CLI_VALUES_VIEW_H_
#define VANTREL_CLI_VALUES_VIEW_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/field_resolver.h"
#include "cli/output.h"
#include "contracts/tag_value.h"

namespace vantrel::cli {

// Reads the current values of fields (in batches, with progress) and shows
// them. A field that gets no value back is named on standard error, and the
// code is then kPartlyDone.
ExitCode ShowCurrentValues(std::vector<ResolvedField> fields, CommandContext& context);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_VALUES_VIEW_H_
