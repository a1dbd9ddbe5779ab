// The integrity check of a store (CheckDatabase): walks every table within
// one read transaction and reports each fault it finds as a line. Reads
// only; thread-compatible (the view's thread).
#ifndef VANTREL_ENGINE_CHECK_H_
#define VANTREL_ENGINE_CHECK_H_

#include "engine/control.h"
#include "engine/view.h"

namespace dorvik {

CheckReport CheckStore(const View& view);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_CHECK_H_
