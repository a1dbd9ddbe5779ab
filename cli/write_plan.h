// What a write will do, worked out before it runs, so that its report says
// exactly what happened. The library writes a whole repeat area only as far
// as it has occurrences, and a single field only its first value; a plan
// counts per field the values given and the values that will be written,
// and why any are left over ("TREND has 5 occurrences").
//
// ParseFieldValue reads a value typed for a field strictly by the field's
// kind: numbers as numbers in the field's range, a selector's text or
// number, a time in any form ParseTime takes, an existing record name for a
// record pointer, "RECORD FIELD" for a record-and-field pointer.
#ifndef VANTREL_CLI_WRITE_PLAN_H_
#define VANTREL_CLI_WRITE_PLAN_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command.h"
#include "views/field_resolver.h"
#include "views/output.h"
#include "contracts/collections.h"

namespace vantrel::cli {

class ToolAccess;

contracts::Value ParseFieldValue(std::string_view text, const ResolvedField& field, const contracts::DateTime& now,
                                 ToolAccess& access);

struct FieldWrite {
  ResolvedField field;
  contracts::TagValues values;
  int32_t written = 0;   // values the write stores
  std::string leftOver;  // why the others are not stored ("TREND has 5 occurrences")
};

class WritePlan {
 public:
  void Add(ResolvedField field, contracts::TagValues values);

  const std::vector<FieldWrite>& Fields() const { return fields_; }
  int64_t Given() const;
  int64_t Written() const;
  bool Complete() const { return Written() == Given(); }

  // The request for DataAccess::SetTagValues, without the values that will
  // not be written and without fields that get none.
  contracts::TagValuesByIds Request() const;

  // The report of the write: done, or (dry run) what it would do.
  Shown Report(bool dryRun) const;

 private:
  std::vector<FieldWrite> fields_;
};

// Runs a planned write with write(), keeps what it wrote (also when it
// failed part way, as the database keeps each write it acknowledged) and
// shows the report: kDone, or kPartlyDone when values were left over. A dry
// run shows what it would write and writes nothing.
ExitCode RunWritePlan(const WritePlan& plan, CommandContext& context, const std::function<void()>& write);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_WRITE_PLAN_H_
