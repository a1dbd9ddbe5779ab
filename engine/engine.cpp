#include "engine/engine.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <new>

#include "engine/group_commit.h"

namespace dorvik {
namespace {

// The engine lives until the process ends and is never destroyed.
template <typename T>
class NoDestructor {
 public:
  NoDestructor() { new (storage_) T(); }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

// Each thread keeps one read transaction per store and renews it for every
// call, which is much cheaper than beginning one. The registry lets a store
// replacement abort every thread's transaction before the store closes.
struct ReaderSlot;
struct ReaderRegistry {
  std::mutex mutex;
  std::vector<ReaderSlot*> slots;  // guarded by mutex
};
ReaderRegistry& Readers() {
  static NoDestructor<ReaderRegistry> registry;
  return registry.get();
}

struct ReaderSlot {
  MDB_txn* txn = nullptr;  // reset between calls; guarded by Readers().mutex against replacement
  uint64_t epoch = 0;      // the store it belongs to
  ReaderSlot() {
    std::lock_guard lock(Readers().mutex);
    Readers().slots.push_back(this);
  }
  ~ReaderSlot() {
    std::lock_guard lock(Readers().mutex);
    // A replacement clears every slot of the store it closes, so a
    // transaction still here belongs to the open store.
    const Engine& engine = Engine::Instance();
    if (txn != nullptr && epoch == engine.epoch() && !engine.forked()) mdb_txn_abort(txn);
    std::erase(Readers().slots, this);
  }
};
thread_local ReaderSlot tReader;

#ifndef NDEBUG
thread_local int tOpenAccesses = 0;  // a thread never nests accesses
#endif

void AfterForkInChild();

}  // namespace

Engine& Engine::Instance() {
  struct Constructible : Engine {};
  static NoDestructor<Constructible> instance;
  return instance.get();
}

Engine::Engine() { ::pthread_atfork(nullptr, nullptr, AfterForkInChild); }

namespace {
// The child of a fork() must never use or close its parent's LMDB handles:
// the store looks closed until the child opens or installs its own.
void AfterForkInChild() {
  Engine& engine = Engine::Instance();
  engine.mapped.store(false);
  engine.MarkForked();
  ResetWriteGroupAfterFork();
  ResetSyncPointsAfterFork();
}
}  // namespace

void Engine::Replace(std::unique_ptr<Store> replacement) {
  std::unique_ptr<Store> previous;
  std::shared_ptr<storage::Signals> previousPage;
  {
    std::unique_lock lock(storeMutex_);
    const bool inherited = forked_.load();
    {
      std::lock_guard readers(Readers().mutex);
      for (ReaderSlot* slot : Readers().slots) {
        if (slot->txn != nullptr && !inherited) mdb_txn_abort(slot->txn);
        slot->txn = nullptr;  // an inherited one is forgotten, never touched
      }
    }
    previous = std::move(store_);
    if (inherited && previous != nullptr) {
      previous->Abandon();
      (void)previous.release();
    }
    forked_.store(false);
    store_ = std::move(replacement);
    epoch_.fetch_add(1);
    std::lock_guard watch(watchMutex_);
    previousPage = std::exchange(watchPage_, store_ != nullptr ? store_->signals() : nullptr);
    watchedCount_ = watchPage_ != nullptr ? watchPage_->ShutdownCount() : 0;
  }
  watchChanged_.notify_all();
  if (previousPage != nullptr && !forked_.load()) previousPage->Retire();
  // previous closes here, outside the lock: no call uses it any more.
}

void Engine::AdoptMapSize() {
  std::unique_lock lock(storeMutex_);
  if (Store* current = store()) current->env().AdoptMapSize();
}

void Engine::Log(ApiFunction function, std::string arguments) {
  std::lock_guard lock(logMutex);
  log.push_back(CallEntry{std::string(FunctionName(function)), std::move(arguments)});
}

std::optional<FaultRule> Engine::TakeFault(ApiFunction function) {
  std::lock_guard lock(faultMutex);
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->function != function) continue;
    FaultRule taken = *it;
    if (--it->calls <= 0) faults.erase(it);
    if (faults.empty()) faultsArmed.store(false);
    return taken;
  }
  return std::nullopt;
}

// --- Access ------------------------------------------------------------------

namespace {

// Renews (or begins) the calling thread's read transaction on the current
// store, under lock; null (and current null) when no store is open.
MDB_txn* BeginThreadRead(std::shared_lock<ReaderWriterLock>& lock, Store*& current) {
  Engine& engine = Engine::Instance();
  ReaderSlot& slot = tReader;
  BeginAdoptingMapSize(lock, [&] {
    current = engine.store();
    if (current == nullptr) return;
    if (slot.txn != nullptr && slot.epoch != engine.epoch()) slot.txn = nullptr;  // a forked parent's
    if (slot.txn == nullptr) {
      slot.txn = storage::Txn::Begin(current->env(), false).Release();
      slot.epoch = engine.epoch();
      return;
    }
    try {
      storage::Renew(slot.txn);
    } catch (const storage::StorageError&) {
      mdb_txn_abort(std::exchange(slot.txn, nullptr));
      throw;
    }
  });
  return current != nullptr ? slot.txn : nullptr;
}

}  // namespace

ReadAccess::ReadAccess() : lock_(Engine::Instance().storeMutex()) {
  Store* current = nullptr;
  MDB_txn* txn = BeginThreadRead(lock_, current);
  if (current == nullptr) return;
  txn_ = txn;
  view_.emplace(txn_, current->tables(), current->catalog());
  view = &*view_;
  store = current;
#ifndef NDEBUG
  if (tOpenAccesses++ != 0) std::abort();
#endif
}

ReadAccess::~ReadAccess() {
  if (txn_ == nullptr) return;
  mdb_txn_reset(txn_);
#ifndef NDEBUG
  --tOpenAccesses;
#endif
}

CatalogAccess::CatalogAccess() : CatalogAccess(Engine::Instance()) {}

CatalogAccess::CatalogAccess(Engine& engine) : lock_(engine.storeMutex()) {
  store_ = engine.store();
  if (store_ == nullptr) return;
  epoch_ = engine.epoch();
  const storage::Signals& page = *store_->signals();
  generation_ = page.CatalogGeneration();
  cacheable_ = page.tracksCatalog() && (generation_ & 1U) == 0;
}

CatalogAccess::~CatalogAccess() {
  if (txn_ == nullptr) return;
  mdb_txn_reset(txn_);
#ifndef NDEBUG
  --tOpenAccesses;
#endif
}

const View* CatalogAccess::view() {
  if (view_.has_value()) return &*view_;
  Store* current = nullptr;
  MDB_txn* txn = BeginThreadRead(lock_, current);
  // Growing the map lets go of the store for a moment: another store may be
  // current now, which the generation loaded does not describe.
  if (current != store_ || Engine::Instance().epoch() != epoch_) cacheable_ = false;
  store_ = current;
  if (current == nullptr) return nullptr;
  txn_ = txn;
#ifndef NDEBUG
  if (tOpenAccesses++ != 0) std::abort();
#endif
  view_.emplace(txn_, current->tables(), current->catalog());
  return &*view_;
}

bool CatalogAccess::StillCurrent() const {
  return cacheable_ && store_->signals()->CatalogGeneration() == generation_;
}

RecordIdentity CatalogAccess::ReadRecord(int32_t id) {
  const View* read = view();
  if (read == nullptr) return {};
  RecordIdentity identity = read->FindIdentity(id);
  if (identity.settled && StillCurrent()) store_->catalog().records().RememberRecord(generation_, id, identity);
  return identity;
}

int32_t CatalogAccess::IdOfName(std::string_view name) {
  int32_t id = 0;
  if (cacheable_ && store_->catalog().records().FindName(generation_, name, id)) return id;
  const View* read = view();
  if (read == nullptr) return 0;
  const std::optional<int32_t> named = read->IdOfName(name);
  bool settled = true;
  if (named) {
    // The record itself must read whole, as FindRecordByName requires.
    WithRecord(*named, [&](const RecordIdentity& record) {
      id = record.wellFormed ? *named : 0;
      settled = record.settled;
    });
  }
  if (settled && StillCurrent()) store_->catalog().records().RememberName(generation_, name, id);
  return id;
}

const GlobalField* CatalogAccess::FieldByName(std::string_view name) {
  // Fields are made with their store and never change while it is open.
  if (const GlobalField* cached = store_->catalog().CachedFieldByName(name)) return cached;
  const View* read = view();
  return read != nullptr ? read->FindFieldByName(name) : nullptr;
}

const GlobalField* CatalogAccess::Field(int32_t number) {
  if (const GlobalField* cached = store_->catalog().CachedField(number)) return cached;
  const View* read = view();
  return read != nullptr ? read->FindField(number) : nullptr;
}

// --- User context and environment -------------------------------------------------

namespace {
thread_local const Caller* tActingFor = nullptr;  // set while this thread runs a change for another
}  // namespace

UserContext& CurrentUser() {
  if (tActingFor != nullptr) return *tActingFor->user;
  thread_local UserContext user;
  return user;
}

int32_t CallerThreadId() {
  if (tActingFor != nullptr) return tActingFor->threadId;
  return static_cast<int32_t>(::syscall(SYS_gettid));  // not cached: a fork() child's thread has a new id
}

Caller Caller::Current() { return Caller{&CurrentUser(), CallerThreadId()}; }

ActingFor::ActingFor(const Caller& caller) { tActingFor = &caller; }
ActingFor::~ActingFor() { tActingFor = nullptr; }

namespace {

// Variables that always name folders, whether or not the database marks them.
bool IsFolderVariable(const EnvironmentEntry& entry) {
  return entry.folder || EqualsIgnoreCase(entry.name, "COMPRESS_SOURCE") ||
         EqualsIgnoreCase(entry.name, "DORVIK_GROUP_FOLDER_NAME");
}

}  // namespace

std::optional<std::string> LookupEnvironment(const Store& store, const View& view, std::string_view name) {
  for (const EnvironmentEntry& entry : view.Environment()) {
    if (!EqualsIgnoreCase(entry.name, name)) continue;
    const std::filesystem::path value(entry.value);
    if (IsFolderVariable(entry) && !entry.value.empty() && value.is_relative()) {
      return (std::filesystem::path(store.BaseFolder(view)) / value).lexically_normal().string();
    }
    return entry.value;
  }
  return std::nullopt;
}

}  // namespace dorvik
