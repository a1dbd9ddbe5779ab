// How many values a field of a record has now, as the read and write paths
// need it: a whole repeat-area field has as many as its count field says,
// any other field one. Plain data.
#ifndef VANTREL_SESSION_MAX_OCURRENCE_INFO_H_
#define VANTREL_SESSION_MAX_OCURRENCE_INFO_H_

#include <cstdint>
#include <vector>

#include "contracts/ordered_map.h"

namespace vantrel::access {

// Why a field's occurrence count is not known.
enum class MaxOccurrenceError : int32_t {
  NoError = 0,
  CountReadFailed = 1,  // the count could not be read from the record
  FieldNotDefined = 2,  // no such field in the definition, or no definition
};

class MaxOcurrenceInfo {
 public:
  bool IsRepeatArea = false;  // a whole repeat-area field whose count was read
  int32_t Occurrences = 0;    // values the field has now
  MaxOccurrenceError ErrorType = MaxOccurrenceError::NoError;
};

// By field tag, in the order the fields were asked for.
using MaxOcurrenceInfoByFieldId = contracts::OrderedMap<int32_t, MaxOcurrenceInfo>;

// The same as a flat list, for callers that only walk it: each field once.
struct FieldOcurrenceInfo {
  int32_t fieldId = 0;
  MaxOcurrenceInfo info;
};
using MaxOcurrenceInfoList = std::vector<FieldOcurrenceInfo>;

}  // namespace vantrel::access

#endif  // VANTREL_SESSION_MAX_OCURRENCE_INFO_H_
