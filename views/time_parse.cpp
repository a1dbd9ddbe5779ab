#include "views/time_parse.h"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstdint>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "views/errors.h"
#include "platform/exceptions.h"
#include "platform/time_zone.h"

namespace vantrel::cli {

const std::string_view kTimeForms =
    "  now                              the current time\n"
    "  today, yesterday                 local midnight of that day\n"
    "  today 08:00, yesterday 20:15:30  a local time of that day\n"
    "  -1h, -90m, -1h30m, +30s, now-2d  relative to now (units ms s m h d w)\n"
    "  1709769600, 1709769600.25        seconds since 1970-01-01 UTC\n"
    "  2024-03-06, 2024-03-06 20:00     local time (TZ), seconds and .fff optional\n"
    "  2024-03-06T20:00:00Z, ...+01:00  with a zone\n"
    "A local time that a daylight-saving change skips is refused; one that occurs twice needs its offset\n"
    "(2024-10-27 02:30+02:00) or --earlier / --later.\n";

namespace {

std::atomic<RepeatedTime> repeatedTimeChoice{RepeatedTime::kRefuse};

using contracts::DateTime;
using contracts::DateTimeKind;

constexpr int64_t kTicksPerMinute = 60 * DateTime::kTicksPerSecond;
constexpr int64_t kTicksPerHour = 60 * kTicksPerMinute;

[[noreturn]] void NotATime(std::string_view text) {
  throw UsageError(fmt::format(
      "'{}' is not a time; use now, today, -1h, 1709769600, 2024-03-06 20:00 or 2024-03-06T20:00:00Z", text));
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<int64_t> UnitTicks(std::string_view unit) {
  if (unit == "ms") return DateTime::kTicksPerMillisecond;
  if (unit == "s") return DateTime::kTicksPerSecond;
  if (unit == "m" || unit == "min") return kTicksPerMinute;
  if (unit == "h") return kTicksPerHour;
  if (unit == "d") return DateTime::kTicksPerDay;
  if (unit == "w") return 7 * DateTime::kTicksPerDay;
  return std::nullopt;
}

// "+1h30m" or "-90m" as signed ticks; nothing when text is not of that form.
std::optional<int64_t> RelativeTicks(std::string_view text) {
  if (text.size() < 3 || (text[0] != '+' && text[0] != '-')) return std::nullopt;
  const int64_t sign = text[0] == '-' ? -1 : 1;
  int64_t total = 0;
  std::size_t i = 1;
  while (i < text.size()) {
    const std::size_t start = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    int64_t count = 0;
    const auto [end, error] = std::from_chars(text.data() + start, text.data() + i, count);
    if (i == start || error != std::errc() || count > 1'000'000'000) return std::nullopt;
    const std::size_t unitStart = i;
    while (i < text.size() && !IsDigit(text[i])) ++i;
    const auto unit = UnitTicks(text.substr(unitStart, i - unitStart));
    if (!unit || count > DateTime::kMaxTicks / *unit || total > DateTime::kMaxTicks - count * *unit) {
      return std::nullopt;
    }
    total += count * *unit;
  }
  return sign * total;
}

// "1709769600" or "1709769600.25": seconds since 1970 as ticks from 0001.
std::optional<int64_t> EpochTicks(std::string_view text) {
  if (!text.empty() && text.front() == '@') text.remove_prefix(1);
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction = point == std::string_view::npos ? "" : text.substr(point + 1);
  if (whole.empty() || whole.size() > 11 || fraction.size() > 7) return std::nullopt;
  for (char c : whole) {
    if (!IsDigit(c)) return std::nullopt;
  }
  for (char c : fraction) {
    if (!IsDigit(c)) return std::nullopt;
  }
  if (point != std::string_view::npos && fraction.empty()) return std::nullopt;
  int64_t seconds = 0;
  std::from_chars(whole.data(), whole.data() + whole.size(), seconds);
  int64_t ticks = 0;
  std::string padded = std::string(fraction) + std::string(7 - fraction.size(), '0');
  std::from_chars(padded.data(), padded.data() + padded.size(), ticks);
  return DateTime::kUnixEpochTicks + seconds * DateTime::kTicksPerSecond + ticks;
}

DateTime Shift(const DateTime& time, int64_t ticks, std::string_view text) {
  try {
    return time.AddTicks(ticks);
  } catch (const platform::Exception&) {
    throw UsageError(fmt::format("'{}' lies outside the years 1 to 9999", text));
  }
}

// Local midnight of the day `daysBack` days before today, as local wall time.
DateTime LocalMidnight(const DateTime& nowUtc, int daysBack) {
  const DateTime local = platform::ToLocalTime(nowUtc);
  const DateTime midnight(local.Ticks() - local.Ticks() % DateTime::kTicksPerDay, DateTimeKind::Local);
  return midnight.AddTicks(-daysBack * DateTime::kTicksPerDay);
}

std::string OffsetText(const DateTime& local, const DateTime& instant) {
  const int64_t minutes = (local.Ticks() - instant.Ticks()) / kTicksPerMinute;
  const int64_t size = minutes < 0 ? -minutes : minutes;
  return fmt::format("{}{:02}:{:02}", minutes < 0 ? '-' : '+', size / 60, size % 60);
}

// A local wall-clock time as the one UTC instant it names; a time that does
// not exist, or exists twice without a choice, is refused.
DateTime LocalToUtc(const DateTime& local, std::string_view text) {
  const std::vector<DateTime> instants = platform::LocalTimeInstants(local);
  if (instants.size() == 1) return instants.front();
  if (instants.empty()) {
    throw UsageError(fmt::format("'{}' does not exist in {}: a daylight-saving change skips it; write a time "
                                 "before or after the change, or give an offset",
                                 text, LocalZoneName()));
  }
  switch (repeatedTimeChoice.load()) {
    case RepeatedTime::kEarlier: return instants.front();
    case RepeatedTime::kLater: return instants.back();
    case RepeatedTime::kRefuse: break;
  }
  throw UsageError(fmt::format("'{}' occurs twice in {}: write it with its offset ({}{} or {}{}), or add "
                               "--earlier or --later",
                               text, LocalZoneName(), text, OffsetText(local, instants.front()), text,
                               OffsetText(local, instants.back())));
}

// Any text DateTime::Parse takes; without a zone it is local time.
DateTime ParseCalendarTime(std::string_view text) {
  DateTime parsed;
  try {
    parsed = DateTime::Parse(text);
  } catch (const platform::Exception&) {
    NotATime(text);
  }
  if (parsed.Kind() == DateTimeKind::Utc) return parsed;
  return LocalToUtc(parsed, text).WithKind(DateTimeKind::Utc);
}

// The database keeps times as 32-bit seconds since 1970: a time outside
// that range cannot be stored or asked for.
constexpr int64_t kFirstStoredSeconds = INT32_MIN;
constexpr int64_t kLastStoredSeconds = INT32_MAX;

DateTime Stored(const DateTime& time, std::string_view text) {
  const int64_t seconds = (time.Ticks() - DateTime::kUnixEpochTicks) / DateTime::kTicksPerSecond;
  if (seconds < kFirstStoredSeconds || seconds > kLastStoredSeconds) {
    throw UsageError(fmt::format("'{}' lies outside the times the database keeps, 1901-12-13 20:45:52 to "
                                 "2038-01-19 03:14:07 UTC",
                                 text));
  }
  return time;
}

// Any form of kTimeForms, before the range check.
DateTime ParseAnyTime(std::string_view text, const DateTime& now) {
  const DateTime nowUtc = now.WithKind(DateTimeKind::Utc);
  if (text == "now") return nowUtc;
  if (text.rfind("now", 0) == 0 && text.size() > 3) {
    if (const auto ticks = RelativeTicks(text.substr(3))) return Shift(nowUtc, *ticks, text);
    NotATime(text);
  }
  if (const auto ticks = RelativeTicks(text)) return Shift(nowUtc, *ticks, text);
  for (const auto& [word, daysBack] : {std::pair{std::string_view("today"), 0}, {"yesterday", 1}}) {
    if (text.rfind(word, 0) != 0) continue;
    const std::string_view rest = text.substr(word.size());
    const DateTime midnight = LocalMidnight(nowUtc, daysBack);
    if (rest.empty()) return platform::ToUniversalTime(midnight).WithKind(DateTimeKind::Utc);
    if (rest.front() != ' ' && rest.front() != 'T') NotATime(text);
    const std::string date = fmt::format("{:04}-{:02}-{:02}", midnight.Year(), midnight.Month(), midnight.Day());
    return ParseCalendarTime(date + std::string(rest));
  }
  if (const auto ticks = EpochTicks(text)) {
    if (*ticks > DateTime::kMaxTicks) NotATime(text);
    return DateTime(*ticks, DateTimeKind::Utc);
  }
  return ParseCalendarTime(text);
}

}  // namespace

void SetRepeatedTimeChoice(RepeatedTime choice) { repeatedTimeChoice.store(choice); }

std::string LocalZoneName() {
  const char* zone = std::getenv("TZ");
  if (zone == nullptr || *zone == '\0') return "local time";
  return std::string(*zone == ':' ? zone + 1 : zone);
}

DateTime ParseTime(std::string_view text, const DateTime& now) { return Stored(ParseAnyTime(text, now), text); }

}  // namespace vantrel::cli
