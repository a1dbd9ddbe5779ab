// DateTime: a calendar date and time with 100-nanosecond resolution and a
// kind (UTC, local or unspecified), counted in ticks from 0001-01-01
// 00:00:00. Equality and ordering compare ticks only, whatever the kind.
// A plain value type: copy freely; safe to share between threads.
// Conversions between local time and UTC need the time zone and live in
// platform/time_zone.h.
#ifndef VANTREL_CONTRACTS_DATE_TIME_H_
#define VANTREL_CONTRACTS_DATE_TIME_H_

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::contracts {

enum class DateTimeKind { Unspecified = 0, Utc = 1, Local = 2 };

class DateTime {
 public:
  static constexpr int64_t kTicksPerMillisecond = 10'000;
  static constexpr int64_t kTicksPerSecond = 10'000'000;
  static constexpr int64_t kTicksPerDay = 864'000'000'000;
  static constexpr int64_t kMaxTicks = 3'155'378'975'999'999'999;  // 9999-12-31 23:59:59.9999999
  static constexpr int64_t kUnixEpochTicks = 621'355'968'000'000'000;  // 1970-01-01
  static constexpr int64_t kFileTimeEpochTicks = 504'911'232'000'000'000;  // 1601-01-01

  // 0001-01-01 00:00:00, kind unspecified.
  constexpr DateTime() = default;
  // Throws ArgumentOutOfRangeException when ticks lie outside [0, kMaxTicks].
  explicit DateTime(int64_t ticks, DateTimeKind kind = DateTimeKind::Unspecified) : ticks_(ticks), kind_(kind) {
    if (ticks < 0 || ticks > kMaxTicks) ThrowTicksOutOfRange(ticks);
  }
  // Calendar fields; throws ArgumentOutOfRangeException for an invalid date.
  DateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
           int millisecond = 0, DateTimeKind kind = DateTimeKind::Unspecified);

  static const DateTime MinValue;
  static const DateTime MaxValue;
  // Midnight of 1970-01-01 UTC.
  static DateTime UnixEpoch();

  constexpr int64_t Ticks() const { return ticks_; }
  constexpr DateTimeKind Kind() const { return kind_; }
  DateTime WithKind(DateTimeKind kind) const { return DateTime(ticks_, kind); }

  int Year() const;
  int Month() const;
  int Day() const;
  int Hour() const;
  int Minute() const;
  int Second() const;
  int Millisecond() const;

  // Arithmetic keeps the kind; a result outside the range throws
  // ArgumentOutOfRangeException.
  DateTime AddTicks(int64_t ticks) const;
  DateTime AddMilliseconds(double milliseconds) const;  // rounded to whole ms, as .NET does
  DateTime AddSeconds(double seconds) const;

  // ISO-8601 text with seven fraction digits: "2024-03-31T01:59:59.1234567",
  // followed by "Z" for UTC. Local and unspecified times carry no suffix.
  std::string ToIsoString() const;
  // ToIsoString, and for a local time the suffix "[local]", so that Parse
  // gives back both the ticks and the kind: "2024-03-31T01:59:59.1234567[local]".
  std::string ToRoundTripString() const;
  // The same text written into buffer, without an allocation (for answers
  // that carry thousands of times); valid while buffer is.
  using TextBuffer = std::array<char, 40>;
  std::string_view ToRoundTripText(TextBuffer& buffer) const;
  // The general date/time form of the invariant culture, "M/d/yyyy H:mm:ss"
  // (for example "3/7/2024 9:05:01"), used in log lines.
  std::string ToGeneralString() const;

  // Parses ISO-8601 forms ("yyyy-MM-dd", "yyyy-MM-ddTHH:mm[:ss[.fffffff]]",
  // with "T" or a blank) and the invariant culture forms "M/d/yyyy" and
  // "M/d/yyyy H:mm[:ss[.fffffff]]"; blanks around the text are ignored.
  // After an ISO time, "Z" gives kind UTC and an offset ("+hh:mm", "+hhmm",
  // "+hh", or with "-") gives the same instant converted to UTC, kind UTC;
  // the suffix "[local]" (see ToRoundTripString) gives kind local; no suffix
  // gives kind unspecified. Throws FormatException for any other text, for
  // an invalid date and for a result outside the range.
  static DateTime Parse(std::string_view text);

  friend constexpr bool operator==(const DateTime& a, const DateTime& b) {
    return a.ticks_ == b.ticks_;
  }
  friend constexpr std::strong_ordering operator<=>(const DateTime& a, const DateTime& b) {
    return a.ticks_ <=> b.ticks_;
  }

 private:
  struct Unchecked {};
  // For ticks already known to be in range; usable in constant initialisation.
  constexpr DateTime(int64_t ticks, DateTimeKind kind, Unchecked) : ticks_(ticks), kind_(kind) {}
  // Kept out of line: the checking constructor stays small enough to inline.
  [[noreturn]] static void ThrowTicksOutOfRange(int64_t ticks);

  int64_t ticks_ = 0;
  DateTimeKind kind_ = DateTimeKind::Unspecified;
};

}  // namespace vantrel::contracts

#endif  // VANTREL_CONTRACTS_DATE_TIME_H_
