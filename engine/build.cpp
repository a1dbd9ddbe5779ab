// DatabaseBuilder and BuildDatabase: from a DatabasePlan to a checked
// Database.
#include <algorithm>
#include <charconv>
#include <unordered_set>

#include <fmt/format.h>

#include "engine/access.h"
#include "engine/errors.h"
#include "engine/database_plan.h"
#include "engine/values.h"

namespace dorvik {
namespace {

constexpr int16_t kMaxTextLength = 4096;

// Splits "N NAME" into occurrence and name; "NAME" gives occurrence 0.
bool SplitFieldText(std::string_view text, std::string_view& name, int32_t& occurrence) {
  occurrence = 0;
  name = text;
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return true;
  auto [end, error] = std::from_chars(text.data(), text.data() + blank, occurrence);
  if (error != std::errc() || end != text.data() + blank || occurrence < 1 || occurrence > kMaxOccurrences) {
    return false;
  }
  name = text.substr(blank + 1);
  return !name.empty();
}

class Builder {
 public:
  Builder(const DatabasePlan& plan, std::string_view origin)
      : plan_(plan), origin_(origin), database_(std::make_unique<Database>()) {}

  std::unique_ptr<Database> Build() {
    database_->systemAccount = plan_.systemAccount;
    database_->folder = plan_.folder;
    ReserveIds();
    AddEnvironment();
    AddFields();
    for (const SelectorPlan& selector : plan_.selectors) AddSelector(selector);
    for (const DefinitionPlan& definition : plan_.definitions) AddDefinition(definition);
    for (const RecordPlan& record : plan_.records) AddRecord(record);
    for (const RecordPlan& record : plan_.records) SetValues(record);
    for (const DefinitionPlan& definition : plan_.definitions) ResolveActivations(definition);
    for (const HistoryPlan& history : plan_.history) AddHistory(history);
    for (const GrantPlan& grant : plan_.grants) AddGrant(grant);
    database_->dirty = false;
    return std::move(database_);
  }

 private:
  [[noreturn]] void Fail(std::string_view where, std::string_view what) const {
    throw DatabaseError(fmt::format("{}: {}: {}", origin_, where, what));
  }

  // Runs step, turning a DatabaseError of the Database into one with where.
  template <typename Step>
  decltype(auto) At(std::string_view where, Step step) {
    try {
      return step();
    } catch (const DatabaseError& error) {
      Fail(where, error.what());
    }
  }

  void Reserve(int32_t id, std::string_view where) {
    if (id == 0) return;
    if (id < kFirstUserId || id > kMaxRecordId) {
      Fail(where, fmt::format("id {} lies outside {} to {}", id, kFirstUserId, kMaxRecordId));
    }
    if (!reserved_.insert(id).second) Fail(where, fmt::format("id {} is given twice", id));
  }

  void ReserveIds() {
    for (const GlobalFieldPlan& field : plan_.fields) Reserve(field.descriptionId, field.where);
    for (const SelectorPlan& selector : plan_.selectors) Reserve(selector.id, selector.where);
    for (const DefinitionPlan& definition : plan_.definitions) Reserve(definition.id, definition.where);
    for (const RecordPlan& record : plan_.records) Reserve(record.id, record.where);
  }

  int32_t IdFor(int32_t given) {
    if (given != 0) return given;
    while (reserved_.count(nextId_) != 0 || database_->FindRecord(nextId_) != nullptr) ++nextId_;
    if (nextId_ > kMaxRecordId) throw DatabaseError("no record id is left");
    return nextId_++;
  }

  void AddEnvironment() {
    for (const EnvironmentPlan& entry : plan_.environment) {
      if (entry.name.empty()) Fail(entry.where, "an environment variable needs a name");
      for (const EnvironmentEntry& existing : database_->environment) {
        if (EqualsIgnoreCase(existing.name, entry.name)) Fail(entry.where, fmt::format("{} is given twice", entry.name));
      }
      database_->environment.push_back(EnvironmentEntry{entry.name, entry.value, entry.folder});
    }
  }

  void AddFields() {
    // Fixed numbers first, so that chosen numbers never take them.
    for (bool fixed : {true, false}) {
      for (const GlobalFieldPlan& field : plan_.fields) {
        if ((field.number != 0) != fixed) continue;
        if ((field.number & dorvik::api::kSystemFieldBit) != 0) Fail(field.where, "database fields are built in");
        At(field.where, [&] { return database_->AddField(field.name, field.number, IdFor(field.descriptionId)); });
      }
    }
  }

  const GlobalField& FieldNamed(const std::string& name, std::string_view where) {
    if (const GlobalField* field = database_->FindFieldByName(name)) return *field;
    return At(where, [&]() -> const GlobalField& { return database_->AddField(name, 0, IdFor(0)); });
  }

  void AddSelector(const SelectorPlan& selector) {
    if (selector.width <= 0 || selector.width > kMaxTextLength) Fail(selector.where, "a selector needs a text width");
    for (const std::string& text : selector.texts) {
      if (text.size() > static_cast<std::size_t>(selector.width)) {
        Fail(selector.where, fmt::format("the text \"{}\" is wider than {}", text, selector.width));
      }
    }
    SelectorData data{selector.first, selector.width, selector.texts};
    At(selector.where, [&] { return database_->AddSelector(IdFor(selector.id), selector.name, std::move(data)); });
  }

  void CheckKind(const FieldSpec& field, std::string_view where) {
    if (field.dataType < kTypePointer || field.dataType > kTypeCount) Fail(where, "the data type must be 0 to 6");
    if (field.dataType == kTypeReal && field.lengthWord != 4 && field.lengthWord != 8) {
      Fail(where, "a real field has length 4 or 8");
    }
    if ((field.dataType == kTypeCharacter || field.dataType == kTypeCharacter5) &&
        (field.lengthWord <= 0 || field.lengthWord > kMaxTextLength)) {
      Fail(where, fmt::format("a character field has length 1 to {}", kMaxTextLength));
    }
    if (field.writeProtection < 0 || field.writeProtection > 3) Fail(where, "write protection must be 0 to 3");
  }

  FieldDef MakeField(const DefinitionPlan& definition, std::size_t index) {
    const FieldSpec& field = definition.fields[index];
    const std::string where = index < definition.fieldWhere.size()
                                  ? definition.fieldWhere[index]
                                  : fmt::format("{}: field \"{}\"", definition.where, field.name);
    CheckKind(field, where);
    FieldDef def;
    def.number = FieldNamed(field.name, where).number;
    if ((def.number & dorvik::api::kSystemFieldBit) != 0) Fail(where, "database fields are built in");
    def.dataType = field.dataType;
    def.lengthWord = field.lengthWord;
    def.qualityField = field.qualityField;
    def.timestampField = field.timestampField;
    def.historyPointer = field.historyPointer;
    def.archived = field.archived;
    def.writeProtection = field.writeProtection;
    def.operatorChange = field.operatorChange;
    def.operatorStrict = field.operatorStrict;
    if (!field.selector.empty()) def.selectorId = SelectorFor(field.selector, where);
    if (!field.repeatCountField.empty()) def.repeatArea = RepeatArea(definition, field, where);
    return def;
  }

  // The selector a field names: a selector record or, for a selector chosen
  // per record, the description record of the field in which each record
  // keeps its own selector record.
  int32_t SelectorFor(const std::string& name, std::string_view where) {
    const Record* selector = database_->FindRecordByName(name);
    if (selector != nullptr && database_->FindSelector(selector->id) != nullptr) return selector->id;
    if (const GlobalField* holder = database_->FindFieldByName(name)) return holder->descriptionId;
    Fail(where, fmt::format("\"{}\" is not a selector record", name));
  }

  int16_t RepeatArea(const DefinitionPlan& definition, const FieldSpec& field, std::string_view where) {
    for (std::size_t i = 0; i < definition.fields.size(); ++i) {
      const FieldSpec& count = definition.fields[i];
      if (!EqualsIgnoreCase(count.name, field.repeatCountField)) continue;
      if (count.dataType != kTypeCount || !count.repeatCountField.empty() || field.dataType == kTypeCount) {
        Fail(where, fmt::format("\"{}\" is not a count field of the fixed area", count.name));
      }
      return static_cast<int16_t>(i + 1);
    }
    Fail(where, fmt::format("the definition has no count field \"{}\"", field.repeatCountField));
  }

  void AddDefinition(const DefinitionPlan& plan) {
    Definition definition;
    definition.flags = plan.flags;
    for (int32_t kind : plan.kinds) {
      if (kind != dorvik::api::kKind3 && kind != dorvik::api::kKind5 && kind != dorvik::api::kKindExternalTask) {
        Fail(plan.where, fmt::format("record kind {} is not one of -3, -5, -19", kind));
      }
      definition.kinds.push_back(kind);
    }
    std::unordered_set<int32_t> numbers;
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
      definition.fields.push_back(MakeField(plan, i));
      if (!numbers.insert(definition.fields.back().number).second) {
        Fail(plan.where, fmt::format("the field \"{}\" is listed twice", plan.fields[i].name));
      }
    }
    At(plan.where, [&]() -> Definition& { return database_->AddDefinition(IdFor(plan.id), plan.name, std::move(definition)); });
  }

  void AddRecord(const RecordPlan& plan) {
    const Record* definition = database_->FindRecordByName(plan.definition);
    if (definition == nullptr || database_->FindDefinition(definition->id) == nullptr) {
      Fail(plan.where, fmt::format("\"{}\" is not a definition record", plan.definition));
    }
    At(plan.where, [&]() -> Record& { return database_->AddRecord(IdFor(plan.id), plan.name, definition->id, plan.usable); });
  }

  // where() names the value's place; it is built only for an error.
  template <typename Where>
  Scalar ToScalar(const Value& value, const Where& where) {
    struct Visitor {
      Builder& builder;
      const Where& where;
      Scalar operator()(std::monostate) const { return Scalar::Integer(0); }
      Scalar operator()(int64_t v) const { return Scalar::Integer(v); }
      Scalar operator()(double v) const { return Scalar::Real(v); }
      Scalar operator()(const std::string& v) const { return Scalar::Text(v); }
      Scalar operator()(Timestamp v) const { return Scalar::Time(v.micros); }
      Scalar operator()(const RecordLink& v) const { return Scalar::Reference(builder.LinkedId(v, where)); }
      Scalar operator()(const FieldLink& v) const {
        const GlobalField* field = builder.database_->FindFieldByName(v.field);
        if (field == nullptr) builder.Fail(where(), fmt::format("no field is named \"{}\"", v.field));
        return Scalar::Reference(builder.LinkedId(v.record, where), dorvik::api::FieldTag(field->number, v.occurrence));
      }
    };
    return std::visit(Visitor{*this, where}, value.Get());
  }

  template <typename Where>
  int32_t LinkedId(const RecordLink& link, const Where& where) {
    if (link.name.empty()) return link.id;
    const Record* record = database_->FindRecordByName(link.name);
    if (record == nullptr) Fail(where(), fmt::format("no record is named \"{}\"", link.name));
    return record->id;
  }

  template <typename Where>
  void Store(Record& record, FieldAccess& access, int32_t occurrence, const Sample& sample, const Where& where) {
    access.occurrence = occurrence;
    if (sample.value.IsNone() && sample.status == 0 && sample.level == 0 && sample.time.micros == 0) return;
    const Quality quality{sample.status, sample.level, sample.time.micros};
    const int16_t code = StoreValue(*database_, record, access, ToScalar(sample.value, where), &quality, 0,
                                    StoreMode::kLoad);
    if (code != kOk) Fail(where(), fmt::format("the value is not valid for the field: {}", ShortMessage(code)));
  }

  void Grow(Record& record, const FieldDef& field, int32_t count) {
    const auto countPosition = static_cast<int32_t>(field.repeatArea - 1);
    if (record.slots[static_cast<std::size_t>(countPosition)].number < count) {
      database_->ResizeRepeatArea(record, countPosition, count);
    }
  }

  // Position of the field a value names in the record's definition, or -1.
  int32_t PositionOf(const Record& record, std::string_view fieldName) const {
    const GlobalField* global = database_->FindFieldByName(fieldName);
    return global != nullptr ? record.definition->Find(global->number) : -1;
  }

  void SetValue(const RecordPlan& owner, Record& record, const ValuePlan& value) {
    auto where = [&] { return fmt::format("{}/values/{}", owner.where, value.field); };
    std::string_view fieldName;
    int32_t occurrence = 0;
    if (!SplitFieldText(value.field, fieldName, occurrence)) Fail(where(), "the field is not \"NAME\" or \"N NAME\"");
    const int32_t position = PositionOf(record, fieldName);
    if (position < 0) Fail(where(), fmt::format("the record's definition has no field \"{}\"", fieldName));
    FieldAccess access{&record, &record.definition->fields[static_cast<std::size_t>(position)], position, 0};
    const FieldDef& field = *access.field;
    if (field.IsRepeated() && value.allOccurrences) {
      Grow(record, field, static_cast<int32_t>(value.samples.size()));
      for (std::size_t k = 0; k < value.samples.size(); ++k) {
        Store(record, access, static_cast<int32_t>(k + 1), value.samples[k], where);
      }
    } else if (field.IsRepeated() != (occurrence > 0) || value.allOccurrences || value.samples.size() != 1) {
      Fail(where(), field.IsRepeated() ? "a repeated field takes a list or \"N NAME\""
                                       : "a field of the fixed area takes one value");
    } else {
      if (occurrence > 0) Grow(record, field, occurrence);
      Store(record, access, occurrence, value.samples.front(), where);
    }
  }

  void SetValues(const RecordPlan& plan) {
    if (plan.values.empty()) return;
    Record& record = *database_->FindRecord(database_->FindRecordByName(plan.name)->id);
    // Counts first: a count written after its area's list would cut it.
    auto isCount = [&](const ValuePlan& value) {
      const int32_t position = PositionOf(record, value.field);
      return position >= 0 && record.definition->fields[static_cast<std::size_t>(position)].dataType == kTypeCount;
    };
    for (bool counts : {true, false}) {
      for (const ValuePlan& value : plan.values) {
        if (isCount(value) == counts) SetValue(plan, record, value);
      }
    }
  }

  void ResolveActivations(const DefinitionPlan& plan) {
    const Record* definitionRecord = database_->FindRecordByName(plan.name);
    Definition& definition = database_->MutableDefinition(definitionRecord->id);
    for (std::size_t i = 0; i < plan.fields.size(); ++i) {
      if (!plan.fields[i].activates.has_value()) continue;
      const FieldSpec::Activation& activation = *plan.fields[i].activates;
      const Record* task = database_->FindRecordByName(activation.task);
      if (task == nullptr || !task->definition->HasKind(dorvik::api::kKindExternalTask)) {
        Fail(plan.where, fmt::format("\"{}\" is not an external task record", activation.task));
      }
      definition.fields[i].activates = TaskActivation{task->id, activation.priority, activation.code, activation.tail};
    }
  }

  void AddHistory(const HistoryPlan& plan) {
    const Record* record = database_->FindRecordByName(plan.record);
    if (record == nullptr) Fail(plan.where, fmt::format("no record is named \"{}\"", plan.record));
    std::string_view fieldName;
    int32_t occurrence = 0;
    const GlobalField* global = SplitFieldText(plan.field, fieldName, occurrence) ? database_->FindFieldByName(fieldName) : nullptr;
    FieldAccess access;
    int32_t detail = 0;
    if (global == nullptr ||
        Resolve(*database_, record->id, dorvik::api::FieldTag(global->number, occurrence), access, detail) != kOk) {
      Fail(plan.where, fmt::format("the record has no field \"{}\"", plan.field));
    }
    if (access.field->historyPointer == 0) Fail(plan.where, "the field keeps no history");
    for (std::size_t i = 0; i < plan.points.size(); ++i) {
      const HistoryPoint& point = plan.points[i];
      auto where = [&] { return fmt::format("{}/{}", plan.where, i); };
      const int16_t code =
          AddHistorySample(*database_, access, ToScalar(point.value, where), point.time.micros, point.level);
      if (code != kOk) Fail(where(), fmt::format("the value is not valid: {}", ShortMessage(code)));
    }
  }

  void AddGrant(const GrantPlan& plan) {
    const Record* target = database_->FindRecordByName(plan.target);
    if (target == nullptr) Fail(plan.where, fmt::format("no record is named \"{}\"", plan.target));
    if (plan.account.empty()) Fail(plan.where, "a grant needs an account");
    if (plan.level < 1 || plan.level > 3) Fail(plan.where, "a level is 1 to 3");
    database_->grants.push_back(Grant{plan.account, target->id, plan.level});
  }

  const DatabasePlan& plan_;
  std::string origin_;
  std::unique_ptr<Database> database_;
  std::unordered_set<int32_t> reserved_;
  int32_t nextId_ = kFirstUserId;
};

}  // namespace

std::unique_ptr<Database> BuildDatabase(const DatabasePlan& plan, std::string_view origin) {
  return Builder(plan, origin).Build();
}

// --- FieldSpec ----------------------------------------------------------------------

FieldSpec FieldSpec::Raw(std::string name, int16_t dataType, int16_t lengthWord) {
  FieldSpec plan;
  plan.name = std::move(name);
  plan.dataType = dataType;
  plan.lengthWord = lengthWord;
  return plan;
}

FieldSpec FieldSpec::Integer(std::string name, int bits, bool isSigned) {
  return Raw(std::move(name), kTypeInteger, static_cast<int16_t>((bits & kLengthBitsMask) | (isSigned ? kLengthSigned : 0)));
}
FieldSpec FieldSpec::Real(std::string name, int bytes) { return Raw(std::move(name), kTypeReal, static_cast<int16_t>(bytes)); }
FieldSpec FieldSpec::Text(std::string name, int16_t length) { return Raw(std::move(name), kTypeCharacter, length); }
FieldSpec FieldSpec::Text5(std::string name, int16_t length) { return Raw(std::move(name), kTypeCharacter5, length); }
FieldSpec FieldSpec::Time(std::string name) { return Raw(std::move(name), kTypeTimestamp, 8); }
FieldSpec FieldSpec::RecordPointer(std::string name) { return Raw(std::move(name), kTypePointer, kRecordIdPointerLength); }
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
  plan_->records.push_back(RecordPlan{options.id, std::move(name), std::move(definition), options.usable, {}, std::move(where)});
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
