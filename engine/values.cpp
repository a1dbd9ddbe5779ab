#include "engine/values.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/errors.h"
#include "engine/view.h"

namespace dorvik {
namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr int64_t kMicrosPerDay = 86'400 * kMicrosPerSecond;

template <typename T>
void Put(std::byte* out, std::size_t offset, T value) {
  std::memcpy(out + offset, &value, sizeof value);
}

template <typename T>
T Get(const std::byte* in, std::size_t offset) {
  T value;
  std::memcpy(&value, in + offset, sizeof value);
  return value;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\0')) {
    text.remove_suffix(1);
  }
  return text;
}

// A fixed-width text without its blank (or zero) padding.
std::string_view TrimPadding(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return text;
}

bool ParseDouble(std::string_view text, double& out) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

int16_t RealToInteger(double value, int64_t& out) {
  if (!std::isfinite(value)) return kErrConversion;
  const double rounded = RoundHalfEven(value);
  // 2^63 is exactly representable; int64 covers [-2^63, 2^63).
  if (rounded < -9223372036854775808.0 || rounded >= 9223372036854775808.0) return kErrOutOfRange;
  out = static_cast<int64_t>(rounded);
  return kOk;
}

template <typename T>
int16_t NarrowInteger(const Scalar& value, T& out) {
  int64_t wide = 0;
  if (int16_t code = ToInteger(value, wide); code != kOk) return code;
  if (wide < std::numeric_limits<T>::min() || wide > std::numeric_limits<T>::max()) return kErrOutOfRange;
  out = static_cast<T>(wide);
  return kOk;
}

int16_t ToFloat(const Scalar& value, float& out) {
  double wide = 0;
  if (int16_t code = ToReal(value, wide); code != kOk) return code;
  if (std::isfinite(wide) && std::fabs(wide) > std::numeric_limits<float>::max()) return kErrOutOfRange;
  out = static_cast<float>(wide);
  return kOk;
}

int16_t PutTime(std::byte* out, std::size_t offset, Micros time) {
  XUSTS native{};
  if (!ToXusts(time, native)) return kErrOutOfRange;
  Put(out, offset, native);
  return kOk;
}

// STATUS/LEVEL/TIME of the quality records; the offsets differ per record.
template <typename Record>
int16_t PutQuality(std::byte* out, const Quality& quality) {
  Put(out, offsetof(Record, STATUS), quality.status);
  Put(out, offsetof(Record, LEVEL), quality.level);
  return PutTime(out, offsetof(Record, TIME), quality.time);
}

template <typename Record>
void GetQuality(const std::byte* in, Quality& quality) {
  quality.status = Get<int16_t>(in, offsetof(Record, STATUS));
  quality.level = Get<int16_t>(in, offsetof(Record, LEVEL));
  quality.time = ToMicros(Get<XUSTS>(in, offsetof(Record, TIME)));
}

int16_t EncodeText(const View& view, const Scalar& value, const Quality& quality,
                   std::byte* out, char* scratch) {
  char* textPointer = Get<char*>(out, offsetof(TVANDQU, TEXT));
  const auto capacity = Get<int16_t>(out, offsetof(TVANDQU, LENGTH));
  if (textPointer == nullptr || capacity <= 0) return kErrBadArgument;
  const std::string_view text = ToText(view, value, scratch);
  const auto count = static_cast<int16_t>(std::min<std::size_t>(text.size(), static_cast<std::size_t>(capacity - 1)));
  std::memcpy(textPointer, text.data(), static_cast<std::size_t>(count));
  Put(out, offsetof(TVANDQU, LENGTH), count);
  return PutQuality<TVANDQU>(out, quality);
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2);
}

unsigned DaysInMonth(int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads 1 to maxDigits decimal digits.
bool ReadNumber(std::string_view& text, std::size_t minDigits, std::size_t maxDigits, int64_t& out) {
  std::size_t count = 0;
  out = 0;
  while (count < text.size() && count < maxDigits && text[count] >= '0' && text[count] <= '9') {
    out = out * 10 + (text[count] - '0');
    ++count;
  }
  text.remove_prefix(count);
  return count >= minDigits;
}

bool Expect(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

struct CivilTime {
  int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micros = 0;
};

bool ParseClock(std::string_view& text, CivilTime& t, bool twoDigitHour) {
  if (!ReadNumber(text, twoDigitHour ? 2 : 1, 2, t.hour) || !Expect(text, ':') ||
      !ReadNumber(text, 2, 2, t.minute)) {
    return false;
  }
  if (!text.empty() && text.front() == ':') {
    text.remove_prefix(1);
    if (!ReadNumber(text, 2, 2, t.second)) return false;
    if (!text.empty() && (text.front() == '.' || text.front() == ',')) {
      text.remove_prefix(1);
      std::size_t digits = 0;
      while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        if (digits < 6) t.micros = t.micros * 10 + (text.front() - '0');
        ++digits;
        text.remove_prefix(1);
      }
      if (digits == 0) return false;
      for (std::size_t i = digits; i < 6; ++i) t.micros *= 10;
    }
  }
  return true;
}

bool ParseIso(std::string_view text, CivilTime& t) {
  if (!ReadNumber(text, 4, 4, t.year) || !Expect(text, '-') || !ReadNumber(text, 2, 2, t.month) ||
      !Expect(text, '-') || !ReadNumber(text, 2, 2, t.day)) {
    return false;
  }
  if (!text.empty() && (text.front() == 'T' || text.front() == ' ')) {
    text.remove_prefix(1);
    if (!ParseClock(text, t, true)) return false;
  }
  if (!text.empty() && text.front() == 'Z') text.remove_prefix(1);
  return text.empty();
}

bool ParseGeneral(std::string_view text, CivilTime& t) {
  if (!ReadNumber(text, 1, 2, t.month) || !Expect(text, '/') || !ReadNumber(text, 1, 2, t.day) ||
      !Expect(text, '/') || !ReadNumber(text, 4, 4, t.year)) {
    return false;
  }
  if (!text.empty()) {
    if (!Expect(text, ' ') || !ParseClock(text, t, false)) return false;
  }
  return text.empty();
}

}  // namespace

int32_t ValueSize(int16_t type) {
  if (type > 0) return type;
  switch (type) {
    case api::kTypeRecordId: return 4;
    case api::kTypeRecordAndField: return sizeof(IDANDFT);
    case api::kTypeInt16: return 2;
    case api::kTypeInt32: return 4;
    case api::kTypeFloat: return 4;
    case api::kTypeDouble: return 8;
    case api::kTypeTime: return sizeof(XUSTS);
    case api::kTypeInt16Quality: return sizeof(SVANDQU);
    case api::kTypeInt32Quality: return sizeof(LVANDQU);
    case api::kTypeFloatQuality: return sizeof(RVANDQU);
    case api::kTypeDoubleQuality: return sizeof(DVANDQU);
    case api::kTypeTextQuality: return sizeof(TVANDQU);
    default: return 0;
  }
}

int32_t SlotStride(int16_t type) {
  if (type > 0) return type + (type & 1);
  return ValueSize(type);
}

bool CarriesQuality(int16_t type) {
  return (type >= api::kTypeDoubleQuality && type <= api::kTypeInt16Quality) || type == api::kTypeTextQuality;
}

double RoundHalfEven(double value) {
  const double floor = std::floor(value);
  const double fraction = value - floor;
  if (fraction > 0.5) return floor + 1;
  if (fraction < 0.5) return floor;
  return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

int16_t ToInteger(const Scalar& value, int64_t& out) {
  switch (value.kind) {
    case Scalar::Kind::kInteger:
    case Scalar::Kind::kReference:
      out = value.number;
      return kOk;
    case Scalar::Kind::kReal:
      return RealToInteger(value.real, out);
    case Scalar::Kind::kText: {
      std::string_view text = TrimBlanks(value.text);
      if (!text.empty() && text.front() == '+') text.remove_prefix(1);
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
      if (!text.empty() && error == std::errc() && end == text.data() + text.size()) return kOk;
      if (error == std::errc::result_out_of_range) return kErrOutOfRange;
      double real = 0;
      if (!ParseDouble(value.text, real)) return kErrConversion;
      return RealToInteger(real, out);
    }
    case Scalar::Kind::kTime:
      break;
  }
  return kErrConversion;
}

int16_t ToReal(const Scalar& value, double& out) {
  switch (value.kind) {
    case Scalar::Kind::kInteger:
    case Scalar::Kind::kReference:
      out = static_cast<double>(value.number);
      return kOk;
    case Scalar::Kind::kReal:
      out = value.real;
      return kOk;
    case Scalar::Kind::kText:
      return ParseDouble(value.text, out) ? kOk : kErrConversion;
    case Scalar::Kind::kTime:
      break;
  }
  return kErrConversion;
}

int16_t ToTime(const Scalar& value, Micros& out) {
  if (value.kind == Scalar::Kind::kTime) {
    out = value.number;
    return kOk;
  }
  if (value.kind == Scalar::Kind::kText) return ParseTime(TrimBlanks(value.text), out) ? kOk : kErrConversion;
  return kErrConversion;
}

std::string_view ToText(const View& view, const Scalar& value, char* scratch) {
  char* end = scratch;
  switch (value.kind) {
    case Scalar::Kind::kText:
      return value.text;
    case Scalar::Kind::kInteger:
      end = std::to_chars(scratch, scratch + kScratchSize, value.number).ptr;
      break;
    case Scalar::Kind::kReal:
      end = value.single ? std::to_chars(scratch, scratch + kScratchSize, static_cast<float>(value.real)).ptr
                         : std::to_chars(scratch, scratch + kScratchSize, value.real).ptr;
      break;
    case Scalar::Kind::kTime:
      end = scratch + FormatTime(value.number, scratch);
      break;
    case Scalar::Kind::kReference: {
      const std::optional<RecordRef> record = view.FindRecord(static_cast<int32_t>(value.number));
      if (!record) {
        end = std::to_chars(scratch, scratch + kScratchSize, value.number).ptr;
        break;
      }
      if (value.field == 0) return record->name;
      std::memcpy(scratch, record->name.data(), record->name.size());
      end = scratch + record->name.size();
      *end++ = ' ';
      if (const int32_t occurrence = dorvik::api::OccurrenceOf(value.field); occurrence > 0) {
        end = std::to_chars(end, scratch + kScratchSize, occurrence).ptr;
        *end++ = ' ';
      }
      const GlobalField* field = view.FindField(dorvik::api::FieldNumberOf(value.field));
      if (field != nullptr) {
        std::memcpy(end, field->name.data(), field->name.size());
        end += field->name.size();
      } else {
        end = std::to_chars(end, scratch + kScratchSize, value.field).ptr;
      }
      break;
    }
  }
  return std::string_view(scratch, static_cast<std::size_t>(end - scratch));
}

int16_t Encode(const View& view, const Scalar& value, const Quality& quality, int16_t type,
               std::byte* out, char* scratch) {
  if (type > 0) {
    const std::string_view text = ToText(view, value, scratch);
    const std::size_t count = std::min<std::size_t>(text.size(), static_cast<std::size_t>(type));
    std::memcpy(out, text.data(), count);
    std::memset(out + count, ' ', static_cast<std::size_t>(type) - count);
    return kOk;
  }
  int16_t code = kOk;
  switch (type) {
    case api::kTypeRecordId: {
      int32_t id = 0;
      if ((code = NarrowInteger(value, id)) == kOk) Put(out, 0, id);
      return code;
    }
    case api::kTypeRecordAndField: {
      IDANDFT reference{};
      if (value.kind == Scalar::Kind::kReference) {
        reference = IDANDFT{static_cast<int32_t>(value.number), value.field};
      } else if (value.kind != Scalar::Kind::kInteger) {
        return kErrConversion;
      } else if ((code = NarrowInteger(value, reference.ID)) != kOk) {
        return code;
      }
      Put(out, 0, reference);
      return kOk;
    }
    case api::kTypeInt16: {
      int16_t number = 0;
      if ((code = NarrowInteger(value, number)) == kOk) Put(out, 0, number);
      return code;
    }
    case api::kTypeInt32: {
      int32_t number = 0;
      if ((code = NarrowInteger(value, number)) == kOk) Put(out, 0, number);
      return code;
    }
    case api::kTypeFloat: {
      float real = 0;
      if ((code = ToFloat(value, real)) == kOk) Put(out, 0, real);
      return code;
    }
    case api::kTypeDouble: {
      double real = 0;
      if ((code = ToReal(value, real)) == kOk) Put(out, 0, real);
      return code;
    }
    case api::kTypeTime: {
      Micros time = 0;
      if ((code = ToTime(value, time)) != kOk) return code;
      return PutTime(out, 0, time);
    }
    case api::kTypeInt16Quality: {
      int16_t number = 0;
      if ((code = NarrowInteger(value, number)) != kOk) return code;
      Put(out, offsetof(SVANDQU, VALUE), number);
      Put(out, offsetof(SVANDQU, PAD), int16_t{0});
      return PutQuality<SVANDQU>(out, quality);
    }
    case api::kTypeInt32Quality: {
      int32_t number = 0;
      if ((code = NarrowInteger(value, number)) != kOk) return code;
      Put(out, offsetof(LVANDQU, VALUE), number);
      return PutQuality<LVANDQU>(out, quality);
    }
    case api::kTypeFloatQuality: {
      float real = 0;
      if ((code = ToFloat(value, real)) != kOk) return code;
      Put(out, offsetof(RVANDQU, VALUE), real);
      return PutQuality<RVANDQU>(out, quality);
    }
    case api::kTypeDoubleQuality: {
      double real = 0;
      if ((code = ToReal(value, real)) != kOk) return code;
      Put(out, offsetof(DVANDQU, VALUE), real);
      Put(out, offsetof(DVANDQU, PAD), int32_t{0});
      return PutQuality<DVANDQU>(out, quality);
    }
    case api::kTypeTextQuality:
      return EncodeText(view, value, quality, out, scratch);
    default:
      return kErrTypeUnsupported;
  }
}

int16_t Decode(int16_t type, const std::byte* in, Scalar& value, Quality& quality) {
  if (type > 0) {
    value =
        Scalar::Text(TrimPadding(std::string_view(reinterpret_cast<const char*>(in), static_cast<std::size_t>(type))));
    return kOk;
  }
  switch (type) {
    case api::kTypeRecordId: value = Scalar::Reference(Get<int32_t>(in, 0)); return kOk;
    case api::kTypeRecordAndField: {
      const auto reference = Get<IDANDFT>(in, 0);
      value = Scalar::Reference(reference.ID, reference.FT);
      return kOk;
    }
    case api::kTypeInt16: value = Scalar::Integer(Get<int16_t>(in, 0)); return kOk;
    case api::kTypeInt32: value = Scalar::Integer(Get<int32_t>(in, 0)); return kOk;
    case api::kTypeFloat: value = Scalar::Real(Get<float>(in, 0), true); return kOk;
    case api::kTypeDouble: value = Scalar::Real(Get<double>(in, 0)); return kOk;
    case api::kTypeTime: value = Scalar::Time(ToMicros(Get<XUSTS>(in, 0))); return kOk;
    case api::kTypeInt16Quality:
      value = Scalar::Integer(Get<int16_t>(in, offsetof(SVANDQU, VALUE)));
      GetQuality<SVANDQU>(in, quality);
      return kOk;
    case api::kTypeInt32Quality:
      value = Scalar::Integer(Get<int32_t>(in, offsetof(LVANDQU, VALUE)));
      GetQuality<LVANDQU>(in, quality);
      return kOk;
    case api::kTypeFloatQuality:
      value = Scalar::Real(Get<float>(in, offsetof(RVANDQU, VALUE)), true);
      GetQuality<RVANDQU>(in, quality);
      return kOk;
    case api::kTypeDoubleQuality:
      value = Scalar::Real(Get<double>(in, offsetof(DVANDQU, VALUE)));
      GetQuality<DVANDQU>(in, quality);
      return kOk;
    case api::kTypeTextQuality: {
      const auto* text = Get<const char*>(in, offsetof(TVANDQU, TEXT));
      const auto length = Get<int16_t>(in, offsetof(TVANDQU, LENGTH));
      if (length < 0 || (text == nullptr && length > 0)) return kErrBadArgument;
      value = Scalar::Text(std::string_view(length > 0 ? text : "", static_cast<std::size_t>(length)));
      GetQuality<TVANDQU>(in, quality);
      return kOk;
    }
    default:
      return kErrTypeUnsupported;
  }
}

std::size_t FormatTime(Micros time, char* out) {
  int64_t days = time / kMicrosPerDay;
  int64_t rest = time % kMicrosPerDay;
  if (rest < 0) {
    rest += kMicrosPerDay;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  const int64_t seconds = rest / kMicrosPerSecond;
  int64_t micros = rest % kMicrosPerSecond;
  char* end = out;
  auto two = [&end](int64_t value) {
    *end++ = static_cast<char>('0' + value / 10);
    *end++ = static_cast<char>('0' + value % 10);
  };
  if (year < 0 || year > 9999) {
    end = std::to_chars(end, out + kTimeTextSize, year).ptr;
  } else {
    two(year / 100);
    two(year % 100);
  }
  *end++ = '-';
  two(month);
  *end++ = '-';
  two(day);
  *end++ = 'T';
  two(seconds / 3600);
  *end++ = ':';
  two(seconds / 60 % 60);
  *end++ = ':';
  two(seconds % 60);
  if (micros != 0) {
    *end++ = '.';
    int digits = 6;
    while (micros % 10 == 0) {
      micros /= 10;
      --digits;
    }
    char fraction[6];
    for (int i = digits - 1; i >= 0; --i) {
      fraction[i] = static_cast<char>('0' + micros % 10);
      micros /= 10;
    }
    std::memcpy(end, fraction, static_cast<std::size_t>(digits));
    end += digits;
  }
  *end++ = 'Z';
  return static_cast<std::size_t>(end - out);
}

bool ParseTime(std::string_view text, Micros& out) {
  CivilTime t;
  const bool parsed = text.find('/') != std::string_view::npos ? ParseGeneral(text, t) : ParseIso(text, t);
  if (!parsed || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, static_cast<unsigned>(t.month)) || t.hour > 23 || t.minute > 59 ||
      t.second > 59) {
    return false;
  }
  const int64_t days = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
  out = days * kMicrosPerDay + ((t.hour * 60 + t.minute) * 60 + t.second) * kMicrosPerSecond + t.micros;
  return true;
}

bool ToXusts(Micros time, XUSTS& out) {
  int64_t seconds = time / kMicrosPerSecond;
  int64_t micros = time % kMicrosPerSecond;
  if (micros < 0) {
    micros += kMicrosPerSecond;
    --seconds;
  }
  if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  out.SECONDS = static_cast<int32_t>(seconds);
  out.MICROSECS = static_cast<int32_t>(micros);
  return true;
}

Micros Now() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace dorvik
