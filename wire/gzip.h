// gzip bodies (RFC 1952), made by libdeflate and read by zlib, and the
// Accept-Encoding test that decides whether a client takes them.
//
//   if (AcceptsGzip(request.acceptEncoding)) body = GzipCompress(body);
//   std::string plain = GzipDecompress(body, kAnswerLimit);
//
// Stateless functions; safe from any thread.
#ifndef VANTREL_WIRE_GZIP_H_
#define VANTREL_WIRE_GZIP_H_

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantrel::wire {

// A body that is not gzip, is cut or damaged, or inflates past its limit;
// what() says which.
class GzipError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether an Accept-Encoding header value accepts gzip: "gzip" or
// "x-gzip" with a quality above 0, or "*" above 0 where gzip is not named.
bool AcceptsGzip(std::string_view acceptEncoding);

// data as one gzip member; level 1 (fastest) to 9 (smallest).
std::string GzipCompress(std::string_view data, int level = 1);

// The data of a gzip body of one or more members; throws GzipError for a
// malformed body or one that inflates to more than limit bytes.
std::string GzipDecompress(std::string_view body, std::size_t limit);

}  // namespace vantrel::wire

#endif  // VANTREL_WIRE_GZIP_H_
