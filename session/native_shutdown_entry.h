// Native entry points of the client library's shutdown-callback type that
// forward to C++ function objects, one entry point per live holder.
//
// The client library offers no way to withdraw a registration, so an entry
// point once registered must stay callable for the rest of the process.
// Entries are therefore never freed but pooled: a ShutdownEntryLease takes
// an entry (making a libffi closure only when the pool is empty) and binds it
// to its target; when the lease ends the entry forwards nothing and goes back
// to the pool, and the next lease rebinds it. The entries made are bounded by
// the most leases alive at once, however many come and go. Thread-safe.
//
//   ShutdownEntryLease lease([this](uint32_t code) { OnShutdown(code); });
//   VantrelRegisterShutdownCallback(0, lease.Entry(), threadId);
#ifndef VANTREL_SESSION_NATIVE_SHUTDOWN_ENTRY_H_
#define VANTREL_SESSION_NATIVE_SHUTDOWN_ENTRY_H_

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vantrel::access {

class NativeShutdownEntry;

class ShutdownEntryLease {
 public:
  using EntryPoint = void (*)(uint32_t);
  using Target = std::function<void(uint32_t)>;

  // Holds no entry.
  ShutdownEntryLease() = default;
  // Takes an entry from the pool, bound to target. Throws
  // ApplicationException when the pool is empty and no closure can be made.
  explicit ShutdownEntryLease(Target target);
  // Unbinds the entry, waiting for a call of the target in progress on
  // another thread, and gives it back to the pool. A target must therefore
  // not end its own lease.
  ~ShutdownEntryLease();
  ShutdownEntryLease(ShutdownEntryLease&& other) noexcept;
  ShutdownEntryLease& operator=(ShutdownEntryLease&& other) noexcept;
  ShutdownEntryLease(const ShutdownEntryLease&) = delete;
  ShutdownEntryLease& operator=(const ShutdownEntryLease&) = delete;

  // The native entry point; null when the lease holds no entry. A call of it
  // runs the target on the calling thread; nothing the target throws leaves
  // the call. Once the lease ended the entry point stays valid and does
  // nothing until another lease binds it.
  EntryPoint Entry() const;

  // Entries made so far in this process (in use or pooled).
  static std::size_t EntriesMade();

 private:
  void Release() noexcept;
  NativeShutdownEntry* entry_ = nullptr;
};

}  // namespace vantrel::access

#endif  // VANTREL_SESSION_NATIVE_SHUTDOWN_ENTRY_H_
