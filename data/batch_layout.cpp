#include "data/batch_layout.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vantrel::access {
namespace {

namespace api = dorvik::api;

constexpr std::size_t kRecordIdSize = 4;
constexpr std::size_t kInt16Size = 2;

std::size_t RoundUpTo4(std::size_t n) { return (n + 3) / 4 * 4; }

}  // namespace

std::size_t BatchLayout::TextCapacity(int16_t reportedType) {
  // The capacity travels as an int16 in the record.
  constexpr std::size_t kLargest = static_cast<std::size_t>(std::numeric_limits<int16_t>::max());
  return reportedType > 0 ? std::min(static_cast<std::size_t>(reportedType) + api::kTextCapacityExtra, kLargest)
                          : api::kHistoryTextSize;
}

std::size_t BatchLayout::PaddedInt16Bytes(std::size_t n, std::size_t p) {
  // Keeps the buffer a multiple of 4 bytes after the 4-byte record pointers.
  std::size_t padded = 0;
  if (p % 2 == 0) {
    padded = RoundUpTo4(n);
  } else {
    padded = n <= 2 ? 2 : 2 + RoundUpTo4(n - 2);
  }
  return padded * kInt16Size;
}

BatchLayout::BatchLayout(std::span<const IDANDFT> items, std::span<const int16_t> reportedTypes,
                         std::span<const ERRBLOCK> errors, const Chooser& choose) {
  std::vector<SizeAndType> formats;
  formats.reserve(items.size());
  for (const IDANDFT& item : items) formats.push_back(choose(item));
  Assign(items, reportedTypes, errors, formats);
}

BatchLayout::BatchLayout(std::span<const IDANDFT> items, std::span<const int16_t> reportedTypes,
                         std::span<const ERRBLOCK> errors, std::span<const SizeAndType> formats) {
  Assign(items, reportedTypes, errors, formats);
}

void BatchLayout::Assign(std::span<const IDANDFT> items, std::span<const int16_t> reportedTypes,
                         std::span<const ERRBLOCK> errors, std::span<const SizeAndType> formats) {
  itemCount_ = items.size();
  const auto sent = [&](std::size_t i) { return errors[i].ERRCODE == api::kSuccess && formats[i].size > 0; };
  // Count first: every other item, then the record pointers, then the
  // 16-bit counts, each group in the order given.
  std::size_t others = 0;
  std::size_t pointers = 0;
  std::size_t shorts = 0;
  std::size_t otherBytes = 0;
  std::size_t textBytes = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!sent(i)) continue;
    if (formats[i].type == api::kTypeRecordId) {
      ++pointers;
    } else if (formats[i].type == api::kTypeInt16) {
      ++shorts;
    } else {
      ++others;
      otherBytes += static_cast<std::size_t>(formats[i].size);
      if (formats[i].type == api::kTypeTextQuality) textBytes += TextCapacity(reportedTypes[i]);
    }
  }
  entries_.resize(others + pointers + shorts);
  const std::size_t bufferSize =
      entries_.empty() ? 0 : otherBytes + pointers * kRecordIdSize + PaddedInt16Bytes(shorts, pointers);
  buffer_.assign(bufferSize, std::byte{0});
  texts_.assign(textBytes, '\0');

  std::size_t next[] = {0, others, others + pointers};
  std::size_t offset[] = {0, otherBytes, otherBytes + pointers * kRecordIdSize};
  std::size_t textOffset = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!sent(i)) continue;
    const SizeAndType format = formats[i];
    const int group = format.type == api::kTypeRecordId ? 1 : format.type == api::kTypeInt16 ? 2 : 0;
    Entry& entry = entries_[next[group]++];
    entry = Entry{items[i], format, offset[group], {}, i};
    offset[group] += group == 1 ? kRecordIdSize : group == 2 ? kInt16Size : static_cast<std::size_t>(format.size);
    if (format.type != api::kTypeTextQuality) continue;
    // A text item's character buffer is a slice of texts_; its address and
    // capacity stand in its record.
    entry.text = TextBuffer(texts_.data() + textOffset, TextCapacity(reportedTypes[i]));
    textOffset += entry.text.size();
    char* address = entry.text.data();
    const auto capacity = static_cast<int16_t>(entry.text.size());
    std::memcpy(buffer_.data() + entry.offset + offsetof(TVANDQU, TEXT), &address, sizeof(address));
    std::memcpy(buffer_.data() + entry.offset + offsetof(TVANDQU, LENGTH), &capacity, sizeof(capacity));
  }

  callItems_.resize(entries_.size());
  callTypes_.resize(entries_.size());
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    callItems_[k] = entries_[k].item;
    callTypes_[k] = entries_[k].format.type;
  }
}

std::vector<bool> BatchLayout::Sent() const {
  std::vector<bool> sent(itemCount_, false);
  for (const Entry& entry : entries_) sent[entry.index] = true;
  return sent;
}

}  // namespace vantrel::access
