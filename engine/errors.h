// Error codes of the engine and the numbers of the API functions.
//
// Every ERRBLOCK the engine fills carries one of the codes below (or a code
// chosen by an injected fault), the number of the function that set it, a
// code-specific detail and the failing item's index. ERRMESS turns a block
// into text with the one message table in errors.cpp; every message fits
// kMessageBufferSize bytes once formatted. Stateless and thread-safe.
#ifndef VANTREL_ENGINE_ERRORS_H_
#define VANTREL_ENGINE_ERRORS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "api/records.h"

namespace dorvik {

// Error codes (ERRBLOCK::ERRCODE). What ERRDETAIL holds is given per code.
inline constexpr int16_t kOk = 0;
inline constexpr int16_t kErrNotLoaded = -1;          // detail: unused
inline constexpr int16_t kErrBadArgument = -2;        // detail: 1-based argument position
inline constexpr int16_t kErrRecordNotFound = -3;     // detail: record id
inline constexpr int16_t kErrFieldNotFound = -4;      // detail: field tag
inline constexpr int16_t kErrOccurrence = -5;         // detail: field tag
inline constexpr int16_t kErrTypeUnsupported = -6;    // detail: type code
inline constexpr int16_t kErrConversion = -7;         // detail: field tag
inline constexpr int16_t kErrOutOfRange = -8;         // detail: field tag
inline constexpr int16_t kErrTextTooLong = -9;        // detail: field tag
inline constexpr int16_t kErrDatabaseField = -10;     // detail: field tag
inline constexpr int16_t kErrNoWriteRight = -11;      // detail: record id
inline constexpr int16_t kErrWriteProtected = -12;    // detail: field tag
inline constexpr int16_t kErrBatchStopped = -13;      // detail: the failing item's code; ERRITEM its index
inline constexpr int16_t kErrInvalidName = -14;       // detail: name length
inline constexpr int16_t kErrNameInUse = -15;         // detail: id of the record holding the name
inline constexpr int16_t kErrIdInUse = -16;           // detail: record id
inline constexpr int16_t kErrIdOutOfRange = -17;      // detail: record id
inline constexpr int16_t kErrNotDefinition = -18;     // detail: record id
inline constexpr int16_t kErrNoHistory = -19;         // detail: field tag
inline constexpr int16_t kErrRequestType = -20;       // detail: request type
inline constexpr int16_t kErrUnknownFieldName = -21;  // detail: name length
inline constexpr int16_t kErrTaskNameUnset = -22;     // detail: unused
inline constexpr int16_t kErrNotTaskRecord = -23;     // detail: record id (0: no record of that name)
inline constexpr int16_t kErrNoTaskBound = -24;       // detail: unused
inline constexpr int16_t kErrReferenceNotFound = -25; // detail: record id the value points at
// Storage failures: the call changed nothing. Detail: the storage library's
// or the system's own error number, 0 when there is none.
inline constexpr int16_t kErrDatabaseFull = -26;      // detail: MDB_MAP_FULL, ENOSPC, EFBIG or EDQUOT
inline constexpr int16_t kErrIo = -27;                // detail: errno of the failed read, write or flush
inline constexpr int16_t kErrCorrupted = -28;         // detail: storage code, 0 for a malformed entry
inline constexpr int16_t kErrReadersFull = -29;       // detail: MDB_READERS_FULL
inline constexpr int16_t kErrReadOnly = -30;          // detail: errno when the system refused, else 0
inline constexpr int16_t kErrNoMemory = -31;          // detail: unused
inline constexpr int16_t kErrInternal = -32;          // detail: storage code, 0 for an unexpected exception
inline constexpr int16_t kErrLocked = -33;            // detail: pid holding the write lock, -1 unknown
inline constexpr int16_t kErrShuttingDown = dorvik::api::kErrShuttingDown;  // -37, detail unused

// The API functions, numbered for ERRBLOCK::ERRFUNC, the call log and fault
// injection.
enum class ApiFunction : int16_t {
  kNone = 0,
  kINIDORV, kENDDORV, kDBMAPPED, kERRMESS, kVantrelRegisterShutdownCallback, kSetTlsData,
  kREFRESHUSERCONTEXT, kGetVntEnvironmentVariable, kc21_getenv, kNAME2RECID, kGETNAMDB_LNAME,
  kDECODFT, kGETFTDB_LNAME, kDEFINID, kRECTYPEOK, kVALIDUSA, kMAKUSABL, kMAKUNUSA, kNXTFREE,
  kCREATERECORD, kNXTREFER, kGETRECORDLIST_LNAME, kGETFLDNAMS_LNAME, kGETDATATYPES, kRDBVALS,
  kMRDBVALS, kMWDBVALS, kMRDBOCCS, kDB2SHRT, kFIELDDEFNINFO, kGETFLDPERMIS, kFieldHistoryInfo,
  kRHIS21DATA, kRHIS21REV, kEXTSKINI, kEXTASKCHK, kEXTSKWAI, kEXTSKEND,
  kCount
};

// Name of an API function as exported ("MRDBVALS"); "?" for a number out of range.
std::string_view FunctionName(ApiFunction function);
// The function of an exported name; kNone when there is none.
ApiFunction FunctionByName(std::string_view name);

// Short text of an error code without details ("record not found").
std::string_view ShortMessage(int16_t code);

// Formats the message of a block into text (at most kMessageBufferSize
// bytes, no terminator) and returns its length.
std::size_t FormatMessage(const ERRBLOCK& block, char* text);

// True for the codes of storage failures (kErrDatabaseFull to kErrLocked).
constexpr bool IsStorageCode(int16_t code) { return code <= kErrDatabaseFull && code >= kErrLocked; }

// An engine result: a code and its detail; the compiler warns when dropped.
struct [[nodiscard]] Outcome {
  int16_t code = kOk;
  int32_t detail = 0;
  bool ok() const { return code == kOk; }
};

// Fills a block.
inline void SetError(ERRBLOCK* block, ApiFunction function, int16_t code, int32_t detail = 0,
                     int32_t item = 0) {
  if (block == nullptr) return;
  block->ERRCODE = code;
  block->ERRFUNC = static_cast<int16_t>(function);
  block->ERRDETAIL = detail;
  block->ERRITEM = item;
}

}  // namespace dorvik

#endif  // VANTREL_ENGINE_ERRORS_H_
