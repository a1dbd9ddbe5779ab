// What the history command asks (cli/history_command.cpp fills it from its
// command line, the host's GET /v1/history from the query), how the fields
// it names are resolved and their history read, and what that shows.
#ifndef VANTREL_VIEWS_HISTORY_QUERY_H_
#define VANTREL_VIEWS_HISTORY_QUERY_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "views/aggregates.h"
#include "contracts/date_time.h"
#include "contracts/enums.h"
#include "views/history_view.h"
#include "views/view_sources.h"

namespace vantrel::cli {

struct HistoryArgs {
  std::vector<std::string> records;  // TI101 TI102, TI101,TI102 or patterns 'TI*'
  std::string field;                 // the one field of every record
  std::optional<contracts::DateTime> from;
  std::optional<contracts::DateTime> to;
  int32_t max = 1000;
  contracts::OutsidersRequestTypeEnum outsiders = contracts::OutsidersRequestTypeEnum::None;
  bool outsidersGiven = false;
  bool step = false;                      // the database's step values, drawn in steps
  std::string plot;                       // SVG file to write, or empty
  std::optional<int64_t> alignTicks;      // --align
  Hold hold = Hold::kStep;                // --hold
  std::optional<int64_t> everyTicks;      // --every
  std::vector<AggregateKind> aggregates;  // --agg
  std::optional<int64_t> followTicks;     // --follow
  std::optional<int64_t> count;           // --count: rounds of --follow
  contracts::DateTime now;
  // The interval read: the last 24 hours up to now (or up to --to) when
  // --from is not given.
  contracts::DateTime From() const;
  contracts::DateTime To() const;
};

// The outsider kinds of history --outsiders, with what each adds.
struct OutsidersKind {
  std::string_view name;
  contracts::OutsidersRequestTypeEnum kind;
  std::string_view meaning;
};
extern const std::array<OutsidersKind, 10> kOutsidersKinds;
// A kind by name, any case; throws UsageError listing the kinds.
contracts::OutsidersRequestTypeEnum ParseOutsiders(std::string_view text);

// The fields the history of args reads: each record (patterns expanded) with
// the one field. Throws NotFoundError for names that resolve to nothing and
// for a field that keeps no history, UsageError for a field that holds no
// numbers where --plot, --align or --every need them.
std::vector<ResolvedField> ResolveHistoryFields(const HistoryArgs& args, ViewSources& sources);

// The interval and kind of read that args asks of the database.
HistoryWindow WindowOf(const HistoryArgs& args);

// Reads the history of each field (with its units and description).
std::vector<FieldHistory> ReadHistories(const HistoryArgs& args, const std::vector<ResolvedField>& fields,
                                        ToolAccess& access);

// What the histories show in style's form, the chart drawn in steps when
// args asks for step values.
HistoryShown ShowHistoryQuery(const HistoryArgs& args, const std::vector<FieldHistory>& histories,
                              const OutputStyle& style);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_HISTORY_QUERY_H_
