// The data commands of vntaccess: read, read-ids, write, history and call
// (history's arguments are in views/history_query.h).
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

#include "views/history_query.h"
#include "views/value_parse.h"
#include "contracts/collections.h"
#include "contracts/enums.h"
#include "contracts/operation_table.h"

namespace vantrel::cli {

struct ReadArgs {
  std::vector<std::string> records;  // "TI101,TI102" gives two; 'TI*' every match
  std::vector<std::string> fields;
  std::optional<int64_t> watchTicks;  // --watch: read again every so long
  std::optional<int64_t> count;       // --count: rounds of --watch
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
  bool lossy = false;       // --lossy: store a number the field changes (rounds, cuts)
  contracts::DateTime now;  // when the command line was read
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

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_DATA_COMMANDS_H_
