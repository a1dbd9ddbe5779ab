#include "views/record_names.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "api/records.h"
#include "views/errors.h"
#include "views/name_catalog.h"
#include "views/suggest.h"
#include "platform/codepage.h"
#include "views/tool_services.h"

namespace vantrel::cli {

std::string RecordNameOf(int32_t id) {
  std::array<char, dorvik::api::kNameBufferSize> buffer{};
  int16_t length = 0;
  GETNAMDB_LNAME(&id, buffer.data(), &length);
  const auto count = std::clamp<std::size_t>(static_cast<std::size_t>(std::max<int16_t>(length, 0)), 0,
                                              dorvik::api::kMaxNameLength);
  return std::string(platform::FromAnsiTrimmed(std::string_view(buffer.data(), count)));
}


std::optional<NamedRecord> RecordNames::Record(const std::string& name) {
  const int32_t id = access_.GetRecordID(name);
  if (id <= 0) {
    problems_.push_back(fmt::format("there is no record {}{}", name, DidYouMean(name, catalog_.Records())));
    return std::nullopt;
  }
  NamedRecord record{id, access_.RecordNameOf(id), access_.GetDefinitionRecordID(name), {}};
  record.definition = access_.RecordNameOf(record.definitionId);
  return record;
}

std::optional<NamedRecord> RecordNames::Definition(const std::string& name) {
  if (access_.GetRecordID(name) <= 0) {
    problems_.push_back(fmt::format("there is no definition {}{}", name, DidYouMean(name, catalog_.Definitions())));
    return std::nullopt;
  }
  auto record = Record(name);
  if (record && !record->IsDefinition()) {
    problems_.push_back(fmt::format("{} is not a definition: it is a record of {}", record->name, record->definition));
    return std::nullopt;
  }
  return record;
}

void RecordNames::Require() const {
  if (problems_.empty()) return;
  std::string message;
  for (const auto& problem : problems_) message += (message.empty() ? "" : "; ") + problem;
  throw NotFoundError(message);
}

}  // namespace vantrel::cli
