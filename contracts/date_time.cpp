#include "contracts/date_time.h"

#include <algorithm>
#include <array>
#include <optional>

#include <fmt/format.h>

#include "platform/exceptions.h"

namespace vantrel::contracts {
namespace {

using platform::ArgumentOutOfRangeException;
using platform::FormatException;

constexpr int64_t kTicksPerMinute = 60 * DateTime::kTicksPerSecond;
constexpr int64_t kTicksPerHour = 60 * kTicksPerMinute;
constexpr int64_t kDaysPer400Years = 146'097;
constexpr int64_t kDaysPer100Years = 36'524;
constexpr int64_t kDaysPer4Years = 1'461;
constexpr int64_t kDaysPerYear = 365;
constexpr int kMaxYear = 9999;
constexpr int kFractionDigits = 7;
constexpr std::string_view kLocalSuffix = "[local]";

// Days before the first of each month, and the total, for common and leap years.
constexpr std::array<int, 13> kDaysToMonth365 = {0,   31,  59,  90,  120, 151, 181,
                                                 212, 243, 273, 304, 334, 365};
constexpr std::array<int, 13> kDaysToMonth366 = {0,   31,  60,  91,  121, 152, 182,
                                                 213, 244, 274, 305, 335, 366};

static_assert(DateTime::kMaxTicks + 1 == 3'652'059 * DateTime::kTicksPerDay,
              "kMaxTicks is the last tick of 9999-12-31");

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

const std::array<int, 13>& DaysToMonth(int year) {
  return IsLeapYear(year) ? kDaysToMonth366 : kDaysToMonth365;
}

struct CivilDate {
  int year;
  int month;
  int day;
};

// Proleptic Gregorian date of a day number counted from 0001-01-01.
CivilDate CivilFromDays(int64_t days) {
  const int64_t cycles400 = days / kDaysPer400Years;
  days -= cycles400 * kDaysPer400Years;
  // The last day of a 400-year cycle belongs to the fourth century, not a fifth.
  const int64_t cycles100 = std::min<int64_t>(days / kDaysPer100Years, 3);
  days -= cycles100 * kDaysPer100Years;
  const int64_t cycles4 = days / kDaysPer4Years;
  days -= cycles4 * kDaysPer4Years;
  const int64_t years = std::min<int64_t>(days / kDaysPerYear, 3);
  days -= years * kDaysPerYear;

  CivilDate date{};
  date.year = static_cast<int>(cycles400 * 400 + cycles100 * 100 + cycles4 * 4 + years + 1);
  const auto& toMonth = DaysToMonth(date.year);
  date.month = 1;
  while (days >= toMonth[date.month]) ++date.month;
  date.day = static_cast<int>(days - toMonth[date.month - 1]) + 1;
  return date;
}

struct TimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int64_t fractionTicks = 0;  // below one second
};

// Ticks of a calendar date and time, or nothing when a field is out of range.
std::optional<int64_t> TryMakeTicks(int year, int month, int day, const TimeOfDay& time) {
  if (year < 1 || year > kMaxYear || month < 1 || month > 12) return std::nullopt;
  const auto& toMonth = DaysToMonth(year);
  if (day < 1 || day > toMonth[month] - toMonth[month - 1]) return std::nullopt;
  if (time.hour < 0 || time.hour > 23 || time.minute < 0 || time.minute > 59 || time.second < 0 ||
      time.second > 59 || time.fractionTicks < 0 ||
      time.fractionTicks >= DateTime::kTicksPerSecond) {
    return std::nullopt;
  }
  const int64_t y = year - 1;
  const int64_t days = y * kDaysPerYear + y / 4 - y / 100 + y / 400 + toMonth[month - 1] + day - 1;
  return days * DateTime::kTicksPerDay + time.hour * kTicksPerHour + time.minute * kTicksPerMinute +
         time.second * DateTime::kTicksPerSecond + time.fractionTicks;
}

[[noreturn]] void RaiseTicksOutOfRange(int64_t ticks) {
  throw ArgumentOutOfRangeException(
      fmt::format("Ticks {} lie outside the range of a DateTime (0 to {}).", ticks, DateTime::kMaxTicks));
}

// Reads the pieces of a date text from left to right; every reader returns
// false (or nothing) when the text does not continue as expected.
class TextReader {
 public:
  explicit TextReader(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  bool Accept(char c) {
    if (Peek() != c || AtEnd()) return false;
    ++pos_;
    return true;
  }
  bool AcceptSuffix(std::string_view suffix) {
    if (text_.substr(pos_).ends_with(suffix)) {
      text_.remove_suffix(suffix.size());
      return true;
    }
    return false;
  }
  // A number of minDigits to maxDigits decimal digits.
  std::optional<int> Number(size_t minDigits, size_t maxDigits) {
    size_t count = 0;
    int value = 0;
    while (count < maxDigits && pos_ + count < text_.size() && IsDigit(text_[pos_ + count])) {
      value = value * 10 + (text_[pos_ + count] - '0');
      ++count;
    }
    if (count < minDigits) return std::nullopt;
    pos_ += count;
    return value;
  }
  // One to seven fraction digits after the decimal point, as ticks.
  std::optional<int64_t> Fraction() {
    int64_t ticks = 0;
    size_t count = 0;
    while (pos_ < text_.size() && IsDigit(text_[pos_])) {
      if (++count > kFractionDigits) return std::nullopt;
      ticks = ticks * 10 + (text_[pos_++] - '0');
    }
    if (count == 0) return std::nullopt;
    for (size_t i = count; i < kFractionDigits; ++i) ticks *= 10;
    return ticks;
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  std::string_view text_;
  size_t pos_ = 0;
};

struct ParsedDateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  TimeOfDay time;
  bool hasTime = false;
  DateTimeKind kind = DateTimeKind::Unspecified;
  int64_t offsetTicks = 0;  // subtracted to reach UTC
};

// "H:mm[:ss[.fffffff]]" (hour of minHourDigits to 2 digits).
bool ReadTime(TextReader& reader, size_t minHourDigits, TimeOfDay& time) {
  const auto hour = reader.Number(minHourDigits, 2);
  if (!hour || !reader.Accept(':')) return false;
  const auto minute = reader.Number(2, 2);
  if (!minute) return false;
  time.hour = *hour;
  time.minute = *minute;
  if (!reader.Accept(':')) return true;
  const auto second = reader.Number(2, 2);
  if (!second) return false;
  time.second = *second;
  if (!reader.Accept('.')) return true;
  const auto fraction = reader.Fraction();
  if (!fraction) return false;
  time.fractionTicks = *fraction;
  return true;
}

// "Z", or "+hh[:mm]" / "+hhmm" / "-..." after an ISO time.
bool ReadZone(TextReader& reader, ParsedDateTime& parsed) {
  if (reader.Accept('Z') || reader.Accept('z')) {
    parsed.kind = DateTimeKind::Utc;
    return true;
  }
  const bool negative = reader.Peek() == '-';
  if (!reader.Accept('+') && !reader.Accept('-')) return true;
  const auto hours = reader.Number(2, 2);
  if (!hours) return false;
  const bool minutesFollow = reader.Accept(':') || !reader.AtEnd();
  const int minutes = minutesFollow ? reader.Number(2, 2).value_or(-1) : 0;
  if (*hours > 14 || minutes < 0 || minutes > 59) return false;
  parsed.kind = DateTimeKind::Utc;
  parsed.offsetTicks = (*hours * kTicksPerHour + minutes * kTicksPerMinute) * (negative ? -1 : 1);
  return true;
}

// "yyyy-MM-dd[(T| )HH:mm[:ss[.f]][zone]]"
bool ReadIso(TextReader& reader, ParsedDateTime& parsed) {
  const auto year = reader.Number(4, 4);
  if (!year || !reader.Accept('-')) return false;
  const auto month = reader.Number(2, 2);
  if (!month || !reader.Accept('-')) return false;
  const auto day = reader.Number(2, 2);
  if (!day) return false;
  parsed.year = *year;
  parsed.month = *month;
  parsed.day = *day;
  if (reader.AtEnd()) return true;
  if (!reader.Accept('T') && !reader.Accept(' ')) return false;
  parsed.hasTime = true;
  return ReadTime(reader, 2, parsed.time) && ReadZone(reader, parsed);
}

// "M/d/yyyy[ H:mm[:ss[.f]]]"
bool ReadGeneral(TextReader& reader, ParsedDateTime& parsed) {
  const auto month = reader.Number(1, 2);
  if (!month || !reader.Accept('/')) return false;
  const auto day = reader.Number(1, 2);
  if (!day || !reader.Accept('/')) return false;
  const auto year = reader.Number(4, 4);
  if (!year) return false;
  parsed.year = *year;
  parsed.month = *month;
  parsed.day = *day;
  if (reader.AtEnd()) return true;
  if (!reader.Accept(' ')) return false;
  parsed.hasTime = true;
  return ReadTime(reader, 1, parsed.time);
}

std::string_view TrimBlanks(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::optional<DateTime> TryParse(std::string_view text) {
  TextReader reader(text);
  ParsedDateTime parsed;
  const bool local = reader.AcceptSuffix(kLocalSuffix);
  const bool iso = text.size() > 4 && text[4] == '-';
  if (!(iso ? ReadIso(reader, parsed) : ReadGeneral(reader, parsed)) || !reader.AtEnd()) {
    return std::nullopt;
  }
  if (local) {
    if (parsed.kind != DateTimeKind::Unspecified) return std::nullopt;  // "Z[local]"
    parsed.kind = DateTimeKind::Local;
  }
  const auto ticks = TryMakeTicks(parsed.year, parsed.month, parsed.day, parsed.time);
  if (!ticks) return std::nullopt;
  const int64_t utcTicks = *ticks - parsed.offsetTicks;
  if (utcTicks < 0 || utcTicks > DateTime::kMaxTicks) return std::nullopt;
  return DateTime(utcTicks, parsed.kind);
}

}  // namespace

constinit const DateTime DateTime::MinValue{};
constinit const DateTime DateTime::MaxValue{kMaxTicks, DateTimeKind::Unspecified, Unchecked{}};

void DateTime::ThrowTicksOutOfRange(int64_t ticks) { RaiseTicksOutOfRange(ticks); }

DateTime::DateTime(int year, int month, int day, int hour, int minute, int second, int millisecond,
                   DateTimeKind kind)
    : kind_(kind) {
  const bool millisecondValid = millisecond >= 0 && millisecond < 1000;
  const auto ticks = TryMakeTicks(
      year, month, day,
      {hour, minute, second, millisecondValid ? millisecond * kTicksPerMillisecond : -1});
  if (!ticks) {
    throw ArgumentOutOfRangeException(
        fmt::format("{}-{}-{} {}:{}:{}.{} is not a valid date and time.", year, month, day, hour,
                    minute, second, millisecond));
  }
  ticks_ = *ticks;
}

DateTime DateTime::UnixEpoch() { return DateTime(kUnixEpochTicks, DateTimeKind::Utc, Unchecked{}); }

int DateTime::Year() const { return CivilFromDays(ticks_ / kTicksPerDay).year; }
int DateTime::Month() const { return CivilFromDays(ticks_ / kTicksPerDay).month; }
int DateTime::Day() const { return CivilFromDays(ticks_ / kTicksPerDay).day; }
int DateTime::Hour() const { return static_cast<int>(ticks_ / kTicksPerHour % 24); }
int DateTime::Minute() const { return static_cast<int>(ticks_ / kTicksPerMinute % 60); }
int DateTime::Second() const { return static_cast<int>(ticks_ / kTicksPerSecond % 60); }
int DateTime::Millisecond() const { return static_cast<int>(ticks_ / kTicksPerMillisecond % 1000); }

DateTime DateTime::AddTicks(int64_t ticks) const {
  // Compared before adding so that the sum cannot overflow.
  if (ticks > kMaxTicks - ticks_ || ticks < -ticks_) {
    throw ArgumentOutOfRangeException(
        fmt::format("Adding {} ticks to {} leaves the range of a DateTime.", ticks, ToIsoString()));
  }
  return DateTime(ticks_ + ticks, kind_, Unchecked{});
}

DateTime DateTime::AddMilliseconds(double milliseconds) const {
  // Whole milliseconds, halves away from zero. The bound also rejects NaN
  // and infinities before the conversion to an integer.
  constexpr double kMaxMilliseconds = static_cast<double>((kMaxTicks + 1) / kTicksPerMillisecond);
  const double rounded = milliseconds + (milliseconds >= 0 ? 0.5 : -0.5);
  if (!(rounded > -kMaxMilliseconds && rounded < kMaxMilliseconds)) {
    throw ArgumentOutOfRangeException(
        fmt::format("Adding {} milliseconds leaves the range of a DateTime.", milliseconds));
  }
  return AddTicks(static_cast<int64_t>(rounded) * kTicksPerMillisecond);
}

DateTime DateTime::AddSeconds(double seconds) const { return AddMilliseconds(seconds * 1000.0); }

namespace {

// Writes value as exactly width decimal digits (value < 10^width) and returns the end.
char* PutDigits(char* out, int64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

// Two digits, for the many two-digit parts of a time.
char* PutTwoDigits(char* out, int value) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
  return out + 2;
}

// "yyyy-MM-ddTHH:mm:ss.fffffff" (27 characters) for ticks of the DateTime range.
char* PutIsoDateTime(char* out, int64_t ticks, int hour, int minute, int second) {
  // "yyyy-MM-dd" of the last day this thread wrote: the values of one read
  // mostly share their day, and a JSON answer writes thousands of them.
  struct LastDay {
    int64_t day = -1;
    std::array<char, 10> text{};
  };
  thread_local LastDay last;
  const int64_t day = ticks / DateTime::kTicksPerDay;
  if (day != last.day) {
    const CivilDate date = CivilFromDays(day);
    char* at = PutDigits(last.text.data(), date.year, 4);
    *at++ = '-';
    at = PutTwoDigits(at, date.month);
    *at++ = '-';
    PutTwoDigits(at, date.day);
    last.day = day;
  }
  out = std::copy(last.text.begin(), last.text.end(), out);
  *out++ = 'T';
  out = PutTwoDigits(out, hour);
  *out++ = ':';
  out = PutTwoDigits(out, minute);
  *out++ = ':';
  out = PutTwoDigits(out, second);
  *out++ = '.';
  return PutDigits(out, ticks % DateTime::kTicksPerSecond, 7);
}

}  // namespace

std::string DateTime::ToIsoString() const {
  TextBuffer buffer;
  char* end = PutIsoDateTime(buffer.data(), ticks_, Hour(), Minute(), Second());
  if (kind_ == DateTimeKind::Utc) *end++ = 'Z';
  return std::string(buffer.data(), end);
}

std::string_view DateTime::ToRoundTripText(TextBuffer& buffer) const {
  char* end = PutIsoDateTime(buffer.data(), ticks_, Hour(), Minute(), Second());
  if (kind_ == DateTimeKind::Utc) *end++ = 'Z';
  if (kind_ == DateTimeKind::Local) end = std::copy(kLocalSuffix.begin(), kLocalSuffix.end(), end);
  return std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.data()));
}

std::string DateTime::ToRoundTripString() const {
  TextBuffer buffer;
  return std::string(ToRoundTripText(buffer));
}

std::string DateTime::ToGeneralString() const {
  const CivilDate date = CivilFromDays(ticks_ / kTicksPerDay);
  return fmt::format("{}/{}/{:04} {}:{:02}:{:02}", date.month, date.day, date.year, Hour(),
                     Minute(), Second());
}

DateTime DateTime::Parse(std::string_view text) {
  if (const auto parsed = TryParse(TrimBlanks(text))) return *parsed;
  throw FormatException(fmt::format("String '{}' was not recognized as a valid DateTime.", text));
}

}  // namespace vantrel::contracts
