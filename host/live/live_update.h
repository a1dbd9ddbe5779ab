// LiveUpdate: one message of the live values stream to one subscriber: a
// field's current values, a subscription refused, or a task's pending
// activations. Plain value type; copy freely.
#ifndef VANTREL_HOST_LIVE_LIVE_UPDATE_H_
#define VANTREL_HOST_LIVE_LIVE_UPDATE_H_

#include <cstdint>
#include <string>

#include "contracts/tag_value.h"

namespace vantrel::host::live {

struct LiveUpdate {
  enum class Kind {
    kValues,       // record.field now holds values (one per occurrence)
    kRefused,      // record.field cannot be watched: reason says why, as a read would
    kActivations,  // task (in record) has pending activations waiting
  };

  Kind kind = Kind::kValues;
  std::string record;  // the record, or the task record for kActivations
  std::string field;   // empty for kActivations
  contracts::TagValues values;
  // Changes of this field that a slow subscriber did not get one by one:
  // values is the latest of them.
  uint64_t missed = 0;
  std::string reason;
  int32_t pending = 0;

  bool SameSubject(const LiveUpdate& other) const {
    return kind == other.kind && record == other.record && field == other.field;
  }
};

}  // namespace vantrel::host::live

#endif  // VANTREL_HOST_LIVE_LIVE_UPDATE_H_
