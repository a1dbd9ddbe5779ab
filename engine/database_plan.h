// The description of a database before it is built: what DatabaseBuilder
// collects and what a JSON database file holds. StoreBuilder resolves every
// name and checks everything; `where` says, in its errors, where an entry
// came from (a JSON path, or the builder call).
#ifndef VANTREL_ENGINE_DATABASE_PLAN_H_
#define VANTREL_ENGINE_DATABASE_PLAN_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/catalog.h"
#include "engine/database_builder.h"

namespace dorvik {

struct EnvironmentPlan {
  std::string name, value;
  bool folder = false;
  std::string where;
};

struct GlobalFieldPlan {
  std::string name;
  int32_t number = 0;
  int32_t descriptionId = 0;
  std::string where;
};

struct SelectorPlan {
  int32_t id = 0;
  std::string name;
  int16_t first = 0;
  int16_t width = 0;
  std::vector<std::string> texts;
  std::string where;
};

struct DefinitionPlan {
  int32_t id = 0;
  std::string name;
  int16_t flags = 0;
  std::vector<int32_t> kinds;
  std::vector<FieldSpec> fields;
  std::string where;
  std::vector<std::string> fieldWhere;  // per field; may be shorter than fields
};

// Values of one field of a record: one sample, or all occurrences. Errors
// name it as "<record's where>/values/<field>".
struct ValuePlan {
  std::string field;  // "NAME" or "N NAME"
  bool allOccurrences = false;
  std::vector<Sample> samples;
};

struct RecordPlan {
  int32_t id = 0;
  std::string name;
  std::string definition;
  bool usable = true;
  std::vector<ValuePlan> values;
  std::string where;
};

struct HistoryPlan {
  std::string record;
  std::string field;
  std::vector<HistoryPoint> points;
  std::string where;
};

struct GrantPlan {
  std::string account;
  std::string target;
  int16_t level = 2;
  std::string where;
};

struct DatabasePlan {
  std::string systemAccount;
  std::string folder;
  std::vector<EnvironmentPlan> environment;
  std::vector<GlobalFieldPlan> fields;
  std::vector<SelectorPlan> selectors;
  std::vector<DefinitionPlan> definitions;
  std::vector<RecordPlan> records;
  std::vector<HistoryPlan> history;
  std::vector<GrantPlan> grants;
  std::unordered_map<std::string, std::size_t> recordIndex;  // folded name -> records index
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_DATABASE_PLAN_H_
