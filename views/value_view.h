// How one value of a field looks: as a table cell (a selector's text, a
// time as a time cell, "(none)" when there is no value) and as plain JSON
// for scripts (numbers as numbers, a selector as its number with its text
// beside it, a record-and-field pointer as {"record", "field"}).
#ifndef VANTREL_VIEWS_VALUE_VIEW_H_
#define VANTREL_VIEWS_VALUE_VIEW_H_

#include <optional>

#include "views/field_resolver.h"
#include "views/output.h"
#include "contracts/tag_value.h"

namespace vantrel::cli {

Cell ValueCell(const contracts::Value& value, const contracts::Selectors& selectors);
Json ValueJson(const contracts::Value& value);

// The JSON of one value of field: "value" (and "text" for a selector), then
// "status" and "level" when the field keeps quality, "time" and "timeMs"
// when it keeps a time.
Json TagValueJson(const contracts::TagValue& value, const ResolvedField& field);

// The value as a real number, when it is a number.
std::optional<double> NumberOf(const contracts::Value& value);

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_VALUE_VIEW_H_
