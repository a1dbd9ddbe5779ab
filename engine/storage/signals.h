// Signals: the page that every process attached to one store shares (the
// file "signals" in the store folder, mapped MAP_SHARED): futex words that
// wake waiters in any process, and the live shutdown state.
//
// The page holds the state of the running system, not stored data: the
// first process to attach (when no other holds the file) resets it. Each
// attached process holds a shared lock on byte 0 of the file for as long as
// it is attached; byte 1 serialises attaching; byte 3 is the writer lock,
// held across each write transaction (open file description locks,
// released by the kernel when a process dies). Every wait on these locks
// ends after the lock time-out with an error that says who holds them.
//
// Waiting never polls: a waiter loads a word, checks its condition (in the
// store), then sleeps in FUTEX_WAIT (not private: the word is in a shared
// file mapping) while the word still holds the loaded value. Whoever changes
// the condition commits first, then bumps the word and wakes. Returns may be
// spurious; callers loop. Thread-safe; a process that may only read the
// store maps the page read-only and cannot shut the database down.
#ifndef VANTREL_ENGINE_STORAGE_SIGNALS_H_
#define VANTREL_ENGINE_STORAGE_SIGNALS_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>

#include "engine/unique_fd.h"

namespace dorvik::storage {

struct SignalsOptions {
  bool readOnly = false;
  std::chrono::milliseconds lockTimeout{30'000};  // longest wait on any lock of the page
  mode_t mode = 0600;                             // of a new file, exactly (not the umask's)
  gid_t group = static_cast<gid_t>(-1);           // of a new file, -1 the process's
  // lock.mdb as this process holds it (-1 none): a page made while another
  // process uses the lock table would split the database's processes in two.
  int lockTableFd = -1;
};

// WriterGate: this process's hold on the writer lock of a page, released
// when it goes. Move-only; used by the thread that took it.
class WriterGate {
 public:
  WriterGate() = default;
  WriterGate(WriterGate&& other) noexcept;
  WriterGate& operator=(WriterGate&& other) noexcept;
  ~WriterGate() { Release(); }
  void Release() noexcept;

 private:
  friend class Signals;
  class Signals* signals_ = nullptr;
  std::unique_lock<std::timed_mutex> local_;
};

class Signals {
 public:
  // Maps file, creating it unless readOnly. A read-only process that finds
  // no valid page gets a private one (no live state to share). Throws
  // StorageError when the file is not a regular file, when it is missing
  // or new while another process uses the lock table, or when the attach
  // lock stays held past the time-out.
  static std::shared_ptr<Signals> Open(const std::filesystem::path& file, const SignalsOptions& options);
  // Whether another process is attached to the page at file (its presence
  // lock on byte 0), as processes of builds without presence on data.mdb
  // show themselves. False when there is no such file.
  static bool InUse(const std::filesystem::path& file);
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
  // Catalog generation: the writer of a change of the catalog (records
  // added, a name, definition or usable flag changed) calls Begin while it
  // holds the writer lock, just before its commit, and End after the commit
  // (also when it failed), still holding the lock. The word is odd between
  // the two, and stays odd when the writer dies there, until the next
  // change ends. A reader loads it before its transaction and trusts what
  // it cached under an even value only while the word still shows that
  // value (catalog_cache.h). tracksCatalog(): whether the word reaches the
  // other processes (a private page of a read-only process does not).
  uint32_t CatalogGeneration() const;
  void BeginCatalogChange();
  void EndCatalogChange();
  bool tracksCatalog() const { return shared_; }
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

  // Takes the writer lock: first among this process's threads, then among
  // processes. Waits at most timeout, then throws StorageError kErrLocked
  // naming the process that holds it. A page this process cannot write
  // gives an empty gate (such a process never writes).
  WriterGate LockWriter(std::chrono::milliseconds timeout);
  // The pid the current holder of the writer lock wrote on the page (0 none).
  pid_t WriterPid() const;

 private:
  friend class WriterGate;
  struct Page;
  Signals() = default;
  void UnlockWriter() noexcept;
  std::timed_mutex writerMutex_;  // orders this process's writers before the file lock
  Page* page_ = nullptr;
  bool shared_ = false;    // page_ maps the file (else a private page)
  bool writable_ = false;
  std::atomic<bool> retired_{false};
  UniqueFd fd_;            // holds the presence lock
};

}  // namespace dorvik::storage

#endif  // VANTREL_ENGINE_STORAGE_SIGNALS_H_
