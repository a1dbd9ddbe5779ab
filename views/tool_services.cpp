#include "views/tool_services.h"

#include <algorithm>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "api/records.h"
#include "views/name_pattern.h"
#include "views/record_names.h"
#include "data/data_access.h"
#include "engine/control.h"
#include "platform/codepage.h"
#include "platform/operation_context.h"

namespace vantrel::cli {
namespace {

namespace api = dorvik::api;
using contracts::FieldDefinition;

// --- In process: the library's DataAccess and its session's look-ups ----------

constexpr int32_t kListRecordsOfDefinition = 1;
constexpr int32_t kListDefinitions = 2;

struct Listed {
  int32_t id;
  std::string name;
};

// One whole record list of the client API, in the database's order, 500
// names a call.
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

// The tool's data calls go to a data service as they are; only the name
// look-ups differ between in process and through a host.
class ForwardsDataCalls : public ToolAccess {
 public:
  explicit ForwardsDataCalls(contracts::IAccessService& data) : data_(data) {}
  contracts::TagValuesByIds GetTagValues(const contracts::TagsById& tagList) override {
    return data_.GetTagValues(tagList);
  }
  contracts::TagValuesByNames GetTagValues(const contracts::Tags& tagList) override {
    return data_.GetTagValues(tagList);
  }
  void SetTagValues(const contracts::TagValuesByIds& values) override { data_.SetTagValues(values); }
  void SetTagValues(const contracts::TagValuesByNames& values) override { data_.SetTagValues(values); }
  contracts::TagValuesByIds GetHistoryValuesByIds(const contracts::HistoryRequests& request) override {
    return data_.GetHistoryValuesByIds(request);
  }

 private:
  contracts::IAccessService& data_;
};

class LocalToolAccess final : public ForwardsDataCalls {
 public:
  // The base keeps a reference to access_, used only once both are made.
  LocalToolAccess() : ForwardsDataCalls(access_) {}
  int32_t GetRecordID(const std::string& name) override { return access_.GetRecordID(name); }
  int32_t GetAttributeID(const std::string& fieldName) override { return access_.GetAttributeID(fieldName); }
  int32_t GetDefinitionID(int32_t recordId) override { return access_.GetDefinitionID(recordId); }
  int32_t GetDefinitionRecordID(const std::string& name) override { return access_.GetDefinitionRecordID(name); }
  // The library's names keep ASCII only; the tool decodes the code page.
  std::string RecordNameOf(int32_t recordId) override {
    return access_.GetRecordName(recordId).empty() ? std::string() : cli::RecordNameOf(recordId);
  }
  std::string GetAttributeName(int32_t recordId, int32_t fieldTag) override {
    return access_.GetAttributeName(recordId, fieldTag);
  }
  std::string GetAttributeNameWithOccurenceNumber(int32_t recordId, int32_t fieldTag) override {
    return access_.GetAttributeNameWithOccurenceNumber(recordId, fieldTag);
  }
  FieldDefinitionsPtr GetFieldDefinitions(int32_t definitionId) override {
    return access_.GetFieldDefinitions(definitionId);
  }
  int32_t GetMaximumOcurrences(const std::string& record, const std::string& field) override {
    return access_.GetMaximumOcurrences(record, field);
  }
  contracts::Selectors GetRecordSpecificSelectors(int32_t recordId, const FieldDefinition& field) override {
    return access_.GetRecordSpecificSelectors(recordId, field.SelectorRecordId);
  }
  // The library's filtered list runs the name test on every name it lists.
  contracts::TagNames RecordsOf(const std::string& definition, const std::vector<std::string>& patterns) override {
    return patterns.empty() ? access_.GetTagNamesByDefinition(definition)
                            : access_.GetFilteredTagNamesByDefinition(definition, patterns, MatchesAnyNamePattern);
  }
  void ListNames(std::vector<std::string>& definitions, std::vector<std::string>& records) override {
    for (const Listed& definition : List(kListDefinitions, 0)) {
      definitions.push_back(definition.name);
      records.push_back(definition.name);
      for (Listed& record : List(kListRecordsOfDefinition, definition.id)) records.push_back(std::move(record.name));
    }
  }
  std::optional<std::string> WholeDatabaseRefusal() override {
    if (!dorvik::IsReadOnly()) return std::nullopt;
    return fmt::format("the database is read-only here (its data file cannot be written by {})",
                       platform::CurrentThreadAccount());
  }
  std::optional<int32_t> RightsLevel(int32_t recordId, int32_t fieldTag) override {
    constexpr int32_t kWriteAccess = 2;
    int32_t allowed = 0;
    int32_t level = 0;
    ERRBLOCK error{};
    GETFLDPERMIS(recordId, fieldTag, kWriteAccess, &allowed, &level, &error);
    if (error.ERRCODE != api::kSuccess) return std::nullopt;
    return level;
  }
  bool IsRemote() const override { return false; }

 private:
  access::DataAccess access_;
};

// --- Through a host: each look-up one operation of the management service -------

class RemoteToolAccess final : public ForwardsDataCalls {
 public:
  RemoteToolAccess(contracts::IAccessService& access, contracts::IManagementService& management)
      : ForwardsDataCalls(access), access_(access), management_(management) {}

  int32_t GetRecordID(const std::string& name) override { return management_.GetTagID(name); }
  int32_t GetAttributeID(const std::string& fieldName) override { return management_.GetFieldID(fieldName); }
  int32_t GetDefinitionID(int32_t recordId) override {
    if (recordId <= 0) return 0;
    const contracts::DefinitionIdByTagId answer = management_.GetDefinitionIDs({recordId});
    const auto found = answer.find(recordId);
    return found == answer.end() ? 0 : found->second;
  }
  int32_t GetDefinitionRecordID(const std::string& name) override {
    const int32_t id = GetRecordID(name);
    if (id <= 0) return id;
    const std::string spelled = RecordNameOf(id);
    const auto& definitions = DefinitionNames();
    return std::find(definitions.begin(), definitions.end(), spelled) != definitions.end() ? id : GetDefinitionID(id);
  }
  std::string RecordNameOf(int32_t recordId) override {
    return recordId <= 0 ? std::string() : management_.GetTagName(recordId);
  }
  std::string GetAttributeName(int32_t recordId, int32_t fieldTag) override {
    return management_.GetFieldName(recordId, fieldTag);
  }
  // "N NAME" for occurrence N, as the database writes it.
  std::string GetAttributeNameWithOccurenceNumber(int32_t recordId, int32_t fieldTag) override {
    const int32_t occurrence = api::OccurrenceOf(fieldTag);
    const std::string name = GetAttributeName(recordId, api::BaseTag(fieldTag));
    return occurrence > 0 ? fmt::format("{} {}", occurrence, name) : name;
  }
  FieldDefinitionsPtr GetFieldDefinitions(int32_t definitionId) override {
    const std::string name = RecordNameOf(definitionId);
    if (name.empty()) return std::make_shared<const contracts::FieldDefinitions>();
    contracts::FieldDefinitionsByTagName answer = management_.GetFieldDefinitions({name});
    const auto found = answer.find(name);
    if (found == answer.end()) return std::make_shared<const contracts::FieldDefinitions>();
    return std::make_shared<const contracts::FieldDefinitions>(std::move(found->second));
  }
  // A repeat area's values, read whole: as many as it holds now.
  int32_t GetMaximumOcurrences(const std::string& record, const std::string& field) override {
    try {
      const contracts::TagValuesByNames values = access_.GetTagValues(contracts::Tags{{record, {field}}});
      const auto found = values.find(record);
      if (found == values.end()) return 1;
      const auto entry = found->second.find(field);
      return entry == found->second.end() ? 1 : static_cast<int32_t>(entry->second.size());
    } catch (const std::exception&) {
      return 1;  // unknown, as in process
    }
  }
  contracts::Selectors GetRecordSpecificSelectors(int32_t recordId, const FieldDefinition& field) override {
    const contracts::SelectorsByTagId answer =
        management_.GetSelectors(contracts::TagsById{{recordId, {field.Number}}});
    const auto record = answer.find(recordId);
    if (record == answer.end()) return {};
    const auto entry = record->second.find(field.Number);
    return entry == record->second.end() ? contracts::Selectors{} : entry->second;
  }
  contracts::TagNames RecordsOf(const std::string& definition, const std::vector<std::string>& patterns) override {
    contracts::TagNames names;
    for (const auto& [owner, records] : management_.GetTagNamesByDefinition(contracts::TagNames{definition})) {
      for (const std::string& name : records) {
        if (patterns.empty() || MatchesAnyNamePattern(name, patterns)) names.push_back(name);
      }
    }
    return names;
  }
  void ListNames(std::vector<std::string>& definitions, std::vector<std::string>& records) override {
    definitions = DefinitionNames();
    records = definitions;
    for (const auto& [definition, names] : management_.GetTagNamesByDefinition(definitions)) {
      records.insert(records.end(), names.begin(), names.end());
    }
  }
  // The host's database says so at the write itself.
  std::optional<std::string> WholeDatabaseRefusal() override { return std::nullopt; }
  std::optional<int32_t> RightsLevel(int32_t, int32_t) override { return std::nullopt; }
  bool IsRemote() const override { return true; }

 private:
  const std::vector<std::string>& DefinitionNames() {
    if (!definitionNames_) definitionNames_ = management_.GetAllDefinitionTags();
    return *definitionNames_;
  }

  contracts::IAccessService& access_;
  contracts::IManagementService& management_;
  std::optional<contracts::TagNames> definitionNames_;
};

}  // namespace

std::unique_ptr<ToolAccess> MakeLocalToolAccess() { return std::make_unique<LocalToolAccess>(); }

std::unique_ptr<ToolAccess> MakeRemoteToolAccess(contracts::IAccessService& access,
                                                 contracts::IManagementService& management) {
  return std::make_unique<RemoteToolAccess>(access, management);
}

}  // namespace vantrel::cli
