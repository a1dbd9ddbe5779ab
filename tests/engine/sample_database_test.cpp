// The sample plant (examples/plant.json): it imports cleanly, holds what
// the library relies on by name, exports to the very text it came from, its
// query files are found through COMPRESS_SOURCE and examples/registry.reg
// names its system account.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "engine_test_support.h"
#include "native/base64.h"
#include "platform/registry.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;
namespace api = dorvik::api;

constexpr int16_t kTypeFloat = -5;  // float32 without quality
const fs::path kExamples = fs::path(VANTREL_SOURCE_DIR) / "examples";

class SampleDatabaseTest : public EngineTest {
 protected:
  // Imports the plant into a database of its own, beside the query files.
  void SetUp() override {
    Reset();
    fs::create_directory_symlink(kExamples / "queries", folder_ / "queries");
    ImportDatabase((kExamples / "plant.json").string(), (folder_ / "plant.db").string());
    Open((folder_ / "plant.db").string());
  }

  TemporaryFolder folder_;

  static std::string Environment(const char* name) {
    char value[api::kEnvironmentValueSize] = {};
    const int32_t length = GetVntEnvironmentVariable(name, value, sizeof value);
    return std::string(value, static_cast<std::size_t>(std::max(length, 0)));
  }

  // Names of the records of a definition, in id order.
  static std::vector<std::string> RecordsOf(std::string_view definition) {
    std::vector<int32_t> ids(api::kRecordListBatch);
    std::vector<char> flags(api::kRecordListBatch);
    std::vector<char> names(api::kRecordListBatch * api::kFieldNameBufferSize);
    std::vector<int16_t> lengths(api::kRecordListBatch);
    int32_t cursor = 0, count = 0;
    GETRECORDLIST_LNAME(1, Id(definition), 1, 1, 0, nullptr, static_cast<int32_t>(api::kRecordListBatch), &cursor,
                        ids.data(), flags.data(), names.data(), lengths.data(), &count);
    std::vector<std::string> result;
    for (int32_t i = 0; i < count; ++i) {
      result.emplace_back(names.data() + static_cast<std::size_t>(i) * api::kFieldNameBufferSize,
                          static_cast<std::size_t>(lengths[static_cast<std::size_t>(i)]));
    }
    return result;
  }

  // All occurrences of a repeated text field, through its count field.
  static std::vector<std::string> Lines(std::string_view record, std::string_view countField,
                                        std::string_view lineField) {
    const auto count = CurrentText(record, countField);
    std::vector<std::string> lines;
    for (int i = 1; count && i <= std::stoi(*count); ++i) {
      lines.push_back(CurrentText(record, fmt::format("{} {}", i, lineField)).value_or("<missing>"));
    }
    return lines;
  }

  static int16_t OwnType(std::string_view record, std::string_view field) {
    const IDANDFT item{Id(record), Tag(field)};
    int16_t type = 0;
    ERRBLOCK error{};
    GETDATATYPES(1, &item, &type, &error);
    return error.ERRCODE == 0 ? type : 0;
  }

  // The records that point at target, as "RECORD FIELD".
  static std::vector<std::string> ReferencesTo(std::string_view target) {
    std::vector<std::string> references;
    int32_t record = 0, fieldTag = 0;
    for (NXTREFER(Id(target), 0, &record, &fieldTag); record != 0; NXTREFER(Id(target), 0, &record, &fieldTag)) {
      if (fieldTag == 0) continue;
      char name[api::kNameBufferSize];
      int16_t length = 0;
      GETNAMDB_LNAME(&record, name, &length);
      char field[api::kFieldNameBufferSize];
      int16_t fieldLength = 0;
      GETFTDB_LNAME(record, fieldTag, field, &fieldLength);
      references.push_back(std::string(name, static_cast<std::size_t>(length)) + " " +
                           std::string(field, static_cast<std::size_t>(fieldLength)));
    }
    return references;
  }
};

TEST_F(SampleDatabaseTest, DefinitionsCarryTheKindsTheLibraryAsksFor) {
  for (const char* definition : {"VN_AnalogDef", "VN_DiscreteDef", "VN_TextDef", "VN_CalcDef", "QueryDef",
                                 "TextViewDef", "CompQueryDef", "ProcedureDef", "ViewDef", "AtMapDef", "VN_BranchDef",
                                 "VN_TaskDef"}) {
    EXPECT_NE(RECTYPEOK(Id(definition), api::kKindDefinition), 0) << definition;
  }
  const std::pair<const char*, int32_t> kinds[] = {{"TI101", api::kKind3},
                                                   {"P101", api::kKind3},
                                                   {"BATCH_ID", api::kKind5},
                                                   {"VN_SequenceTask", api::kKindExternalTask}};
  for (const auto& [record, kind] : kinds) {
    EXPECT_NE(RECTYPEOK(Id(record), kind), 0) << record;
    EXPECT_EQ(RECTYPEOK(Id(record), api::kKindDefinition), 0) << record;
  }
  EXPECT_EQ(RECTYPEOK(Id("CALC_DELTA_T"), api::kKind3), 0);
  EXPECT_EQ(VALIDUSA(Id("AI_SPARE1")), 0) << "the spare input is out of service";
  EXPECT_NE(VALIDUSA(Id("TI101")), 0);
}

TEST_F(SampleDatabaseTest, FieldsHaveTheirKinds) {
  const std::tuple<const char*, const char*, int16_t> fields[] = {
      {"TI101", "VALUE", api::kTypeDoubleQuality}, {"TI101", "HI_LIMIT", api::kTypeDouble},
      {"TI101", "LO_LIMIT", api::kTypeDouble},     {"TI101", "UNITS", 12},
      {"TI101", "DESCRIPTION", 40},               {"TI101", "TREND_COUNT", api::kTypeInt16},
      {"TI101", "1 TREND", kTypeFloat},                    {"TI102", "UPSTREAM_TAG", api::kTypeRecordId},
      {"TI102", "UPSTREAM_VALUE", api::kTypeRecordAndField},
      {"P101", "MODE", api::kTypeInt16},           {"P101", "STATE", api::kTypeInt16Quality},
      {"BATCH_ID", "TEXT_VALUE", 80},              {"CALC_DELTA_T", "1 CALC_LINE", 80},
      {"Q_DAILY_TEMPS", "1 QUERY_LINE", 80},       {"TV_SHIFT_REPORT", "1 QUERY_LINE", 80},
      {"MAP_ANALOG_TREND", "MAP_DefinitionRecord", 32},
      {"MAP_ANALOG_TREND", "MAP_IsDefault", api::kTypeInt16},
      {"VN_TagsBranch", "1 PE_Branch", 32}};
  for (const auto& [record, field, type] : fields) EXPECT_EQ(OwnType(record, field), type) << record << " " << field;

  FIELDDEFN definition{};
  int16_t dataType = 0;
  ERRBLOCK error{};
  FIELDDEFNINFO(Id("TI101"), Tag("VALUE"), 0, &definition, &dataType, &error);
  EXPECT_NE(definition.HISTORY, 0);
  FIELDDEFNINFO(Id("P101"), Tag("MODE"), 0, &definition, &dataType, &error);
  EXPECT_EQ(definition.SELECTORID, Id("VN_OnOffAutoSel"));
}

TEST_F(SampleDatabaseTest, ProcessTagsHoldValuesWithQualityAndHistory) {
  EXPECT_EQ(CurrentText("TI101", "UNITS"), "degC");
  EXPECT_EQ(CurrentText("TI101", "DESCRIPTION"), "Reactor inlet temperature");
  EXPECT_EQ(CurrentText("P101", "MODE"), "2");
  EXPECT_EQ(CurrentText("BATCH_ID", "TEXT_VALUE"), "B-2024-0307-01");
  EXPECT_EQ(CurrentText("TI101", "TREND_COUNT"), "5");
  EXPECT_TRUE(CurrentText("TI101", "5 TREND").has_value());
  EXPECT_EQ(CurrentText("TI102", "UPSTREAM_TAG"), "TI101");

  ERRBLOCK error{};
  const auto value = Read(Id("TI101"), Tag("VALUE"), api::kTypeDoubleQuality, sizeof(DVANDQU), error);
  ASSERT_EQ(error.ERRCODE, 0);
  XUSTS time{};
  std::memcpy(&time, value.data() + offsetof(DVANDQU, TIME), sizeof time);
  EXPECT_EQ(time.SECONDS, 1'709'769'600) << "2024-03-07T00:00:00Z";

  // Hourly history over a week up to the current value (three days of it
  // read below).
  EXPECT_EQ(HistoryCount("TI101", "VALUE"), 7 * 24 + 1);
  EXPECT_GT(HistoryCount("P101", "STATE"), 2);
  const XUSTS from{1'709'510'400, 0}, to{1'709'769'600, 0};
  std::vector<int16_t> levels(100);
  std::vector<XUSTS> times(100);
  std::vector<double> values(100);
  void* buffers[] = {values.data()};
  const int32_t fieldTag = Tag("VALUE");
  const int16_t type = api::kTypeDouble;
  int32_t returned = 0;
  int16_t fieldsDone = 0;
  RHIS21DATA(4, 0, 0, Id("PI201"), fieldTag + 1, &from, &to, 1, &fieldTag, &type, 100, levels.data(), times.data(),
             buffers, &returned, &fieldsDone, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(returned, 73);
  EXPECT_NE(std::count(levels.begin(), levels.end(), 2), 0) << "a stretch of doubtful pressure values";
}

TEST_F(SampleDatabaseTest, SelectorNamesTheModes) {
  const int32_t selector = Id("VN_OnOffAutoSel");
  int32_t tags[] = {api::kFieldSelectorCount, api::kFieldSelectorFirst};
  int16_t types[] = {api::kTypeInt16, api::kTypeInt16};
  int16_t header[2] = {};
  int16_t done = 0;
  ERRBLOCK error{};
  RDBVALS(selector, 2, tags, types, header, &done, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(header[0], 3);
  EXPECT_EQ(header[1], 0);
  std::vector<std::string> texts;
  for (int i = 1; i <= header[0]; ++i) {
    std::string text = ReadText(selector, api::kFieldSelectorTexts | i, error);
    texts.push_back(text.substr(0, text.find_last_not_of(' ') + 1));
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"OFF", "ON", "AUTO"}));
}

TEST_F(SampleDatabaseTest, CalculationsAndQueriesReferToTags) {
  EXPECT_EQ(RecordsOf("VN_CalcDef"), (std::vector<std::string>{"CALC_DELTA_T", "CALC_COOLING", "CALC_LEVEL_RATE"}));
  const auto delta = Lines("CALC_DELTA_T", "CALC_LINE_COUNT", "CALC_LINE");
  ASSERT_EQ(delta.size(), 4u);
  EXPECT_EQ(delta[2], "IF (TI101) > 90 THEN ALARM('TI101')");
  const auto cooling = Lines("CALC_COOLING", "CALC_LINE_COUNT", "CALC_LINE");
  ASSERT_EQ(cooling.size(), 5u);
  EXPECT_NE(cooling[1].find("TI1010"), std::string::npos) << "a near miss of TI101";
  EXPECT_GT(Id("TI1010"), 0);
  EXPECT_EQ(Lines("Q_DAILY_TEMPS", "QUERY_LINE_COUNT", "QUERY_LINE").size(), 4u);
  EXPECT_EQ(Lines("TV_SHIFT_REPORT", "QUERY_LINE_COUNT", "QUERY_LINE").size(), 3u);

  const auto references = ReferencesTo("TI101");
  for (const char* reference : {"TI102 UPSTREAM_TAG", "TI102 UPSTREAM_VALUE", "CALC_DELTA_T CALC_INPUT"}) {
    EXPECT_NE(std::find(references.begin(), references.end(), reference), references.end()) << reference;
  }
  EXPECT_EQ(ReferencesTo("FI301"), (std::vector<std::string>{"LI401 UPSTREAM_TAG", "LI401 UPSTREAM_VALUE",
                                                             "CQ_FEED_SUMMARY QUERY_SOURCE"}));
}

TEST_F(SampleDatabaseTest, QueryFilesAreFoundThroughCompressSource) {
  const fs::path folder = Environment("COMPRESS_SOURCE");
  EXPECT_EQ(fs::weakly_canonical(folder), fs::weakly_canonical(kExamples / "queries"));
  std::vector<std::string> withFile, withoutFile;
  for (const char* definition : {"CompQueryDef", "ProcedureDef", "ViewDef"}) {
    for (const std::string& record : RecordsOf(definition)) {
      (fs::exists(folder / (record + ".sql")) ? withFile : withoutFile).push_back(record);
    }
  }
  EXPECT_EQ(withFile, (std::vector<std::string>{"CQ_FEED_SUMMARY", "PR_SHIFT_CHANGE", "VW_REACTOR"}));
  EXPECT_EQ(withoutFile, std::vector<std::string>{"VW_PLANNED"});
  EXPECT_NE(FileText(folder / "CQ_FEED_SUMMARY.sql").find("'FI301'"), std::string::npos);
}

TEST_F(SampleDatabaseTest, MapRecordsAndTheBranchNameDefinitions) {
  std::vector<std::pair<std::string, std::string>> analogMaps;  // name, MAP_IsDefault
  for (const std::string& map : RecordsOf("AtMapDef")) {
    const auto definition = CurrentText(map, "MAP_DefinitionRecord");
    ASSERT_TRUE(definition.has_value()) << map;
    EXPECT_NE(RECTYPEOK(Id(*definition), api::kKindDefinition), 0) << map << " names " << *definition;
    if (*definition == "VN_AnalogDef") analogMaps.emplace_back(map, CurrentText(map, "MAP_IsDefault").value_or(""));
  }
  EXPECT_EQ(analogMaps, (std::vector<std::pair<std::string, std::string>>{{"MAP_ANALOG_FACEPLATE", "0"},
                                                                          {"MAP_ANALOG_TREND", "1"}}));

  const auto branches = Lines("VN_TagsBranch", "PE_BranchCount", "PE_Branch");
  EXPECT_EQ(branches, (std::vector<std::string>{"VN_AnalogDef", "VN_DiscreteDef", "VN_TextDef", "VN_CalcDef"}));
  for (const std::string& definition : branches) EXPECT_NE(RECTYPEOK(Id(definition), api::kKindDefinition), 0);
}

TEST_F(SampleDatabaseTest, EveryoneWritesProcessTagsAndTheStartCommandActivatesTheTask) {
  ::setenv("DORVIK_TASK_NAME", "VN_SequenceTask", 1);
  int32_t task = 0;
  ERRBLOCK error{};
  EXTSKINI(&task, &error);
  ::unsetenv("DORVIK_TASK_NAME");
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(task, Id("VN_SequenceTask"));

  SetTlsData("PLANT", "operator1");
  int32_t allowed = 0, level = 0;
  GETFLDPERMIS(Id("TI101"), Tag("VALUE"), 2, &allowed, &level, &error);
  EXPECT_NE(allowed, 0);
  GETFLDPERMIS(Id("CALC_DELTA_T"), Tag("CALC_RESULT"), 2, &allowed, &level, &error);
  EXPECT_EQ(allowed, 0) << "calculations are configuration, not process tags";

  SVANDQU start{1, 0, 0, 0, {}};
  const IDANDFT item{Id("P101"), Tag("START_CMD")};
  const int16_t type = api::kTypeInt16Quality;
  int16_t done = 0;
  MWDBVALS(1, &item, &type, &start, &done, &error);
  ASSERT_EQ(error.ERRCODE, 0) << Message(error);
  EXPECT_EQ(PendingActivations("VN_SequenceTask"), 1);
  EXTSKEND();
}

TEST_F(SampleDatabaseTest, EnvironmentAndRegistryDescribeTheInstallation) {
  EXPECT_EQ(Environment("DORVIK_GROUP_NAME"), "PLANT1");
  EXPECT_EQ(Environment("VANTREL_VERSION"), "17.0");
  EXPECT_EQ(fs::path(Environment("DORVIK_GROUP_FOLDER_NAME")), folder_ / "group") << "beside the database";

  // The registry key that the link reads the system account from.
  using vantrel::platform::RegistryKey;
  ::setenv(vantrel::platform::kRegistryFileVariable, (kExamples / "registry.reg").c_str(), 1);
  const std::string group = Environment("DORVIK_GROUP_NAME");
  const auto key = RegistryKey::OpenLocalMachine(
      fmt::format("SOFTWARE\\Korvane\\Vantrel\\{}\\{}", Environment("VANTREL_VERSION"), group));
  const auto version = RegistryKey::OpenLocalMachine("SOFTWARE\\Korvane\\Vantrel\\CurrentVersion");
  const auto service = RegistryKey::OpenLocalMachine("System\\CurrentControlSet\\Services\\DvkTskSrv" + group);
  ::unsetenv(vantrel::platform::kRegistryFileVariable);
  ASSERT_TRUE(key && version && service);
  EXPECT_EQ(version->GetString("VANTREL_VERSION"), Environment("VANTREL_VERSION"));
  const std::string encoded = key->GetString("VANTREL_SYSTEM_ACCOUNT").value_or("");
  char account[api::kNameBufferSize] = {};
  uint32_t accountLength = api::kMaxNameLength;
  ASSERT_EQ(vantrel::access::UUDecodeString(encoded.c_str(), static_cast<uint32_t>(encoded.size()), account,
                                            &accountLength),
            1);
  const auto file = nlohmann::json::parse(FileText(kExamples / "plant.json"));
  EXPECT_EQ(std::string(account, accountLength), file.at("systemAccount").get<std::string>());
  EXPECT_EQ(service->GetString("ObjectName"), file.at("systemAccount").get<std::string>());
}

TEST_F(SampleDatabaseTest, ExportsTheTextItCameFromAndPassesTheCheck) {
  ExportDatabase((folder_ / "exported.json").string());
  EXPECT_EQ(FileText(folder_ / "exported.json"), FileText(kExamples / "plant.json"));
  const CheckReport report = CheckDatabase();
  EXPECT_TRUE(report.ok()) << report.faults.front();
  EXPECT_GT(report.records, 30);
  EXPECT_GT(report.samples, 73);
}

}  // namespace
}  // namespace dorvik::testing
