#include <atomic>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/control.h"
#include "session/session.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using dorvik::FieldSpec;

class CacheSession : public Session {
 public:
  using Session::GetFieldDefinitionByFieldId;
};

constexpr int kDefinitions = 3;
constexpr int kFieldsPerDefinition = 20;
constexpr int kReaders = 6;
constexpr int kRounds = 150;
constexpr int kLongDefinitionFields = 400;
constexpr int kNameRounds = 1000;

std::string FieldName(int definition, int field) {
  return "C" + std::to_string(definition) + "_F" + std::to_string(field);
}

// Three definitions with different fields, one with a selector per field,
// and a long definition (whose field list takes a while to walk) with a record.
dorvik::DatabaseBuilder Builder() {
  auto builder = vantrel::testing::PlantBuilder();
  std::vector<FieldSpec> longFields;
  for (int f = 0; f < kLongDefinitionFields; ++f) longFields.push_back(FieldSpec::Real("L" + std::to_string(f)));
  builder.Definition("VN_LongDef", std::move(longFields)).Record("LONG1", "VN_LongDef");
  for (int d = 0; d < kDefinitions; ++d) {
    std::vector<FieldSpec> fields;
    for (int f = 0; f < kFieldsPerDefinition; ++f) {
      fields.push_back(d == 0 ? FieldSpec::Integer(FieldName(d, f)).WithSelector(vantrel::testing::kModeSelector)
                              : FieldSpec::Real(FieldName(d, f)));
    }
    builder.Definition("VN_ConcDef" + std::to_string(d), std::move(fields));
  }
  return builder;
}

TEST(FieldDefinitionsConcurrencyTest, ReadersSeeWholeListsWhileTheCacheIsRefreshed) {
  vantrel::testing::InstallDatabase(Builder());
  std::vector<int32_t> definitionIds;
  {
    Session session;
    for (int d = 0; d < kDefinitions; ++d) definitionIds.push_back(session.GetRecordID("VN_ConcDef" + std::to_string(d)));
  }

  std::atomic<int> failures{0};
  std::atomic<bool> readersDone{false};
  std::vector<std::thread> threads;
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      CacheSession session;  // each thread has its own session, as hosts do
      for (int round = 0; round < kRounds; ++round) {
        const int d = (r + round) % kDefinitions;
        const FieldDefinitionsPtr list = session.GetFieldDefinitions(definitionIds[d]);
        if (list->size() != kFieldsPerDefinition) ++failures;
        for (int f = 0; f < kFieldsPerDefinition && f < static_cast<int>(list->size()); ++f) {
          const auto& field = (*list)[f];
          if (field.Name != FieldName(d, f) || (d == 0 && field.FormattedStrings.size() != 3)) ++failures;
          const auto byTag = session.GetFieldDefinitionByFieldId(definitionIds[d], field.Number + 1);
          if (byTag == nullptr || byTag->Name != field.Name) ++failures;
        }
      }
    });
  }
  threads.emplace_back([&] {
    while (!readersDone.load()) {
      Session::RefreshAll();
      std::this_thread::yield();
    }
  });
  for (int r = 0; r < kReaders; ++r) threads[r].join();
  readersDone = true;
  threads.back().join();
  EXPECT_EQ(failures.load(), 0);
}

// A field name walks the cached field list of the record's definition; a
// refresh on another thread must not free the list under that walk.
TEST(FieldDefinitionsConcurrencyTest, FieldNamesStayReadableWhileTheCacheIsRefreshed) {
  vantrel::testing::InstallDatabase(Builder());
  Session session;
  const int32_t record = session.GetRecordID("LONG1");
  const std::string lastName = "L" + std::to_string(kLongDefinitionFields - 1);
  const int32_t lastField = session.GetAttributeID(lastName);

  std::jthread refresher([](std::stop_token stop) {
    while (!stop.stop_requested()) {
      Session::RefreshAll();
      std::this_thread::yield();
    }
  });
  int wrong = 0;
  for (int round = 0; round < kNameRounds; ++round) {
    if (session.GetAttributeName(record, lastField) != lastName) ++wrong;
  }
  refresher.request_stop();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace vantrel::access
