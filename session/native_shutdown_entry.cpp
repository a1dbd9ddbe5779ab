#include "session/native_shutdown_entry.h"

#include <ffi.h>

#include <mutex>

#include "platform/exceptions.h"

namespace vantrel::access {
namespace {

// libffi's closure allocator sets itself up lazily on first use without
// synchronising that with other threads' first uses; calls into it are
// serialised here so that sessions may be constructed on several threads.
std::mutex& ClosureAllocatorLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

// Owns the libffi closure and the call interface it refers to.
struct NativeShutdownEntry::Closure {
  Closure() = default;
  Closure(const Closure&) = delete;
  Closure& operator=(const Closure&) = delete;
  ~Closure() {
    if (closure == nullptr) return;
    std::lock_guard lock(ClosureAllocatorLock());
    ffi_closure_free(closure);
  }

  ffi_closure* closure = nullptr;
  ffi_cif cif{};
  ffi_type* argumentTypes[1] = {&ffi_type_uint32};
};

namespace {

// Called by libffi with the native arguments of the entry point.
void Trampoline(ffi_cif*, void*, void** arguments, void* userData) {
  const auto* target = static_cast<const std::function<void(uint32_t)>*>(userData);
  const uint32_t code = *static_cast<const uint32_t*>(arguments[0]);
  // The client library calls us on its own thread; nothing may escape into it.
  try {
    (*target)(code);
  } catch (...) {
  }
}

}  // namespace

NativeShutdownEntry::NativeShutdownEntry(std::function<void(uint32_t)> target)
    : target_(std::move(target)), closure_(std::make_unique<Closure>()) {
  void* code = nullptr;
  {
    std::lock_guard lock(ClosureAllocatorLock());
    closure_->closure = static_cast<ffi_closure*>(ffi_closure_alloc(sizeof(ffi_closure), &code));
  }
  const bool ready =
      closure_->closure != nullptr &&
      ffi_prep_cif(&closure_->cif, FFI_DEFAULT_ABI, 1, &ffi_type_void, closure_->argumentTypes) == FFI_OK &&
      ffi_prep_closure_loc(closure_->closure, &closure_->cif, Trampoline, &target_, code) == FFI_OK;
  if (!ready) {
    throw platform::ApplicationException("Cannot create a native entry point for the shutdown callback");
  }
  entry_ = reinterpret_cast<EntryPoint>(code);
}

NativeShutdownEntry::~NativeShutdownEntry() = default;

}  // namespace vantrel::access
