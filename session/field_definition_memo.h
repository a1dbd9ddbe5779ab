// FieldDefinitionMemo: one request's view of the process-wide field
// definition cache. Each definition's list is looked up in the cache once
// (Session::FieldDefinitionsFor) and then found here without the cache's
// lock, its fields by number. The memo holds the lists by shared_ptr: a
// RefreshAll on another thread during the request does not reach them, so
// the request sees, for each definition, the one list it first got, whole;
// the next request loads anew. Used by one thread for one request; not
// thread-safe.
//
//   FieldDefinitionMemo memo;
//   const auto& definition = FieldDefinitionsFor(definitionId, memo);
//   const contracts::FieldDefinition* field = definition.Find(fieldTag);
#ifndef VANTREL_SESSION_FIELD_DEFINITION_MEMO_H_
#define VANTREL_SESSION_FIELD_DEFINITION_MEMO_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/records.h"
#include "contracts/collections.h"
#include "contracts/records.h"

namespace vantrel::access {

using FieldDefinitionsPtr = std::shared_ptr<const contracts::FieldDefinitions>;

class FieldDefinitionMemo {
 public:
  // A definition's field list, held for the request, and its fields by number.
  class Definition {
   public:
    explicit Definition(FieldDefinitionsPtr list);

    const contracts::FieldDefinitions& List() const { return *list_; }
    const FieldDefinitionsPtr& Shared() const { return list_; }
    // The field fieldTag (any occurrence of it): the last of the list with
    // its number, as the cache keeps it; null when there is none. Valid as
    // long as the memo.
    const contracts::FieldDefinition* Find(int32_t fieldTag) const {
      const int32_t number = dorvik::api::BaseTag(fieldTag);
      return lastFound_ != nullptr && lastNumber_ == number ? lastFound_ : Search(number);
    }

   private:
    const contracts::FieldDefinition* Search(int32_t number) const;

    FieldDefinitionsPtr list_;
    // (number, position) sorted by number, the last position of a number
    // only; made for long lists, which a walk would take too long to search.
    std::vector<std::pair<int32_t, std::size_t>> byNumber_;
    // The last field found: consecutive items mostly ask for one field.
    mutable int32_t lastNumber_ = 0;
    mutable const contracts::FieldDefinition* lastFound_ = nullptr;
  };

  FieldDefinitionMemo() = default;
  FieldDefinitionMemo(const FieldDefinitionMemo&) = delete;
  FieldDefinitionMemo& operator=(const FieldDefinitionMemo&) = delete;

  // The definition memoized under definitionId, or null.
  const Definition* Find(int32_t definitionId) const {
    return last_ != nullptr && lastId_ == definitionId ? last_ : Search(definitionId);
  }
  // Memoizes list under definitionId.
  const Definition& Remember(int32_t definitionId, FieldDefinitionsPtr list);
  // Holds list for the request without memoizing it: the next lookup asks
  // the cache again.
  const Definition& Hold(FieldDefinitionsPtr list);

 private:
  const Definition* Search(int32_t definitionId) const;

  std::unordered_map<int32_t, Definition> byId_;
  std::deque<Definition> held_;  // a deque: references stay valid as it grows
  mutable int32_t lastId_ = 0;
  mutable const Definition* last_ = nullptr;
};

}  // namespace vantrel::access

#endif  // VANTREL_SESSION_FIELD_DEFINITION_MEMO_H_
