// Management: where tags are referenced.
#include "management/management.h"
#include "platform/exceptions.h"
#include "platform/fault.h"

namespace vantrel::access {

// Reference search is not part of this build yet: both operations refuse
// with a fault rather than answer that nothing refers to the tags.
contracts::TagReferences Management::FindReferences(const contracts::TagNames&) {
  return platform::RunServiceOperation([]() -> contracts::TagReferences {
    throw platform::InvalidOperationException("FindReferences is not available in this build.");
  });
}

contracts::TagReferences Management::FindReferencesBySource(const contracts::TagNames&,
                                                            contracts::ReferenceSourceTypeEnum) {
  return platform::RunServiceOperation([]() -> contracts::TagReferences {
    throw platform::InvalidOperationException("FindReferencesBySource is not available in this build.");
  });
}

}  // namespace vantrel::access
