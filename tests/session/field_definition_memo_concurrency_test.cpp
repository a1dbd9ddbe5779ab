#include <atomic>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/control.h"
#include "session/field_definition_memo.h"
#include "session/session.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

class MemoSession : public Session {
 public:
  using Session::FieldDefinitionsFor;
  using Session::GetAttributeName;
};

constexpr int kReaders = 4;
constexpr int kRequests = 100;
constexpr int kLookupsPerRequest = 20;

// Readers make requests, each looking its definition up many times through
// one memo, while another thread refreshes the cache: every request sees one
// whole list from start to end, and its record's field names stay right.
TEST(FieldDefinitionMemoConcurrencyTest, RequestsSeeOneWholeListWhileTheCacheIsRefreshed) {
  vantrel::testing::InstallPlant();
  int32_t definitionId = 0;
  int32_t record = 0;
  int32_t trend = 0;
  size_t fields = 0;
  {
    Session session;
    definitionId = session.GetRecordID(vantrel::testing::kAnalogDef);
    record = session.GetRecordID(vantrel::testing::kTag1);
    trend = session.GetAttributeID("TREND");
    fields = session.GetFieldDefinitions(definitionId)->size();
  }

  std::atomic<int> wrong{0};
  std::jthread refresher([](std::stop_token stop) {
    while (!stop.stop_requested()) {
      Session::RefreshAll();
      std::this_thread::yield();
    }
  });
  std::vector<std::jthread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      MemoSession session;
      for (int request = 0; request < kRequests; ++request) {
        FieldDefinitionMemo memo;
        const FieldDefinitionMemo::Definition& first = session.FieldDefinitionsFor(definitionId, memo);
        for (int k = 0; k < kLookupsPerRequest; ++k) {
          const FieldDefinitionMemo::Definition& again = session.FieldDefinitionsFor(definitionId, memo);
          const contracts::FieldDefinition* field = again.Find(trend + 3);
          if (&again != &first || again.List().size() != fields || field == nullptr || field->Name != "TREND") {
            ++wrong;
          }
          if (session.GetAttributeName(record, trend, memo) != "TREND") ++wrong;
        }
      }
    });
  }
  readers.clear();  // joins
  refresher.request_stop();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vantrel::access
