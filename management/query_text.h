// Query text: the bytes of a query file decoded the way the reference search
// reads them, and the lines of a text. A file is UTF-8 unless a byte-order
// mark at its start says UTF-16 or UTF-32 (little or big endian); the mark is
// dropped, and every ill-formed sequence reads as one U+FFFD (one per
// maximal ill-formed subpart, as the Unicode standard recommends). Lines end
// at CR, LF or CR LF; a last line without an end counts, and a text that
// ends with a line end has no empty line after it.
//
// Stateless functions; safe from any thread.
#ifndef VANTREL_MANAGEMENT_QUERY_TEXT_H_
#define VANTREL_MANAGEMENT_QUERY_TEXT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::access {

// The UTF-8 text of a file's bytes. A view of bytes itself when they are
// well-formed UTF-8 (after a UTF-8 mark, if any); otherwise a view of
// scratch, which then holds the decoded text.
std::string_view DecodeQueryText(std::string_view bytes, std::string& scratch);

// Offset of the first CR or LF at or after from; text.size() when none.
std::size_t FindLineEnd(std::string_view text, std::size_t from);

// Offset where the line after a line ending at end starts (past CR, LF or
// CR LF); text.size() when end is the end of the text.
std::size_t NextLineStart(std::string_view text, std::size_t end);

// Calls visit(number, line) for every line of text, numbered from 1.
template <typename Visit>
void ForEachLine(std::string_view text, Visit&& visit) {
  int32_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = FindLineEnd(text, start);
    visit(++number, text.substr(start, end - start));
    start = NextLineStart(text, end);
  }
}

// LineTracker: the number and the text of the line that holds an offset,
// for offsets visited in increasing order; each byte of the text is looked
// at once however many offsets are asked about.
class LineTracker {
 public:
  explicit LineTracker(std::string_view text)
      : text_(text), carriageReturns_(text.find('\r') != std::string_view::npos), end_(LineEnd(0)) {}

  // Moves to the line that holds offset; offset is at least the last one
  // asked. An offset at a line end belongs to the line it ends.
  void MoveTo(std::size_t offset) {
    while (offset > end_ && end_ < text_.size()) {
      start_ = NextLineStart(text_, end_);
      end_ = LineEnd(start_);
      ++number_;
    }
  }
  int32_t Number() const { return number_; }
  std::size_t Start() const { return start_; }
  std::string_view Line() const { return text_.substr(start_, end_ - start_); }

 private:
  // Without a CR in the text, a line ends at the next LF (memchr is fast).
  std::size_t LineEnd(std::size_t from) const {
    return carriageReturns_ ? FindLineEnd(text_, from) : std::min(text_.find('\n', from), text_.size());
  }

  std::string_view text_;
  bool carriageReturns_;
  int32_t number_ = 1;
  std::size_t start_ = 0;
  std::size_t end_;
};

}  // namespace vantrel::access

#endif  // VANTREL_MANAGEMENT_QUERY_TEXT_H_
