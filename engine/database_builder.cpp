// FieldSpec and DatabaseBuilder: collecting a DatabasePlan in code.
#include <fmt/format.h>

#include "engine/catalog.h"
#include "engine/database_error.h"
#include "engine/database_plan.h"

namespace dorvik {

// --- FieldSpec ----------------------------------------------------------------------

FieldSpec FieldSpec::Raw(std::string name, int16_t dataType, int16_t lengthWord) {
  FieldSpec plan;
  plan.name = std::move(name);
  plan.dataType = dataType;
  plan.lengthWord = lengthWord;
  return plan;
}

FieldSpec FieldSpec::Integer(std::string name, int bits, bool isSigned) {
  return Raw(std::move(name), kTypeInteger,
             static_cast<int16_t>((bits & kLengthBitsMask) | (isSigned ? kLengthSigned : 0)));
}
FieldSpec FieldSpec::Real(std::string name, int bytes) {
  return Raw(std::move(name), kTypeReal, static_cast<int16_t>(bytes));
}
FieldSpec FieldSpec::Text(std::string name, int16_t length) { return Raw(std::move(name), kTypeCharacter, length); }
FieldSpec FieldSpec::Text5(std::string name, int16_t length) { return Raw(std::move(name), kTypeCharacter5, length); }
FieldSpec FieldSpec::Time(std::string name) { return Raw(std::move(name), kTypeTimestamp, 8); }
FieldSpec FieldSpec::RecordPointer(std::string name) {
  return Raw(std::move(name), kTypePointer, kRecordIdPointerLength);
}
FieldSpec FieldSpec::FieldPointer(std::string name) { return Raw(std::move(name), kTypePointer, 8); }
FieldSpec FieldSpec::Count(std::string name) { return Raw(std::move(name), kTypeCount, 0x10); }

FieldSpec& FieldSpec::WithQuality(int16_t field) { qualityField = field; return *this; }
FieldSpec& FieldSpec::WithTimestampField(int16_t field) { timestampField = field; return *this; }
FieldSpec& FieldSpec::WithHistory(bool isArchived, int16_t pointer) {
  historyPointer = pointer;
  archived = isArchived;
  return *this;
}
FieldSpec& FieldSpec::Flagged() { lengthWord = static_cast<int16_t>(lengthWord | kLengthFlagged); return *this; }
FieldSpec& FieldSpec::InRepeatArea(std::string countField) { repeatCountField = std::move(countField); return *this; }
FieldSpec& FieldSpec::WithSelector(std::string selectorRecord) { selector = std::move(selectorRecord); return *this; }
FieldSpec& FieldSpec::WithWriteProtection(int16_t code) { writeProtection = code; return *this; }
FieldSpec& FieldSpec::WithOperator(bool change, bool strict) {
  operatorChange = change;
  operatorStrict = strict;
  return *this;
}
FieldSpec& FieldSpec::ActivatesTask(std::string taskRecord, int16_t priority, int16_t code, int8_t tail) {
  activates = Activation{std::move(taskRecord), priority, code, tail};
  return *this;
}

// --- DatabaseBuilder ----------------------------------------------------------------------

DatabaseBuilder::DatabaseBuilder() : plan_(std::make_unique<DatabasePlan>()) {}
DatabaseBuilder::~DatabaseBuilder() = default;
DatabaseBuilder::DatabaseBuilder(DatabaseBuilder&&) noexcept = default;
DatabaseBuilder& DatabaseBuilder::operator=(DatabaseBuilder&&) noexcept = default;

DatabaseBuilder& DatabaseBuilder::SystemAccount(std::string account) {
  plan_->systemAccount = std::move(account);
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Environment(std::string name, std::string value, bool folder) {
  std::string where = fmt::format("environment \"{}\"", name);
  plan_->environment.push_back(EnvironmentPlan{std::move(name), std::move(value), folder, std::move(where)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Folder(std::string folder) {
  plan_->folder = std::move(folder);
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Field(std::string name, int32_t number, int32_t descriptionId) {
  std::string where = fmt::format("field \"{}\"", name);
  plan_->fields.push_back(GlobalFieldPlan{std::move(name), number, descriptionId, std::move(where)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Selector(std::string name, int16_t width, std::vector<std::string> texts,
                                           int16_t first, int32_t id) {
  std::string where = fmt::format("selector \"{}\"", name);
  plan_->selectors.push_back(SelectorPlan{id, std::move(name), first, width, std::move(texts), std::move(where)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Definition(std::string name, std::vector<FieldSpec> fields,
                                             DefinitionOptions options) {
  std::string where = fmt::format("definition \"{}\"", name);
  plan_->definitions.push_back(DefinitionPlan{options.id, std::move(name), options.flags, std::move(options.kinds),
                                              std::move(fields), std::move(where), {}});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Record(std::string name, std::string definition, RecordOptions options) {
  plan_->recordIndex.emplace(FoldCase(name), plan_->records.size());
  std::string where = fmt::format("record \"{}\"", name);
  plan_->records.push_back(
      RecordPlan{options.id, std::move(name), std::move(definition), options.usable, {}, std::move(where)});
  return *this;
}

namespace {
RecordPlan& FindRecordPlan(DatabasePlan& plan, const std::string& name) {
  auto it = plan.recordIndex.find(FoldCase(name));
  if (it == plan.recordIndex.end()) throw DatabaseError(fmt::format("no record \"{}\" was added to the builder", name));
  return plan.records[it->second];
}
}  // namespace

DatabaseBuilder& DatabaseBuilder::Set(std::string record, std::string field, Value value) {
  return Set(std::move(record), std::move(field), Sample(std::move(value)));
}

DatabaseBuilder& DatabaseBuilder::Set(std::string record, std::string field, Sample sample) {
  RecordPlan& plan = FindRecordPlan(*plan_, record);
  plan.values.push_back(ValuePlan{std::move(field), false, {std::move(sample)}});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::SetOccurrences(std::string record, std::string field, std::vector<Sample> samples) {
  RecordPlan& plan = FindRecordPlan(*plan_, record);
  plan.values.push_back(ValuePlan{std::move(field), true, std::move(samples)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::History(std::string record, std::string field, std::vector<HistoryPoint> points) {
  std::string where = fmt::format("history of \"{}\" \"{}\"", record, field);
  plan_->history.push_back(HistoryPlan{std::move(record), std::move(field), std::move(points), std::move(where)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Grant(std::string account, std::string target, int16_t level) {
  std::string where = fmt::format("grant to \"{}\" on \"{}\"", account, target);
  plan_->grants.push_back(GrantPlan{std::move(account), std::move(target), level, std::move(where)});
  return *this;
}

}  // namespace dorvik
