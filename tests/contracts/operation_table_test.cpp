#include "contracts/operation_table.h"

#include <set>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantrel::contracts {
namespace {

using ::testing::HasSubstr;

// One value (the variant assigned in place: g++ 12 sees a moved variant as
// maybe uninitialized).
template <typename T>
TagValues Holding(const T& value) {
  TagValues values(1);
  values[0].Value.emplace<T>(value);
  return values;
}

// Records what reached it; answers with fixed values.
class RecordingAccess : public IAccessService {
 public:
  TagValuesByIds GetTagValues(const TagsById& tagList) override {
    lastCall = "GetTagValues(ids)";
    TagValuesByIds answer;
    for (const auto& [record, fields] : tagList) {
      for (int32_t field : fields) answer[record][field] = Holding(int32_t{7});
    }
    return answer;
  }
  TagValuesByNames GetTagValues(const Tags& tagList) override {
    lastCall = "GetTagValues(names)";
    TagValuesByNames answer;
    for (const auto& [record, fields] : tagList) {
      for (const auto& field : fields) answer[record][field] = Holding(std::string("x"));
    }
    return answer;
  }
  void SetTagValues(const TagValuesByIds& values) override {
    lastCall = "SetTagValues(ids)";
    written = values.size();
  }
  void SetTagValues(const TagValuesByNames& values) override {
    lastCall = "SetTagValues(names)";
    written = values.size();
  }
  TagValuesByIds GetHistoryValuesByIds(const HistoryRequests& request) override {
    lastCall = "GetHistoryValuesByIds";
    written = request.size();
    return {};
  }

  std::string lastCall;
  std::size_t written = 0;
};

class RecordingServer : public IServerManagementService {
 public:
  std::string GetVntGroup200FolderPath() override { return "/group"; }
  std::string GetVntEnvironmentVariable(const std::string& name) override { return "value of " + name; }
  int32_t GetMaxHistorySizePerCall() override { return 10000; }
  void SetTLSData(const std::string& key, const std::string& userContext) override {
    lastContext = key + "|" + userContext;
  }
  std::string lastContext;
};

TEST(OperationTableTest, EveryContractOperationIsThereOnceUnderItsService) {
  std::set<std::string> names;
  for (const auto& operation : Operations()) {
    EXPECT_TRUE(names.insert(std::string(operation.name)).second) << operation.name;
    EXPECT_EQ(FindOperation(operation.service, operation.name), &operation);
    EXPECT_EQ(FindOperation(ServiceName(operation.service), operation.name), &operation);
  }
  EXPECT_EQ(OperationNames(ServiceKind::kAccess).size(), 5U);
  EXPECT_EQ(OperationNames(ServiceKind::kManagement).size(), 25U);
  EXPECT_EQ(OperationNames(ServiceKind::kServer).size(), 4U);
  EXPECT_EQ(FindOperation("management", "GetTagValues"), nullptr);
  EXPECT_EQ(FindOperation("nothing", "GetTagID"), nullptr);
  // The overloads keep the contract's name for the impersonation lookup.
  EXPECT_EQ(FindOperationByName("SetTagValuesByIds")->contractName, "SetTagValues");
}

TEST(OperationTableTest, ParametersKeepTheContractSpelling) {
  const Operation* byDefinition = FindOperation(ServiceKind::kManagement, "GetTagNamesByDefinition");
  ASSERT_NE(byDefinition, nullptr);
  EXPECT_EQ(byDefinition->parameters.at(0).name, "definitonTags");
  const Operation* fieldName = FindOperation(ServiceKind::kManagement, "GetFieldName");
  ASSERT_EQ(fieldName->parameters.size(), 2U);
  EXPECT_EQ(fieldName->parameters[1].name, "fieldId");
  EXPECT_EQ(fieldName->parameters[1].typeName, "int32");
}

TEST(OperationTableTest, OverloadsReachTheirOwnInterfaceMethod) {
  RecordingAccess access;
  const ServiceSet services{.access = &access};
  const auto byNames = FindOperationByName("GetTagValues")->Prepare(Json::parse(R"({"tagList": {"T1": ["F"]}})"));
  EXPECT_EQ(byNames.Invoke(services)->at("T1").at("F").at(0).at("value"), Json::parse(R"({"text": "x"})"));
  EXPECT_EQ(access.lastCall, "GetTagValues(names)");

  const auto byIds = FindOperationByName("GetTagValuesByIds")->Prepare(Json::parse(R"({"tagList": {"5": [6]}})"));
  const Json answer = *byIds.Invoke(services);
  EXPECT_EQ(answer["5"]["6"][0]["value"]["int32"], 7);
  EXPECT_EQ(access.lastCall, "GetTagValues(ids)");

  const auto write = FindOperationByName("SetTagValuesByIds")
                         ->Prepare(Json::parse(R"({"tagValuesByIds": {"5": {"6": [{"value": null}]}}})"));
  EXPECT_FALSE(write.Invoke(services).has_value());  // no result
  EXPECT_EQ(access.lastCall, "SetTagValues(ids)");
  EXPECT_EQ(access.written, 1U);
}

TEST(OperationTableTest, ArgumentsAreReadInParameterOrderAndReachTheService) {
  RecordingServer server;
  const auto call = FindOperation(ServiceKind::kServer, "SetTLSData")
                        ->Prepare(Json::parse(R"({"userContext": "VNT\\op", "key": "k"})"));
  EXPECT_EQ(call.Argument<std::string>(0), "k");
  call.Invoke({.server = &server});
  EXPECT_EQ(server.lastContext, "k|VNT\\op");
  EXPECT_EQ(FindOperationByName("GetMaxHistorySizePerCall")->Prepare(Json::object()).Invoke({.server = &server}),
            Json(10000));
}

TEST(OperationTableTest, BadArgumentsNameTheirJsonPath) {
  const Operation& read = *FindOperationByName("GetTagValues");
  auto failure = [&](const char* text) -> std::string {
    try {
      read.Prepare(Json::parse(text));
    } catch (const JsonFormatError& error) {
      return error.what();
    }
    return "accepted";
  };
  EXPECT_THAT(failure(R"([1])"), HasSubstr("expected an object"));
  EXPECT_THAT(failure(R"({})"), HasSubstr("/tagList: missing parameter of GetTagValues"));
  EXPECT_THAT(failure(R"({"tagList": {}, "taglist": 1})"), HasSubstr("/taglist: no such parameter"));
  EXPECT_THAT(failure(R"({"tagList": {"T1": [3]}})"), HasSubstr("/tagList/T1/0"));
  const Operation& name = *FindOperationByName("GetFieldName");
  EXPECT_THROW(name.Prepare(Json::parse(R"({"tagId": 1, "fieldId": "2"})")), JsonFormatError);
  EXPECT_THROW(name.PrepareValues({Json(1)}), JsonFormatError);
}

TEST(OperationTableTest, CallsWithoutTheirServiceObjectAreRefused) {
  const auto call = FindOperationByName("GetServerVersion")->Prepare(Json::object());
  RecordingAccess access;
  EXPECT_THROW(call.Invoke({.access = &access}), std::invalid_argument);
}

// A host that makes one service object per call hands over only that one.
TEST(OperationTableTest, ServicesOfOneObjectServeOnlyItsOwnOperations) {
  RecordingAccess access;
  RecordingServer server;
  const auto read = FindOperationByName("GetTagValues")->Prepare(Json::parse(R"({"tagList": {"T1": ["F"]}})"));
  const auto limit = FindOperationByName("GetMaxHistorySizePerCall")->Prepare(Json::object());
  EXPECT_TRUE(read.Invoke(ServicesOf(access)).has_value());
  EXPECT_EQ(access.lastCall, "GetTagValues(names)");
  EXPECT_EQ(limit.Invoke(ServicesOf(server)), Json(10000));
  EXPECT_THROW(limit.Invoke(ServicesOf(access)), std::invalid_argument);
  EXPECT_THROW(read.Invoke(ServicesOf(server)), std::invalid_argument);
}

TEST(OperationTableTest, ItemsCountTheInnermostEntries) {
  auto items = [](const char* operation, const char* arguments) {
    return FindOperationByName(operation)->Prepare(Json::parse(arguments)).Items();
  };
  EXPECT_EQ(items("GetTagValues", R"({"tagList": {"A": ["F", "G"], "B": ["F"]}})"), 3U);
  EXPECT_EQ(items("SetTagValues", R"({"tagValueList": {"A": {"F": [{}, {}], "G": [{}]}}})"), 3U);
  EXPECT_EQ(items("FindNonexistingTags", R"({"tagNames": ["A", "B"]})"), 2U);
  EXPECT_EQ(items("GetFieldName", R"({"tagId": 1, "fieldId": 2})"), 0U);
  EXPECT_EQ(items("MakeTagsUsable", R"({"tagNames": ["A"], "usable": true})"), 1U);
}

}  // namespace
}  // namespace vantrel::contracts
