#include "platform/time_zone.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace vantrel::platform {
namespace {

using contracts::DateTime;
using contracts::DateTimeKind;

constexpr int64_t kSecondsPerDay = 86'400;

void EnsureZoneLoaded() {
  // localtime_r need not read TZ itself; load the zone once. A process that
  // changes TZ later calls tzset() itself, as with any C time function.
  static std::once_flag loaded;
  std::call_once(loaded, [] { tzset(); });
}

// Seconds east of UTC of the local zone at the instant utcSeconds (seconds
// from 1970-01-01 UTC). 0 when the C library cannot tell.
int64_t OffsetAt(int64_t utcSeconds) {
  EnsureZoneLoaded();
  const time_t instant = static_cast<time_t>(utcSeconds);
  tm fields{};
  if (localtime_r(&instant, &fields) == nullptr) return 0;
  return fields.tm_gmtoff;
}

// Floor division, so that instants before 1970 map to the second they lie in.
int64_t FloorDiv(int64_t value, int64_t divisor) {
  const int64_t quotient = value / divisor;
  return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

// ticks moved by offsetSeconds, clamped to the range of a DateTime as .NET
// clamps its conversions (the range ends stay "no bound" when converted).
DateTime Shifted(int64_t ticks, int64_t offsetSeconds, DateTimeKind kind) {
  const int64_t shift = offsetSeconds * DateTime::kTicksPerSecond;
  if (shift > 0 && ticks > DateTime::kMaxTicks - shift) return DateTime(DateTime::kMaxTicks, kind);
  if (shift < 0 && ticks < -shift) return DateTime(0, kind);
  return DateTime(ticks + shift, kind);
}

// The offset that turns the local wall-clock second localSeconds into UTC.
// Offsets are probed a day before and a day after; an offset is valid when
// the instant it gives shows that very offset. Two valid ones: the wall time
// occurs twice, take the later instant (standard time). None: the wall time
// falls into a gap, take the offset in force before the change.
int64_t OffsetForLocal(int64_t localSeconds) {
  const int64_t before = OffsetAt(localSeconds - kSecondsPerDay);
  const int64_t after = OffsetAt(localSeconds + kSecondsPerDay);
  const bool beforeValid = OffsetAt(localSeconds - before) == before;
  const bool afterValid = OffsetAt(localSeconds - after) == after;
  if (beforeValid && afterValid) return std::min(before, after);
  if (afterValid) return after;
  return before;
}

int64_t LocalSecondsOf(const DateTime& time) {
  return FloorDiv(time.Ticks() - DateTime::kUnixEpochTicks, DateTime::kTicksPerSecond);
}

}  // namespace

DateTime UtcNow() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ticks = std::chrono::duration_cast<
      std::chrono::duration<int64_t, std::ratio<1, DateTime::kTicksPerSecond>>>(sinceEpoch);
  return DateTime(DateTime::kUnixEpochTicks + ticks.count(), DateTimeKind::Utc);
}

DateTime Now() { return ToLocalTime(UtcNow()); }

DateTime ToUniversalTime(const DateTime& time) {
  if (time.Kind() == DateTimeKind::Utc) return time;
  const int64_t localSeconds =
      FloorDiv(time.Ticks() - DateTime::kUnixEpochTicks, DateTime::kTicksPerSecond);
  return Shifted(time.Ticks(), -OffsetForLocal(localSeconds), DateTimeKind::Utc);
}

std::vector<DateTime> LocalTimeInstants(const DateTime& local) {
  const int64_t localSeconds = LocalSecondsOf(local);
  std::vector<DateTime> instants;
  // The offsets in force a day either side are the only candidates: no zone
  // changes its offset twice within two days.
  for (const int64_t offset : {OffsetAt(localSeconds - kSecondsPerDay), OffsetAt(localSeconds + kSecondsPerDay)}) {
    if (OffsetAt(localSeconds - offset) != offset) continue;
    const DateTime instant = Shifted(local.Ticks(), -offset, DateTimeKind::Utc);
    if (instants.empty() || instants.front().Ticks() != instant.Ticks()) instants.push_back(instant);
  }
  std::sort(instants.begin(), instants.end(),
            [](const DateTime& a, const DateTime& b) { return a.Ticks() < b.Ticks(); });
  return instants;
}

DateTime ToLocalTime(const DateTime& time) {
  if (time.Kind() == DateTimeKind::Local) return time;
  const int64_t utcSeconds =
      FloorDiv(time.Ticks() - DateTime::kUnixEpochTicks, DateTime::kTicksPerSecond);
  return Shifted(time.Ticks(), OffsetAt(utcSeconds), DateTimeKind::Local);
}

}  // namespace vantrel::platform
