// The database's native client API (the functions of the client library
// and of its companion c21_getenv).
//
// Conventions of the boundary:
// - Every buffer belongs to the caller. The API only reads or fills it
//   during the call and never keeps a pointer to it after returning; the
//   one exception is c21_getenv, whose result belongs to the client library
//   and stays valid until the next c21_getenv call on the same thread.
// - Every function that takes an ERRBLOCK sets its ERRCODE, success (0)
//   included, so a caller may reuse one block for several calls. Batch
//   functions take one block per item; on a failure they stop at the first
//   failing item, report the items done before it, fill that item's block
//   and, when the failure is not at item 0, put a summary error into the
//   first block as well.
// - Text is single-byte. Names going in are a buffer plus a length (bytes,
//   not counting any terminator); names coming back fill a caller buffer of
//   the size documented per function and report their length; the API never
//   writes past the documented size.
// - The user context (domain and user) is per thread: SetTlsData sets it
//   for the calling thread, and every later call on that thread runs with
//   that user's rights.
// - Functions are thread-safe; a call runs synchronously on the caller's
//   thread. The only callbacks are the shutdown callbacks, which the library
//   calls on a thread of its own.
// - No call lets an exception out: every failure, storage failures and
//   exhausted memory included, comes back as the call's error code and
//   message, or as its documented failure value when it has no error block.
// - Every call that changes the database is one transaction, on disk when
//   the call returns success; processes that open the same database see
//   each other's writes at their next call.
#ifndef VANTREL_API_DORVIK_H_
#define VANTREL_API_DORVIK_H_

#include <cstdint>

#include "api/records.h"

#if defined(_WIN32)
#define DORVIK_CALL __stdcall
#define DORVIK_EXPORT __declspec(dllimport)
#else
#define DORVIK_CALL
#define DORVIK_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Shutdown callback: called once per registration when the database shuts
// down, on a thread of the client library, with the shutdown code.
typedef void(DORVIK_CALL* VantrelShutdownCallback)(uint32_t code);

// --- Link -----------------------------------------------------------------

// Attaches the process to the database; nonzero when the link is open.
// Attachments are counted.
DORVIK_EXPORT int32_t DORVIK_CALL INIDORV(void) noexcept;
// Gives back one attachment; the last one detaches. (Writes are on disk
// when their call returns; detaching saves nothing.)
DORVIK_EXPORT void DORVIK_CALL ENDDORV(void) noexcept;
// Nonzero while the database is mapped into the process (attached).
DORVIK_EXPORT int32_t DORVIK_CALL DBMAPPED(void) noexcept;

// --- Errors, user context, environment --------------------------------------

// Message text of an error block: at most kMessageBufferSize (78) bytes into
// text, not zero-terminated when it fills the buffer; *length receives the
// number of bytes written.
DORVIK_EXPORT void DORVIK_CALL ERRMESS(const ERRBLOCK* error, char* text, int16_t* length) noexcept;

// Registers a shutdown callback (reserved must be 0). The library keeps one
// entry per distinct entry point (registering one again changes nothing); a
// shutdown, begun by any process attached to the database, calls each
// once, in registration order.
DORVIK_EXPORT void DORVIK_CALL VantrelRegisterShutdownCallback(int32_t reserved,
                                                               VantrelShutdownCallback callback,
                                                               uint32_t threadId) noexcept;

// Sets the calling thread's user context (zero-terminated domain and user).
DORVIK_EXPORT void DORVIK_CALL SetTlsData(const char* domain, const char* user) noexcept;

// Re-reads the calling thread's user rights (reserved must be 0).
DORVIK_EXPORT void DORVIK_CALL REFRESHUSERCONTEXT(int32_t reserved, ERRBLOCK* error) noexcept;

// Value of a variable of the database's own environment (never the
// process's; zero-terminated name): copies at most capacity bytes into value
// (zero-terminated when there is room) and returns the number of bytes of
// the value written; 0 when the variable is not set or empty.
DORVIK_EXPORT int32_t DORVIK_CALL GetVntEnvironmentVariable(const char* name, char* value,
                                                            int32_t capacity) noexcept;

// Value of a variable of the database's own environment (never the
// process's) as a zero-terminated text owned by the library (valid until the
// next call on the same thread), or null.
DORVIK_EXPORT const char* DORVIK_CALL c21_getenv(const char* name) noexcept;

// --- Names and identifiers ----------------------------------------------------

// Record id of a name (length bytes of name, matched case-insensitively);
// 0 or less when no record has that name.
DORVIK_EXPORT int32_t DORVIK_CALL NAME2RECID(const char* name, int16_t length) noexcept;

// Name of record *id into name (kNameBufferSize bytes: at most 256
// characters and a terminator); *length receives the number of characters,
// 0 for an unknown id.
DORVIK_EXPORT void DORVIK_CALL GETNAMDB_LNAME(const int32_t* id, char* name, int16_t* length) noexcept;

// Field tag of a field name: "NAME" or "N NAME" (occurrence N of a repeated
// field). Leaves *fieldTag untouched and sets an error for an unknown name.
DORVIK_EXPORT void DORVIK_CALL DECODFT(const char* name, int16_t length, int32_t* fieldTag,
                                       ERRBLOCK* error) noexcept;

// Name of field fieldTag as record id presents it into name
// (kFieldNameBufferSize bytes); an occurrence N > 0 gives "N NAME". *length
// receives the number of characters, 0 when the record or field is unknown.
DORVIK_EXPORT void DORVIK_CALL GETFTDB_LNAME(int32_t id, int32_t fieldTag, char* name,
                                             int16_t* length) noexcept;

// Definition record id of a record; 0 for an unknown record.
DORVIK_EXPORT int32_t DORVIK_CALL DEFINID(int32_t id) noexcept;

// Nonzero when record id is of the record kind (-4 definition record, and
// the kinds its definition declares such as -3, -5, -19).
DORVIK_EXPORT int32_t DORVIK_CALL RECTYPEOK(int32_t id, int32_t kind) noexcept;

// Nonzero when record id is usable.
DORVIK_EXPORT uint8_t DORVIK_CALL VALIDUSA(int32_t id) noexcept;

// Make a record usable / unusable (needs write rights on it).
DORVIK_EXPORT void DORVIK_CALL MAKUSABL(int32_t id, ERRBLOCK* error) noexcept;
DORVIK_EXPORT void DORVIK_CALL MAKUNUSA(int32_t id, ERRBLOCK* error) noexcept;

// Next free record id into *id (mode must be 1); 0 or less when none.
DORVIK_EXPORT void DORVIK_CALL NXTFREE(int32_t mode, int32_t* id) noexcept;

// Creates record id of definition definitionId named name (length bytes).
// The new record is unusable and holds default values. reserved1 and
// reserved2 must be 0.
DORVIK_EXPORT void DORVIK_CALL CREATERECORD(int32_t id, int32_t definitionId, int32_t reserved1,
                                            int32_t reserved2, const char* name, int16_t length,
                                            ERRBLOCK* error) noexcept;

// Walks the references to record target: (*record, *fieldTag) is a cursor,
// (0, 0) before the first call; each call replaces it with the next
// reference after it. *record 0 means no reference is left. A field tag of 0
// marks a reference that is not held in a field (the record's definition).
// reserved must be 0.
DORVIK_EXPORT void DORVIK_CALL NXTREFER(int32_t target, int32_t reserved, int32_t* record,
                                        int32_t* fieldTag) noexcept;

// Lists records after the position *cursor (0 = from the start), at most max
// entries: mode 1 lists the records of definition definitionId in id order,
// mode 2 lists definition records (definitionId ignored). Fills ids[i],
// flags[i] (nonzero: usable), names + i * kFieldNameBufferSize (not
// terminated) and lengths[i]; *count receives the number filled and *cursor
// advances past them. A count equal to max means more may follow. one1 and
// one2 must be 1, reserved 0, query null.
DORVIK_EXPORT void DORVIK_CALL GETRECORDLIST_LNAME(int32_t mode, int32_t definitionId, int32_t one1,
                                                   int32_t one2, int32_t reserved,
                                                   const DVKQUERYDEF* query, int32_t max,
                                                   int32_t* cursor, int32_t* ids, char* flags,
                                                   char* names, int16_t* lengths, int32_t* count) noexcept;

// Pages through the database's field list: at most capacity entries after
// *cursor (0 = from the start). Per entry: valuesA[i] the field description
// record id, valuesB[i] the field number, flags[i] (nonzero: a database
// field), names + i * kFieldNameBufferSize (not terminated), lengths[i].
// *count receives the number filled (0 at the end); *cursor advances. The
// arguments between cursor and capacity are reserved (0, null, 0, 0, 0).
DORVIK_EXPORT void DORVIK_CALL GETFLDNAMS_LNAME(int32_t* cursor, int32_t reserved1,
                                                const void* reserved2, int32_t reserved3,
                                                int32_t reserved4, int32_t reserved5,
                                                int32_t capacity, int32_t* valuesA,
                                                int16_t* valuesB, char* flags, char* names,
                                                int16_t* lengths, int32_t* count) noexcept;

// --- Values -----------------------------------------------------------------

// For each of the n items: the field's own type code into types[i] (a
// positive length for character fields) and an error block into errors[i]
// (unknown record, field not in the record's definition, occurrence out of
// range). Every item is answered; one bad item does not stop the others.
DORVIK_EXPORT void DORVIK_CALL GETDATATYPES(int32_t n, const IDANDFT* items, int16_t* types,
                                            ERRBLOCK* errors) noexcept;

// Reads n fields of record id, converted to the requested type codes, into
// buffer (values back to back, each the size of its type code). *done
// receives the number of fields read; stops at the first failure.
DORVIK_EXPORT void DORVIK_CALL RDBVALS(int32_t id, int16_t n, const int32_t* fieldTags,
                                       const int16_t* types, void* buffer, int16_t* done,
                                       ERRBLOCK* error) noexcept;

// Reads n items (record and field each) like RDBVALS; one error block per
// item (see the batch convention above).
DORVIK_EXPORT void DORVIK_CALL MRDBVALS(int16_t n, const IDANDFT* items, const int16_t* types,
                                        void* buffer, int16_t* done, ERRBLOCK* errors) noexcept;

// Writes n items from buffer (same layout as MRDBVALS). Checks write rights,
// the field's write protection against the record's usable state, a
// selector field's entries, and refuses the database's own fields. Items
// before a failing one stay written; when the write cannot be committed
// (the disk is full, say) nothing is written, *done is 0 and the first
// block holds the storage error.
DORVIK_EXPORT void DORVIK_CALL MWDBVALS(int16_t n, const IDANDFT* items, const int16_t* types,
                                        const void* buffer, int16_t* done, ERRBLOCK* errors) noexcept;

// Reads occurrences first..last of n repeated fields of record id: buffers[i]
// receives field i's occurrences one after another, each the size of
// types[i] (a character length rounded up to an even number of bytes).
// *occurrences receives last - first + 1 on success and *fieldsDone the
// number of fields read. first 1 and last 0 reads nothing and succeeds.
DORVIK_EXPORT void DORVIK_CALL MRDBOCCS(int32_t id, int16_t n, const int32_t* fieldTags,
                                        const int16_t* types, int16_t first, int16_t last,
                                        void* const* buffers, int16_t* occurrences,
                                        int16_t* fieldsDone, ERRBLOCK* error) noexcept;

// Reads one field of record id as an int16 (type code -3).
DORVIK_EXPORT void DORVIK_CALL DB2SHRT(int32_t id, int32_t fieldTag, int16_t* value,
                                       ERRBLOCK* error) noexcept;

// Definition of field fieldTag of record id (reserved must be 0); *dataType
// receives the database data type (0-6).
DORVIK_EXPORT void DORVIK_CALL FIELDDEFNINFO(int32_t id, int32_t fieldTag, int32_t reserved,
                                             FIELDDEFN* definition, int16_t* dataType,
                                             ERRBLOCK* error) noexcept;

// Permission of the calling thread's user on a field. accessKind 2 asks for
// write rights: *allowed nonzero when the user may write; *level receives
// the user's rights level on the record (0 none, 1 read, 2 write, 3 all).
DORVIK_EXPORT void DORVIK_CALL GETFLDPERMIS(int32_t id, int32_t fieldTag, int32_t accessKind,
                                            int32_t* allowed, int32_t* level, ERRBLOCK* error) noexcept;

// History flags of n fields: flags[i] bit 0 = the field keeps history, bit 1
// = its history is archived. Stops at the first entry it cannot answer:
// *done < n exactly when the entry at position *done failed.
DORVIK_EXPORT void DORVIK_CALL FieldHistoryInfo(int32_t n, const IDANDFT* items, int32_t* done,
                                                int32_t* flags, ERRBLOCK* error) noexcept;

// --- History ----------------------------------------------------------------

// Forward history read of record id, field tag valueFieldTag - 1 (the
// caller passes the field tag plus 1), from *start to *end (both inclusive,
// start <= end), oldest value first. Arguments:
//   requestType    only 4 (raw values) is supported; others set an error and
//                  return no values
//   returnStep     nonzero: also return a value at a step (accepted, no
//                  effect on raw reads)
//   outsiders      bit flags: 1 one value before start, 2 one value after
//                  end, 8/32 up to two values before, 16/64 up to two after
//   fieldCount     number of value fields (1)
//   fieldTags      fieldCount field tags (the history field)
//   types          fieldCount history type codes (-24, -6, -4, -17 or n > 0)
//   count          capacity of levels, times and each value buffer
//   levels, times  one entry per returned value
//   buffers        fieldCount value buffers of count values each
//   returned       receives the number of values returned (<= count)
//   fieldsDone     receives the number of value fields answered
// The outsiders are returned within count: the values before start first,
// then the values inside the interval, then those after end, while room is
// left.
DORVIK_EXPORT void DORVIK_CALL RHIS21DATA(int32_t requestType, int32_t returnStep,
                                          int32_t outsiders, int32_t id, int32_t valueFieldTag,
                                          const XUSTS* start, const XUSTS* end,
                                          int16_t fieldCount, const int32_t* fieldTags,
                                          const int16_t* types, int32_t count, int16_t* levels,
                                          XUSTS* times, void* const* buffers, int32_t* returned,
                                          int16_t* fieldsDone, ERRBLOCK* error) noexcept;

// Reverse history read: the values from the newer *start back to the older
// *end (both inclusive), newest first; no outsiders. reserved1..4 must be 0;
// the other arguments are those of RHIS21DATA from id on.
DORVIK_EXPORT void DORVIK_CALL RHIS21REV(int32_t reserved1, int32_t reserved2, int32_t reserved3,
                                         int32_t reserved4, int32_t id, int32_t valueFieldTag,
                                         const XUSTS* start, const XUSTS* end,
                                         int16_t fieldCount, const int32_t* fieldTags,
                                         const int16_t* types, int32_t count, int16_t* levels,
                                         XUSTS* times, void* const* buffers, int32_t* returned,
                                         int16_t* fieldsDone, ERRBLOCK* error) noexcept;

// --- External tasks -----------------------------------------------------------

// Binds the calling process to the task record named by the process
// environment variable DORVIK_TASK_NAME; *task receives its id.
DORVIK_EXPORT void DORVIK_CALL EXTSKINI(int32_t* task, ERRBLOCK* error) noexcept;

// Hands out the oldest pending activation of the bound task: activating
// record, field tag, priority, activation code and tail byte. With none
// pending: ERRCODE 0 and the out-values untouched. ERRCODE -37 once the
// database is shutting down.
DORVIK_EXPORT void DORVIK_CALL EXTASKCHK(int32_t* record, int32_t* fieldTag, int16_t* priority,
                                         int16_t* activationCode, int8_t* tail, ERRBLOCK* error) noexcept;

// Blocks until an activation of the bound task is pending or the database
// begins to shut down; a write in any process attached to the database
// wakes it. Returns at once when no task is bound.
DORVIK_EXPORT void DORVIK_CALL EXTSKWAI(void) noexcept;

// Unbinds the calling process from its task.
DORVIK_EXPORT void DORVIK_CALL EXTSKEND(void) noexcept;

}  // extern "C"

#endif  // VANTREL_API_DORVIK_H_
