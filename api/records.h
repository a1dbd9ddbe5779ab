// Native records exchanged with the database client API.
//
// These are the database's wire format: on a 32-bit target every size and
// offset below is exactly the one the client library expects. On a 64-bit
// target only TVANDQU grows, because its TEXT member is a native pointer.
// Code reaches members with sizeof/offsetof and std::memcpy, never with
// literal offsets: value buffers pack records back to back, so a record may
// start at any multiple of 2 or 4 and must be read unaligned.
//
// The records are plain C structs (no constructors) so that the C API can
// take them; they are trivially copyable and safe to zero with memset.
#ifndef VANTREL_API_RECORDS_H_
#define VANTREL_API_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <type_traits>

#pragma pack(push, 4)

// Error block filled by every fallible API call, success included.
struct ERRBLOCK {
  int16_t ERRCODE;      // 0 = success; anything else is an error code
  int16_t ERRFUNC;      // number of the API function that set the block
  int32_t ERRDETAIL;    // code-specific detail (record id, field tag, ...)
  int32_t ERRITEM;      // index of the failing item in a batch call, else 0
};

// Timestamp: seconds and microseconds since 1970-01-01 00:00:00 UTC.
struct XUSTS {
  int32_t SECONDS;      // whole seconds since the epoch
  int32_t MICROSECS;    // microseconds within that second (below one million)
};

// Address of one record field: record id and field tag.
struct IDANDFT {
  int32_t ID;           // record id (positive)
  int32_t FT;           // field tag: field number << 16 | occurrence
};

// int16 value with quality (type code -18).
struct SVANDQU {
  int16_t VALUE;        // the value
  int16_t STATUS;       // quality status
  int16_t LEVEL;        // quality level
  int16_t PAD;          // unused
  XUSTS TIME;           // time of the value
};

// int32 value with quality (type code -19).
struct LVANDQU {
  int32_t VALUE;        // the value
  int16_t STATUS;       // quality status
  int16_t LEVEL;        // quality level
  XUSTS TIME;           // time of the value
};

// float32 value with quality (type code -20).
struct RVANDQU {
  float VALUE;          // the value
  int16_t STATUS;       // quality status
  int16_t LEVEL;        // quality level
  XUSTS TIME;           // time of the value
};

// float64 value with quality (type code -21). TIME follows LEVEL directly
// at offset 12; the record still takes 24 bytes.
struct DVANDQU {
  double VALUE;         // the value
  int16_t STATUS;       // quality status
  int16_t LEVEL;        // quality level
  XUSTS TIME;           // time of the value
  int32_t PAD;          // unused
};

// Character value with quality (type code -24). TEXT is a caller-owned
// buffer; LENGTH is its capacity before a read and the number of characters
// in it after a read and before a write.
struct TVANDQU {
  char* TEXT;           // caller-owned character buffer
  int16_t LENGTH;       // capacity before a read; character count otherwise
  int16_t PAD;          // unused
  int16_t STATUS;       // quality status
  int16_t LEVEL;        // quality level
  XUSTS TIME;           // time of the value
};

// Definition of one field as FIELDDEFNINFO reports it. The library reads
// DATATYPE and the four change flags; the engine also fills the descriptive
// members before them for tools.
struct FIELDDEFN {
  char NAME[32];        // field name, zero-padded, cut to 31 characters
  int32_t FIELDTAG;     // field tag asked for
  int16_t DBTYPE;       // database data type (0 pointer ... 6 count)
  int16_t LENGTHWORD;   // the field's length word
  int16_t REPEATAREA;   // 1-based position of the count field, or 0
  int16_t HISTORY;      // nonzero: the field keeps history
  int16_t WRITEPROT;    // write-protection code 0-3
  int16_t DATATYPE;     // native type code; for a character field its length
  int16_t CHGUNUSABLE;  // nonzero: may change while the record is unusable
  int16_t CHGUSABLE;    // nonzero: may change while the record is usable
  int16_t OPERCHANGE;   // nonzero: an operator may change the field
  int16_t SELECTOR;     // nonzero: the field has a selector record
  int32_t SELECTORID;   // selector record id, or 0
  int16_t QUALITYFLD;   // quality field as stored in the definition
  int16_t TIMEFLD;      // timestamp field as stored in the definition
  int32_t RESERVED1;    // unused
  int16_t OPERSTRICT;   // 1: OPERCHANGE applies even when asked to ignore it
  char RESERVED2[50];   // unused
};

// Query definition accepted by GETRECORDLIST_LNAME. The library always
// passes a null pointer; the engine ignores the argument.
struct DVKQUERYDEF {
  int32_t FIELDTAG;     // field to compare
  int16_t OPERATOR;     // comparison operator
  int16_t VALUETYPE;    // native type code of VALUE
  union {
    int32_t LONGVAL;
    double REALVAL;
    XUSTS TIMEVAL;
  } VALUE;              // value to compare with (8 bytes)
  char TEXT[24];        // text to compare with, for character fields
};

#pragma pack(pop)

namespace dorvik::api {

// Named sizes of the buffers exchanged with the API.
inline constexpr std::size_t kNameBufferSize = 257;        // names going in, record names coming back
inline constexpr std::size_t kMaxNameLength = kNameBufferSize - 1;
inline constexpr std::size_t kFieldNameBufferSize = 256;   // field names coming back, list entries
inline constexpr std::size_t kMessageBufferSize = 78;      // ERRMESS texts
inline constexpr std::size_t kEnvironmentValueSize = 1024; // environment values
inline constexpr std::size_t kHistoryTextSize = 604;       // text buffers of history reads
inline constexpr std::size_t kTextCapacityExtra = 4;       // added to a character length for TVANDQU buffers
inline constexpr std::size_t kRecordListBatch = 500;       // entries per GETRECORDLIST_LNAME call
inline constexpr std::size_t kFieldListPage = 100;         // entries per GETFLDNAMS_LNAME call

// Native data type codes (int16). A positive code n is a character value of
// n bytes without terminator.
inline constexpr int16_t kTypeRecordId = -1;         // int32 record id
inline constexpr int16_t kTypeRecordAndField = -2;   // IDANDFT
inline constexpr int16_t kTypeInt16 = -3;            // int16
inline constexpr int16_t kTypeInt32 = -4;            // int32 (history buffers)
inline constexpr int16_t kTypeFloat = -5;            // float32
inline constexpr int16_t kTypeDouble = -6;           // float64 (history buffers)
inline constexpr int16_t kTypeTime = -17;            // XUSTS
inline constexpr int16_t kTypeInt16Quality = -18;    // SVANDQU
inline constexpr int16_t kTypeInt32Quality = -19;    // LVANDQU
inline constexpr int16_t kTypeFloatQuality = -20;    // RVANDQU
inline constexpr int16_t kTypeDoubleQuality = -21;   // DVANDQU
inline constexpr int16_t kTypeTextQuality = -24;     // TVANDQU

// Field tags: field number in the high 16 bits, occurrence in the low 16.
inline constexpr int32_t kOccurrenceMask = 0x0000FFFF;
inline constexpr int32_t kBaseTagMask = static_cast<int32_t>(0xFFFF0000u);
constexpr int32_t FieldTag(int32_t fieldNumber, int32_t occurrence = 0) {
  return static_cast<int32_t>((static_cast<uint32_t>(fieldNumber) << 16) |
                              (static_cast<uint32_t>(occurrence) & 0xFFFFu));
}
constexpr int32_t BaseTag(int32_t fieldTag) { return fieldTag & kBaseTagMask; }
constexpr int32_t OccurrenceOf(int32_t fieldTag) { return fieldTag & kOccurrenceMask; }
constexpr int32_t FieldNumberOf(int32_t fieldTag) {
  return static_cast<int32_t>(static_cast<uint32_t>(fieldTag) >> 16);
}

// The database's own fields (numbers carry the 0x1000 bit).
inline constexpr int32_t kFieldName = 0x10020000;           // record / field name
inline constexpr int32_t kFieldSelectorCount = 0x10060000;  // selector: number of entries
inline constexpr int32_t kFieldSelectorFirst = 0x10070000;  // selector: number of the first entry
inline constexpr int32_t kFieldSelectorTexts = 0x10080000;  // selector: repeated entry texts
inline constexpr int32_t kFieldNumber = 0x100A0000;         // field description: field number
inline constexpr int32_t kFieldCount = 0x100B0000;          // definition: number of fields
inline constexpr int32_t kFieldDefinitionFlags = 0x100E0000; // definition: flags word
inline constexpr int32_t kFieldLengthWord = 0x10120000;     // definition column: length word
inline constexpr int32_t kFieldRepeatArea = 0x10130000;     // definition column: repeat area
inline constexpr int32_t kFieldDataType = 0x10150000;       // definition column: data type
inline constexpr int32_t kFieldDescription = 0x10160000;    // definition column: field description record
inline constexpr int32_t kFieldSelectorRecord = 0x10170000; // definition column: selector record
inline constexpr int32_t kFieldWriteProtection = 0x101E0000; // definition column: write protection
inline constexpr int32_t kFieldHistoryPointer = 0x10240000; // definition column: history pointer
inline constexpr int32_t kFieldQuality = 0x102F0000;        // definition column: quality field
inline constexpr int32_t kFieldTimestamp = 0x10300000;      // definition column: timestamp field
inline constexpr int32_t kSystemFieldBit = 0x1000;          // in the field number

// Record kinds asked with RECTYPEOK.
inline constexpr int32_t kKindDefinition = -4;
inline constexpr int32_t kKind3 = -3;
inline constexpr int32_t kKind5 = -5;
inline constexpr int32_t kKindExternalTask = -19;

// Error codes of the API (ERRBLOCK::ERRCODE).
inline constexpr int16_t kSuccess = 0;
inline constexpr int16_t kErrShuttingDown = -37;

}  // namespace dorvik::api

// Layout of the wire format. Sizes and offsets that do not involve the
// TEXT pointer are the same on every target.
static_assert(std::is_trivially_copyable_v<ERRBLOCK> && std::is_standard_layout_v<ERRBLOCK>);
static_assert(sizeof(ERRBLOCK) == 12);
static_assert(offsetof(ERRBLOCK, ERRCODE) == 0);

static_assert(sizeof(XUSTS) == 8);
static_assert(offsetof(XUSTS, SECONDS) == 0);
static_assert(offsetof(XUSTS, MICROSECS) == 4);

static_assert(sizeof(IDANDFT) == 8);
static_assert(offsetof(IDANDFT, ID) == 0);
static_assert(offsetof(IDANDFT, FT) == 4);

static_assert(sizeof(SVANDQU) == 16);
static_assert(offsetof(SVANDQU, VALUE) == 0);
static_assert(offsetof(SVANDQU, STATUS) == 2);
static_assert(offsetof(SVANDQU, LEVEL) == 4);
static_assert(offsetof(SVANDQU, TIME) == 8);

static_assert(sizeof(LVANDQU) == 16);
static_assert(offsetof(LVANDQU, VALUE) == 0);
static_assert(offsetof(LVANDQU, STATUS) == 4);
static_assert(offsetof(LVANDQU, LEVEL) == 6);
static_assert(offsetof(LVANDQU, TIME) == 8);

static_assert(sizeof(RVANDQU) == 16);
static_assert(offsetof(RVANDQU, VALUE) == 0);
static_assert(offsetof(RVANDQU, STATUS) == 4);
static_assert(offsetof(RVANDQU, LEVEL) == 6);
static_assert(offsetof(RVANDQU, TIME) == 8);

static_assert(sizeof(DVANDQU) == 24);
static_assert(offsetof(DVANDQU, VALUE) == 0);
static_assert(offsetof(DVANDQU, STATUS) == 8);
static_assert(offsetof(DVANDQU, LEVEL) == 10);
static_assert(offsetof(DVANDQU, TIME) == 12);

// TVANDQU: 20 bytes with a 4-byte pointer; on 64-bit the pointer takes 8 and
// every later member moves by 4.
inline constexpr std::size_t kTvandquPointerGrowth = sizeof(char*) - 4;
static_assert(sizeof(TVANDQU) == 20 + kTvandquPointerGrowth);
static_assert(offsetof(TVANDQU, TEXT) == 0);
static_assert(offsetof(TVANDQU, LENGTH) == 4 + kTvandquPointerGrowth);
static_assert(offsetof(TVANDQU, STATUS) == 8 + kTvandquPointerGrowth);
static_assert(offsetof(TVANDQU, LEVEL) == 10 + kTvandquPointerGrowth);
static_assert(offsetof(TVANDQU, TIME) == 12 + kTvandquPointerGrowth);

static_assert(sizeof(FIELDDEFN) == 120);
static_assert(offsetof(FIELDDEFN, DATATYPE) == 46);
static_assert(offsetof(FIELDDEFN, CHGUNUSABLE) == 48);
static_assert(offsetof(FIELDDEFN, CHGUSABLE) == 50);
static_assert(offsetof(FIELDDEFN, OPERCHANGE) == 52);
static_assert(offsetof(FIELDDEFN, OPERSTRICT) == 68);

static_assert(sizeof(DVKQUERYDEF) == 40);
static_assert(offsetof(DVKQUERYDEF, VALUE) == 8);

#endif  // VANTREL_API_RECORDS_H_
