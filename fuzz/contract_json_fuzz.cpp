// ParseJson of every contract type: the first byte chooses the type, the
// rest is the JSON text. Reading ends in a JsonFormatError with a message
// or in a value whose JSON form reads back to the same JSON form.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "contracts/collections.h"
#include "contracts/json.h"
#include "fuzz/fuzz_check.h"

namespace {

namespace c = vantrel::contracts;

template <typename T>
void RoundTrip(std::string_view text) {
  try {
    const c::Json json = c::ToJson(c::ParseJson<T>(text));
    FUZZ_CHECK(c::ToJson(c::ParseJson<T>(json.dump())) == json, "the JSON form reads back to itself");
  } catch (const c::JsonFormatError& error) {
    FUZZ_CHECK(std::strlen(error.what()) > 0 && !error.Reason().empty(), "a format error says what is wrong");
  }
}

template <typename... T>
struct TypeList {
  static constexpr std::size_t kSize = sizeof...(T);
  // Reads text as the index-th type.
  static void RoundTripAt(std::size_t index, std::string_view text) {
    std::size_t i = 0;
    ((i++ == index ? RoundTrip<T>(text) : void()), ...);
  }
};

using Everything = TypeList<
    // Records and leaves.
    c::DateTime, c::TagIdentifier, c::TagValue, c::Field, c::FieldDefinition, c::FieldAccessRights,
    c::TagHistoryInfo, c::ReferenceInfo, c::HistoryQuery, c::HistoryRequestById, c::Version, c::ServiceException,
    c::TagTypeEnum, c::FieldReferenceTypeEnum, c::ReferenceSourceTypeEnum, c::HistoryRequestTypeEnum,
    c::OutsidersRequestTypeEnum, c::TypeCode,
    // Lists and maps.
    c::TagNames, c::TagIds, c::TagIdentifiers, c::TagValues, c::Tags, c::TagsById, c::TagValuesById,
    c::TagValuesByIds, c::TagValuesByName, c::TagValuesByNames, c::TagNamesByDefinitionTag,
    c::TagIdentifiersByDefinitionTag, c::DefinitionIdentifierByTagName, c::Fields, c::FieldDefinitions,
    c::FieldDefinitionsByTagName, c::HistoryRequests, c::TagReference, c::TagReferences, c::UsableByTagId,
    c::DefinitionIdByTagId, c::Selectors, c::SelectorsByIds, c::SelectorsByTagId, c::FieldAccessRightsByTagId,
    c::HistoryInfoByTagId>;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  Everything::RoundTripAt(data[0] % Everything::kSize,
                          std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
