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
#ifndef VANTREL_ENGINE_CONTROL_H_
#define VANTREL_ENGINE_CONTROL_H_

#include <chrono>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "api/dorvik.h"

#define DORVIK_CONTROL_EXPORT __attribute__((visibility("default")))

namespace dorvik {

// Error of building, opening, saving or changing a database.
class DORVIK_CONTROL_EXPORT DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A point in time: microseconds since 1970-01-01 00:00:00 UTC.
struct Timestamp {
  int64_t micros = 0;
  static constexpr Timestamp FromSeconds(int64_t seconds, int64_t micros = 0) {
    return Timestamp{seconds * 1'000'000 + micros};
  }
  // ISO 8601 ("2024-03-07T09:05:01.5Z") or "M/d/yyyy H:mm:ss", UTC.
  DORVIK_CONTROL_EXPORT static Timestamp Parse(std::string_view text);
  friend bool operator==(Timestamp, Timestamp) = default;
};

// A record pointer by name (or by id when the name is empty).
struct RecordLink {
  std::string name;
  int32_t id = 0;
};

// A record-and-field pointer: record, field name, occurrence.
struct FieldLink {
  RecordLink record;
  std::string field;
  int32_t occurrence = 0;
};

// A value as the builder takes it; it converts to the field's kind when the
// database is built (texts parse into numbers and times, a text names the
// record of a pointer field).
class DORVIK_CONTROL_EXPORT Value {
 public:
  using Variant = std::variant<std::monostate, int64_t, double, std::string, Timestamp, RecordLink, FieldLink>;
  Value() = default;
  template <std::integral T>
  Value(T value) : value_(static_cast<int64_t>(value)) {}
  Value(double value) : value_(value) {}
  Value(const char* value) : value_(std::string(value)) {}
  Value(std::string value) : value_(std::move(value)) {}
  Value(Timestamp value) : value_(value) {}
  Value(RecordLink value) : value_(std::move(value)) {}
  Value(FieldLink value) : value_(std::move(value)) {}
  const Variant& Get() const { return value_; }
  bool IsNone() const { return std::holds_alternative<std::monostate>(value_); }

 private:
  Variant value_;
};

// A value with quality. A field without quality keeps only the value and
// the time (its time of last write).
struct Sample {
  Sample() = default;
  Sample(Value v, int16_t s = 0, int16_t l = 0, Timestamp t = {})
      : value(std::move(v)), status(s), level(l), time(t) {}
  Value value;
  int16_t status = 0;
  int16_t level = 0;
  Timestamp time;
};

// One stored history value.
struct HistoryPoint {
  Timestamp time;
  Value value;
  int16_t level = 0;
};

// One field of a definition. Start with a kind, then refine:
//   FieldSpec::Real("VALUE").WithQuality().WithHistory()
//   FieldSpec::Real("TREND").InRepeatArea("TREND_COUNT")
class DORVIK_CONTROL_EXPORT FieldSpec {
 public:
  // Kinds (database data types 0 to 6).
  static FieldSpec Integer(std::string name, int bits = 15, bool isSigned = true);
  static FieldSpec Real(std::string name, int bytes = 8);
  static FieldSpec Text(std::string name, int16_t length);
  static FieldSpec Text5(std::string name, int16_t length);  // data type 5
  static FieldSpec Time(std::string name);
  static FieldSpec RecordPointer(std::string name);
  static FieldSpec FieldPointer(std::string name);
  static FieldSpec Count(std::string name);  // counts the occurrences of a repeat area
  static FieldSpec Raw(std::string name, int16_t dataType, int16_t lengthWord);

  FieldSpec& WithQuality(int16_t qualityField = 1);
  FieldSpec& WithTimestampField(int16_t timestampField);
  FieldSpec& WithHistory(bool archived = false, int16_t historyPointer = 1);
  FieldSpec& Flagged();  // integer length word bit 0x400
  FieldSpec& InRepeatArea(std::string countField);
  // A selector record, or a field naming each record's own selector record.
  FieldSpec& WithSelector(std::string selectorRecord);
  FieldSpec& WithWriteProtection(int16_t code);  // 0 never, 1 unusable, 2 usable, 3 always
  FieldSpec& WithOperator(bool change, bool strict = false);
  FieldSpec& ActivatesTask(std::string taskRecord, int16_t priority = 0, int16_t code = 0, int8_t tail = 0);

  struct Activation {
    std::string task;
    int16_t priority = 0;
    int16_t code = 0;
    int8_t tail = 0;
  };
  std::string name;
  int16_t dataType = 1;
  int16_t lengthWord = 0x4F;
  std::string repeatCountField;  // empty: fixed area
  int16_t qualityField = 0;
  int16_t timestampField = 0;
  int16_t historyPointer = 0;
  bool archived = false;
  std::string selector;
  int16_t writeProtection = 3;
  bool operatorChange = true;
  bool operatorStrict = false;
  std::optional<Activation> activates;
};

struct DefinitionOptions {
  int32_t id = 0;               // 0: the next free id
  std::vector<int32_t> kinds;   // record kinds of its records: -3, -5, -19
  int16_t flags = 0;            // the flags word 0x100E0000
};

struct RecordOptions {
  int32_t id = 0;  // 0: the next free id
  bool usable = true;
};

struct DatabasePlan;

// Builds a database in code. Names refer to each other freely (a record may
// name a definition or point at a record added later); everything is
// resolved and checked by Install or Build. Field names are global: the same
// name in two definitions is the same field.
class DORVIK_CONTROL_EXPORT DatabaseBuilder {
 public:
  DatabaseBuilder();
  ~DatabaseBuilder();
  DatabaseBuilder(DatabaseBuilder&&) noexcept;
  DatabaseBuilder& operator=(DatabaseBuilder&&) noexcept;

  DatabaseBuilder& SystemAccount(std::string account);
  DatabaseBuilder& Environment(std::string name, std::string value, bool folder = false);
  // Folder that relative folder variables resolve against (without one, the
  // folder that holds the database).
  DatabaseBuilder& Folder(std::string folder);
  // Declares a global field with a fixed number and description record id
  // (0: chosen); fields named only in definitions are numbered in order.
  DatabaseBuilder& Field(std::string name, int32_t number = 0, int32_t descriptionId = 0);
  DatabaseBuilder& Selector(std::string name, int16_t width, std::vector<std::string> texts, int16_t first = 0,
                            int32_t id = 0);
  DatabaseBuilder& Definition(std::string name, std::vector<FieldSpec> fields, DefinitionOptions options = {});
  DatabaseBuilder& Record(std::string name, std::string definition, RecordOptions options = {});
  // Value of a field of a record; field is "NAME" or "N NAME" (occurrence N,
  // growing the repeat area when needed).
  DatabaseBuilder& Set(std::string record, std::string field, Value value);
  DatabaseBuilder& Set(std::string record, std::string field, Sample sample);
  // All occurrences of a repeated field; sets the count to at least their number.
  DatabaseBuilder& SetOccurrences(std::string record, std::string field, std::vector<Sample> samples);
  DatabaseBuilder& History(std::string record, std::string field, std::vector<HistoryPoint> points);
  // Rights of account ("DOMAIN\user" or "*") on a record, or on a definition
  // and all its records: 1 read, 2 write, 3 all.
  DatabaseBuilder& Grant(std::string account, std::string target, int16_t level = 2);

  const DatabasePlan& Plan() const { return *plan_; }
  DatabasePlan& Plan() { return *plan_; }

 private:
  std::unique_ptr<DatabasePlan> plan_;
};

// --- The current database ----------------------------------------------------

// How to open (or make) a database.
struct OpenOptions {
  bool readOnly = false;    // also when the user may not write the data file
  std::size_t mapSize = 0;  // bytes of address space for the data (0: 16 GiB); a write past it fails
  // Longest wait of a write for the database's write lock, held by another
  // process or thread; then the write fails with "database is locked" (-33,
  // the holder's pid as detail). 0: $DORVIK_LOCK_TIMEOUT seconds, else 30 s.
  std::chrono::milliseconds lockTimeout{0};
  // A new database only: the group it is shared with (folder 2750, data.mdb
  // and signals 0640, lock.mdb 0660, see FORMAT.md); empty: private (folder
  // 0700, files 0600). The process must belong to the group (or be root).
  std::string group{};
};

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

// Storage operations that InjectStorageFault can fail.
enum class StorageOp { kBegin, kGet, kPut, kDelete, kCursor, kCommit };
// The next `times` storage operations of kind op, in any thread of this
// process, fail with an LMDB (or errno) code, as the storage would:
//   InjectStorageFault(StorageOp::kCommit, MDB_MAP_FULL);
//   MWDBVALS(...);  // errors[0]: database is full, done 0, nothing written
DORVIK_CONTROL_EXPORT void InjectStorageFault(StorageOp op, int code, int32_t times = 1);

// --- Sync points ---------------------------------------------------------------------

// Named points the engine passes (no-ops until a test orders them):
//   "EXTSKWAI:waiting"       a waiter, its condition checked, about to sleep
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
