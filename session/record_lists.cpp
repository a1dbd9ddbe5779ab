// Record lists of definitions and record creation. Every list goes through
// one loop over the client library's record list; each operation only
// chooses the loop's plan: what to list, from where, until when, and how
// names are decoded and trimmed.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "session/session.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::TagIdentifiers;
using contracts::TagNames;

constexpr int32_t kBatch = static_cast<int32_t>(api::kRecordListBatch);
constexpr std::size_t kNameSlot = api::kFieldNameBufferSize;
constexpr int32_t kListOfDefinition = 1;   // the records of one definition
constexpr int32_t kListOfDefinitions = 2;  // the definition records
constexpr int32_t kNoDefinitionArgument = 1;

enum class Continuation {
  kWhileBatchFull,    // another call while a call fills the whole batch
  kUntilLimitOrEmpty  // another call until limit entries came or a call brings none
};
enum class Decoding { kAnsi, kAscii };
enum class Trimming { kTrailingWhiteSpace, kTrailingBlanks };

// One operation's row of the list table.
struct ListPlan {
  int32_t mode = kListOfDefinition;
  int32_t definitionArgument = 0;
  int32_t position = 0;  // the list starts after it
  Continuation continuation = Continuation::kWhileBatchFull;
  int32_t limit = 0;  // entries wanted, for kUntilLimitOrEmpty
  Decoding decoding = Decoding::kAscii;
  Trimming trimming = Trimming::kTrailingWhiteSpace;
  // The caller's name test, when both are given.
  const std::vector<std::string>* filters = nullptr;
  const DelegateFilterName* isMatch = nullptr;

  bool HasNameTest() const { return filters != nullptr && isMatch != nullptr && *isMatch; }
};

// The arrays of one list call: 500 entries, 128 KB of names.
struct ListBatch {
  std::array<int32_t, kBatch> ids;
  std::array<char, kBatch> flags;  // usable flags, not read
  std::array<char, kBatch * kNameSlot> names;
  std::array<int16_t, kBatch> lengths;
};

// Entry i's name, decoded and trimmed as plan says, into the empty name.
void DecodeName(const ListBatch& batch, std::size_t i, const ListPlan& plan, std::string& name) {
  const auto length =
      std::clamp<std::size_t>(batch.lengths[i] < 0 ? 0 : static_cast<std::size_t>(batch.lengths[i]), 0, kNameSlot);
  std::string_view raw(batch.names.data() + i * kNameSlot, length);
  if (plan.trimming == Trimming::kTrailingBlanks) {
    // A blank is the same byte in the code page, ASCII and UTF-8.
    raw = raw.substr(0, raw.find_last_not_of(' ') + 1);
  }
  if (plan.decoding == Decoding::kAnsi) {
    platform::AppendAnsi(name, raw);
  } else {
    name = platform::FromAscii(raw);
  }
  if (plan.trimming == Trimming::kTrailingWhiteSpace) name.resize(platform::TrimEnd(name).size());
}

// A new last entry of a list and the slot of its name: a name, or a
// TagIdentifier(name, id).
std::string& NewEntry(TagNames& names, int32_t) { return names.emplace_back(); }
std::string& NewEntry(TagIdentifiers& identifiers, int32_t id) {
  return identifiers.emplace_back(std::string(), id).Name;
}

// Lists records as plan says and appends the entries that pass its name
// test to list, in the database's order. The arrays live on this
// function's stack.
template <typename List>
void ListRecords(const ListPlan& plan, List& list) {
  ListBatch batch{};
  const bool test = plan.HasNameTest();
  int32_t position = plan.position;
  int32_t collected = 0;
  int32_t request = plan.continuation == Continuation::kWhileBatchFull ? kBatch : std::min(plan.limit, kBatch);
  while (true) {
    int32_t count = 0;
    GETRECORDLIST_LNAME(plan.mode, plan.definitionArgument, 1, 1, 0, nullptr, request, &position, batch.ids.data(),
                        batch.flags.data(), batch.names.data(), batch.lengths.data(), &count);
    const int32_t filled = std::clamp(count, 0, kBatch);  // never past the arrays
    for (std::size_t i = 0; i < static_cast<std::size_t>(filled); ++i) {
      // Decoded in place; a name the test rejects is taken back.
      std::string& name = NewEntry(list, batch.ids[i]);
      DecodeName(batch, i, plan, name);
      if (test && !(*plan.isMatch)(name, *plan.filters)) list.pop_back();
    }
    collected += filled;
    if (plan.continuation == Continuation::kWhileBatchFull) {
      if (count != kBatch) return;
    } else {
      if (count == 0 || collected >= plan.limit) return;
      request = std::min(plan.limit - collected, kBatch);
    }
  }
}

const std::vector<std::string>* FiltersOf(const std::optional<std::vector<std::string>>& filters) {
  return filters.has_value() ? &*filters : nullptr;
}

}  // namespace

TagNames Session::GetTagNamesByDefinition(const std::string& definitonTag) {
  return GetFilteredTagNamesByDefinition(definitonTag, std::nullopt, nullptr);
}

TagNames Session::GetFilteredTagNamesByDefinition(const std::string& definitonTag,
                                                  const std::optional<std::vector<std::string>>& filters,
                                                  const DelegateFilterName& isMatch) {
  TagNames names;
  const int32_t definitionId = GetDefinitionRecordID(definitonTag);
  if (definitionId <= 0) return names;
  ListPlan plan{.definitionArgument = definitionId,
                .decoding = Decoding::kAnsi,
                .filters = FiltersOf(filters),
                .isMatch = &isMatch};
  plan.trimming = plan.HasNameTest() ? Trimming::kTrailingWhiteSpace : Trimming::kTrailingBlanks;
  ListRecords(plan, names);
  return names;
}

TagIdentifiers Session::GetTagIdentifiersByDefinition(const std::string& definitonTag) {
  return GetFilteredTagIdentifiersByDefinition(definitonTag, std::nullopt, nullptr);
}

TagIdentifiers Session::GetFilteredTagIdentifiersByDefinition(const std::string& definitonTag,
                                                              const std::optional<std::vector<std::string>>& filters,
                                                              const DelegateFilterName& isMatch) {
  TagIdentifiers identifiers;
  const int32_t definitionId = GetDefinitionRecordID(definitonTag);
  if (definitionId <= 0) return identifiers;
  ListRecords(ListPlan{.definitionArgument = definitionId, .filters = FiltersOf(filters), .isMatch = &isMatch},
              identifiers);
  return identifiers;
}

TagNames Session::GetAllDefinitionRecords() {
  TagNames names;
  ListRecords(ListPlan{.mode = kListOfDefinitions, .definitionArgument = kNoDefinitionArgument}, names);
  return names;
}

TagIdentifiers Session::GetTagIdsWithSameDefinition(int32_t startRecorID, int32_t maxReturn) {
  TagIdentifiers identifiers;
  const int32_t definitionId = GetDefinitionID(startRecorID);
  if (definitionId <= 0) return identifiers;
  ListRecords(ListPlan{.definitionArgument = definitionId,
                       .position = startRecorID,
                       .continuation = Continuation::kUntilLimitOrEmpty,
                       .limit = maxReturn},
              identifiers);
  return identifiers;
}

bool Session::CreateRecord(const std::string& definitonName, const std::string& tagName) {
  const int32_t definitionId = GetDefinitionRecordID(definitonName);
  // A record of that name with another definition does not stop the
  // creation: the database's answer decides.
  if (const int32_t existing = GetRecordID(tagName); existing > 0 && DefinitionOf(existing) == definitionId) {
    return true;
  }
  int32_t id = 0;
  NXTFREE(1, &id);
  if (id <= 0 || definitionId <= 0) return false;

  std::array<char, api::kNameBufferSize> name{};
  ConvertStringToCharArray(tagName, name, static_cast<int32_t>(api::kMaxNameLength));
  const auto length = static_cast<int16_t>(::strnlen(name.data(), name.size()));
  ERRBLOCK error{};
  CREATERECORD(id, definitionId, 0, 0, name.data(), length, &error);
  if (error.ERRCODE == api::kSuccess) return true;
  LogDorvikError(error);
  return false;
}

}  // namespace vantrel::access
