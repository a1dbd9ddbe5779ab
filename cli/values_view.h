// Reading and showing the values of resolved fields: current values (read,
// read-ids) and the history of one field (history), in the three output
// forms, with the history's chart and sparkline.
#ifndef VANTREL_CLI_VALUES_VIEW_H_
#define VANTREL_CLI_VALUES_VIEW_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/field_resolver.h"
#include "cli/output.h"
#include "cli/svg_plot.h"
#include "contracts/tag_value.h"

namespace vantrel::cli {

// Reads the current values of fields (in batches, with progress) and shows
// them. A field that gets no value back is named on standard error, and the
// code is then kPartlyDone.
ExitCode ShowCurrentValues(std::vector<ResolvedField> fields, CommandContext& context);

struct HistoryView {
  ResolvedField field;
  contracts::DateTime from;
  contracts::DateTime to;
  std::string units;
};

struct HistoryShown {
  Shown shown;
  TrendChart chart;
  int64_t inside = 0;  // values inside the interval
};

HistoryShown ShowHistory(const HistoryView& view, const contracts::TagValues& values, const OutputStyle& style);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_VALUES_VIEW_H_
