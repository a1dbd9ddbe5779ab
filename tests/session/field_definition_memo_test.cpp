#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/control.h"
#include "session/field_definition_memo.h"
#include "session/session.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using contracts::FieldDefinition;
using contracts::FieldDefinitions;
using dorvik::FieldSpec;

class MemoSession : public Session {
 public:
  using Session::FieldDefinitionsFor;
};

constexpr int16_t kFault = -900;

// n fields numbered 1, 2, ... n, and a field named "AGAIN" that repeats
// number `again` at the end.
FieldDefinitionsPtr Numbered(int n, int again) {
  auto list = std::make_shared<FieldDefinitions>();
  for (int i = 1; i <= n; ++i) {
    FieldDefinition field;
    field.Number = dorvik::api::FieldTag(i);
    field.Name = "F" + std::to_string(i);
    list->push_back(field);
  }
  FieldDefinition repeated;
  repeated.Number = dorvik::api::FieldTag(again);
  repeated.Name = "AGAIN";
  list->push_back(repeated);
  return list;
}

// Walked lists and lists searched by number find the same fields: the last
// of a number, for any occurrence of it.
TEST(FieldDefinitionMemoTest, FindsTheLastFieldOfANumberInShortAndLongLists) {
  for (const int n : {3, 15, 40}) {
    const FieldDefinitionMemo::Definition definition(Numbered(n, 2));
    for (int i = 1; i <= n; ++i) {
      const FieldDefinition* found = definition.Find(dorvik::api::FieldTag(i, i % 3));
      ASSERT_NE(found, nullptr) << n << " " << i;
      EXPECT_EQ(found->Name, i == 2 ? "AGAIN" : "F" + std::to_string(i)) << n;
      EXPECT_EQ(definition.Find(dorvik::api::FieldTag(i)), found);  // the remembered hit
    }
    EXPECT_EQ(definition.Find(dorvik::api::FieldTag(n + 1)), nullptr);
    EXPECT_EQ(definition.Find(0), nullptr);
    EXPECT_EQ(definition.Find(dorvik::api::FieldTag(1))->Name, "F1");  // after a miss
  }
}

class FieldDefinitionMemoSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto builder = vantrel::testing::PlantBuilder();
    builder.Definition("VN_MemoSelDef", {FieldSpec::Text("MLABEL", 8).WithSelector(vantrel::testing::kModeSelector)});
    vantrel::testing::InstallDatabase(builder);
    analogDef = session.GetRecordID(vantrel::testing::kAnalogDef);
    selDef = session.GetRecordID("VN_MemoSelDef");
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  void TearDown() override {
    dorvik::EnableCallLog(false);
    dorvik::ClearFaults();
  }

  MemoSession session;
  int32_t analogDef = 0;
  int32_t selDef = 0;
};

// A request sees one list per definition: a refresh on the way does not
// reach it; the next request loads anew.
TEST_F(FieldDefinitionMemoSessionTest, ARequestKeepsItsListsAcrossARefresh) {
  FieldDefinitionMemo memo;
  const auto& first = session.FieldDefinitionsFor(analogDef, memo);
  EXPECT_EQ(dorvik::CallCount("MRDBOCCS"), 2);  // loaded: the columns and one selector
  dorvik::ClearCallLog();
  EXPECT_EQ(&session.FieldDefinitionsFor(analogDef, memo), &first);
  Session::RefreshAll();
  EXPECT_EQ(&session.FieldDefinitionsFor(analogDef, memo), &first);
  EXPECT_TRUE(dorvik::CallLog().empty());

  FieldDefinitionMemo next;
  const auto& reloaded = session.FieldDefinitionsFor(analogDef, next);
  EXPECT_EQ(dorvik::CallCount("MRDBOCCS"), 2);
  EXPECT_NE(reloaded.Shared().get(), first.Shared().get());
  EXPECT_EQ(reloaded.List(), first.List());
  EXPECT_EQ(session.GetFieldDefinitions(analogDef).get(), reloaded.Shared().get());
}

// A list the cache did not keep is looked up again, as GetFieldDefinitions
// is each time, and stays valid for the request.
TEST_F(FieldDefinitionMemoSessionTest, APartlyReadDefinitionIsNotMemoized) {
  dorvik::InjectFault("FIELDDEFNINFO", kFault);  // the selector's width is refused
  FieldDefinitionMemo memo;
  const auto& partial = session.FieldDefinitionsFor(selDef, memo);
  EXPECT_TRUE(partial.List()[0].FormattedStrings.empty());
  EXPECT_EQ(dorvik::CallCount("MRDBOCCS"), 1);

  const auto& whole = session.FieldDefinitionsFor(selDef, memo);
  EXPECT_EQ(dorvik::CallCount("MRDBOCCS"), 3);  // loaded again, whole this time
  EXPECT_EQ(whole.List()[0].FormattedStrings.size(), 3u);
  EXPECT_EQ(partial.List()[0].Name, "MLABEL");  // still held
  EXPECT_EQ(&session.FieldDefinitionsFor(selDef, memo), &whole);
  EXPECT_EQ(dorvik::CallCount("MRDBOCCS"), 3);
}

}  // namespace
}  // namespace vantrel::access
