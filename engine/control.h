// Control interface of the embedded database engine, for tests, benchmarks
// and tools: build a database in code (DatabaseBuilder) into a fresh store,
// open a database, import and export JSON files, check a database, log the
// API calls, inject API and storage faults, order threads at named sync
// points, shut the database down and restart it, activate external tasks and
// change permissions and environment variables.
//
// Every function here is thread-safe; they take the engine's locks like the
// API functions do. Failures throw DatabaseError with a reason. Texts are
// single-byte (the database's code page), as the API exchanges them. Every
// change is one durable transaction of the current database, like an API
// write.
//
// The types it shares with the engine's internals have headers of their own,
// which those include instead of this one: database_builder.h (the builder
// and its values), database_error.h, open_options.h and storage_op.h.
#ifndef VANTREL_ENGINE_CONTROL_H_
#define VANTREL_ENGINE_CONTROL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/dorvik.h"
#include "engine/control_export.h"
#include "engine/database_builder.h"
#include "engine/database_error.h"
#include "engine/open_options.h"
#include "engine/storage_op.h"

namespace dorvik {

// --- The current database ----------------------------------------------------

// Builds the database into a fresh store in a temporary folder (/dev/shm
// when there) and makes it current; the folder is removed when another
// database replaces it, at Reset and at exit.
DORVIK_CONTROL_EXPORT void Install(const DatabaseBuilder& builder, const OpenOptions& options = {});
// Builds the database into a new store at path (which must not exist)
// without changing the current one; options.group shares it with a group.
DORVIK_CONTROL_EXPORT void CreateDatabase(const DatabaseBuilder& builder, const std::string& path,
                                          const OpenOptions& options = {});
// Opens the database (a store folder) at path and makes it current. A JSON
// file, a folder that is not a database, or a database made by another
// version fail with a one-line reason (for a JSON file: what to run).
DORVIK_CONTROL_EXPORT void Open(const std::string& path, const OpenOptions& options = {});
// Streams a JSON database file into a new database at storePath (which must
// not exist); the new database appears whole or not at all, private unless
// options.group shares it.
DORVIK_CONTROL_EXPORT void ImportDatabase(const std::string& jsonPath, const std::string& storePath,
                                          const OpenOptions& options = {});
// Writes the current database to a JSON file: a hidden file in the same
// folder, flushed and renamed onto the name itself. An existing file's mode
// and owner carry over; a new file is private (0600). A symbolic link at the
// name is replaced by the file, never written through; one that another user
// owns, or one in a sticky folder every user may write (like /tmp), is
// refused. Anything else at the name (a folder, a FIFO) is refused. A write
// past the process's file-size limit fails with EFBIG instead of SIGXFSZ.
// On any failure the hidden file is removed (unfinished_files.h).
DORVIK_CONTROL_EXPORT void ExportDatabase(const std::string& jsonPath);
// Writes a builder's database to a JSON file without installing it.
DORVIK_CONTROL_EXPORT void WriteDatabaseFile(const DatabaseBuilder& builder, const std::string& path);

// What CheckDatabase found: the counts of each table and one line per fault.
struct CheckReport {
  int64_t records = 0;
  int64_t definitions = 0;
  int64_t fields = 0;
  int64_t selectors = 0;
  int64_t series = 0;
  int64_t samples = 0;
  int64_t activations = 0;
  std::vector<std::string> faults;
  bool ok() const { return faults.empty(); }
};
// Walks every table of the current database: every record's definition
// exists and its values have the size the definition gives; names, the
// definition lists, fields and selectors agree with the records; history
// chunks are well formed and in time order; activations name task records.
DORVIK_CONTROL_EXPORT CheckReport CheckDatabase();

// Closes the database and clears every engine state: attachments, the
// calling thread's user context, shutdown, callbacks, tasks, call log,
// faults, sync points.
DORVIK_CONTROL_EXPORT void Reset();
// Whether a database is open, where, and whether it is read-only.
DORVIK_CONTROL_EXPORT bool IsLoaded();
DORVIK_CONTROL_EXPORT std::string DatabasePath();
DORVIK_CONTROL_EXPORT bool IsReadOnly();
// Why the last INIDORV could not open $DORVIK_DATABASE ("" after a good one).
DORVIK_CONTROL_EXPORT std::string LastOpenError();
// Number of INIDORV attachments.
DORVIK_CONTROL_EXPORT int32_t Attachments();

// --- Call log ------------------------------------------------------------------

struct LoggedCall {
  std::string function;   // "MRDBVALS"
  std::string arguments;  // key arguments, e.g. "n=3"
};

DORVIK_CONTROL_EXPORT void EnableCallLog(bool enabled = true);
DORVIK_CONTROL_EXPORT void ClearCallLog();
DORVIK_CONTROL_EXPORT std::vector<LoggedCall> CallLog();
DORVIK_CONTROL_EXPORT int32_t CallCount(std::string_view function);

// --- Fault injection ---------------------------------------------------------------

// The next `calls` calls of function ("MWDBVALS") fail with code; at item
// `item` of a batch (items before it succeed), or at once when item is -1.
// Each call of the function uses up one of the calls, whether or not it
// reached the item.
DORVIK_CONTROL_EXPORT void InjectFault(std::string_view function, int16_t code, int32_t item = -1,
                                       int32_t calls = 1);
// Clears the API faults and the storage faults.
DORVIK_CONTROL_EXPORT void ClearFaults();

// The next `times` storage operations of kind op, in any thread of this
// process, fail with an LMDB (or errno) code, as the storage would:
//   InjectStorageFault(StorageOp::kCommit, MDB_MAP_FULL);
//   MWDBVALS(...);  // errors[0]: database is full, done 0, nothing written
DORVIK_CONTROL_EXPORT void InjectStorageFault(StorageOp op, int code, int32_t times = 1);

// --- Sync points ---------------------------------------------------------------------

// Named points the engine passes (no-ops until a test orders them; a child
// of fork() starts with none ordered):
//   "EXTSKWAI:waiting"       a waiter, its condition checked, about to sleep
//   "write:queued:N"         a write call queued for a group commit, N calls now queued
//   "group:collecting"       the leader of a group commit, holding the writer lock and its
//                            transaction begun, about to take the queued calls
//   "group:taken"            that leader took its calls (a call queued later joins the next commit)
//   "group:behind-commit"    the leader of the next commit, another still under way, about to
//                            wait for the writer lock
//   "write:locked"           a write holding the writer lock, its transaction begun
//   "MWDBVALS:committing"    a write, all items stored, about to commit
//   "MWDBVALS:committed"     a write committed, before it wakes task waiters
//   "watcher:waiting"        the shutdown watcher about to sleep
//   "export:writing"         an export, its hidden file made, about to write
// A thread reaching `after` waits until some thread has passed `before`:
//   OrderSyncPoints({{"EXTSKWAI:waiting", "test:activate"}});
//   std::jthread waiter([] { EXTSKWAI(); });
//   SyncPoint("test:activate");  // returns once the waiter is about to sleep
//   ActivateTask("VN_Task1", "TAG1", 0);
DORVIK_CONTROL_EXPORT void OrderSyncPoints(std::vector<std::pair<std::string, std::string>> beforeAfter);
// Passes a named point (tests mark their own steps with it).
DORVIK_CONTROL_EXPORT void SyncPoint(std::string_view name);
// The process ends at once (SIGKILL) when it reaches point for the n-th
// time: a crash at a known place, for durability tests in a child process.
DORVIK_CONTROL_EXPORT void KillAtSyncPoint(std::string point, int32_t n = 1);
DORVIK_CONTROL_EXPORT void ClearSyncPoints();

// --- Shutdown and tasks ---------------------------------------------------------------

// Marks the database as shutting down for every attached process, wakes
// EXTSKWAI and runs every registered shutdown callback once, in order, on an
// engine thread of each process; returns after this process's ran.
DORVIK_CONTROL_EXPORT void Shutdown(uint32_t code);
// Leaves the shutdown state, for every process (registrations are kept).
DORVIK_CONTROL_EXPORT void Restart();
DORVIK_CONTROL_EXPORT bool IsShuttingDown();
// Queues an activation of a task record (by name) as a write would, and
// wakes its waiters in every process.
DORVIK_CONTROL_EXPORT void ActivateTask(std::string_view task, std::string_view record, int32_t fieldTag,
                                        int16_t priority = 0, int16_t code = 0, int8_t tail = 0);
// Number of activations waiting for a task.
DORVIK_CONTROL_EXPORT int32_t PendingActivations(std::string_view task);

// --- Change words, for watchers of live values --------------------------------------------

// The database's value word: it moves after every committed write of
// current values (MWDBVALS) by any process, and when the process changes its
// database. 0 while none is open. A watcher loads it, reads what it watches,
// then waits for it to move, so no committed write goes unseen.
//
//   uint32_t seen = ValueChangeSeq();
//   for (;;) { ReadWatchedValues(); WaitValueChange(seen, 250); seen = ValueChangeSeq(); }
DORVIK_CONTROL_EXPORT uint32_t ValueChangeSeq();
// Sleeps until the value word differs from seen or timeoutMs pass (returns
// may be early; a process that may only read the database wakes at least
// every quarter second).
DORVIK_CONTROL_EXPORT void WaitValueChange(uint32_t seen, int timeoutMs);
// The task word: moves after a commit that queued task activations, when a
// task binds or leaves, and at shutdown and restart. 0 while none is open.
DORVIK_CONTROL_EXPORT uint32_t TaskChangeSeq();

// The catalog cache of this process (what DEFINID, RECTYPEOK, NAME2RECID,
// GETNAMDB_LNAME and GETFTDB_LNAME keep of the open database) and the
// database's catalog generation, which is odd while a change of the catalog
// commits and moves by two with each change, in any process.
struct CatalogCacheState {
  uint32_t generation = 0;
  std::size_t records = 0;  // record ids kept (absent ones included)
  std::size_t names = 0;    // record names kept (unknown ones included)
};
DORVIK_CONTROL_EXPORT CatalogCacheState CatalogCacheInfo();

// --- Permissions and environment ----------------------------------------------------------

// Grants (or changes) the rights of account on a record or definition;
// threads see it after REFRESHUSERCONTEXT or SetTlsData.
DORVIK_CONTROL_EXPORT void SetPermission(std::string_view account, std::string_view target, int16_t level = 2);
DORVIK_CONTROL_EXPORT void RevokePermission(std::string_view account, std::string_view target);
DORVIK_CONTROL_EXPORT void SetSystemAccount(std::string_view account);
// Sets (or, with nullopt, removes) a database environment variable.
DORVIK_CONTROL_EXPORT void SetEnvironment(std::string_view name, std::optional<std::string> value,
                                          bool folder = false);

// --- Reads for tests ------------------------------------------------------------------------

// Current value of a field ("NAME" or "N NAME") of a record as text, in the
// text form of a -24 read; nullopt when the record or field is unknown.
DORVIK_CONTROL_EXPORT std::optional<std::string> CurrentText(std::string_view record, std::string_view field);
// Number of history values of a field of a record.
DORVIK_CONTROL_EXPORT int32_t HistoryCount(std::string_view record, std::string_view field);

}  // namespace dorvik

#endif  // VANTREL_ENGINE_CONTROL_H_
