#include "cli/name_catalog.h"

#include <algorithm>
#include <cstdint>

#include "api/dorvik.h"
#include "cli/progress.h"
#include "platform/codepage.h"

namespace vantrel::cli {
namespace {

namespace api = dorvik::api;

constexpr int32_t kListRecordsOfDefinition = 1;
constexpr int32_t kListDefinitions = 2;

struct Listed {
  int32_t id;
  std::string name;
};

// One whole record list, in the database's order.
std::vector<Listed> List(int32_t mode, int32_t definitionId) {
  constexpr auto kBatch = static_cast<int32_t>(api::kRecordListBatch);
  std::vector<int32_t> ids(api::kRecordListBatch);
  std::vector<char> flags(api::kRecordListBatch);
  std::vector<char> names(api::kRecordListBatch * api::kFieldNameBufferSize);
  std::vector<int16_t> lengths(api::kRecordListBatch);
  std::vector<Listed> listed;
  int32_t cursor = 0;
  for (;;) {
    int32_t count = 0;
    GETRECORDLIST_LNAME(mode, definitionId, 1, 1, 0, nullptr, kBatch, &cursor, ids.data(), flags.data(), names.data(),
                        lengths.data(), &count);
    const int32_t filled = std::clamp(count, 0, kBatch);
    for (int32_t i = 0; i < filled; ++i) {
      const auto index = static_cast<std::size_t>(i);
      const std::size_t length = std::clamp<std::size_t>(static_cast<std::size_t>(std::max<int16_t>(lengths[index], 0)),
                                                         0, api::kFieldNameBufferSize);
      const std::string name =
          platform::FromAnsi(std::string_view(names.data() + index * api::kFieldNameBufferSize, length));
      listed.push_back({ids[index], std::string(platform::Trim(name))});
    }
    if (filled < kBatch) return listed;
  }
}

}  // namespace

const std::vector<std::string>& NameCatalog::Definitions() {
  if (!definitions_) Load();
  return *definitions_;
}

const std::vector<std::string>& NameCatalog::Records() {
  if (!definitions_) Load();
  return records_;
}

void NameCatalog::Forget() {
  definitions_.reset();
  records_.clear();
}

void NameCatalog::Load() {
  const std::vector<Listed> definitions = List(kListDefinitions, 0);
  Progress progress("listing record names", static_cast<int64_t>(definitions.size()));
  std::vector<std::string> definitionNames;
  std::vector<std::string> records;
  for (const Listed& definition : definitions) {
    definitionNames.push_back(definition.name);
    records.push_back(definition.name);
    for (Listed& record : List(kListRecordsOfDefinition, definition.id)) records.push_back(std::move(record.name));
    progress.Advance();
  }
  std::sort(definitionNames.begin(), definitionNames.end());
  std::sort(records.begin(), records.end());
  records.erase(std::unique(records.begin(), records.end()), records.end());
  definitions_ = std::move(definitionNames);
  records_ = std::move(records);
}

}  // namespace vantrel::cli
