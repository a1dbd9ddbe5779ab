// The native layout of one batch of current-value items, shared by reads and
// writes: which items go to the database (items the type query rejected are
// left out), in which order (record pointers and 16-bit counts move to the
// end), which type code each is asked with, where its record starts in the
// value buffer, and the character buffers of text items. Owns the value
// buffer and the character buffers; everything is freed with the layout. A
// layout can be laid out again for the next batch, reusing its memory.
//
// Invariant: each text item's record in the value buffer holds the address
// of its slice of texts_, so a layout is never copied. At most 0x7FFF
// entries: the native call counts items in an int16_t.
//
//   BatchLayout layout(items, reportedTypes, errors, formats);
//   MRDBVALS(layout.CallCount(), layout.CallItems().data(), layout.CallTypes().data(), layout.Buffer(), ...);
#ifndef VANTREL_DATA_BATCH_LAYOUT_H_
#define VANTREL_DATA_BATCH_LAYOUT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "api/records.h"

namespace vantrel::access {

// The type code and record size a field is read and written with.
struct SizeAndType {
  int16_t type = 0;
  int32_t size = 0;
};

// A text item's character buffer (caller-owned memory of the layout).
using TextBuffer = std::span<char>;

class BatchLayout {
 public:
  using Chooser = std::function<SizeAndType(const IDANDFT& item)>;

  // One item as the database is asked for it.
  struct Entry {
    IDANDFT item{};
    SizeAndType format;
    std::size_t offset = 0;  // of its record in the value buffer
    TextBuffer text;         // type -24 only
    std::size_t index = 0;   // of the item in the items the layout was made from
  };

  BatchLayout() = default;
  // items and their GETDATATYPES answers (types, errors); choose gives each
  // item's type code and size (it may raise).
  BatchLayout(std::span<const IDANDFT> items, std::span<const int16_t> reportedTypes,
              std::span<const ERRBLOCK> errors, const Chooser& choose);
  // The same with each item's type code and size given (formats[i] is item i's).
  BatchLayout(std::span<const IDANDFT> items, std::span<const int16_t> reportedTypes,
              std::span<const ERRBLOCK> errors, std::span<const SizeAndType> formats);
  BatchLayout(const BatchLayout&) = delete;
  BatchLayout& operator=(const BatchLayout&) = delete;

  // Lays out another batch in place of this one (the memory is reused).
  void Assign(std::span<const IDANDFT> items, std::span<const int16_t> reportedTypes,
              std::span<const ERRBLOCK> errors, std::span<const SizeAndType> formats);

  // Nothing to send: every item was left out.
  bool Empty() const { return buffer_.empty(); }
  // Whether each of the items the layout was made from is sent (by index).
  std::vector<bool> Sent() const;

  // In the order of the native call.
  const std::vector<Entry>& Entries() const { return entries_; }
  const std::vector<IDANDFT>& CallItems() const { return callItems_; }
  const std::vector<int16_t>& CallTypes() const { return callTypes_; }
  int16_t CallCount() const { return static_cast<int16_t>(entries_.size()); }

  std::byte* Buffer() { return buffer_.data(); }
  const std::byte* Buffer() const { return buffer_.data(); }
  std::size_t BufferSize() const { return buffer_.size(); }

  // The capacity of a text item's character buffer: the reported length
  // plus 4, or 604 when the database reported no positive length.
  static std::size_t TextCapacity(int16_t reportedType) {
    // The capacity travels as an int16 in the record.
    constexpr auto kLargest = static_cast<std::size_t>(std::numeric_limits<int16_t>::max());
    return reportedType > 0
               ? std::min(static_cast<std::size_t>(reportedType) + dorvik::api::kTextCapacityExtra, kLargest)
               : dorvik::api::kHistoryTextSize;
  }
  // Bytes taken by n 16-bit items placed after p record pointers.
  static std::size_t PaddedInt16Bytes(std::size_t n, std::size_t p);

 private:
  std::vector<Entry> entries_;
  std::vector<std::size_t> pointers_;  // the record pointers and 16-bit counts
  std::vector<std::size_t> shorts_;    // while laying out (kept for their memory)
  std::vector<IDANDFT> callItems_;
  std::vector<int16_t> callTypes_;
  std::vector<std::byte> buffer_;
  // The character buffers of the text items, one slice each, zero-filled.
  // Records in buffer_ hold addresses into it: it never grows once laid out,
  // and the layout is never copied.
  std::vector<char> texts_;
  std::size_t itemCount_ = 0;
};

}  // namespace vantrel::access

#endif  // VANTREL_DATA_BATCH_LAYOUT_H_
