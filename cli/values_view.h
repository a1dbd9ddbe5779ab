// Reading and showing the current values of resolved fields (read,
// read-ids), once or again and again (read --watch), in the three output
// forms. History has views/history_view.h.
#ifndef VANTREL_CLI_VALUES_VIEW_H_
#define VANTREL_CLI_VALUES_VIEW_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/command.h"
#include "views/field_resolver.h"
#include "views/output.h"
#include "contracts/tag_value.h"

namespace vantrel::cli {

// Reads the current values of fields (in batches, with progress) and shows
// them. A field that gets no value back is named on standard error, and the
// code is then kPartlyDone.
ExitCode ShowCurrentValues(std::vector<ResolvedField> fields, CommandContext& context);

// Reads and shows the values again every interval until Ctrl-C or SIGTERM,
// or for rounds rounds: drawn again in place on a terminal; else appended,
// each row with the time of its read (AT), or one JSON object per read
// (JSON Lines). Fields without a value in any read are named at the end.
ExitCode WatchCurrentValues(std::vector<ResolvedField> fields, CommandContext& context, int64_t intervalTicks,
                            std::optional<int64_t> rounds);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_VALUES_VIEW_H_
