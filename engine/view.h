// The tables of a store and typed access to them within one transaction.
//
// Tables (LMDB named databases; keys big-endian so that byte order is
// numeric order; FORMAT.md gives every entry's form):
//   meta          settings and counters by name
//   records       id -> a record (record_layout.h), catalog records included
//   names         folded record name -> id (not field description records)
//   byDefinition  (definition id, record id) -> nothing: records by definition
//   definitions   id -> a definition (catalog.h), the catalog's own included
//   fields        field number -> description record id and name
//   fieldNames    folded field name -> field number
//   selectors     id -> first, width and texts
//   history       (id, field tag, first time, tiebreak) -> a chunk (history.h)
//   tasks         (task id, sequence) -> a pending activation
//
// A View reads within one transaction: what it returns points into the map
// and lives as long as the transaction. Catalog entries come from the
// store's Catalog, this process's decoded copy. A View is used by the thread
// that began its transaction only.
#ifndef VANTREL_ENGINE_VIEW_H_
#define VANTREL_ENGINE_VIEW_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/catalog.h"
#include "engine/catalog_cache.h"
#include "engine/reader_writer_lock.h"
#include "engine/record_layout.h"
#include "engine/storage/env.h"

namespace dorvik {

// The named tables (LMDB databases) of a store. A new table needs, besides
// its entry here and its name in kTableNames (view.cpp):
//   - view: its reads in View and its writes in WriteView (view.h), as the
//     other tables have theirs (history.cpp keeps the chunks of kHistory);
//   - format mark: a new kStoreFormat (store.h) when older stores lack it or
//     read it differently, its layout in FORMAT.md, and room in
//     EnvOptions::maxTables;
//   - check: its walk in check.cpp (and a count in CheckReport);
//   - import: its JSON section read by json/json_import.cpp and built by
//     store_builder.cpp;
//   - export: its section written by json/json_export.cpp, in FORMAT.md's order.
enum class Table : uint8_t {
  kMeta, kRecords, kNames, kByDefinition, kDefinitions, kFields, kFieldNames, kSelectors, kHistory, kTasks,
  kCount
};

// The named databases of one store, opened once per Env.
struct Tables {
  std::array<MDB_dbi, static_cast<std::size_t>(Table::kCount)> dbi{};
  MDB_dbi operator[](Table table) const { return dbi[static_cast<std::size_t>(table)]; }
  // Opens every table; create makes the missing ones (a new store).
  static Tables Open(const storage::Env& env, bool create);
};

// An activation waiting for its task.
struct PendingActivation {
  int32_t record = 0;
  int32_t fieldTag = 0;
  int16_t priority = 0;
  int16_t code = 0;
  int8_t tail = 0;
};

// Bytes of a stored activation: record, field tag, priority, code, tail.
inline constexpr std::size_t kActivationSize = 4 + 4 + 2 + 2 + 1;

class View;

// Catalog: this process's decoded copy of one store's catalog (definitions,
// global fields, selectors), loaded entry by entry on first use. A store's
// catalog is written when the store is made and never changes after, so an
// entry stays valid while the store is open. Thread-safe; entries are never
// removed, so the pointers handed out stay valid.
class Catalog {
 public:
  const Definition* FindDefinition(const View& view, int32_t id) const;
  const GlobalField* FindField(const View& view, int32_t number) const;
  const GlobalField* FindFieldByName(const View& view, std::string_view name) const;
  const SelectorData* FindSelector(const View& view, int32_t id) const;
  // The entries already decoded, without a transaction (null when not yet).
  const GlobalField* CachedField(int32_t number) const;
  const GlobalField* CachedFieldByName(std::string_view name) const;
  // What the single-item calls read of the store's records (catalog_cache.h).
  CatalogCache& records() const { return records_; }
  // Replaces an entry (a builder writing the catalog of a store nobody else
  // has open yet).
  void Remember(Definition definition);
  void Remember(GlobalField field);
  void Remember(int32_t id, SelectorData selector);

 private:
  mutable ReaderWriterLock mutex_;
  mutable std::unordered_map<int32_t, std::unique_ptr<const Definition>> definitions_;  // guarded by mutex_
  mutable std::unordered_map<int32_t, std::unique_ptr<const GlobalField>> fields_;      // guarded by mutex_
  // guarded by mutex_: folded names, looked up as the caller wrote them
  mutable std::unordered_map<std::string, const GlobalField*, FoldedHash, FoldedEqual> fieldsByName_;
  mutable std::unordered_map<int32_t, std::unique_ptr<const SelectorData>> selectors_;  // guarded by mutex_
  mutable CatalogCache records_;
};

class View {
 public:
  View(MDB_txn* txn, const Tables& tables, const Catalog& catalog) : txn_(txn), tables_(&tables), catalog_(&catalog) {}
  MDB_txn* txn() const { return txn_; }
  MDB_dbi table(Table table) const { return (*tables_)[table]; }

  std::optional<RecordRef> FindRecord(int32_t id) const;
  std::optional<RecordRef> FindRecordByName(std::string_view name) const;

  // RecordCursorScope: while it lives, the view's record lookups share one
  // cursor on the records table. A batch names its records mostly in id
  // order, so the next record usually lies on the leaf page the cursor
  // already stands on, which LMDB searches without descending from the root
  // again. The cursor belongs to the view's transaction: the scope must end
  // before that transaction does. Scopes nest; one thread, like the view.
  class RecordCursorScope {
   public:
    explicit RecordCursorScope(const View& view);
    RecordCursorScope(const RecordCursorScope&) = delete;
    RecordCursorScope& operator=(const RecordCursorScope&) = delete;
    ~RecordCursorScope();

   private:
    const View& view_;
    storage::Cursor cursor_;
    storage::Cursor* outer_;
  };
  // Only a record's header (its definition and usable flag): no checks of its values.
  std::optional<RecordHeader> FindHeader(int32_t id) const;
  // What the catalog cache keeps of a record: its header, its name, its
  // definition and whether the record reads whole; definitionId 0 when
  // there is no such record. Throws only when the header itself is damaged.
  RecordIdentity FindIdentity(int32_t id) const;
  // Calls visit for the records with ids from `from` on, in id order, until
  // it returns false.
  void ForEachRecord(int32_t from, const std::function<bool(const RecordRef&)>& visit) const;
  // Ids after `after`, ascending, at most max: the records of a definition,
  // the definition records; the global fields after number `after`.
  std::vector<int32_t> RecordsOf(int32_t definitionId, int32_t after, std::size_t max) const;
  std::vector<int32_t> DefinitionsAfter(int32_t after, std::size_t max) const;
  std::vector<int32_t> FieldsAfter(int32_t after, std::size_t max) const;
  bool IdInUse(int32_t id) const;
  bool NameInUse(std::string_view name) const { return IdOfName(name).has_value(); }
  // The id of the record of that name (one lookup, the record unread).
  std::optional<int32_t> IdOfName(std::string_view name) const;
  const Definition* FindDefinition(int32_t id) const { return catalog_->FindDefinition(*this, id); }
  bool IsDefinitionRecord(int32_t id) const { return FindDefinition(id) != nullptr; }
  const GlobalField* FindField(int32_t number) const { return catalog_->FindField(*this, number); }
  const GlobalField* FindFieldByName(std::string_view name) const { return catalog_->FindFieldByName(*this, name); }
  const SelectorData* FindSelector(int32_t id) const { return catalog_->FindSelector(*this, id); }
  // The field number a field description record describes, or 0.
  int32_t FieldNumberOfDescription(int32_t id) const;
  // Lowest free user id (from `from` on, when given), or 0 when none is left.
  int32_t NextFreeId(int32_t from = 0) const;

  // Settings.
  std::optional<std::string_view> Meta(std::string_view key) const;
  std::string SystemAccount() const;
  std::string Folder() const;  // "" when the database names none
  std::vector<EnvironmentEntry> Environment() const;
  std::vector<Grant> Grants() const;
  // Pending activations of a task, oldest first, at most limit.
  std::vector<PendingActivation> Activations(int32_t task, std::size_t limit) const;
  int32_t CountActivations(int32_t task) const;

 protected:
  const Catalog& catalog() const { return *catalog_; }
  // A record's stored bytes: through the records cursor when a batch lent
  // one (WriteView::BatchCursors) or a scope set one (RecordCursorScope),
  // which then stands on the record.
  bool LookUpRecord(int32_t id, MDB_val& value) const;

  mutable storage::Cursor* recordCursor_ = nullptr;  // lent by a batch or a cursor scope, else null
  mutable int32_t cursorRecord_ = 0;                 // the record recordCursor_ stands on; 0 when not known
  mutable std::size_t cursorRecordSize_ = 0;         // and its stored size

 private:
  MDB_txn* txn_;
  const Tables* tables_;
  const Catalog* catalog_;
  mutable const Definition* lastDefinition_ = nullptr;  // of the record found last
};

// WriteView: a View within a write transaction that also changes the store.
class WriteView : public View {
 public:
  WriteView(MDB_txn* txn, const Tables& tables, Catalog& catalog) : View(txn, tables, catalog), catalog_(&catalog) {}
  Catalog& mutableCatalog() const { return *catalog_; }

  // BatchCursors: cursors on the records and history tables that the record
  // lookups, record puts and history appends of a run of writes share while
  // it lives. A record looked up and then put back is replaced where the
  // cursor stands (one B-tree search, not two), and a history append opens
  // no cursor of its own. The cursors belong to the view's transaction: the
  // scope must end before that transaction commits or aborts. Scopes nest.
  class BatchCursors {
   public:
    explicit BatchCursors(WriteView& view);
    BatchCursors(const BatchCursors&) = delete;
    BatchCursors& operator=(const BatchCursors&) = delete;
    ~BatchCursors();

   private:
    WriteView& view_;
    storage::Cursor records_;
    storage::Cursor history_;
    storage::Cursor* outerRecords_;
    storage::Cursor* outerHistory_;
  };
  // The history cursor of the current batch, or null (history.cpp).
  storage::Cursor* historyCursor() const { return historyCursor_; }

  // Puts back a changed record.
  void PutRecord(int32_t id, const RecordBuffer& record);
  // The transaction changes what the catalog cache keeps (a record's name,
  // definition or usable flag): its commit moves the catalog generation.
  // Adding a record, a definition, a field or a selector notes it itself.
  void NoteCatalogChanged() { catalogChanged_ = true; }
  bool catalogChanged() const { return catalogChanged_; }
  // Where a builder's records went last: a record whose keys come after them
  // is appended (no search), and the free-id hint is set once at the end.
  struct BuildOrder {
    int32_t lastId = 0;
    uint64_t lastMember = 0;  // (definition id, record id) of byDefinition
  };
  // Adds a new record (id not in use): its entry, its name and its place in
  // its definition's list; keeps the free-id hint unless a builder's order
  // is given.
  void AddRecord(int32_t id, const RecordBuffer& record, BuildOrder* order = nullptr);
  void PutDefinition(const Definition& definition);
  void PutField(const GlobalField& field);
  void PutSelector(int32_t id, const SelectorData& selector);
  void PutMeta(std::string_view key, std::string_view value);
  void PutEnvironment(const std::vector<EnvironmentEntry>& entries);
  void PutGrants(const std::vector<Grant>& grants);
  // Moves the free-id hint past id when id was the lowest free id.
  void NoteIdUsed(int32_t id);
  // Queues an activation of task; activationsQueued() tells the caller to
  // wake the waiters once it committed.
  void QueueActivation(int32_t task, const PendingActivation& activation);
  bool activationsQueued() const { return activationsQueued_; }
  // Removes and returns the oldest pending activation of task.
  std::optional<PendingActivation> TakeActivation(int32_t task);

 private:
  Catalog* catalog_;
  storage::Cursor* historyCursor_ = nullptr;  // lent by a batch, else null
  bool activationsQueued_ = false;
  bool catalogChanged_ = false;
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_VIEW_H_
