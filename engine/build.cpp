// DatabaseBuilder and BuildDatabase: from a DatabaseSpec to a checked
// Database.
#include <algorithm>
#include <charconv>
#include <unordered_set>

#include <fmt/format.h>

#include "engine/access.h"
#include "engine/errors.h"
#include "engine/spec.h"
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
  Builder(const DatabaseSpec& spec, std::string_view origin)
      : spec_(spec), origin_(origin), database_(std::make_unique<Database>()) {}

  std::unique_ptr<Database> Build() {
    database_->systemAccount = spec_.systemAccount;
    database_->folder = spec_.folder;
    ReserveIds();
    AddEnvironment();
    AddFields();
    for (const SelectorSpec& selector : spec_.selectors) AddSelector(selector);
    for (const DefinitionSpec& definition : spec_.definitions) AddDefinition(definition);
    for (const RecordSpec& record : spec_.records) AddRecord(record);
    for (const RecordSpec& record : spec_.records) SetValues(record);
    for (const DefinitionSpec& definition : spec_.definitions) ResolveActivations(definition);
    for (const HistorySpec& history : spec_.history) AddHistory(history);
    for (const GrantSpec& grant : spec_.grants) AddGrant(grant);
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
    for (const GlobalFieldSpec& field : spec_.fields) Reserve(field.descriptionId, field.where);
    for (const SelectorSpec& selector : spec_.selectors) Reserve(selector.id, selector.where);
    for (const DefinitionSpec& definition : spec_.definitions) Reserve(definition.id, definition.where);
    for (const RecordSpec& record : spec_.records) Reserve(record.id, record.where);
  }

  int32_t IdFor(int32_t given) {
    if (given != 0) return given;
    while (reserved_.count(nextId_) != 0 || database_->FindRecord(nextId_) != nullptr) ++nextId_;
    if (nextId_ > kMaxRecordId) throw DatabaseError("no record id is left");
    return nextId_++;
  }

  void AddEnvironment() {
    for (const EnvironmentSpec& entry : spec_.environment) {
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
      for (const GlobalFieldSpec& field : spec_.fields) {
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

  void AddSelector(const SelectorSpec& selector) {
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

  FieldDef MakeField(const DefinitionSpec& definition, std::size_t index) {
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
    if (!field.selector.empty()) {
      const Record* selector = database_->FindRecordByName(field.selector);
      if (selector == nullptr || database_->FindSelector(selector->id) == nullptr) {
        Fail(where, fmt::format("\"{}\" is not a selector record", field.selector));
      }
      def.selectorId = selector->id;
    }
    if (!field.repeatCountField.empty()) def.repeatArea = RepeatArea(definition, field, where);
    return def;
  }

  int16_t RepeatArea(const DefinitionSpec& definition, const FieldSpec& field, std::string_view where) {
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

  void AddDefinition(const DefinitionSpec& spec) {
    Definition definition;
    definition.flags = spec.flags;
    for (int32_t kind : spec.kinds) {
      if (kind != dorvik::api::kKind3 && kind != dorvik::api::kKind5 && kind != dorvik::api::kKindExternalTask) {
        Fail(spec.where, fmt::format("record kind {} is not one of -3, -5, -19", kind));
      }
      definition.kinds.push_back(kind);
    }
    std::unordered_set<int32_t> numbers;
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
      definition.fields.push_back(MakeField(spec, i));
      if (!numbers.insert(definition.fields.back().number).second) {
        Fail(spec.where, fmt::format("the field \"{}\" is listed twice", spec.fields[i].name));
      }
    }
    At(spec.where, [&]() -> Definition& { return database_->AddDefinition(IdFor(spec.id), spec.name, std::move(definition)); });
  }

  void AddRecord(const RecordSpec& spec) {
    const Record* definition = database_->FindRecordByName(spec.definition);
    if (definition == nullptr || database_->FindDefinition(definition->id) == nullptr) {
      Fail(spec.where, fmt::format("\"{}\" is not a definition record", spec.definition));
    }
    At(spec.where, [&]() -> Record& { return database_->AddRecord(IdFor(spec.id), spec.name, definition->id, spec.usable); });
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

  void SetValue(const RecordSpec& owner, Record& record, const ValueSpec& value) {
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

  void SetValues(const RecordSpec& spec) {
    if (spec.values.empty()) return;
    Record& record = *database_->FindRecord(database_->FindRecordByName(spec.name)->id);
    // Counts first: a count written after its area's list would cut it.
    auto isCount = [&](const ValueSpec& value) {
      const int32_t position = PositionOf(record, value.field);
      return position >= 0 && record.definition->fields[static_cast<std::size_t>(position)].dataType == kTypeCount;
    };
    for (bool counts : {true, false}) {
      for (const ValueSpec& value : spec.values) {
        if (isCount(value) == counts) SetValue(spec, record, value);
      }
    }
  }

  void ResolveActivations(const DefinitionSpec& spec) {
    const Record* definitionRecord = database_->FindRecordByName(spec.name);
    Definition& definition = database_->MutableDefinition(definitionRecord->id);
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
      if (!spec.fields[i].activates.has_value()) continue;
      const FieldSpec::Activation& activation = *spec.fields[i].activates;
      const Record* task = database_->FindRecordByName(activation.task);
      if (task == nullptr || !task->definition->HasKind(dorvik::api::kKindExternalTask)) {
        Fail(spec.where, fmt::format("\"{}\" is not an external task record", activation.task));
      }
      definition.fields[i].activates = TaskActivation{task->id, activation.priority, activation.code, activation.tail};
    }
  }

  void AddHistory(const HistorySpec& spec) {
    const Record* record = database_->FindRecordByName(spec.record);
    if (record == nullptr) Fail(spec.where, fmt::format("no record is named \"{}\"", spec.record));
    std::string_view fieldName;
    int32_t occurrence = 0;
    const GlobalField* global = SplitFieldText(spec.field, fieldName, occurrence) ? database_->FindFieldByName(fieldName) : nullptr;
    FieldAccess access;
    int32_t detail = 0;
    if (global == nullptr ||
        Resolve(*database_, record->id, dorvik::api::FieldTag(global->number, occurrence), access, detail) != kOk) {
      Fail(spec.where, fmt::format("the record has no field \"{}\"", spec.field));
    }
    if (access.field->historyPointer == 0) Fail(spec.where, "the field keeps no history");
    for (std::size_t i = 0; i < spec.points.size(); ++i) {
      const HistoryPoint& point = spec.points[i];
      auto where = [&] { return fmt::format("{}/{}", spec.where, i); };
      const int16_t code =
          AddHistorySample(*database_, access, ToScalar(point.value, where), point.time.micros, point.level);
      if (code != kOk) Fail(where(), fmt::format("the value is not valid: {}", ShortMessage(code)));
    }
  }

  void AddGrant(const GrantSpec& spec) {
    const Record* target = database_->FindRecordByName(spec.target);
    if (target == nullptr) Fail(spec.where, fmt::format("no record is named \"{}\"", spec.target));
    if (spec.account.empty()) Fail(spec.where, "a grant needs an account");
    if (spec.level < 1 || spec.level > 3) Fail(spec.where, "a level is 1 to 3");
    database_->grants.push_back(Grant{spec.account, target->id, spec.level});
  }

  const DatabaseSpec& spec_;
  std::string origin_;
  std::unique_ptr<Database> database_;
  std::unordered_set<int32_t> reserved_;
  int32_t nextId_ = kFirstUserId;
};

}  // namespace

std::unique_ptr<Database> BuildDatabase(const DatabaseSpec& spec, std::string_view origin) {
  return Builder(spec, origin).Build();
}

// --- FieldSpec ----------------------------------------------------------------------

FieldSpec FieldSpec::Raw(std::string name, int16_t dataType, int16_t lengthWord) {
  FieldSpec spec;
  spec.name = std::move(name);
  spec.dataType = dataType;
  spec.lengthWord = lengthWord;
  return spec;
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

DatabaseBuilder::DatabaseBuilder() : spec_(std::make_unique<DatabaseSpec>()) {}
DatabaseBuilder::~DatabaseBuilder() = default;
DatabaseBuilder::DatabaseBuilder(DatabaseBuilder&&) noexcept = default;
DatabaseBuilder& DatabaseBuilder::operator=(DatabaseBuilder&&) noexcept = default;

DatabaseBuilder& DatabaseBuilder::SystemAccount(std::string account) {
  spec_->systemAccount = std::move(account);
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Environment(std::string name, std::string value, bool folder) {
  std::string where = fmt::format("environment \"{}\"", name);
  spec_->environment.push_back(EnvironmentSpec{std::move(name), std::move(value), folder, std::move(where)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Folder(std::string folder) {
  spec_->folder = std::move(folder);
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Field(std::string name, int32_t number, int32_t descriptionId) {
  std::string where = fmt::format("field \"{}\"", name);
  spec_->fields.push_back(GlobalFieldSpec{std::move(name), number, descriptionId, std::move(where)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Selector(std::string name, int16_t width, std::vector<std::string> texts,
                                           int16_t first, int32_t id) {
  std::string where = fmt::format("selector \"{}\"", name);
  spec_->selectors.push_back(SelectorSpec{id, std::move(name), first, width, std::move(texts), std::move(where)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Definition(std::string name, std::vector<FieldSpec> fields,
                                             DefinitionOptions options) {
  std::string where = fmt::format("definition \"{}\"", name);
  spec_->definitions.push_back(DefinitionSpec{options.id, std::move(name), options.flags, std::move(options.kinds),
                                              std::move(fields), std::move(where), {}});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Record(std::string name, std::string definition, RecordOptions options) {
  spec_->recordIndex.emplace(FoldCase(name), spec_->records.size());
  std::string where = fmt::format("record \"{}\"", name);
  spec_->records.push_back(RecordSpec{options.id, std::move(name), std::move(definition), options.usable, {}, std::move(where)});
  return *this;
}

namespace {
RecordSpec& FindRecordSpec(DatabaseSpec& spec, const std::string& name) {
  auto it = spec.recordIndex.find(FoldCase(name));
  if (it == spec.recordIndex.end()) throw DatabaseError(fmt::format("no record \"{}\" was added to the builder", name));
  return spec.records[it->second];
}
}  // namespace

DatabaseBuilder& DatabaseBuilder::Set(std::string record, std::string field, Value value) {
  return Set(std::move(record), std::move(field), Sample(std::move(value)));
}

DatabaseBuilder& DatabaseBuilder::Set(std::string record, std::string field, Sample sample) {
  RecordSpec& spec = FindRecordSpec(*spec_, record);
  spec.values.push_back(ValueSpec{std::move(field), false, {std::move(sample)}});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::SetOccurrences(std::string record, std::string field, std::vector<Sample> samples) {
  RecordSpec& spec = FindRecordSpec(*spec_, record);
  spec.values.push_back(ValueSpec{std::move(field), true, std::move(samples)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::History(std::string record, std::string field, std::vector<HistoryPoint> points) {
  std::string where = fmt::format("history of \"{}\" \"{}\"", record, field);
  spec_->history.push_back(HistorySpec{std::move(record), std::move(field), std::move(points), std::move(where)});
  return *this;
}

DatabaseBuilder& DatabaseBuilder::Grant(std::string account, std::string target, int16_t level) {
  std::string where = fmt::format("grant to \"{}\" on \"{}\"", account, target);
  spec_->grants.push_back(GrantSpec{std::move(account), std::move(target), level, std::move(where)});
  return *this;
}

}  // namespace dorvik
