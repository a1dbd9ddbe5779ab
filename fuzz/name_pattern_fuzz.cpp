// The reference search's name patterns, built from any names: a name that is
// well-formed UTF-8 compiles (any other fails with an ArgumentException), and
// its pattern finds the name itself, literally, between word boundaries. The
// fast scan of a whole text (anchors, then the pattern) finds exactly the
// lines that the pattern finds when tried on every line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/fuzz_check.h"
#include "management/management.h"
#include "management/name_search.h"
#include "management/query_text.h"
#include "platform/exceptions.h"

namespace {

using vantrel::access::NamePattern;
using vantrel::access::NameSearch;

// Reaches the pattern text the reference search builds.
struct Patterns : vantrel::access::Management {
  using Management::NamePatternText;
};

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The pattern of name, or nothing when name is not well-formed UTF-8.
std::optional<NamePattern> Compile(const std::string& name) {
  try {
    return std::make_optional<NamePattern>(name, Patterns::NamePatternText(name));
  } catch (const vantrel::platform::ArgumentException& error) {
    FUZZ_CHECK(!IsAscii(name), "an ASCII name compiles");
    FUZZ_CHECK(std::strlen(error.what()) > 0, "a refused name says why");
    return std::nullopt;
  }
}

// Whether pattern finds name in a line that holds it between a blank or a
// letter on each side (one of them makes a word boundary at each edge).
bool FindsItself(NamePattern& pattern, const std::string& name) {
  for (const char* before : {" ", "a"}) {
    for (const char* after : {" ", "a"}) {
      if (pattern.Matches(before + name + after)) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<std::string> names(input.ConsumeIntegralInRange<std::size_t>(1, 3));
  std::vector<std::string> patternTexts;
  std::vector<NamePattern> patterns;
  for (std::string& name : names) {
    name = input.ConsumeRandomLengthString(48);
    auto pattern = Compile(name);
    if (!pattern) return 0;
    const bool holdsLineEnd = name.find_first_of("\r\n") != std::string::npos;
    FUZZ_CHECK(name.empty() || holdsLineEnd || FindsItself(*pattern, name), "a name's pattern finds the name");
    patternTexts.push_back(Patterns::NamePatternText(name));
    patterns.push_back(std::move(*pattern));
  }

  const std::string bytes = input.ConsumeRemainingBytesAsString();
  std::string scratch;
  const std::string_view text = vantrel::access::DecodeQueryText(bytes, scratch);
  std::vector<std::vector<int32_t>> expected(names.size());
  vantrel::access::ForEachLine(text, [&](int32_t number, std::string_view line) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (patterns[i].Matches(line)) expected[i].push_back(number);
    }
  });
  NameSearch search(names, patternTexts);
  FUZZ_CHECK(search.MatchingLines(text) == expected, "the scan finds the lines each line's match finds");
  return 0;
}
