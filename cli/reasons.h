// The database's reasons, as the library passes them on, rewritten for a
// person: each reason once (a stopped batch reports its failing item twice,
// as a summary and as the item), without the C API function's name in
// front, and with names for the numbers the database uses ("field 0x10000"
// becomes "field DESCRIPTION", "record 1042" becomes "record TI101").
// Stateless; the namers it is given decide what can be named.
#ifndef VANTREL_CLI_REASONS_H_
#define VANTREL_CLI_REASONS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "views/record_names.h"  // RecordNameOf, a Namer of records

namespace vantrel::cli {

// A name for a field tag or a record id; empty when there is none.
using Namer = std::function<std::string(int32_t)>;

// message in words. fieldName names field tags ("0x10000"), recordName
// record ids after the word "record"; numbers they cannot name stay.
std::string ReasonInWords(std::string_view message, const Namer& fieldName, const Namer& recordName);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_REASONS_H_
