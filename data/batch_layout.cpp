#include "data/batch_layout.h"

#include <algorithm>
#include <cstring>

namespace vantrel::access {
namespace {

namespace api = dorvik::api;

constexpr std::size_t kRecordIdSize = 4;
constexpr std::size_t kInt16Size = 2;

std::size_t RoundUpTo4(std::size_t n) { return (n + 3) / 4 * 4; }

}  // namespace

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
  // Every other item in the order given, each at the sum of the sizes before
  // it; the record pointers and the 16-bit counts are set aside to follow.
  entries_.clear();
  entries_.reserve(items.size());
  pointers_.clear();
  shorts_.clear();
  std::size_t size = 0;
  std::size_t textBytes = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const SizeAndType format = formats[i];
    if (errors[i].ERRCODE != api::kSuccess || format.size <= 0) continue;
    if (format.type == api::kTypeRecordId) {
      pointers_.push_back(i);
    } else if (format.type == api::kTypeInt16) {
      shorts_.push_back(i);
    } else {
      entries_.push_back(Entry{items[i], formats[i], size, {}, i});
      size += static_cast<std::size_t>(format.size);
      if (format.type == api::kTypeTextQuality) textBytes += TextCapacity(reportedTypes[i]);
    }
  }
  for (const std::size_t i : pointers_) {
    entries_.push_back(Entry{items[i], formats[i], size, {}, i});
    size += kRecordIdSize;
  }
  for (const std::size_t i : shorts_) {
    entries_.push_back(Entry{items[i], formats[i], size, {}, i});
    size += kInt16Size;
  }
  const std::size_t bufferSize = entries_.empty() ? 0 : size - shorts_.size() * kInt16Size +
                                                            PaddedInt16Bytes(shorts_.size(), pointers_.size());
  buffer_.assign(bufferSize, std::byte{0});
  texts_.assign(textBytes, '\0');

  // A text item's character buffer is a slice of texts_; its address and
  // capacity stand in its record.
  std::size_t textOffset = 0;
  for (std::size_t k = 0; textOffset < textBytes; ++k) {
    Entry& entry = entries_[k];
    if (entry.format.type != api::kTypeTextQuality) continue;
    entry.text = TextBuffer(texts_.data() + textOffset, TextCapacity(reportedTypes[entry.index]));
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
