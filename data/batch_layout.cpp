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
                         std::span<const ERRBLOCK> errors, const Chooser& choose)
    : itemCount_(items.size()) {
  std::vector<Entry> others;
  std::vector<Entry> recordIds;
  std::vector<Entry> shorts;
  std::vector<int16_t> reported;
  others.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const SizeAndType format = choose(items[i]);
    if (errors[i].ERRCODE != api::kSuccess || format.size <= 0) continue;
    Entry entry{items[i], format, 0, {}, i};
    if (format.type == api::kTypeRecordId) {
      recordIds.push_back(entry);
    } else if (format.type == api::kTypeInt16) {
      shorts.push_back(entry);
    } else {
      others.push_back(entry);
      reported.push_back(reportedTypes[i]);
    }
  }

  std::size_t size = 0;
  for (auto& entry : others) {
    entry.offset = size;
    size += static_cast<std::size_t>(entry.format.size);
  }
  for (auto& entry : recordIds) {
    entry.offset = size;
    size += kRecordIdSize;
  }
  for (auto& entry : shorts) {
    entry.offset = size;
    size += kInt16Size;
  }
  const std::size_t bufferSize =
      size - shorts.size() * kInt16Size + PaddedInt16Bytes(shorts.size(), recordIds.size());
  if (bufferSize == 0) return;
  buffer_.assign(bufferSize, std::byte{0});

  // Text items get a character buffer, a slice of one block, whose address
  // and capacity stand in their record.
  std::size_t textBytes = 0;
  for (std::size_t i = 0; i < others.size(); ++i) {
    if (others[i].format.type == api::kTypeTextQuality) textBytes += TextCapacity(reported[i]);
  }
  texts_.assign(textBytes, '\0');
  std::size_t textOffset = 0;
  for (std::size_t i = 0; i < others.size(); ++i) {
    Entry& entry = others[i];
    if (entry.format.type != api::kTypeTextQuality) continue;
    entry.text = TextBuffer(texts_.data() + textOffset, TextCapacity(reported[i]));
    textOffset += entry.text.size();
    char* address = entry.text.data();
    const auto capacity = static_cast<int16_t>(entry.text.size());
    std::memcpy(buffer_.data() + entry.offset + offsetof(TVANDQU, TEXT), &address, sizeof(address));
    std::memcpy(buffer_.data() + entry.offset + offsetof(TVANDQU, LENGTH), &capacity, sizeof(capacity));
  }

  entries_ = std::move(others);
  entries_.insert(entries_.end(), recordIds.begin(), recordIds.end());
  entries_.insert(entries_.end(), shorts.begin(), shorts.end());
  callItems_.reserve(entries_.size());
  callTypes_.reserve(entries_.size());
  for (const auto& entry : entries_) {
    callItems_.push_back(entry.item);
    callTypes_.push_back(entry.format.type);
  }
}

std::vector<bool> BatchLayout::Sent() const {
  std::vector<bool> sent(itemCount_, false);
  for (const Entry& entry : entries_) sent[entry.index] = true;
  return sent;
}

}  // namespace vantrel::access
