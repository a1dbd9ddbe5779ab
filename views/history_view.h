// Showing histories read by the history command, in the three output forms
// and as a chart: the values of one or several fields on one time axis, the
// same on a regular grid (--align), or summaries per interval (--every).
// A read cut by --max is marked in every form: "truncated" and the time to
// read on from ("nextFrom") in JSON, a line under the table, a grey band on
// the chart. Pure functions of what was read; thread-safe.
#ifndef VANTREL_VIEWS_HISTORY_VIEW_H_
#define VANTREL_VIEWS_HISTORY_VIEW_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "views/aggregates.h"
#include "views/history_read.h"
#include "views/output.h"
#include "views/svg_plot.h"

namespace vantrel::cli {

// How the histories are shown: as read, on a grid, or summarized.
struct HistoryLayout {
  std::optional<int64_t> alignTicks;  // --align
  Hold hold = Hold::kStep;            // --hold
  std::optional<int64_t> everyTicks;  // --every
  std::vector<AggregateKind> aggregates;
};

struct HistoryShown {
  Shown shown;
  TrendChart chart;
  std::vector<std::string> notes;  // for standard error: cut reads, in every form
};

HistoryShown ShowHistories(const std::vector<FieldHistory>& histories, const HistoryWindow& window,
                           const HistoryLayout& layout, const OutputStyle& style);

// The samples of a history in time order, the first value left out by a cut
// read included (it ends the value before it); values that are not numbers
// are NaN.
std::vector<Sample> SamplesOf(const FieldHistory& history);

// Whether a field's value holds until the next sample (a whole number, a
// selector), so that its chart is drawn in steps.
bool HoldsBetweenSamples(const ResolvedField& field);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_HISTORY_VIEW_H_
