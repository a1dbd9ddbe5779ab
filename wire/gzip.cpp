#include "wire/gzip.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <memory>

#include <fmt/format.h>

namespace vantrel::wire {
namespace {

constexpr int kGzipWindowBits = 15 + 16;      // a gzip wrapper, not zlib's
constexpr std::size_t kChunk = 256 * 1024;
constexpr uInt kMaxStep = std::numeric_limits<uInt>::max();

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

bool SameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The quality of one "coding;q=0.5" entry: 1 without q, 0 for a malformed one.
double QualityOf(std::string_view parameters) {
  while (!parameters.empty()) {
    const auto semicolon = parameters.find(';');
    const std::string_view parameter = Trim(parameters.substr(0, semicolon));
    parameters = semicolon == std::string_view::npos ? std::string_view() : parameters.substr(semicolon + 1);
    const auto equals = parameter.find('=');
    if (equals == std::string_view::npos || !SameWord(Trim(parameter.substr(0, equals)), "q")) continue;
    const std::string number(Trim(parameter.substr(equals + 1)));
    char* end = nullptr;
    const double quality = std::strtod(number.c_str(), &end);
    return end == number.c_str() || *end != '\0' ? 0.0 : quality;
  }
  return 1.0;
}

// A zlib stream with its end on every path.
class Inflater {
 public:
  Inflater() {
    if (inflateInit2(&stream_, kGzipWindowBits) != Z_OK) throw GzipError("cannot start inflating");
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream& operator*() { return stream_; }

 private:
  z_stream stream_{};
};

// libdeflate compresses a whole buffer at once, two to three times faster
// than zlib at the same level; zlib still inflates, since a body of several
// members and a limit on what it inflates to need its streaming.
struct CompressorFree {
  void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

// This thread's compressor of level (1 to 9), made on first use: making one
// costs more than compressing a small answer.
libdeflate_compressor& CompressorOf(int level) {
  thread_local std::array<Compressor, 10> compressors;
  Compressor& compressor = compressors[static_cast<std::size_t>(level)];
  if (!compressor) compressor.reset(libdeflate_alloc_compressor(level));
  if (!compressor) throw GzipError("cannot start deflating");
  return *compressor;
}

}  // namespace

bool AcceptsGzip(std::string_view acceptEncoding) {
  double gzip = -1;  // not named
  double any = -1;
  while (!acceptEncoding.empty()) {
    const auto comma = acceptEncoding.find(',');
    const std::string_view entry = acceptEncoding.substr(0, comma);
    acceptEncoding = comma == std::string_view::npos ? std::string_view() : acceptEncoding.substr(comma + 1);
    const auto semicolon = entry.find(';');
    const std::string_view coding = Trim(entry.substr(0, semicolon));
    const double quality = semicolon == std::string_view::npos ? 1.0 : QualityOf(entry.substr(semicolon + 1));
    if (SameWord(coding, "gzip") || SameWord(coding, "x-gzip")) gzip = std::max(gzip, quality);
    if (coding == "*") any = std::max(any, quality);
  }
  return gzip >= 0 ? gzip > 0 : any > 0;
}

std::string GzipCompress(std::string_view data, int level) {
  libdeflate_compressor& compressor = CompressorOf(std::clamp(level, 1, 9));
  std::string out(libdeflate_gzip_compress_bound(&compressor, data.size()), '\0');
  const std::size_t size = libdeflate_gzip_compress(&compressor, data.data(), data.size(), out.data(), out.size());
  if (size == 0) throw GzipError("the compressed body outgrew its bound");
  out.resize(size);
  return out;
}

std::string GzipDecompress(std::string_view body, std::size_t limit) {
  std::string out;
  auto next = reinterpret_cast<const Bytef*>(body.data());
  std::size_t inLeft = body.size();
  // A body may hold several members one after another.
  while (inLeft > 0) {
    Inflater inflater;
    z_stream& stream = *inflater;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
      // Room for one byte past the limit, so that passing it shows.
      const std::size_t room = std::min(kChunk, limit + 1 - std::min(out.size(), limit));
      const std::size_t at = out.size();
      out.resize(at + room);
      const uInt inStep = static_cast<uInt>(std::min<std::size_t>(inLeft, kMaxStep));
      stream.next_in = const_cast<Bytef*>(next);
      stream.avail_in = inStep;
      stream.next_out = reinterpret_cast<Bytef*>(out.data() + at);
      stream.avail_out = static_cast<uInt>(room);
      status = inflate(&stream, Z_NO_FLUSH);
      out.resize(at + room - stream.avail_out);
      next += inStep - stream.avail_in;
      inLeft -= inStep - stream.avail_in;
      if (out.size() > limit) throw GzipError(fmt::format("the body inflates past the limit of {} bytes", limit));
      if (status == Z_STREAM_END) break;
      if (status != Z_OK && status != Z_BUF_ERROR) {
        throw GzipError(fmt::format("the body is not valid gzip: {}", stream.msg ? stream.msg : "damaged data"));
      }
      if (inLeft == 0 && stream.avail_out != 0) throw GzipError("the gzip body is cut short");
    }
  }
  return out;
}

}  // namespace vantrel::wire
