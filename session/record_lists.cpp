// Record lists of definitions and record creation. Every list goes through
// one loop over the client library's record list; each operation only
// chooses the loop's plan: what to list, from where, until when, and how
// names are decoded and trimmed.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "session/session.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::TagIdentifier;
using contracts::TagIdentifiers;
using contracts::TagNames;

constexpr int32_t kBatch = static_cast<int32_t>(api::kRecordListBatch);
constexpr std::size_t kNameSlot = api::kFieldNameBufferSize;
constexpr int32_t kListOfDefinition = 1;    // the records of one definition
constexpr int32_t kListOfDefinitions = 2;   // the definition records
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
  int32_t limit = 0;     // entries wanted, for kUntilLimitOrEmpty
  Decoding decoding = Decoding::kAscii;
  Trimming trimming = Trimming::kTrailingWhiteSpace;
};

// The arrays of one list call: 500 entries, 128 KB of names.
struct ListBatch {
  std::array<int32_t, kBatch> ids;
  std::array<char, kBatch> flags;  // usable flags, not read
  std::array<char, kBatch * kNameSlot> names;
  std::array<int16_t, kBatch> lengths;
};

std::string DecodeName(const ListBatch& batch, int32_t entry, const ListPlan& plan) {
  const auto i = static_cast<std::size_t>(entry);
  const auto length = std::clamp<std::size_t>(batch.lengths[i] < 0 ? 0 : static_cast<std::size_t>(batch.lengths[i]),
                                              0, kNameSlot);
  const std::string_view raw(batch.names.data() + i * kNameSlot, length);
  std::string name = plan.decoding == Decoding::kAnsi ? platform::FromAnsi(raw) : platform::FromAscii(raw);
  if (plan.trimming == Trimming::kTrailingWhiteSpace) {
    name.resize(platform::TrimEnd(name).size());
  } else {
    name.erase(name.find_last_not_of(' ') + 1);
  }
  return name;
}

// Lists records as plan says, calling append(name, id) for each entry in
// the database's order. The arrays live on this function's stack.
template <typename Append>
void ListRecords(const ListPlan& plan, Append&& append) {
  ListBatch batch{};
  int32_t position = plan.position;
  int32_t collected = 0;
  int32_t request = plan.continuation == Continuation::kWhileBatchFull ? kBatch : std::min(plan.limit, kBatch);
  while (true) {
    int32_t count = 0;
    GETRECORDLIST_LNAME(plan.mode, plan.definitionArgument, 1, 1, 0, nullptr, request, &position, batch.ids.data(),
                        batch.flags.data(), batch.names.data(), batch.lengths.data(), &count);
    const int32_t filled = std::clamp(count, 0, kBatch);  // never past the arrays
    for (int32_t i = 0; i < filled; ++i) append(DecodeName(batch, i, plan), batch.ids[static_cast<std::size_t>(i)]);
    collected += filled;
    if (plan.continuation == Continuation::kWhileBatchFull) {
      if (count != kBatch) return;
    } else {
      if (count == 0 || collected >= plan.limit) return;
      request = std::min(plan.limit - collected, kBatch);
    }
  }
}

bool HasNameTest(const std::optional<std::vector<std::string>>& filters, const DelegateFilterName& isMatch) {
  return filters.has_value() && static_cast<bool>(isMatch);
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
  const bool test = HasNameTest(filters, isMatch);
  const ListPlan plan{.definitionArgument = definitionId,
                      .decoding = Decoding::kAnsi,
                      .trimming = test ? Trimming::kTrailingWhiteSpace : Trimming::kTrailingBlanks};
  ListRecords(plan, [&](std::string&& name, int32_t) {
    if (!test || isMatch(name, *filters)) names.push_back(std::move(name));
  });
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
  const bool test = HasNameTest(filters, isMatch);
  ListRecords(ListPlan{.definitionArgument = definitionId}, [&](std::string&& name, int32_t id) {
    if (!test || isMatch(name, *filters)) identifiers.emplace_back(std::move(name), id);
  });
  return identifiers;
}

TagNames Session::GetAllDefinitionRecords() {
  TagNames names;
  ListRecords(ListPlan{.mode = kListOfDefinitions, .definitionArgument = kNoDefinitionArgument},
              [&](std::string&& name, int32_t) { names.push_back(std::move(name)); });
  return names;
}

TagIdentifiers Session::GetTagIdsWithSameDefinition(int32_t startRecorID, int32_t maxReturn) {
  TagIdentifiers identifiers;
  const int32_t definitionId = GetDefinitionID(startRecorID);
  if (definitionId <= 0) return identifiers;
  const ListPlan plan{.definitionArgument = definitionId,
                      .position = startRecorID,
                      .continuation = Continuation::kUntilLimitOrEmpty,
                      .limit = maxReturn};
  ListRecords(plan, [&](std::string&& name, int32_t id) { identifiers.emplace_back(std::move(name), id); });
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
