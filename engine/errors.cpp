#include "engine/errors.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace dorvik {
namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(ApiFunction::kCount)> kFunctionNames = {
    "?", "INIDORV", "ENDDORV", "DBMAPPED", "ERRMESS", "VantrelRegisterShutdownCallback",
    "SetTlsData", "REFRESHUSERCONTEXT", "GetVntEnvironmentVariable", "c21_getenv",
    "NAME2RECID", "GETNAMDB_LNAME", "DECODFT", "GETFTDB_LNAME", "DEFINID", "RECTYPEOK",
    "VALIDUSA", "MAKUSABL", "MAKUNUSA", "NXTFREE", "CREATERECORD", "NXTREFER",
    "GETRECORDLIST_LNAME", "GETFLDNAMS_LNAME", "GETDATATYPES", "RDBVALS", "MRDBVALS",
    "MWDBVALS", "MRDBOCCS", "DB2SHRT", "FIELDDEFNINFO", "GETFLDPERMIS", "FieldHistoryInfo",
    "RHIS21DATA", "RHIS21REV", "EXTSKINI", "EXTASKCHK", "EXTSKWAI", "EXTSKEND"};

// How a message shows ERRDETAIL.
enum class DetailForm { kNone, kNumber, kHex };

struct MessageEntry {
  int16_t code;
  std::string_view shortText;  // also the summary text of a stopped batch
  std::string_view format;     // printf form of the text after "FUNCTION: "
  DetailForm detail;
};

// The one message table. Every text, after the longest function name (31
// characters) and with the longest detail (11 characters), fits 78 bytes; a
// test checks this. Only the batch functions (names of at most 12
// characters) stop batches.
constexpr MessageEntry kMessages[] = {
    {kOk, "no error", "no error", DetailForm::kNone},
    {kErrNotLoaded, "database not loaded", "database not loaded", DetailForm::kNone},
    {kErrBadArgument, "invalid argument", "argument %d is invalid", DetailForm::kNumber},
    {kErrRecordNotFound, "record not found", "record %d not found", DetailForm::kNumber},
    {kErrFieldNotFound, "field not defined", "field 0x%X not in definition", DetailForm::kHex},
    {kErrOccurrence, "occurrence out of range", "occurrence of 0x%X out of range", DetailForm::kHex},
    {kErrTypeUnsupported, "data type not supported", "data type %d not supported", DetailForm::kNumber},
    {kErrConversion, "value does not convert", "value of 0x%X does not convert", DetailForm::kHex},
    {kErrOutOfRange, "value out of range", "value of 0x%X out of range", DetailForm::kHex},
    {kErrTextTooLong, "text too long", "text too long for 0x%X", DetailForm::kHex},
    {kErrDatabaseField, "database field not writable", "database field 0x%X not writable", DetailForm::kHex},
    {kErrNoWriteRight, "no write right", "no write right on record %d", DetailForm::kNumber},
    {kErrWriteProtected, "field write protected", "field 0x%X write protected now", DetailForm::kHex},
    {kErrBatchStopped, "batch stopped", "item %d failed: %s", DetailForm::kNone},
    {kErrInvalidName, "invalid record name", "invalid record name", DetailForm::kNone},
    {kErrNameInUse, "record name in use", "name in use by record %d", DetailForm::kNumber},
    {kErrIdInUse, "record id in use", "record id %d in use", DetailForm::kNumber},
    {kErrIdOutOfRange, "record id out of range", "record id %d out of range", DetailForm::kNumber},
    {kErrNotDefinition, "not a definition record", "record %d is no user definition", DetailForm::kNumber},
    {kErrNoHistory, "field keeps no history", "field 0x%X keeps no history", DetailForm::kHex},
    {kErrRequestType, "request type not supported", "request type %d not supported", DetailForm::kNumber},
    {kErrUnknownFieldName, "unknown field name", "unknown field name", DetailForm::kNone},
    {kErrTaskNameUnset, "DORVIK_TASK_NAME not set", "DORVIK_TASK_NAME not set", DetailForm::kNone},
    {kErrNotTaskRecord, "not a task record", "record %d is no task record", DetailForm::kNumber},
    {kErrNoTaskBound, "no task bound", "no external task bound", DetailForm::kNone},
    {kErrReferenceNotFound, "referenced record not found", "referenced record %d not found", DetailForm::kNumber},
    {kErrDatabaseFull, "database is full", "database is full (code %d)", DetailForm::kNumber},
    {kErrIo, "database I/O error", "database I/O error (code %d)", DetailForm::kNumber},
    {kErrCorrupted, "database is corrupted", "database is corrupted (code %d)", DetailForm::kNumber},
    {kErrReadersFull, "too many database readers", "too many database readers", DetailForm::kNone},
    {kErrReadOnly, "database is read-only", "database is read-only", DetailForm::kNone},
    {kErrNoMemory, "out of memory", "out of memory", DetailForm::kNone},
    {kErrInternal, "internal database error", "internal database error (code %d)", DetailForm::kNumber},
    {kErrLocked, "database is locked", "write lock held by process %d", DetailForm::kNumber},
    {kErrShuttingDown, "database is shutting down", "database is shutting down", DetailForm::kNone},
};

const MessageEntry* FindMessage(int16_t code) {
  for (const MessageEntry& entry : kMessages) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

}  // namespace

std::string_view FunctionName(ApiFunction function) {
  auto index = static_cast<std::size_t>(function);
  return index < kFunctionNames.size() ? kFunctionNames[index] : kFunctionNames[0];
}

ApiFunction FunctionByName(std::string_view name) {
  for (std::size_t i = 1; i < kFunctionNames.size(); ++i) {
    if (kFunctionNames[i] == name) return static_cast<ApiFunction>(i);
  }
  return ApiFunction::kNone;
}

std::string_view ShortMessage(int16_t code) {
  const MessageEntry* entry = FindMessage(code);
  return entry != nullptr ? entry->shortText : std::string_view("error");
}

std::size_t FormatMessage(const ERRBLOCK& block, char* text) {
  // Room for the longest formatted text; the result is cut to 78 bytes.
  char formatted[256];
  const auto function = static_cast<ApiFunction>(block.ERRFUNC);
  int length = 0;
  if (function > ApiFunction::kNone && function < ApiFunction::kCount) {
    length = std::snprintf(formatted, sizeof formatted, "%s: ", std::string(FunctionName(function)).c_str());
  }
  char* body = formatted + length;
  const std::size_t room = sizeof formatted - static_cast<std::size_t>(length);
  const MessageEntry* entry = FindMessage(block.ERRCODE);
  const std::string format = entry != nullptr ? std::string(entry->format) : std::string("error %d");
  int bodyLength = 0;
  if (entry == nullptr) {
    bodyLength = std::snprintf(body, room, format.c_str(), static_cast<int>(block.ERRCODE));
  } else if (entry->code == kErrBatchStopped) {
    const std::string cause(ShortMessage(static_cast<int16_t>(block.ERRDETAIL)));
    bodyLength = std::snprintf(body, room, format.c_str(), static_cast<int>(block.ERRITEM), cause.c_str());
  } else if (entry->detail == DetailForm::kNone) {
    bodyLength = std::snprintf(body, room, "%s", format.c_str());
  } else if (entry->detail == DetailForm::kNumber) {
    bodyLength = std::snprintf(body, room, format.c_str(), static_cast<int>(block.ERRDETAIL));
  } else {
    bodyLength = std::snprintf(body, room, format.c_str(), static_cast<unsigned>(block.ERRDETAIL));
  }
  const int total = length + std::max(bodyLength, 0);
  const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(total), dorvik::api::kMessageBufferSize);
  std::memcpy(text, formatted, count);
  return count;
}

}  // namespace dorvik
