// How an answer travels: the forms a client may ask for beyond the plain
// JSON answer. A history call whose Accept header names
// application/x-vantrel-columns gets the columnar answer (wire/
// history_columns.h); an answer of at least kGzipMinBytes to a client
// whose Accept-Encoding takes gzip is sent gzip-compressed. The columnar
// answer is compressed only for a client on another machine: a page of
// 10,000 values (200 kB) takes about 1.3 ms to deflate and 0.3 ms to
// inflate and shrinks by at most 150 kB, which loopback moves in far less
// time, while a link of 1 Gbit/s or slower needs as long or longer.
//
// Stateless functions; safe from any thread.
#ifndef VANTREL_HOST_RESPONSE_ENCODING_H_
#define VANTREL_HOST_RESPONSE_ENCODING_H_

#include <cstddef>
#include <string_view>

#include "host/http_message.h"

namespace vantrel::host {

// Smaller answers go as they are: the gzip header and trailer alone are 18 bytes.
inline constexpr std::size_t kGzipMinBytes = 1024;

// Whether an Accept header value names the columnar history answer (with a
// quality above 0).
bool AcceptsColumns(std::string_view accept);

// Compresses response's body for request's client when it takes gzip and
// the body is worth it; says so in Content-Encoding, and in Vary either way.
void EncodeForClient(const HttpRequest& request, HttpResponse& response);

}  // namespace vantrel::host

#endif  // VANTREL_HOST_RESPONSE_ENCODING_H_
