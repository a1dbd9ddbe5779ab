// Group commit: the write calls of one process share write transactions.
//
// A write call (MWDBVALS, CREATERECORD, MAKUSABL, EXTASKCHK ...) hands its
// change to Write() and waits. The first waiting call leads: it takes the
// writer gate (signals.h), begins one write transaction, takes every change
// queued by then (at most kMaxGroupCalls), runs each in a transaction nested
// in that one, commits once, and announces the commit (AfterCommit). Each
// call returns only after the commit that holds its change is durable.
//
// Commits follow each other without a pause: once a leader took its calls,
// the next call to come leads the next commit and waits for the writer gate
// while the previous commit is flushed, gathering the calls that arrive
// meanwhile; it begins as soon as the gate is free. A finished commit wakes
// its own calls only.
//
// What a call reports stays its own: a change that throws is rolled back
// alone (its nested transaction aborts) and its exception is rethrown in its
// own thread; a failed commit fails every call in it, with nothing of any of
// them written. A change runs on the leader's thread but acts for its caller:
// CurrentUser() and CallerThreadId() are the caller's while it runs.
//
// Across processes nothing changes: the writer gate still orders the write
// transactions of every process. Thread-safe; Write() is never called from
// inside a change.
#ifndef VANTREL_ENGINE_GROUP_COMMIT_H_
#define VANTREL_ENGINE_GROUP_COMMIT_H_

#include <cstddef>
#include <memory>
#include <string_view>
#include <type_traits>

#include "engine/errors.h"
#include "engine/store.h"
#include "engine/view.h"

namespace dorvik {

// The most calls one commit holds, so that a group's transaction (and the
// wait of its last call) stays bounded however many threads write.
inline constexpr std::size_t kMaxGroupCalls = 64;

// What a commit changed, for the threads and processes that wait on it.
struct CommitNotes {
  bool valuesWritten = false;      // current values (MWDBVALS): the value word
  bool activationsQueued = false;  // task activations: the wake word
  bool catalogChanged = false;     // records, names, definitions: the catalog generation
};

// The one place a durable commit is announced, after the writer gate is
// released: bumps and wakes the words of the signals page that its notes
// name. What other threads or processes cache about the store is told here.
void AfterCommit(const Store& store, const CommitNotes& notes);

// One call's share of a write transaction, as its change sees it. view is
// null when the call is refused: refusal() says why (kErrNotLoaded or
// kErrReadOnly).
class WriteAccess {
 public:
  WriteAccess(WriteView* writeView, const Store* currentStore, int16_t refusal)
      : view(writeView), store(currentStore), refusal_(refusal) {}
  WriteAccess(const WriteAccess&) = delete;
  WriteAccess& operator=(const WriteAccess&) = delete;
  WriteView* view = nullptr;
  const Store* store = nullptr;
  int16_t refusal() const { return refusal_; }
  // The change wrote current values: the commit bumps the value word of the
  // signals page, which live-value watchers sleep on.
  void NoteValuesWritten() { valuesWritten_ = true; }
  bool valuesWritten() const { return valuesWritten_; }

 private:
  int16_t refusal_ = kOk;
  bool valuesWritten_ = false;
};

// A call's change: writes through access.view and returns true to keep what
// it wrote, false when it wrote nothing to commit (a refusal, a check that
// failed before any write). Refers to the callable without owning or copying
// it (no allocation per call): the callable outlives Write(), which the
// caller waits in.
class WriteChange {
 public:
  template <typename Change>
    requires(!std::is_same_v<std::remove_cvref_t<Change>, WriteChange>)
  WriteChange(Change&& change)  // NOLINT(google-explicit-constructor): passed as a lambda
      : callable_(const_cast<void*>(static_cast<const void*>(std::addressof(change)))),
        run_([](void* callable, WriteAccess& access) {
          return static_cast<bool>((*static_cast<std::remove_reference_t<Change>*>(callable))(access));
        }) {}
  bool operator()(WriteAccess& access) const { return run_(callable_, access); }

 private:
  void* callable_;
  bool (*run_)(void*, WriteAccess&);
};

// Runs change in the next group commit of this process and returns once
// that commit is durable: kOk, also when the change kept nothing; the
// commit's failure otherwise, and then nothing of the change is written.
// What change throws is rethrown here, with nothing of it written. A
// committed change passes the sync point committedPoint (when given) after
// the commit, before the waiters are woken. Throws StorageError kErrLocked
// when the writer lock stays taken past the store's lock time-out.
[[nodiscard]] Outcome Write(const WriteChange& change, std::string_view committedPoint = {});

// Forgets the group of the parent in the child of a fork(): its leader and
// callers stay behind in the parent.
void ResetWriteGroupAfterFork();

}  // namespace dorvik

#endif  // VANTREL_ENGINE_GROUP_COMMIT_H_
