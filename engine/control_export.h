// DORVIK_CONTROL_EXPORT marks what the shared library dorvik exports of its
// C++ control interface (every other symbol of it is hidden).
#ifndef VANTREL_ENGINE_CONTROL_EXPORT_H_
#define VANTREL_ENGINE_CONTROL_EXPORT_H_

#define DORVIK_CONTROL_EXPORT __attribute__((visibility("default")))

#endif  // VANTREL_ENGINE_CONTROL_EXPORT_H_
