// Conversion of a TagValue's Value to the kinds the database stores. One
// set of rules for every write: no value converts to 0, the empty text or
// the minimum timestamp; reals round half to even when they become
// integers; results outside the target's range are an OverflowException;
// booleans are 1 or 0; text parses in the invariant culture
// (FormatException when it does not); timestamps and numbers do not convert
// into each other (InvalidCastException); everything has a text form.
#ifndef VANTREL_DATA_VALUE_CONVERSION_H_
#define VANTREL_DATA_VALUE_CONVERSION_H_

#include <cstdint>
#include <string>

#include "contracts/date_time.h"
#include "contracts/tag_value.h"

namespace vantrel::access {

int16_t ToInt16(const contracts::Value& value);
int32_t ToInt32(const contracts::Value& value);
float ToSingle(const contracts::Value& value);
double ToDouble(const contracts::Value& value);
contracts::DateTime ToDateTime(const contracts::Value& value);
std::string ToText(const contracts::Value& value);

}  // namespace vantrel::access

#endif  // VANTREL_DATA_VALUE_CONVERSION_H_
