// DatabaseError: the one exception of the control interface and of the
// engine's own building, opening and file work; its text is the reason, in
// one line. A value; thread-safe as any exception object.
#ifndef VANTREL_ENGINE_DATABASE_ERROR_H_
#define VANTREL_ENGINE_DATABASE_ERROR_H_

#include <stdexcept>

#include "engine/control_export.h"

namespace dorvik {

// Error of building, opening, saving or changing a database.
class DORVIK_CONTROL_EXPORT DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_DATABASE_ERROR_H_
