// A native entry point of the client library's shutdown-callback type that
// forwards to a C++ function object. Each object makes its own entry point
// (a libffi closure), so every session registers a distinct callback. The
// entry point is valid while the object lives.
#ifndef VANTREL_SESSION_NATIVE_SHUTDOWN_ENTRY_H_
#define VANTREL_SESSION_NATIVE_SHUTDOWN_ENTRY_H_

#include <cstdint>
#include <functional>
#include <memory>

namespace vantrel::access {

class NativeShutdownEntry {
 public:
  using EntryPoint = void (*)(uint32_t);

  // Throws ApplicationException when no closure can be made.
  explicit NativeShutdownEntry(std::function<void(uint32_t)> target);
  ~NativeShutdownEntry();
  NativeShutdownEntry(const NativeShutdownEntry&) = delete;
  NativeShutdownEntry& operator=(const NativeShutdownEntry&) = delete;

  EntryPoint Entry() const { return entry_; }

 private:
  struct Closure;
  std::function<void(uint32_t)> target_;
  std::unique_ptr<Closure> closure_;
  EntryPoint entry_ = nullptr;
};

}  // namespace vantrel::access

#endif  // VANTREL_SESSION_NATIVE_SHUTDOWN_ENTRY_H_
