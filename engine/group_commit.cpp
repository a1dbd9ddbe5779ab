#include "engine/group_commit.h"

#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "engine/engine.h"
#include "engine/storage/signals.h"

namespace dorvik {
namespace {

// One call waiting for the commit of its change. The leader fills in the
// result; the caller reads it once finished is set under the group's mutex.
struct Member {
  const WriteChange* change = nullptr;
  std::string_view committedPoint;
  Caller caller;
  // Notified under the group's mutex when the call finished or is to lead:
  // a commit wakes its own calls only, not every waiting thread.
  std::condition_variable wake;
  bool finished = false;  // guarded by the group's mutex
  bool leads = false;     // guarded by the group's mutex: this call leads the next commit
  bool kept = false;      // the change's writes are in the leader's transaction
  Outcome outcome;        // the commit's failure, or the merge's
  std::exception_ptr error;
};

// The calls of this process not yet committed. Commits are pipelined: once
// a leader has taken its batch, the next call to arrive (or the first one
// left over) leads the next commit and waits for the writer gate while the
// previous commit flushes, collecting the calls that arrive meanwhile; it
// starts its transaction as soon as the gate is free, not after the previous
// commit's calls were woken.
struct WriteGroup {
  std::mutex mutex;
  std::deque<Member*> queue;  // guarded by mutex: calls no leader has taken yet
  bool collecting = false;    // guarded by mutex: a leader exists that has not taken its batch
  int inFlight = 0;           // guarded by mutex: batches taken and not finished
};

// Never destroyed: a thread may still write while the process exits. A
// child of fork() gets a new one (the old one's mutex may be held by a
// thread that stayed in the parent).
WriteGroup*& GroupSlot() {
  static WriteGroup* group = new WriteGroup();
  return group;
}

// Takes the batch of one commit: the queued calls, at most kMaxGroupCalls.
// The first call left over leads the next commit, so no call waits without
// a leader.
std::vector<Member*> TakeQueued(WriteGroup& group) {
  std::lock_guard lock(group.mutex);
  const std::size_t count = std::min(group.queue.size(), kMaxGroupCalls);
  std::vector<Member*> batch(group.queue.begin(), group.queue.begin() + static_cast<std::ptrdiff_t>(count));
  group.queue.erase(group.queue.begin(), group.queue.begin() + static_cast<std::ptrdiff_t>(count));
  ++group.inFlight;
  group.collecting = !group.queue.empty();
  if (group.collecting) {
    group.queue.front()->leads = true;
    group.queue.front()->wake.notify_one();
  }
  return batch;
}

// Ends a taken batch: each of its calls returns, and only they wake.
void Finish(WriteGroup& group, const std::vector<Member*>& batch) {
  std::lock_guard lock(group.mutex);
  --group.inFlight;
  for (Member* member : batch) {
    member->finished = true;
    member->wake.notify_one();
  }
}

// The write transaction of one commit, with the gate that orders it among
// processes; store is null or read-only when the calls are refused.
struct OpenTransaction {
  Store* store = nullptr;
  storage::WriterGate gate;  // released after txn ends
  storage::Txn txn;
  int16_t refusal() const {
    if (store == nullptr) return kErrNotLoaded;
    return store->readOnly() ? kErrReadOnly : kOk;
  }
};

void Begin(std::shared_lock<ReaderWriterLock>& storeLock, OpenTransaction& open) {
  BeginAdoptingMapSize(storeLock, [&] {
    open.store = Engine::Instance().store();
    if (open.store == nullptr || open.store->readOnly()) return;
    open.gate = open.store->signals()->LockWriter(open.store->lockTimeout());
    try {
      open.txn = storage::Txn::Begin(open.store->env(), true);
    } catch (...) {
      open.gate.Release();  // not held while the map size is adopted
      throw;
    }
  });
}

// Runs a member's change in txn (the commit's own transaction when the
// member is alone, else a nested one), recording what it kept and noting
// what the commit must announce.
void RunChange(Member& member, const Store& store, MDB_txn* txn, bool nested, CommitNotes& notes) {
  const ActingFor acting(member.caller);
  try {
    storage::Txn part = nested ? storage::Txn::BeginNested(txn) : storage::Txn();
    WriteView view(nested ? part.get() : txn, store.tables(), store.catalog());
    WriteAccess access(&view, &store, kOk);
    member.kept = (*member.change)(access);
    if (member.kept && nested) {
      member.outcome = part.CommitNested();
      member.kept = member.outcome.ok();
    }
    if (!member.kept) return;  // a nested part not merged aborts with part
    notes.valuesWritten |= access.valuesWritten();
    notes.activationsQueued |= view.activationsQueued();
    notes.catalogChanged |= view.catalogChanged();
  } catch (...) {
    member.kept = false;
    member.error = std::current_exception();
  }
}

void RunRefused(Member& member, const Store* store, int16_t refusal) {
  const ActingFor acting(member.caller);
  try {
    WriteAccess access(nullptr, store, refusal);
    (void)(*member.change)(access);
  } catch (...) {
    member.error = std::current_exception();
  }
}

// Runs the batch's changes in open's transaction and commits what they kept.
void CommitBatch(std::vector<Member*>& batch, OpenTransaction& open) {
  PassSyncPoint("write:locked");
  const bool alone = batch.size() == 1;
  CommitNotes notes;
  bool anyKept = false;
  for (Member* member : batch) {
    RunChange(*member, *open.store, open.txn.get(), !alone, notes);
    anyKept |= member->kept;
  }
  // Alone, a change that threw may have left half its writes in the
  // transaction itself: nothing of it is committed.
  if (!anyKept || (alone && batch.front()->error)) return;
  // The catalog generation is odd from before the commit until it returned,
  // whether it worked or not, so no reader keeps what it read meanwhile
  // (catalog_cache.h); both steps under the writer gate.
  if (notes.catalogChanged) open.store->signals()->BeginCatalogChange();
  const Outcome committed = open.txn.Commit();
  if (notes.catalogChanged) {
    if (committed.ok()) PassSyncPoint("catalog:committed");
    open.store->signals()->EndCatalogChange();
  }
  open.gate.Release();
  for (Member* member : batch) {
    if (!member->kept) continue;
    if (!committed.ok()) {
      member->outcome = committed;
    } else if (!member->committedPoint.empty()) {
      PassSyncPoint(member->committedPoint);
    }
  }
  if (committed.ok()) AfterCommit(*open.store, notes);
}

// Whether another leader's batch is still committing (for a sync point).
bool BehindACommit(WriteGroup& group) {
  std::lock_guard lock(group.mutex);
  return group.inFlight > 0;
}

// Leads one commit: opens the transaction, takes the queued calls, runs and
// commits them. Returns the calls it finished (every one it took).
std::vector<Member*> Lead(WriteGroup& group) {
  std::vector<Member*> batch;
  if (SyncPointsArmed() && BehindACommit(group)) PassSyncPoint("group:behind-commit");
  try {
    std::shared_lock storeLock(Engine::Instance().storeMutex());
    OpenTransaction open;
    std::exception_ptr beginError;
    try {
      Begin(storeLock, open);
    } catch (...) {
      beginError = std::current_exception();
    }
    // Calls that queued while the gate was awaited share this commit.
    PassSyncPoint("group:collecting");
    batch = TakeQueued(group);
    PassSyncPoint("group:taken");
    if (beginError) {
      for (Member* member : batch) member->error = beginError;
    } else if (open.refusal() != kOk) {
      for (Member* member : batch) RunRefused(*member, open.store, open.refusal());
    } else {
      CommitBatch(batch, open);
    }
  } catch (...) {
    // Only bookkeeping can throw here (the changes' own failures are
    // caught); a call must not wait for ever nor take a failure for success.
    if (batch.empty()) batch = TakeQueued(group);
    for (Member* member : batch) {
      if (!member->error && member->outcome.ok()) member->error = std::current_exception();
    }
  }
  return batch;
}

}  // namespace

void AfterCommit(const Store& store, const CommitNotes& notes) {
  if (notes.activationsQueued) store.signals()->Wake();
  if (notes.valuesWritten) store.signals()->ValuesChanged();
}

Outcome Write(const WriteChange& change, std::string_view committedPoint) {
  WriteGroup& group = *GroupSlot();
  Member me;
  me.change = &change;
  me.committedPoint = committedPoint;
  me.caller = Caller::Current();
  std::unique_lock lock(group.mutex);
  group.queue.push_back(&me);
  if (!group.collecting) {
    group.collecting = true;
    me.leads = true;
  }
  if (SyncPointsArmed()) {
    const std::size_t queued = group.queue.size();
    lock.unlock();
    PassSyncPoint(fmt::format("write:queued:{}", queued));
    lock.lock();
  }
  while (!me.finished) {
    if (!me.leads) {
      me.wake.wait(lock);
      continue;
    }
    me.leads = false;
    lock.unlock();
    const std::vector<Member*> batch = Lead(group);
    Finish(group, batch);
    lock.lock();
  }
  lock.unlock();
  if (me.error) std::rethrow_exception(me.error);
  return me.outcome;
}

void ResetWriteGroupAfterFork() { GroupSlot() = new WriteGroup(); }

}  // namespace dorvik
