#include "wire/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>

#include <fmt/format.h>

namespace vantrel::wire {
namespace {

constexpr int kGzipWindowBits = 15 + 16;      // a gzip wrapper, not zlib's
constexpr int kMemoryLevel = 8;               // zlib's default
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

class Deflater {
 public:
  explicit Deflater(int level) {
    if (deflateInit2(&stream_, std::clamp(level, 1, 9), Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      throw GzipError("cannot start deflating");
    }
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  z_stream& operator*() { return stream_; }

 private:
  z_stream stream_{};
};

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
  Deflater deflater(level);
  z_stream& stream = *deflater;
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  std::size_t inLeft = data.size();
  std::size_t outLeft = out.size();
  int status = Z_OK;
  while (status == Z_OK) {
    const uInt inStep = static_cast<uInt>(std::min<std::size_t>(inLeft, kMaxStep));
    const uInt outStep = static_cast<uInt>(std::min<std::size_t>(outLeft, kMaxStep));
    stream.avail_in = inStep;
    stream.avail_out = outStep;
    status = deflate(&stream, inLeft == inStep ? Z_FINISH : Z_NO_FLUSH);
    inLeft -= inStep - stream.avail_in;
    outLeft -= outStep - stream.avail_out;
    if (status == Z_BUF_ERROR && outLeft == 0) throw GzipError("the compressed body outgrew its bound");
    if (status == Z_BUF_ERROR) status = Z_OK;  // no progress this step; more room comes next
  }
  if (status != Z_STREAM_END) throw GzipError(fmt::format("deflate failed ({})", status));
  out.resize(out.size() - outLeft);
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
