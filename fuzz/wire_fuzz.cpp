// The encodings a client reads from the network, on any bytes: a columnar
// history answer either is refused with ColumnsFormatError or decodes to
// series whose columns are all of one length; a gzip body either is refused
// with GzipError or inflates within its limit, and what it inflates to
// compresses and inflates back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "wire/gzip.h"
#include "wire/history_columns.h"

namespace {

constexpr std::size_t kInflateLimit = 1 << 20;

void CheckColumns(std::string_view body) {
  std::vector<vantrel::wire::HistorySeries> series;
  try {
    series = vantrel::wire::DecodeHistoryColumns(body);
  } catch (const vantrel::wire::ColumnsFormatError&) {
    return;
  }
  for (const auto& one : series) {
    const std::size_t n = one.times.size();
    FUZZ_CHECK(one.values.size() == n && one.status.size() == n && one.level.size() == n, "columns of one length");
    FUZZ_CHECK(one.texts.empty() || one.texts.size() == n, "a text entry per value");
  }
}

void CheckGzip(std::string_view body) {
  try {
    const std::string plain = vantrel::wire::GzipDecompress(body, kInflateLimit);
    FUZZ_CHECK(plain.size() <= kInflateLimit, "inflated within the limit");
    FUZZ_CHECK(vantrel::wire::GzipDecompress(vantrel::wire::GzipCompress(plain), kInflateLimit) == plain,
               "what inflates compresses back");
  } catch (const vantrel::wire::GzipError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckColumns(bytes);
  CheckGzip(bytes);
  return 0;
}
