#include "wire/history_columns.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

namespace vantrel::wire {
namespace {

// The layout is little-endian and the columns are copied as they lie in
// memory, which holds on the machines the host runs on.
static_assert(std::endian::native == std::endian::little, "the columnar answer is written in host byte order");

constexpr std::size_t kHeaderBytes = 16;
constexpr std::size_t kSeriesHeaderBytes = 16;
constexpr std::size_t kFixedBytesPerValue = 8 + 8 + 2 + 2;

std::size_t PaddedTo8(std::size_t bytes) { return (bytes + 7) & ~std::size_t{7}; }

int16_t ClampToInt16(int32_t number) {
  return static_cast<int16_t>(
      std::clamp<int32_t>(number, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max()));
}

// Appends bytes to a body sized up front.
class Writer {
 public:
  explicit Writer(std::size_t bytes) { body_.resize(bytes, '\0'); }
  template <typename T>
  void Put(const T& value) {
    std::memcpy(body_.data() + at_, &value, sizeof(T));
    at_ += sizeof(T);
  }
  void PutBytes(const void* bytes, std::size_t count) {
    if (count != 0) std::memcpy(body_.data() + at_, bytes, count);
    at_ += count;
  }
  // A column of count values of T, each made by make(i).
  template <typename T, typename Make>
  void PutColumn(std::size_t count, Make make) {
    char* out = body_.data() + at_;
    for (std::size_t i = 0; i < count; ++i) {
      const T value = make(i);
      std::memcpy(out + i * sizeof(T), &value, sizeof(T));
    }
    at_ += count * sizeof(T);
  }
  void AlignTo8() { at_ = PaddedTo8(at_); }
  std::string Take() { return std::move(body_); }

 private:
  std::string body_;
  std::size_t at_ = 0;
};

bool HasText(const contracts::Value& value) {
  return std::holds_alternative<std::string>(value) || std::holds_alternative<contracts::DateTime>(value) ||
         std::holds_alternative<contracts::TagIdentifiers>(value);
}

// The text block of values, or "" when none of them is text (the usual
// case, found without building anything).
std::string TextBlock(const contracts::TagValues& values) {
  if (std::none_of(values.begin(), values.end(), [](const auto& value) { return HasText(value.Value); })) return "";
  std::string block;
  for (const auto& value : values) {
    const std::optional<std::string> text = NonNumericText(value.Value);
    const uint32_t length = text ? static_cast<uint32_t>(text->size()) : kNoText;
    block.append(reinterpret_cast<const char*>(&length), sizeof length);
    if (text) block += *text;
  }
  return block;
}

// Reads a columnar body, checking each length against what is left.
class Reader {
 public:
  explicit Reader(std::string_view body) : body_(body) {}
  std::size_t Offset() const { return at_; }
  std::size_t Left() const { return body_.size() - at_; }
  void Need(std::size_t bytes, std::string_view what) const {
    if (bytes > Left()) {
      throw ColumnsFormatError(
          fmt::format("the columnar answer is cut: {} needs {} bytes at offset {}, {} are left", what, bytes, at_,
                      Left()));
    }
  }
  template <typename T>
  T Get(std::string_view what) {
    Need(sizeof(T), what);
    T value;
    std::memcpy(&value, body_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return value;
  }
  template <typename T>
  std::vector<T> GetColumn(std::size_t count, std::string_view what) {
    Need(count * sizeof(T), what);  // count < 2^32, so the product cannot overflow
    std::vector<T> column(count);
    if (count != 0) std::memcpy(column.data(), body_.data() + at_, count * sizeof(T));
    at_ += count * sizeof(T);
    return column;
  }
  std::string_view GetBytes(std::size_t count, std::string_view what) {
    Need(count, what);
    const std::string_view bytes = body_.substr(at_, count);
    at_ += count;
    return bytes;
  }
  void SkipPadding() {
    const std::size_t padded = PaddedTo8(at_);
    Need(padded - at_, "the padding of a series");
    at_ = padded;
  }

 private:
  std::string_view body_;
  std::size_t at_ = 0;
};

std::vector<std::optional<std::string>> DecodeTexts(std::string_view block, std::size_t count) {
  Reader reader(block);
  std::vector<std::optional<std::string>> texts(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto length = reader.Get<uint32_t>("a text's length");
    if (length != kNoText) texts[i] = std::string(reader.GetBytes(length, "a text"));
  }
  if (reader.Left() != 0) {
    throw ColumnsFormatError(fmt::format("the text block holds {} bytes past its {} texts", reader.Left(), count));
  }
  return texts;
}

HistorySeries DecodeSeries(Reader& reader) {
  HistorySeries series;
  series.tagId = reader.Get<int32_t>("a series' tagId");
  series.fieldId = reader.Get<int32_t>("a series' fieldId");
  const auto count = reader.Get<uint32_t>("a series' value count");
  const auto textBytes = reader.Get<uint32_t>("a series' text length");
  // Checked before anything is allocated for the columns.
  reader.Need(static_cast<std::size_t>(count) * kFixedBytesPerValue + textBytes,
              fmt::format("the {} values of {}.{}", count, series.tagId, series.fieldId));
  series.times = reader.GetColumn<int64_t>(count, "times");
  series.values = reader.GetColumn<double>(count, "values");
  series.status = reader.GetColumn<int16_t>(count, "status");
  series.level = reader.GetColumn<int16_t>(count, "level");
  if (textBytes != 0) series.texts = DecodeTexts(reader.GetBytes(textBytes, "the text block"), count);
  reader.SkipPadding();
  return series;
}

}  // namespace

std::optional<std::string> NonNumericText(const contracts::Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* time = std::get_if<contracts::DateTime>(&value)) return time->ToIsoString();
  if (const auto* ids = std::get_if<contracts::TagIdentifiers>(&value)) {
    std::string joined;
    for (const auto& id : *ids) joined += (joined.empty() ? "" : " ") + id.Name;
    return joined;
  }
  return std::nullopt;
}

std::string EncodeHistoryColumns(const contracts::TagValuesByIds& result) {
  std::vector<std::string> textBlocks;
  std::size_t bytes = kHeaderBytes;
  uint32_t seriesCount = 0;
  for (const auto& [tagId, fields] : result) {
    for (const auto& [fieldId, values] : fields) {
      textBlocks.push_back(TextBlock(values));
      bytes += PaddedTo8(kSeriesHeaderBytes + values.size() * kFixedBytesPerValue + textBlocks.back().size());
      ++seriesCount;
    }
  }
  Writer writer(bytes);
  writer.PutBytes(kColumnsMagic.data(), kColumnsMagic.size());
  writer.Put(seriesCount);
  writer.Put(static_cast<uint64_t>(bytes));
  std::size_t series = 0;
  for (const auto& [tagId, fields] : result) {
    for (const auto& [fieldId, fieldValues] : fields) {
      const contracts::TagValues& values = fieldValues;  // a name the column lambdas may capture
      const std::string& texts = textBlocks[series++];
      writer.Put(static_cast<int32_t>(tagId));
      writer.Put(static_cast<int32_t>(fieldId));
      writer.Put(static_cast<uint32_t>(values.size()));
      writer.Put(static_cast<uint32_t>(texts.size()));
      const std::size_t n = values.size();
      writer.PutColumn<int64_t>(n, [&](std::size_t i) { return NanosecondsOf(values[i].Timestamp); });
      writer.PutColumn<double>(n, [&](std::size_t i) {
        bool isNumber = true;
        return NumberOf(values[i].Value, isNumber);
      });
      writer.PutColumn<int16_t>(n, [&](std::size_t i) { return ClampToInt16(values[i].Status); });
      writer.PutColumn<int16_t>(n, [&](std::size_t i) { return ClampToInt16(values[i].Level); });
      writer.PutBytes(texts.data(), texts.size());
      writer.AlignTo8();
    }
  }
  return writer.Take();
}

std::vector<HistorySeries> DecodeHistoryColumns(std::string_view body) {
  Reader reader(body);
  const std::string_view magic = reader.GetBytes(kColumnsMagic.size(), "the header");
  if (magic != kColumnsMagic) throw ColumnsFormatError("the body is not a columnar history answer (no VHC1 mark)");
  const auto seriesCount = reader.Get<uint32_t>("the series count");
  const auto length = reader.Get<uint64_t>("the body length");
  if (length != body.size()) {
    throw ColumnsFormatError(fmt::format("the columnar answer says it holds {} bytes; {} came", length, body.size()));
  }
  // Each series takes at least its header: a count beyond that is a lie.
  if (seriesCount > reader.Left() / kSeriesHeaderBytes) {
    throw ColumnsFormatError(fmt::format("{} series cannot fit in {} bytes", seriesCount, reader.Left()));
  }
  std::vector<HistorySeries> series;
  series.reserve(seriesCount);
  for (uint32_t i = 0; i < seriesCount; ++i) series.push_back(DecodeSeries(reader));
  if (reader.Left() != 0) {
    throw ColumnsFormatError(fmt::format("{} bytes follow the last of {} series", reader.Left(), seriesCount));
  }
  return series;
}

}  // namespace vantrel::wire
