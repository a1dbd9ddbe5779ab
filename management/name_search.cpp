#include "management/name_search.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <array>
#include <new>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "management/query_text.h"
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

}  // namespace

// --- NamePattern ------------------------------------------------------------------

void NamePattern::CodeFree::operator()(pcre2_code* code) const noexcept { pcre2_code_free(code); }
void NamePattern::MatchDataFree::operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }

NamePattern::NamePattern(std::string_view name, std::string_view patternText) : name_(name) {
  if (!IsValidUtf8(name)) {
    std::string shown;
    AppendRepairedUtf8(name, shown);
    throw platform::ArgumentException(fmt::format("The tag name {0} is not valid UTF-8 and cannot be searched for.", shown));
  }
  const std::string text = WithWordBoundaries(patternText);
  int error = 0;
  PCRE2_SIZE offset = 0;
  code_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), kOptions, &error, &offset,
                            nullptr));
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

bool NamePattern::Matches(std::string_view line) {
  const int result = pcre2_match(code_.get(), reinterpret_cast<PCRE2_SPTR>(line.data()), line.size(), 0,
                                 PCRE2_NO_UTF_CHECK, matchData_.get(), nullptr);
  if (result >= 0) return true;
  if (result == PCRE2_ERROR_NOMATCH) return false;
  throw platform::ApplicationException(fmt::format("The search for {0} failed: {1}.", name_, ErrorText(result)));
}

std::string NamePattern::Anchor(std::string_view name) {
  std::string_view best;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    const bool inRun = i < name.size() && static_cast<unsigned char>(name[i]) < 0x80 &&
                       Folded(name[i]) != 'k' && Folded(name[i]) != 's';
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
        const uint16_t block = Block(anchor[end - 1], anchor[end]);
        shifts_[block] = std::min(shifts_[block], static_cast<uint8_t>(window_ - 1 - end));
      }
      candidates_[Block(anchor[window_ - 2], anchor[window_ - 1])].push_back(a);
    }
  }

  // Calls found(owner, offset) for every anchor found, offsets increasing.
  template <typename Found>
  void Scan(std::string_view text, Found&& found) const {
    for (std::size_t end = window_ - 1; end < text.size();) {
      const uint16_t block = Block(text[end - 1], text[end]);
      if (const uint8_t shift = shifts_[block]; shift != 0) {
        end += shift;
        continue;
      }
      const std::size_t start = end + 1 - window_;
      for (const std::size_t a : candidates_.at(block)) {
        if (HoldsAt(text, start, anchors_[a])) found(owners_[a], start);
      }
      ++end;
    }
  }

 private:
  static constexpr std::size_t kMaxWindow = 64;

  static uint16_t Block(char first, char second) {
    return static_cast<uint16_t>((Folded(first) << 8) | Folded(second));
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
  std::unordered_map<uint16_t, std::vector<std::size_t>> candidates_;  // anchors by their window's last block
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
  if (IsValidUtf8(line)) return pattern.Matches(line);
  repaired_.clear();
  AppendRepairedUtf8(line, repaired_);
  return pattern.Matches(repaired_);
}

void NameSearch::PrepareTextScan() {
  std::vector<std::string> anchors;
  std::vector<std::size_t> owners;
  for (std::size_t name = 0; name < names_.size(); ++name) {
    Pattern(name);
    // A line holds no line end, so such a name is found in no line.
    if (HoldsLineEnd(names_[name])) continue;
    std::string anchor = NamePattern::Anchor(names_[name]);
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
    // Each anchor found leads to its line; a line is tested once per name.
    std::fill(lastTestedLine_.begin(), lastTestedLine_.end(), 0);
    LineTracker tracker(text);
    scanner_->Scan(text, [&](std::size_t name, std::size_t offset) {
      tracker.MoveTo(offset);
      if (lastTestedLine_[name] == tracker.Number()) return;
      lastTestedLine_[name] = tracker.Number();
      if (patterns_[name]->Matches(tracker.Line())) lines_[name].push_back(tracker.Number());
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
