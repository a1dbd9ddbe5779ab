// Reading the history of one field for the history command, so that what
// is shown says exactly what was read:
//
//  - --max counts values inside the interval only. One value more is asked
//    for, so that a read cut by --max is known (`truncated`) and the time to
//    read on from is the first value left out (`resumeAt`).
//  - Outsiders are not counted against --max: when the read was cut, the
//    outsiders beyond the interval's far end (which the cut read could not
//    reach) come from a small second read just beyond that end.
//
// Values are kept in read order (newest first for a reverse read) and told
// apart by their time: before, inside or after the closed interval.
#ifndef VANTREL_VIEWS_HISTORY_READ_H_
#define VANTREL_VIEWS_HISTORY_READ_H_

#include <cstdint>
#include <optional>
#include <string>

#include "views/field_resolver.h"
#include "contracts/enums.h"
#include "contracts/tag_value.h"

namespace vantrel::cli {

class ToolAccess;

struct HistoryWindow {
  contracts::DateTime from;  // later than to: newest first
  contracts::DateTime to;
  int32_t max = 1000;  // values inside the interval
  contracts::OutsidersRequestTypeEnum outsiders = contracts::OutsidersRequestTypeEnum::None;
  bool step = false;  // the database's step values

  bool Reverse() const { return to < from; }
  contracts::DateTime Low() const { return std::min(from, to); }
  contracts::DateTime High() const { return std::max(from, to); }
};

enum class Side { kBefore, kInside, kAfter };

struct FieldHistory {
  ResolvedField field;
  std::string units;            // the record's UNITS, may be empty
  std::string description;      // the record's DESCRIPTION, may be empty
  contracts::TagValues values;  // outsiders and at most max values inside, in read order
  int64_t inside = 0;
  bool truncated = false;                           // more values inside were left out
  std::optional<contracts::TagValue> firstLeftOut;  // the first of them, when truncated

  Side SideOf(const contracts::TagValue& value, const HistoryWindow& window) const;
};

// Reads field's history over window. Throws what the library throws.
FieldHistory ReadFieldHistory(ToolAccess& access, const ResolvedField& field, const HistoryWindow& window);

// A text field of field's record (UNITS, DESCRIPTION), or empty when its
// definition has none or it cannot be read.
std::string RecordText(ToolAccess& access, const ResolvedField& field, const std::string& name);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_HISTORY_READ_H_
