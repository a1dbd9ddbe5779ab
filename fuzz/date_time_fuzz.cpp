// DateTime::Parse on any text: a FormatException with a message, or a time
// whose round-trip text parses back to the same ticks and kind. And every
// time in range (ticks and kind from the input) survives its round-trip text
// and its ISO text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "contracts/date_time.h"
#include "fuzz/fuzz_check.h"
#include "platform/exceptions.h"

namespace {

using vantrel::contracts::DateTime;
using vantrel::contracts::DateTimeKind;

void RequireRoundTrip(const DateTime& time) {
  const DateTime back = DateTime::Parse(time.ToRoundTripString());
  FUZZ_CHECK(back.Ticks() == time.Ticks() && back.Kind() == time.Kind(), "the round-trip text gives the time back");
  const DateTime iso = DateTime::Parse(time.ToIsoString());
  FUZZ_CHECK(iso.Ticks() == time.Ticks(), "the ISO text gives the ticks back");
  const DateTime general = DateTime::Parse(time.ToGeneralString());
  FUZZ_CHECK(general.Ticks() == time.Ticks() - time.Ticks() % DateTime::kTicksPerSecond,
             "the general text gives the time to the second");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    RequireRoundTrip(DateTime::Parse(text));
  } catch (const vantrel::platform::FormatException& error) {
    FUZZ_CHECK(std::strlen(error.what()) > 0, "a format error says what is wrong");
  }

  if (size >= 9) {
    uint64_t raw = 0;
    std::memcpy(&raw, data, sizeof raw);
    const auto ticks = static_cast<int64_t>(raw % static_cast<uint64_t>(DateTime::kMaxTicks + 1));
    RequireRoundTrip(DateTime(ticks, static_cast<DateTimeKind>(data[8] % 3)));
  }
  return 0;
}
