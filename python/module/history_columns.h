// History as columns: one read of a field's history through the data
// service, and the values of a read laid into caller-owned column buffers
// (times as int64 nanoseconds since 1970 UTC, values as float64, status and
// level as int16), so that the Python module can fill NumPy arrays without
// a Python object per value.
//
//   contracts::TagValues page = ReadHistoryPage(request, account);
//   ... allocate four arrays of page.size() ...
//   bool allNumbers = FillColumns(page, {times, values, status, level});
//
// Stateless; ReadHistoryPage makes its own service object on the calling
// thread.
#ifndef VANTREL_PYTHON_MODULE_HISTORY_COLUMNS_H_
#define VANTREL_PYTHON_MODULE_HISTORY_COLUMNS_H_

#include <cstdint>
#include <optional>
#include <string>

#include "contracts/collections.h"
#include "contracts/records.h"

namespace vantrel::python {

// Nanoseconds since 1970-01-01 UTC as a UTC DateTime (whole 100 ns ticks,
// rounded down); throws ArgumentOutOfRangeException outside its range.
contracts::DateTime DateTimeFromNanoseconds(int64_t nanoseconds);
// A DateTime as nanoseconds since 1970-01-01 UTC (its ticks read as UTC).
int64_t NanosecondsOf(const contracts::DateTime& time);

// One GetHistoryValuesByIds request of a single field, run as account when
// one is given (as a call through the host would). Failures leave as the
// library raises them.
contracts::TagValues ReadHistoryPage(const contracts::HistoryRequestById& request,
                                     const std::optional<std::string>& account);

// Where FillColumns writes; each buffer holds at least the values' count.
struct HistoryColumns {
  int64_t* times;
  double* values;
  int16_t* status;
  int16_t* level;
};

// Writes each value's time, value (numbers and booleans as float64, NaN for
// none and for values that are not numbers), status and level (clamped to
// int16). Returns false when some value was not a number and so is NaN.
bool FillColumns(const contracts::TagValues& values, const HistoryColumns& columns);

// A value that is not a number as text (a time as ISO text with "Z" when
// UTC, record identifiers joined by blanks), null for none and numbers.
std::optional<std::string> NonNumericText(const contracts::Value& value);

}  // namespace vantrel::python

#endif  // VANTREL_PYTHON_MODULE_HISTORY_COLUMNS_H_
