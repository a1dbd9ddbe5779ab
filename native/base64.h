// A base64 codec (RFC 4648 alphabet) over caller buffers, used to read the
// stored name of the database's system account. Both entry points take an
// input that ends exactly at its length with a zero byte, and an in/out
// output length: the capacity of out (not counting the terminator; out must
// hold capacity + 1 bytes) on entry, the number of bytes written before the
// terminator on return. On failure they return 0 and leave an empty,
// zero-terminated output. Thread-safe: no shared state.
#ifndef VANTREL_NATIVE_BASE64_H_
#define VANTREL_NATIVE_BASE64_H_

#include <cstdint>

namespace vantrel::access {

// Decodes text: leading blanks and tabs are skipped, and the data ends at the
// first byte outside the alphabet (padding is optional). Returns 1 when
// decoded, 0 when the input is malformed (no terminator at textLength, no
// data of a valid length) or the result exceeds the capacity.
int32_t UUDecodeString(const char* text, uint32_t textLength, char* out, uint32_t* outLength);

// Encodes data with "=" padding and no line breaks. Returns 1 when encoded,
// 0 when the input is malformed or the result exceeds the capacity.
int32_t UUEncodeString(const char* data, uint32_t dataLength, char* out, uint32_t* outLength);

}  // namespace vantrel::access

#endif  // VANTREL_NATIVE_BASE64_H_
