// JSON form of every contract record and collection (nlohmann::json
// adl_serializers), used by the command-line tool and any remote host.
// Values carry their kind ({"int16": 5}, {"double": 1.5}, {"time": "..."},
// {"ids": [...]}, ...) so that a round trip keeps int16 apart from int32 and
// double, timestamps with their kind, and TagIdentifiers lists. Maps become
// JSON objects in their own order (integer keys as decimal text). Input
// that does not match a contract shape throws ArgumentException naming the
// JSON path and what is wrong.
#ifndef VANTREL_CONTRACTS_JSON_H_
#define VANTREL_CONTRACTS_JSON_H_

#include <nlohmann/json.hpp>

#include "contracts/collections.h"
#include "contracts/date_time.h"
#include "contracts/enums.h"
#include "contracts/records.h"
#include "contracts/service_exception.h"
#include "contracts/tag_value.h"

namespace vantrel::contracts {

using Json = nlohmann::ordered_json;

}  // namespace vantrel::contracts

// The helper fills in the serializers here.

#endif  // VANTREL_CONTRACTS_JSON_H_
