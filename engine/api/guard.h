// The one guard of every API entry point: nothing thrown inside the engine
// reaches a C caller. A storage failure becomes its code and detail, an
// exhausted allocator kErrNoMemory, anything else kErrInternal, in the
// call's error block; an entry point without an error block returns its
// documented failure value instead. Stateless; thread-safe.
#ifndef VANTREL_ENGINE_GUARD_H_
#define VANTREL_ENGINE_GUARD_H_

#include <new>
#include <utility>

#include "engine/errors.h"
#include "engine/storage/env.h"

namespace dorvik {

// Runs body; anything it throws becomes an error block, never an unwind.
template <typename Body>
void Guarded(ApiFunction function, ERRBLOCK* error, Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (const storage::StorageError& failure) {
    SetError(error, function, failure.outcome().code, failure.outcome().detail);
  } catch (const std::bad_alloc&) {
    SetError(error, function, kErrNoMemory);
  } catch (...) {
    SetError(error, function, kErrInternal);
  }
}

// Runs body for its result; failure when it throws.
template <typename Result, typename Body>
Result GuardedValue(Result failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return failure;
  }
}

}  // namespace dorvik

#endif  // VANTREL_ENGINE_GUARD_H_
