#include "views/duration.h"

#include <array>
#include <charconv>

#include <fmt/format.h>

#include "views/errors.h"
#include "views/text_compare.h"
#include "contracts/date_time.h"

namespace vantrel::cli {
namespace {

using contracts::DateTime;

struct Unit {
  std::string_view name;
  int64_t ticks;
};

constexpr int64_t kMillisecond = DateTime::kTicksPerMillisecond;
constexpr int64_t kMinute = 60 * DateTime::kTicksPerSecond;
constexpr int64_t kHour = 60 * kMinute;

// Longest first, so that DurationText picks the largest exact unit.
constexpr std::array<Unit, 6> kUnits{{{"d", DateTime::kTicksPerDay},
                                      {"h", kHour},
                                      {"m", kMinute},
                                      {"min", kMinute},
                                      {"s", DateTime::kTicksPerSecond},
                                      {"ms", kMillisecond}}};

}  // namespace

int64_t ParseDuration(std::string_view text, std::string_view option, int64_t minimum, int64_t maximum) {
  const auto refuse = [&](std::string_view why) { return UsageError(fmt::format("{}: '{}' {}", option, text, why)); };
  int64_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc() || end == text.data()) {
    throw refuse(fmt::format("is not a length of time; write {}", kDurationForms));
  }
  const std::string_view unitText(end, static_cast<std::size_t>(text.data() + text.size() - end));
  for (const Unit& unit : kUnits) {
    if (!EqualsIgnoringCase(unitText, unit.name)) continue;
    if (count <= 0 || count > maximum / unit.ticks) {
      throw refuse(fmt::format("is out of range ({} to {})", DurationText(minimum), DurationText(maximum)));
    }
    const int64_t ticks = count * unit.ticks;
    if (ticks < minimum) throw refuse(fmt::format("is too short; at least {}", DurationText(minimum)));
    return ticks;
  }
  throw refuse(fmt::format("has no unit; write {}", kDurationForms));
}

std::string DurationText(int64_t ticks) {
  for (const Unit& unit : kUnits) {
    if (unit.name == "min") continue;
    if (ticks % unit.ticks == 0) return fmt::format("{}{}", ticks / unit.ticks, unit.name);
  }
  return fmt::format("{}ms", static_cast<double>(ticks) / static_cast<double>(kMillisecond));
}

}  // namespace vantrel::cli
