#include "session/native_shutdown_entry.h"

#include <ffi.h>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/exceptions.h"

namespace vantrel::access {

// One libffi closure whose calls reach the target bound to it, if any.
class NativeShutdownEntry {
 public:
  using Target = ShutdownEntryLease::Target;

  NativeShutdownEntry();  // throws ApplicationException when no closure can be made
  NativeShutdownEntry(const NativeShutdownEntry&) = delete;
  NativeShutdownEntry& operator=(const NativeShutdownEntry&) = delete;

  ShutdownEntryLease::EntryPoint Entry() const { return entry_; }

  void Bind(Target target) {
    std::lock_guard lock(mutex_);
    target_ = std::move(target);
  }
  // Returns once no call runs the old target; it is destroyed outside the lock.
  void Unbind() {
    Target old;
    std::lock_guard lock(mutex_);
    old.swap(target_);
  }
  // The lock is held across the call so that Unbind waits for it.
  void Call(uint32_t code) {
    std::lock_guard lock(mutex_);
    if (!target_) return;
    // The client library calls us on its own thread; nothing may escape into it.
    try {
      target_(code);
    } catch (...) {
    }
  }

 private:
  static void Trampoline(ffi_cif*, void*, void** arguments, void* self) {
    static_cast<NativeShutdownEntry*>(self)->Call(*static_cast<const uint32_t*>(arguments[0]));
  }

  // The closure is never freed: the client library may call it until the
  // process ends.
  ffi_closure* closure_ = nullptr;
  ffi_cif cif_{};
  ffi_type* argumentTypes_[1] = {&ffi_type_uint32};
  ShutdownEntryLease::EntryPoint entry_ = nullptr;
  std::mutex mutex_;
  Target target_;  // guarded by mutex_
};

namespace {

// Every entry made, and those free for the next lease. Never destroyed, so
// that entry points stay valid while static objects are destroyed at exit.
struct Pool {
  std::mutex mutex;
  std::vector<std::unique_ptr<NativeShutdownEntry>> made;  // guarded by mutex
  std::vector<NativeShutdownEntry*> free;                  // guarded by mutex
};

Pool& ThePool() {
  static auto* pool = new Pool();
  return *pool;
}

// An entry from the pool, or a new one. libffi's closure allocator sets
// itself up lazily without synchronising with other threads, so closures are
// made only under the pool's mutex.
NativeShutdownEntry* Take() {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  if (!pool.free.empty()) {
    NativeShutdownEntry* entry = pool.free.back();
    pool.free.pop_back();
    return entry;
  }
  pool.free.reserve(pool.made.size() + 1);  // so that giving back never allocates
  pool.made.push_back(std::make_unique<NativeShutdownEntry>());
  return pool.made.back().get();
}

void GiveBack(NativeShutdownEntry* entry) noexcept {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  pool.free.push_back(entry);
}

}  // namespace

NativeShutdownEntry::NativeShutdownEntry() {
  void* code = nullptr;
  closure_ = static_cast<ffi_closure*>(ffi_closure_alloc(sizeof(ffi_closure), &code));
  const bool ready = closure_ != nullptr &&
                     ffi_prep_cif(&cif_, FFI_DEFAULT_ABI, 1, &ffi_type_void, argumentTypes_) == FFI_OK &&
                     ffi_prep_closure_loc(closure_, &cif_, Trampoline, this, code) == FFI_OK;
  if (!ready) {
    if (closure_ != nullptr) ffi_closure_free(closure_);
    throw platform::ApplicationException("Cannot create a native entry point for the shutdown callback");
  }
  entry_ = reinterpret_cast<ShutdownEntryLease::EntryPoint>(code);
}

ShutdownEntryLease::ShutdownEntryLease(Target target) : entry_(Take()) { entry_->Bind(std::move(target)); }

ShutdownEntryLease::~ShutdownEntryLease() { Release(); }

ShutdownEntryLease::ShutdownEntryLease(ShutdownEntryLease&& other) noexcept
    : entry_(std::exchange(other.entry_, nullptr)) {}

ShutdownEntryLease& ShutdownEntryLease::operator=(ShutdownEntryLease&& other) noexcept {
  if (this != &other) {
    Release();
    entry_ = std::exchange(other.entry_, nullptr);
  }
  return *this;
}

void ShutdownEntryLease::Release() noexcept {
  NativeShutdownEntry* entry = std::exchange(entry_, nullptr);
  if (entry == nullptr) return;
  entry->Unbind();
  GiveBack(entry);
}

ShutdownEntryLease::EntryPoint ShutdownEntryLease::Entry() const {
  return entry_ != nullptr ? entry_->Entry() : nullptr;
}

std::size_t ShutdownEntryLease::EntriesMade() {
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  return pool.made.size();
}

}  // namespace vantrel::access
