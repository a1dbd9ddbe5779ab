// The data commands of vntaccess: read, read-ids, write, history and call.
// Their arguments are plain structs, filled and checked while the command
// line is parsed (no database); the run functions resolve names, call the
// data service and show the result.
#ifndef VANTREL_CLI_DATA_COMMANDS_H_
#define VANTREL_CLI_DATA_COMMANDS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/value_parse.h"
#include "contracts/collections.h"
#include "contracts/enums.h"
#include "contracts/operation_table.h"

namespace vantrel::cli {

struct ReadArgs {
  std::vector<std::string> records;  // "TI101,TI102" gives two
  std::vector<std::string> fields;
};

struct ReadIdsArgs {
  int32_t record = 0;
  std::vector<int32_t> fieldTags;
};

struct WriteArgs {
  std::string record;
  std::string field;
  std::vector<std::string> texts;
  std::optional<ValueType> type;
  std::vector<contracts::Value> typedValues;  // the texts read as --type says
  std::optional<int16_t> status;
  std::optional<int16_t> level;
  std::optional<contracts::DateTime> time;
  contracts::DateTime now;  // when the command line was read
};

struct HistoryArgs {
  std::string record;
  std::string field;
  std::optional<contracts::DateTime> from;
  std::optional<contracts::DateTime> to;
  int32_t max = 1000;
  contracts::OutsidersRequestTypeEnum outsiders = contracts::OutsidersRequestTypeEnum::None;
  bool step = false;
  std::string plot;  // SVG file to write, or empty
  contracts::DateTime now;
  // The interval read: the last 24 hours up to now (or up to --to) when
  // --from is not given.
  contracts::DateTime From() const;
  contracts::DateTime To() const;
};

struct CallArgs {
  std::string operation;
  std::string argument;  // JSON
  // The operation's arguments, read while parsing.
  std::optional<contracts::PreparedCall> call;
  // A data service operation's argument as the operation takes it.
  std::variant<std::monostate, contracts::Tags, contracts::TagsById, contracts::TagValuesByNames,
               contracts::TagValuesByIds, contracts::HistoryRequests>
      request;
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

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_DATA_COMMANDS_H_
