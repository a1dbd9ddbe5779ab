#include "management/name_search.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <new>
#include <utility>

#include <fmt/format.h>
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "management/query_text.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"

namespace vantrel::access {
namespace {

constexpr uint32_t kOptions = PCRE2_UTF | PCRE2_UCP | PCRE2_CASELESS;
// The word boundaries that open and close a name's pattern text.
constexpr std::string_view kRepeatedBoundary = R"(\b+)";

// A word boundary: a word character on exactly one side. Word characters are
// the letters and decimal digits of any script, non-spacing marks and
// connector punctuation. PCRE2's \b in UCP mode counts every number (letter
// numbers, superscripts) and no mark nor connector but the underscore, so
// the boundary is written out. It is written once: PCRE2 refuses a
// quantified \b, and one boundary holds exactly where several do.
const std::string& WordBoundary() {
  static const std::string boundary = [] {
    constexpr std::string_view word = R"([\p{L}\p{Mn}\p{Nd}\p{Pc}])";
    return fmt::format("(?:(?<={0})(?!{0})|(?<!{0})(?={0}))", word);
  }();
  return boundary;
}

std::string ErrorText(int code) {
  std::array<PCRE2_UCHAR, 256> text{};
  const int length = pcre2_get_error_message(code, text.data(), text.size());
  if (length < 0) return fmt::format("error {}", code);
  return std::string(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(length));
}

// patternText with its opening and closing "\b+" written out.
std::string WithWordBoundaries(std::string_view patternText) {
  std::string text(patternText);
  if (text.size() < 2 * kRepeatedBoundary.size()) return text;
  if (text.ends_with(kRepeatedBoundary)) {
    text.replace(text.size() - kRepeatedBoundary.size(), kRepeatedBoundary.size(), WordBoundary());
  }
  if (text.starts_with(kRepeatedBoundary)) text.replace(0, kRepeatedBoundary.size(), WordBoundary());
  return text;
}

// ASCII letters in lower case, every other byte as it is.
constexpr std::array<unsigned char, 256> kFold = [] {
  std::array<unsigned char, 256> fold{};
  for (std::size_t i = 0; i < fold.size(); ++i) {
    fold[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + ('a' - 'A') : i);
  }
  return fold;
}();

unsigned char Folded(char c) { return kFold[static_cast<unsigned char>(c)]; }

bool HoldsLineEnd(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

bool IsAsciiWordCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether no match can hold the name that lies at [start, end) of line (an
// ASCII name, so its bytes are exactly there): a word character at its edge
// next to a word character outside leaves no word boundary, and no quote
// fits between. This only rules out; the pattern decides the rest.
bool NoBoundaryAround(std::string_view line, std::size_t start, std::size_t end) {
  const bool joinedBefore = start > 0 && IsAsciiWordCharacter(line[start - 1]) && IsAsciiWordCharacter(line[start]);
  const bool joinedAfter = end < line.size() && IsAsciiWordCharacter(line[end]) && IsAsciiWordCharacter(line[end - 1]);
  return joinedBefore || joinedAfter;
}

}  // namespace

// --- NamePattern ------------------------------------------------------------------

void NamePattern::CodeFree::operator()(pcre2_code* code) const noexcept { pcre2_code_free(code); }
void NamePattern::MatchDataFree::operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }

NamePattern::NamePattern(std::string_view name, std::string_view patternText) : name_(name) {
  if (!platform::IsValidUtf8(name)) {
    std::string shown;
    platform::AppendRepairedUtf8(shown, name);
    throw platform::ArgumentException(
        fmt::format("The tag name {0} is not valid UTF-8 and cannot be searched for.", shown));
  }
  const std::string text = WithWordBoundaries(patternText);
  int error = 0;
  PCRE2_SIZE offset = 0;
  code_.reset(
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), kOptions, &error, &offset, nullptr));
  if (!code_) {
    throw platform::ArgumentException(
        fmt::format("The tag name {0} gives no search pattern: {1} (at offset {2}).", name, ErrorText(error), offset));
  }
  // Without JIT (not built for this machine, or out of executable memory)
  // the interpreter matches the same.
  pcre2_jit_compile(code_.get(), PCRE2_JIT_COMPLETE);
  matchData_.reset(pcre2_match_data_create_from_pattern(code_.get(), nullptr));
  if (!matchData_) throw std::bad_alloc();
}

bool NamePattern::Matches(std::string_view line, std::size_t from) {
  const int result = pcre2_match(code_.get(), reinterpret_cast<PCRE2_SPTR>(line.data()), line.size(), from,
                                 PCRE2_NO_UTF_CHECK, matchData_.get(), nullptr);
  if (result >= 0) return true;
  if (result == PCRE2_ERROR_NOMATCH) return false;
  throw platform::ApplicationException(fmt::format("The search for {0} failed: {1}.", name_, ErrorText(result)));
}

std::string NamePattern::Anchor(std::string_view name) {
  std::string_view best;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    const bool inRun = i < name.size() && static_cast<unsigned char>(name[i]) < 0x80 && Folded(name[i]) != 'k' &&
                       Folded(name[i]) != 's';
    if (inRun) continue;
    if (i - start > best.size()) best = name.substr(start, i - start);
    start = i + 1;
  }
  std::string anchor;
  for (const char c : best) anchor += static_cast<char>(Folded(c));
  return anchor;
}

// --- NameSearch -----------------------------------------------------------------------

// Finds in one pass every place where one of several anchors (lower case,
// at least two bytes) occurs in a text, ASCII letters compared without case:
// a Wu-Manber scan over blocks of two bytes. A window of the shortest
// anchor's length slides over the text; the block at its end says how far
// it may move before some anchor's first `window` bytes could end there.
// The shift table is indexed by the block's two bytes as they are (every
// letter case of a block has its entry), so a step costs two loads.
class NameSearch::AnchorScanner {
 public:
  // anchors[i] belongs to name owners[i].
  AnchorScanner(std::vector<std::string> anchors, std::vector<std::size_t> owners)
      : anchors_(std::move(anchors)), owners_(std::move(owners)) {
    window_ = kMaxWindow;
    for (const std::string& anchor : anchors_) window_ = std::min(window_, anchor.size());
    shifts_.fill(static_cast<uint8_t>(window_ - 1));
    for (std::size_t a = 0; a < anchors_.size(); ++a) {
      const std::string& anchor = anchors_[a];
      for (std::size_t end = 1; end < window_; ++end) {
        ForEachCase(anchor[end - 1], anchor[end], [&](uint16_t block) {
          shifts_[block] = std::min(shifts_[block], static_cast<uint8_t>(window_ - 1 - end));
        });
      }
      ForEachCase(anchor[window_ - 2], anchor[window_ - 1],
                  [&](uint16_t block) { candidates_.emplace_back(block, a); });
    }
    std::sort(candidates_.begin(), candidates_.end());
  }

  // Calls found(owner, offset) for every anchor found, offsets increasing.
  // The two halves of the text are scanned in step, so that the processor
  // overlaps their chains of dependent loads; the second half's finds wait
  // in later_ until the first half is done.
  template <typename Found>
  void Scan(std::string_view text, Found&& found) {
    later_.clear();
    const std::size_t middle = std::max(text.size() / 2, window_ - 1);
    std::size_t first = window_ - 1;
    std::size_t second = middle;
    const auto keep = [&](std::size_t owner, std::size_t offset) { later_.emplace_back(owner, offset); };
    while (first < middle && second < text.size()) {
      first = Step(text, first, found);
      second = Step(text, second, keep);
    }
    while (first < middle) first = Step(text, first, found);
    for (const auto& [owner, offset] : later_) found(owner, offset);
    while (second < text.size()) second = Step(text, second, found);
  }

 private:
  static constexpr std::size_t kMaxWindow = 64;

  // Examines the window that ends at end; the end of the next window.
  template <typename Found>
  std::size_t Step(std::string_view text, std::size_t end, Found&& found) const {
    const uint16_t block = BlockAt(text.data() + end - 1);
    if (const uint8_t shift = shifts_[block]; shift != 0) return end + shift;
    const std::size_t start = end + 1 - window_;
    const auto first = std::lower_bound(candidates_.begin(), candidates_.end(), std::pair{block, std::size_t{0}});
    for (auto candidate = first; candidate != candidates_.end() && candidate->first == block; ++candidate) {
      if (HoldsAt(text, start, anchors_[candidate->second])) found(owners_[candidate->second], start);
    }
    return end + 1;
  }

  // The block of two bytes as they lie in memory.
  static uint16_t BlockAt(const char* bytes) {
    uint16_t block = 0;
    std::memcpy(&block, bytes, sizeof block);
    return block;
  }
  // Calls visit with the block of two bytes in each letter case of them.
  template <typename Visit>
  static void ForEachCase(char first, char second, Visit&& visit) {
    const auto cases = [](char c) {
      const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return std::pair{std::array<char, 2>{c, upper}, upper == c ? 1 : 2};
    };
    const auto [firsts, firstCount] = cases(first);
    const auto [seconds, secondCount] = cases(second);
    for (int i = 0; i < firstCount; ++i) {
      for (int j = 0; j < secondCount; ++j) {
        const std::array<char, 2> bytes{firsts[i], seconds[j]};
        visit(BlockAt(bytes.data()));
      }
    }
  }
  static bool HoldsAt(std::string_view text, std::size_t start, const std::string& anchor) {
    if (text.size() - start < anchor.size()) return false;
    for (std::size_t i = 0; i < anchor.size(); ++i) {
      if (Folded(text[start + i]) != static_cast<unsigned char>(anchor[i])) return false;
    }
    return true;
  }

  std::vector<std::string> anchors_;
  std::vector<std::size_t> owners_;
  std::size_t window_;
  std::array<uint8_t, 1 << 16> shifts_;
  std::vector<std::pair<uint16_t, std::size_t>> candidates_;  // (last block of a window, anchor), sorted
  std::vector<std::pair<std::size_t, std::size_t>> later_;
};

NameSearch::NameSearch(std::vector<std::string> names, std::vector<std::string> patternTexts)
    : names_(std::move(names)), patternTexts_(std::move(patternTexts)), patterns_(names_.size()) {}

NameSearch::~NameSearch() = default;

NamePattern& NameSearch::Pattern(std::size_t name) {
  if (!patterns_[name]) patterns_[name].emplace(names_[name], patternTexts_[name]);
  return *patterns_[name];
}

bool NameSearch::Matches(std::size_t name, std::string_view line) {
  NamePattern& pattern = Pattern(name);
  if (platform::IsValidUtf8(line)) return pattern.Matches(line);
  repaired_.clear();
  platform::AppendRepairedUtf8(repaired_, line);
  return pattern.Matches(repaired_);
}

void NameSearch::PrepareTextScan() {
  anchorIsName_.assign(names_.size(), false);
  std::vector<std::string> anchors;
  std::vector<std::size_t> owners;
  for (std::size_t name = 0; name < names_.size(); ++name) {
    Pattern(name);
    // A line holds no line end, so such a name is found in no line.
    if (HoldsLineEnd(names_[name])) continue;
    std::string anchor = NamePattern::Anchor(names_[name]);
    anchorIsName_[name] = anchor.size() == names_[name].size();
    if (anchor.size() < 2) {
      everyLineNames_.push_back(name);
    } else {
      anchors.push_back(std::move(anchor));
      owners.push_back(name);
    }
  }
  if (!anchors.empty()) scanner_ = std::make_unique<AnchorScanner>(std::move(anchors), std::move(owners));
  lines_.resize(names_.size());
  lastTestedLine_.resize(names_.size());
  textScanReady_ = true;
}

const std::vector<std::vector<int32_t>>& NameSearch::MatchingLines(std::string_view text) {
  if (!textScanReady_) PrepareTextScan();
  for (auto& lines : lines_) lines.clear();
  if (scanner_) {
    // Each anchor found leads to its line, which is tested once per name:
    // from the first anchor that may be part of a match, the rest of the
    // line. When the anchor is the whole name, a match cannot start earlier:
    // it would hold an earlier anchor, found and ruled out first.
    std::fill(lastTestedLine_.begin(), lastTestedLine_.end(), 0);
    LineTracker tracker(text);
    scanner_->Scan(text, [&](std::size_t name, std::size_t offset) {
      tracker.MoveTo(offset);
      if (lastTestedLine_[name] == tracker.Number()) return;
      const std::string_view line = tracker.Line();
      std::size_t from = 0;
      if (anchorIsName_[name]) {
        from = offset - tracker.Start();
        if (NoBoundaryAround(line, from, from + names_[name].size())) return;
        if (from > 0 && static_cast<unsigned char>(line[from - 1]) < 0x80) --from;  // a quote before the name
      }
      lastTestedLine_[name] = tracker.Number();
      if (patterns_[name]->Matches(line, from)) lines_[name].push_back(tracker.Number());
    });
  }
  if (!everyLineNames_.empty()) {
    ForEachLine(text, [&](int32_t number, std::string_view line) {
      for (const std::size_t name : everyLineNames_) {
        if (patterns_[name]->Matches(line)) lines_[name].push_back(number);
      }
    });
  }
  return lines_;
}

}  // namespace vantrel::access
