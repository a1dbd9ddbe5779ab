#include "cli/record_names.h"

#include <fmt/format.h>

#include "cli/errors.h"
#include "cli/name_catalog.h"
#include "cli/suggest.h"
#include "session/session.h"

namespace vantrel::cli {

std::optional<NamedRecord> RecordNames::Record(const std::string& name) {
  const int32_t id = session_.GetRecordID(name);
  if (id <= 0) {
    problems_.push_back(fmt::format("there is no record {}{}", name, DidYouMean(name, catalog_.Records())));
    return std::nullopt;
  }
  NamedRecord record{id, session_.GetRecordName(id), session_.GetDefinitionRecordID(name), {}};
  record.definition = session_.GetRecordName(record.definitionId);
  return record;
}

std::optional<NamedRecord> RecordNames::Definition(const std::string& name) {
  if (session_.GetRecordID(name) <= 0) {
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
