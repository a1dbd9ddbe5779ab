// Selectors: the value sets of enumerated fields, read from selector records.
#include <algorithm>
#include <array>
#include <vector>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "session/session.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::Selectors;

struct SelectorHeader {
  int16_t count = 0;
  int16_t first = 0;
};

// Reads count and first of a selector record; nothing when the read fails
// (error then holds the failure).
std::optional<SelectorHeader> ReadSelectorHeader(int32_t selectorId, ERRBLOCK& error) {
  const std::array<int32_t, 2> fieldTags{api::kFieldSelectorCount, api::kFieldSelectorFirst};
  const std::array<int16_t, 2> types{api::kTypeInt16, api::kTypeInt16};
  std::array<int16_t, 2> values{};
  int16_t done = 0;
  RDBVALS(selectorId, 2, fieldTags.data(), types.data(), values.data(), &done, &error);
  if (error.ERRCODE != api::kSuccess) return std::nullopt;
  return SelectorHeader{values[0], values[1]};
}

// The width in bytes of a selector record's entry texts; nothing when the
// database cannot say.
std::optional<int16_t> ReadTextWidth(int32_t selectorId, ERRBLOCK& error) {
  FIELDDEFN definition{};
  int16_t dataType = 0;
  FIELDDEFNINFO(selectorId, api::kFieldSelectorTexts, 0, &definition, &dataType, &error);
  if (error.ERRCODE != api::kSuccess || definition.DATATYPE <= 0) return std::nullopt;
  return definition.DATATYPE;
}

// Reads the entry texts, occurrences 1 to count, each width bytes in a slot
// rounded up to an even size. Nothing when the read fails.
std::optional<Selectors> ReadSelectorEntries(int32_t selectorId, const SelectorHeader& header, int16_t width,
                                             ERRBLOCK& error) {
  const std::size_t stride = static_cast<std::size_t>(width) + (width % 2);
  std::vector<char> occurrences(std::max<std::size_t>(static_cast<std::size_t>(header.count) * stride, 1), '\0');
  void* const buffers[1] = {occurrences.data()};
  const int32_t fieldTag = api::kFieldSelectorTexts;
  int16_t occurrencesRead = 0;
  int16_t fieldsDone = 0;
  MRDBOCCS(selectorId, 1, &fieldTag, &width, 1, header.count, buffers, &occurrencesRead, &fieldsDone, &error);
  if (error.ERRCODE != api::kSuccess) return std::nullopt;

  Selectors selectors;
  for (int32_t k = 0; k < header.count; ++k) {
    const std::string text = platform::FromAscii(
        std::string_view(occurrences.data() + static_cast<std::size_t>(k) * stride, static_cast<std::size_t>(width)));
    selectors[header.first + k] = std::string(platform::TrimEnd(text));
  }
  return selectors;
}

}  // namespace

Selectors Session::GetSelectors(int32_t selectorId) { return ReadSelectors(selectorId).value_or(Selectors{}); }

std::optional<Selectors> Session::ReadSelectors(int32_t selectorId) {
  if (selectorId <= 0) return Selectors{};
  ERRBLOCK error{};
  const auto header = ReadSelectorHeader(selectorId, error);
  if (!header) return std::nullopt;
  if (header->count <= 0) {
    LogDorvikError(error, "GetSelectors");
    return Selectors{};
  }
  const auto width = ReadTextWidth(selectorId, error);
  if (!width) return std::nullopt;
  auto selectors = ReadSelectorEntries(selectorId, *header, *width, error);
  if (!selectors) {
    const std::string message =
        fmt::format("Could not read occurrences of SelectorId:{0}.firstoc:1, lastoc:{1}. Error:{2}", selectorId,
                    header->count, GenerateVntErrorMessage(error));
    LogError({message});
    throw platform::ApplicationException(message);
  }
  return std::move(*selectors);
}

Selectors Session::GetRecordSpecificSelectors(int32_t recid, int32_t selectorId) {
  if (selectorId <= 0) return {};
  const int32_t fieldTag = GetAttributeID(GetRecordName(selectorId));
  if (fieldTag <= 0) return {};

  ERRBLOCK error{};
  const int16_t type = api::kTypeRecordId;
  int32_t recordSelectorId = 0;
  int16_t done = 0;
  RDBVALS(recid, 1, &fieldTag, &type, &recordSelectorId, &done, &error);
  if (error.ERRCODE != api::kSuccess || recordSelectorId <= 0) return {};

  const auto header = ReadSelectorHeader(recordSelectorId, error);
  if (!header || header->count < 0) return {};
  const auto width = ReadTextWidth(recordSelectorId, error);
  if (!width) {
    LogDorvikError(error);
    return {};
  }
  auto selectors = ReadSelectorEntries(recordSelectorId, *header, *width, error);
  if (!selectors) throw platform::ApplicationException(GenerateVntErrorMessage(error));
  return std::move(*selectors);
}

}  // namespace vantrel::access
