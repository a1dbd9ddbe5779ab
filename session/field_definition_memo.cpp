#include "session/field_definition_memo.h"

#include <algorithm>

namespace vantrel::access {
namespace {

using contracts::FieldDefinition;

// Lists longer than this are searched by number, shorter ones walked.
constexpr std::size_t kWalkedListSize = 16;

}  // namespace

FieldDefinitionMemo::Definition::Definition(FieldDefinitionsPtr list) : list_(std::move(list)) {
  if (list_->size() <= kWalkedListSize) return;
  byNumber_.reserve(list_->size());
  for (std::size_t i = 0; i < list_->size(); ++i) byNumber_.emplace_back((*list_)[i].Number, i);
  // Sorted by number with the list's order kept among equal numbers, so the
  // last of each run is the one the cache keeps.
  std::stable_sort(byNumber_.begin(), byNumber_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  auto kept = byNumber_.begin();
  for (auto entry = byNumber_.begin(); entry != byNumber_.end(); ++entry) {
    const auto next = entry + 1;
    if (next == byNumber_.end() || next->first != entry->first) *kept++ = *entry;
  }
  byNumber_.erase(kept, byNumber_.end());
}

const FieldDefinition* FieldDefinitionMemo::Definition::Search(int32_t number) const {
  const FieldDefinition* found = nullptr;
  if (byNumber_.empty()) {
    const auto last = std::find_if(list_->rbegin(), list_->rend(),
                                   [&](const FieldDefinition& definition) { return definition.Number == number; });
    if (last != list_->rend()) found = &*last;
  } else {
    const auto entry = std::lower_bound(byNumber_.begin(), byNumber_.end(), number,
                                        [](const auto& e, int32_t n) { return e.first < n; });
    if (entry != byNumber_.end() && entry->first == number) found = &(*list_)[entry->second];
  }
  if (found != nullptr) {
    lastNumber_ = number;
    lastFound_ = found;
  }
  return found;
}

const FieldDefinitionMemo::Definition* FieldDefinitionMemo::Search(int32_t definitionId) const {
  const auto found = byId_.find(definitionId);
  if (found == byId_.end()) return nullptr;
  lastId_ = definitionId;
  last_ = &found->second;
  return last_;
}

const FieldDefinitionMemo::Definition& FieldDefinitionMemo::Remember(int32_t definitionId, FieldDefinitionsPtr list) {
  const auto [entry, added] = byId_.try_emplace(definitionId, std::move(list));
  lastId_ = definitionId;
  last_ = &entry->second;
  return entry->second;
}

const FieldDefinitionMemo::Definition& FieldDefinitionMemo::Hold(FieldDefinitionsPtr list) {
  return held_.emplace_back(std::move(list));
}

}  // namespace vantrel::access
