// Session: the base of the service classes DataAccess and Management. A
// session hands the database client library the caller's user context for
// the constructing thread, optionally registers a shutdown callback, logs,
// and translates names, identifiers and timestamps between the caller's
// side and the database's. It also owns the process-wide field definition
// cache, lists the records of definitions, creates records and knows which
// definitions have map records. A session is used by the thread that
// constructed it; the process-wide state is guarded by s_StaticMembersLock.
#ifndef VANTREL_SESSION_SESSION_H_
#define VANTREL_SESSION_SESSION_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/records.h"
#include "contracts/collections.h"
#include "contracts/date_time.h"
#include "contracts/records.h"
#include "session/field_definition_memo.h"
#include "session/log.h"
#include "session/max_ocurrence_info.h"
#include "session/native_shutdown_entry.h"
#include "session/resources.h"
#include "session/shutdown_events.h"

namespace vantrel::access {

// Field definitions as the cache hands them out (FieldDefinitionsPtr, of
// field_definition_memo.h): shared and immutable; a list stays valid for its
// holders after RefreshAll.
using FieldDefinitionPtr = std::shared_ptr<const contracts::FieldDefinition>;

// Native-callable shutdown callback (the client library's callback type).
using VntShutdownDelegate = void (*)(uint32_t);

// A caller's name test for the filtered record lists: true keeps the name.
// An empty function is no test.
using DelegateFilterName = std::function<bool(const std::string& name, const std::vector<std::string>& filters)>;

class Session {
 public:
  Session();
  explicit Session(bool enableVntCallback);
  virtual ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Releases nothing: the link belongs to the host and a registered
  // callback stays registered (and keeps reaching the subscribers) for as
  // long as the session lives. Runs once; the destructor runs it if not yet
  // done.
  void Dispose();

  // Subscribers called, with this session as sender, when the database shuts
  // down while the session lives (disposed or not); they run on a thread of
  // the client library. Destroying the session waits for a notification in
  // progress, then releases them: its callback's entry point goes back to a
  // pool for the next session, and a later shutdown no longer reaches them.
  // So a host keeps a session for as long as its subscribers should hear of
  // a shutdown, and a subscriber never destroys the session it is told of.
  ShutdownEvents VntShutdownEvents;

  // --- Text, user context, names and identifiers ---------------------------

  // Cuts source to length characters, converts it to the single-byte code
  // page and copies it into dest with a terminating zero byte (dest must
  // hold length + 1 bytes; a shorter dest cuts further, never overflows).
  // Returns the number of bytes before the terminator.
  static std::size_t ConvertStringToCharArray(std::string_view source, std::span<char> dest, int32_t length);
  // Sets the calling thread's database user context (domain and user cut to
  // 256 characters each). Throws ArgumentException naming the account when
  // it is not storable text: a changed account would be another user's.
  static void SetUserInfo(const std::string& domain, const std::string& user);

  // Whether text reaches the database as it stands: the code page holds each
  // of its characters and none is the zero character, which ends a native
  // text. A name that fails this names nothing; a value or an account that
  // fails it is refused. Throws ArgumentException for invalid UTF-8.
  static bool IsStorableText(std::string_view text);
  // Throws ArgumentException "The <kind> "<text>" ..." saying why, when text
  // is not storable.
  static void RequireStorableText(std::string_view text, std::string_view kind);

  // Lookups by name. A name that is not storable text names nothing: the
  // database is not asked (0 and -1).
  int32_t GetRecordID(const std::string& tagName);
  int32_t GetAttributeID(const std::string& fieldName);
  std::string GetRecordName(int32_t recid);
  std::string GetAttributeNameWithOccurenceNumber(int32_t recid, int32_t fldid);
  int32_t GetDefinitionRecordID(const std::string& tagName);
  int32_t GetDefinitionID(int32_t recid);

  // XUSTS <-> timestamps. Reading keeps whole milliseconds (kind UTC);
  // writing converts local and unspecified times to UTC first and throws
  // ArgumentOutOfRangeException for instants the XUSTS cannot hold (before
  // 1601, or seconds outside the 32-bit range).
  static contracts::DateTime XustsToDateTime(const XUSTS& fromTime) {
    using contracts::DateTime;
    const int64_t ticks = DateTime::kUnixEpochTicks + int64_t{fromTime.SECONDS} * DateTime::kTicksPerSecond +
                          int64_t{fromTime.MICROSECS / 1000} * DateTime::kTicksPerMillisecond;
    return DateTime(ticks, contracts::DateTimeKind::Utc);
  }
  static XUSTS DateTimeToXusts(const contracts::DateTime& fromTime);

  // A database environment variable (empty when unset).
  std::string GetDorvikEnvironmentVariable(const std::string& variable);

  // --- Field definitions -------------------------------------------------------

  // The field definitions of a definition record, loaded once and cached
  // process-wide (an empty list, not cached, for an id of 0 or less). A
  // load during which the database refused to read a selector record gives
  // those fields without selector texts and is not cached: the next request
  // loads again.
  FieldDefinitionsPtr GetFieldDefinitions(int32_t definitionId);
  // A field's name as record recid presents it, without an occurrence prefix.
  std::string GetAttributeName(int32_t recid, int32_t fldid);
  // Occurrences of a field of a record (1 when unknown).
  int32_t GetMaximumOcurrences(const std::string& tagName, const std::string& fieldName);
  // Empties the process-wide caches; the next request reloads.
  static void RefreshAll();
  // The selectors that record recid uses for the selector named in a field's
  // definition.
  contracts::Selectors GetRecordSpecificSelectors(int32_t recid, int32_t selectorId);

  // --- Records of definitions, creation, map records ---------------------------

  // The records of the definition of definitonTag's record, in the
  // database's order; empty for an unknown name. Names are decoded from the
  // single-byte code page; with a name test (both filters and isMatch given)
  // only the names it keeps are listed.
  contracts::TagNames GetTagNamesByDefinition(const std::string& definitonTag);
  contracts::TagNames GetFilteredTagNamesByDefinition(const std::string& definitonTag,
                                                      const std::optional<std::vector<std::string>>& filters,
                                                      const DelegateFilterName& isMatch);
  contracts::TagIdentifiers GetTagIdentifiersByDefinition(const std::string& definitonTag);
  contracts::TagIdentifiers GetFilteredTagIdentifiersByDefinition(
      const std::string& definitonTag, const std::optional<std::vector<std::string>>& filters,
      const DelegateFilterName& isMatch);
  // Every definition record.
  contracts::TagNames GetAllDefinitionRecords();
  // Up to maxReturn records of startRecorID's definition that follow it.
  contracts::TagIdentifiers GetTagIdsWithSameDefinition(int32_t startRecorID, int32_t maxReturn);
  // Creates record tagName of definitonName's definition. True when it was
  // created or exists with that definition already; false (logged when the
  // database refused) otherwise.
  bool CreateRecord(const std::string& definitonName, const std::string& tagName);
  // What kind of record name is: a definition, a record whose definition has
  // a map record, one of the record kinds, or other.
  contracts::TagTypeEnum GetVntItemTypeByName(const std::string& name);

  // Whether the definition of name's record has a map record. Answers from
  // the process-wide cache when it can; a miss reads every map record and
  // caches each one's definition.
  bool HasMapRecord(const std::string& name);
  // The same question, always read from the database; the cache is left alone.
  bool HasMapRecordNotFromCache(const std::string& name);
  // The map records of the definitions of definitionRecords, under the
  // definition names as the map records spell them: all of them, or with
  // defaultOrFirst the first default one (else the first one) of each.
  contracts::TagNamesByDefinitionTag GetMapRecords(const contracts::TagNames& definitionRecords, bool defaultOrFirst);

 protected:
  // The current values of tags, read by names through a new DataAccess (the
  // map records are read this way). DataAccess builds on Session, so the
  // classes that can read override this; a plain Session throws
  // InvalidOperationException.
  virtual contracts::TagValuesByNames ReadCurrentValues(const contracts::Tags& tags);

  void Init();
  void RegisterVntShutdownCallback();
  void VntShutdownHandler(uint32_t param);

  bool IsRecordExist(const std::string& name);
  // Text that the client library returned in buffer: length bytes of it
  // (bounded by the buffer), as ASCII, trimmed at both ends.
  static std::string ReturnedText(std::span<const char> buffer, int16_t length);

  // Logging and error text. LogError and GenerateVntErrorMessage use no
  // session state; classes beside the sessions reach them through a derived
  // class.
  static void LogError(const std::vector<std::string>& messages);
  // Logs the calling operation's name and the error block's text. The name
  // is the calling function's own, or the one given. Where the standard
  // library has no source_location (clang 14 with libstdc++ 12), the name is
  // the innermost function's, so a lambda logs as "operator()".
#if defined(__cpp_lib_source_location)
  void LogDorvikError(const ERRBLOCK& errBlock,
                      std::source_location caller = std::source_location::current());
#else
  void LogDorvikError(const ERRBLOCK& errBlock, const char* callerFunction = __builtin_FUNCTION());
#endif
  void LogDorvikError(const ERRBLOCK& errBlock, std::string_view operationName);
  static std::string GenerateVntErrorMessage(const ERRBLOCK& errBlock);
  std::optional<std::string> GetResourceString(std::string_view res) const;

  // Field definition cache and repeat areas.
  FieldDefinitionPtr GetFieldDefinitionByFieldId(int32_t definitionId, int32_t fieldId);
  // The definition of field fieldId (any occurrence of it) in a definition's
  // list: the last one with that number, as the cache keeps it; or none.
  static FieldDefinitionPtr FindFieldDefinition(const FieldDefinitionsPtr& definitions, int32_t fieldId);
  static int16_t TranslateToTypeCodeAndFieldReferenceType(int16_t dataType, int16_t fieldLength,
                                                          int32_t selectorId,
                                                          contracts::FieldReferenceTypeEnum& fieldReference);
  int32_t GetRepeatAreaIndex(int32_t definitionId, int32_t fieldId);
  bool IsRepeatAreaCount(int32_t tagId, int32_t fieldId);
  MaxOcurrenceInfoByFieldId GetMaximumOcurrences(int32_t tagId, const contracts::FieldIds& fieldIds);

  // The same for the operations of one request, which look each definition
  // up once through memo (see FieldDefinitionMemo).
  // The field list of definitionId: memoized after its first lookup in the
  // cache. A list the cache did not keep (read in part) is not memoized: it
  // is looked up, and so read, again each time, as GetFieldDefinitions is.
  const FieldDefinitionMemo::Definition& FieldDefinitionsFor(int32_t definitionId, FieldDefinitionMemo& memo) {
    const FieldDefinitionMemo::Definition* memoized = memo.Find(definitionId);
    return memoized != nullptr ? *memoized : LookUpFieldDefinitions(definitionId, memo);
  }
  int32_t GetRepeatAreaIndex(int32_t definitionId, int32_t fieldId, FieldDefinitionMemo& memo);
  std::string GetAttributeName(int32_t recid, int32_t fldid, FieldDefinitionMemo& memo);
  // GetMaximumOcurrences as a flat list, each field once, in the order first
  // given (result is replaced; its capacity is reused from record to record).
  void ListMaximumOcurrences(int32_t tagId, std::span<const int32_t> fieldIds, FieldDefinitionMemo& memo,
                             MaxOcurrenceInfoList& result);
  // The same for a list of the one field fieldId.
  MaxOcurrenceInfo MaximumOcurrencesOf(int32_t tagId, int32_t fieldId, FieldDefinitionMemo& memo);

  // Selectors.
  contracts::Selectors GetSelectors(int32_t selectorId);
  // GetSelectors, but nothing when the database refused to read the
  // selector record (an empty map when it has no entries).
  std::optional<contracts::Selectors> ReadSelectors(int32_t selectorId);

  // The definition of a record: itself when it is a definition record.
  int32_t DefinitionOf(int32_t recid);

  // Process-wide state shared by all sessions, created on first use.
  struct StaticMembers {
    StaticMembers();
    TraceSwitch LogTrace;
    std::recursive_mutex s_StaticMembersLock;
    std::unordered_map<int32_t, FieldDefinitionsPtr> s_fieldDefintionByDefId;
    std::unordered_map<int32_t, std::unordered_map<int32_t, FieldDefinitionPtr>> s_fieldDefByFieldIdByDefId;
    std::unordered_map<int32_t, std::string> s_mapRecordByDefId;  // map record name by definition id
    std::atomic<bool> traceOn{false};
    std::mutex traceAttachLock;  // guards attaching the file sink once
  };
  static StaticMembers& Statics();
  static TraceSwitch& LogTrace() { return Statics().LogTrace; }

  const ResourceTable* resource = nullptr;

 private:
  // The list, and whether every part of it was read (see GetFieldDefinitions).
  std::pair<FieldDefinitionsPtr, bool> LoadFieldDefinitions(int32_t definitionId);
  // GetFieldDefinitions, and whether the list is the same on every lookup
  // until RefreshAll (cached, or the empty list of an id of 0 or less).
  std::pair<FieldDefinitionsPtr, bool> LookUpFieldDefinitions(int32_t definitionId);
  // The same, kept in memo (memoized when it lasts).
  const FieldDefinitionMemo::Definition& LookUpFieldDefinitions(int32_t definitionId, FieldDefinitionMemo& memo);
  // The field list of record tagId's definition, kept in memo; null when
  // the record has no definition.
  const FieldDefinitionMemo::Definition* DefinitionOfRecord(int32_t tagId, FieldDefinitionMemo& memo) {
    const int32_t definitionId = DefinitionOf(tagId);
    return definitionId > 0 ? &FieldDefinitionsFor(definitionId, memo) : nullptr;
  }
  // The occurrences of field fieldId of record tagId, whose definition's
  // list is given (null when it has none). Inline: it runs once per field
  // read or written; a whole repeat area's count is read out of line.
  MaxOcurrenceInfo OcurrencesOf(int32_t tagId, int32_t fieldId, const FieldDefinitionMemo::Definition* definition) {
    const contracts::FieldDefinition* field = definition != nullptr ? definition->Find(fieldId) : nullptr;
    if (field == nullptr) return {false, 1, MaxOccurrenceError::FieldNotDefined};
    if (field->RepeatArea <= 0 || dorvik::api::OccurrenceOf(fieldId) != 0) {
      return {false, 1, MaxOccurrenceError::NoError};
    }
    return RepeatAreaOcurrences(tagId, *field, *definition);
  }
  // The same for a field of a repeat area (given whole): its count, read.
  MaxOcurrenceInfo RepeatAreaOcurrences(int32_t tagId, const contracts::FieldDefinition& field,
                                        const FieldDefinitionMemo::Definition& definition);
  // The given fields of every map record, in one current-value read.
  contracts::TagValuesByNames ReadMapRecords(const contracts::FieldNames& fields);
  static void AttachLogFileOnce();

  // The pooled entry point registered for this session, bound to
  // VntShutdownHandler until the session is destroyed.
  ShutdownEntryLease m_delegateHandle;
  VntShutdownDelegate m_myDelegate = nullptr;
  bool disposed_ = false;
};

}  // namespace vantrel::access

#endif  // VANTREL_SESSION_SESSION_H_
