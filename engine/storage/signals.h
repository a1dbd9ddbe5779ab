// Signals: the page that every process attached to one store shares (the
// file "signals" in the store folder, mapped MAP_SHARED): futex words that
// wake waiters in any process, and the live shutdown state.
//
// The page holds the state of the running system, not stored data: the
// first process to attach (when no other holds the file) resets it. Each
// attached process holds a shared lock on byte 0 of the file for as long as
// it is attached; byte 1 serialises attaching (open file description
// locks, released by the kernel when a process dies).
//
// Waiting never polls: a waiter loads a word, checks its condition (in the
// store), then sleeps in FUTEX_WAIT (not private: the word is in a shared
// file mapping) while the word still holds the loaded value. Whoever changes
// the condition commits first, then bumps the word and wakes. Returns may be
// spurious; callers loop. Thread-safe; a process that may only read the
// store maps the page read-only and cannot shut the database down.
#ifndef VANTREL_ENGINE_STORAGE_SIGNALS_H_
#define VANTREL_ENGINE_STORAGE_SIGNALS_H_

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "engine/unique_fd.h"

namespace dorvik::storage {

class Signals {
 public:
  // Maps file, creating it unless readOnly. A read-only process that finds
  // no valid page gets a private one (no live state to share).
  static std::shared_ptr<Signals> Open(const std::filesystem::path& file, bool readOnly);
  Signals(const Signals&) = delete;
  Signals& operator=(const Signals&) = delete;
  ~Signals();

  // Task activations and bindings: bumped after a commit that queued
  // activations, at shutdown and restart.
  uint32_t WakeSeq() const;
  void Wake();
  // Sleeps while the wake word equals seen.
  void WaitWake(uint32_t seen) const;
  // Shutdowns: bumped at each shutdown and restart.
  uint32_t ShutdownSeq() const;
  void WaitShutdown(uint32_t seen) const;
  // Current values: bumped after every committed value write (MWDBVALS) and
  // when the page retires. Waits at most timeoutMs while it equals seen.
  uint32_t ValueSeq() const;
  void ValuesChanged();
  void WaitValues(uint32_t seen, int timeoutMs) const;
  // Wakes every sleeper on this page without changing a word (a sleeper of
  // this process must look at the engine's state again).
  void Nudge() const;
  // The engine no longer uses this page: its sleepers in this process wake
  // and look at the current one. A sleeper checks retired() before it
  // sleeps; on a page it cannot write (which Retire cannot bump) it sleeps
  // at most kReadOnlyWaitMs at a time.
  void Retire();
  bool retired() const { return retired_.load(); }
  static constexpr int kReadOnlyWaitMs = 250;

  bool ShuttingDown() const;
  uint32_t ShutdownCode() const;
  uint32_t ShutdownCount() const;  // shutdowns since the page was reset
  // Marks the database as shutting down with code and wakes every process;
  // returns the new shutdown count. False (nothing changed) when read-only.
  bool BeginShutdown(uint32_t code, uint32_t& count);
  bool EndShutdown();

 private:
  struct Page;
  Signals() = default;
  Page* page_ = nullptr;
  bool shared_ = false;    // page_ maps the file (else a private page)
  bool writable_ = false;
  std::atomic<bool> retired_{false};
  UniqueFd fd_;            // holds the presence lock
};

}  // namespace dorvik::storage

#endif  // VANTREL_ENGINE_STORAGE_SIGNALS_H_
