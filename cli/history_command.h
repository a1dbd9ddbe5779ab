// The arguments of the history command (cli/history_command.cpp), filled and
// checked while the command line is parsed, with no database.
#ifndef VANTREL_CLI_HISTORY_COMMAND_H_
#define VANTREL_CLI_HISTORY_COMMAND_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/aggregates.h"
#include "contracts/date_time.h"
#include "contracts/enums.h"

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

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_HISTORY_COMMAND_H_
