#include "engine/store_builder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <unordered_set>

#include <fmt/format.h>

#include "engine/database_error.h"
#include "engine/errors.h"
#include "engine/values.h"

namespace dorvik {
namespace {

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

// Runs step, turning a DatabaseError of a check into one that says where.
template <typename Step>
decltype(auto) At(const StoreBuilder& builder, std::string_view where, Step step) {
  try {
    return step();
  } catch (const DatabaseError& error) {
    builder.Fail(where, error.what());
  }
}

bool IsDefault(const Sample& sample) {
  return sample.value.IsNone() && sample.status == 0 && sample.level == 0 && sample.time.micros == 0;
}

// A number with a fraction would be stored rounded in a field that holds
// whole numbers (1.5 became 2): such a value is refused instead. A number
// whose fraction is zero (2.0) is whole.
bool LosesFraction(const FieldDef& field, const Value& value) {
  const auto* real = std::get_if<double>(&value.Get());
  const bool holdsWhole =
      field.dataType == kTypeInteger || field.dataType == kTypeCount || field.dataType == kTypePointer;
  return holdsWhole && real != nullptr && std::isfinite(*real) && std::trunc(*real) != *real;
}

constexpr std::string_view kFractionRefused = "a number with a fraction for a field of whole numbers";

}  // namespace

std::string Where::Text() const {
  if (!field.empty()) return fmt::format("{}/values/{}", owner, field);
  return index == kNoIndex ? std::string(owner) : fmt::format("{}/{}", owner, index);
}

StoreBuilder::StoreBuilder(std::string_view origin)
    : origin_(origin), reserved_(static_cast<std::size_t>(kMaxRecordId) + 1, false) {}

void StoreBuilder::Fail(std::string_view where, std::string_view what) const {
  throw DatabaseError(fmt::format("{}: {}: {}", origin_, where, what));
}

void StoreBuilder::Build(const DatabasePlan& plan) {
  Catalog(plan);
  BuildRest(plan);
}

void StoreBuilder::Catalog(const DatabasePlan& plan) {
  for (const GlobalFieldPlan& field : plan.fields) Reserve(field.descriptionId, field.where);
  for (const SelectorPlan& selector : plan.selectors) Reserve(selector.id, selector.where);
  for (const DefinitionPlan& definition : plan.definitions) Reserve(definition.id, definition.where);
  for (const RecordPlan& record : plan.records) Reserve(record.id, record.where);
  AddSystemCatalog();
  AddSettings(plan);
  AddFields(plan);
  for (const SelectorPlan& selector : plan.selectors) AddSelector(selector);
  for (const DefinitionPlan& definition : plan.definitions) AddDefinition(definition);
}

void StoreBuilder::Record(const RecordPlan& plan) {
  Reserve(plan.id, plan.where);
  BuildRecord(plan, plan.id);
}

void StoreBuilder::Finish(const DatabasePlan& rest) {
  for (const RecordPlan& record : rest.records) Reserve(record.id, record.where);
  BuildRest(rest);
}

void StoreBuilder::BuildRest(const DatabasePlan& plan) {
  for (const RecordPlan& record : plan.records) BuildRecord(record, IdFor(record.id));
  ApplyFixups();
  ResolveActivations();
  for (const HistoryPlan& history : plan.history) AddHistory(history);
  AddGrants(plan);
  const int32_t next = FirstFreeId();
  view_->PutMeta("freeHint", std::string_view(reinterpret_cast<const char*>(&next), sizeof next));
}

// --- Ids ------------------------------------------------------------------------

void StoreBuilder::Reserve(int32_t id, std::string_view where) {
  if (id == 0) return;
  if (id < kFirstUserId || id > kMaxRecordId) {
    Fail(where, fmt::format("id {} lies outside {} to {}", id, kFirstUserId, kMaxRecordId));
  }
  if (reserved_[static_cast<std::size_t>(id)]) Fail(where, fmt::format("id {} is given twice", id));
  reserved_[static_cast<std::size_t>(id)] = true;
}

int32_t StoreBuilder::IdFor(int32_t given) {
  if (given != 0) return given;
  while (nextId_ <= kMaxRecordId && (reserved_[static_cast<std::size_t>(nextId_)] || view_->IdInUse(nextId_))) {
    ++nextId_;
  }
  if (nextId_ > kMaxRecordId) throw DatabaseError("no record id is left");
  reserved_[static_cast<std::size_t>(nextId_)] = true;
  return nextId_++;
}

// Every id below the first one no entry claimed is built, so the store is
// asked from there on: walking the records from the first user id would
// read the whole table (every page of it resident at once, through the map).
int32_t StoreBuilder::FirstFreeId() const {
  const auto first = std::find(reserved_.begin() + kFirstUserId, reserved_.end(), false);
  const auto unclaimed = static_cast<int32_t>(first - reserved_.begin());
  return unclaimed > kMaxRecordId ? 0 : view_->NextFreeId(unclaimed);
}

void StoreBuilder::CheckNewId(int32_t id) const {
  if (id <= 0 || id > kMaxRecordId) {
    throw DatabaseError(fmt::format("record id {} lies outside 1 to {}", id, kMaxRecordId));
  }
  if (view_->IdInUse(id)) {
    throw DatabaseError(fmt::format("record id {} is already used by \"{}\"", id, view_->FindRecord(id)->name));
  }
}

void StoreBuilder::CheckNewName(std::string_view name) const {
  if (!IsValidRecordName(name)) throw DatabaseError(fmt::format("\"{}\" is not a valid record name", name));
  if (view_->NameInUse(name)) throw DatabaseError(fmt::format("the record name \"{}\" is already used", name));
}

// --- Catalog ------------------------------------------------------------------------

void StoreBuilder::AddSystemCatalog() {
  const SystemCatalog& system = TheSystemCatalog();
  const Definition& definitionDef = system.definitions.front().definition;
  for (const SystemCatalog::Entry& entry : system.definitions) {
    view_->PutDefinition(entry.definition);
    view_->AddRecord(entry.id, RecordBuffer(definitionDef, kDefinitionDefId, entry.name, true), &order_);
  }
  int32_t descriptionId = kFirstSystemFieldRecordId;
  for (const CatalogField& field : system.fields) AddField(field.name, field.number, descriptionId++);
}

void StoreBuilder::AddSettings(const DatabasePlan& plan) {
  view_->PutMeta("systemAccount", plan.systemAccount);
  if (!plan.folder.empty()) view_->PutMeta("folder", plan.folder);
  std::vector<EnvironmentEntry> entries;
  for (const EnvironmentPlan& entry : plan.environment) {
    if (entry.name.empty()) Fail(entry.where, "an environment variable needs a name");
    for (const EnvironmentEntry& existing : entries) {
      if (EqualsIgnoreCase(existing.name, entry.name)) Fail(entry.where, fmt::format("{} is given twice", entry.name));
    }
    entries.push_back(EnvironmentEntry{entry.name, entry.value, entry.folder});
  }
  view_->PutEnvironment(entries);
}

void StoreBuilder::AddFields(const DatabasePlan& plan) {
  // Fixed numbers first, so that chosen numbers never take them.
  for (bool fixed : {true, false}) {
    for (const GlobalFieldPlan& field : plan.fields) {
      if ((field.number != 0) != fixed) continue;
      if ((field.number & dorvik::api::kSystemFieldBit) != 0) Fail(field.where, "database fields are built in");
      At(*this, field.where, [&]() -> const GlobalField& {
        return AddField(field.name, field.number, IdFor(field.descriptionId));
      });
    }
  }
}

const GlobalField& StoreBuilder::AddField(std::string_view name, int32_t number, int32_t descriptionId) {
  if (!IsValidFieldName(name)) throw DatabaseError(fmt::format("\"{}\" is not a valid field name", name));
  if (view_->FindFieldByName(name) != nullptr) {
    throw DatabaseError(fmt::format("the field name \"{}\" is already used", name));
  }
  if (number == 0) number = highestUserField_ + 1;
  const bool system = (number & dorvik::api::kSystemFieldBit) != 0;
  if (number <= 0 || (!system && number > kMaxUserFieldNumber) || number > 0xFFFF) {
    throw DatabaseError(fmt::format("field number {} lies outside 1 to {}", number, kMaxUserFieldNumber));
  }
  if (const GlobalField* existing = view_->FindField(number)) {
    throw DatabaseError(fmt::format("field number {} is already used by \"{}\"", number, existing->name));
  }
  CheckNewId(descriptionId);
  const Definition& fieldDef = *view_->FindDefinition(kFieldDefId);
  view_->AddRecord(descriptionId, RecordBuffer(fieldDef, kFieldDefId, name, false, number), &order_);
  view_->PutField(GlobalField{number, std::string(name), descriptionId});
  if (!system) highestUserField_ = std::max(highestUserField_, number);
  return *view_->FindField(number);
}

const GlobalField& StoreBuilder::FieldNamed(const std::string& name, std::string_view where) {
  if (const GlobalField* field = view_->FindFieldByName(name)) return *field;
  return At(*this, where, [&]() -> const GlobalField& { return AddField(name, 0, IdFor(0)); });
}

void StoreBuilder::AddSelector(const SelectorPlan& selector) {
  if (selector.width <= 0 || selector.width > kMaxTextLength) Fail(selector.where, "a selector needs a text width");
  for (const std::string& text : selector.texts) {
    if (text.size() > static_cast<std::size_t>(selector.width)) {
      Fail(selector.where, fmt::format("the text \"{}\" is wider than {}", text, selector.width));
    }
  }
  const int32_t id = IdFor(selector.id);
  At(*this, selector.where, [&] {
    CheckNewId(id);
    CheckNewName(selector.name);
  });
  const Definition& selectorDef = *view_->FindDefinition(kSelectorDefId);
  view_->AddRecord(id, RecordBuffer(selectorDef, kSelectorDefId, selector.name, true), &order_);
  view_->PutSelector(id, SelectorData{selector.first, selector.width, selector.texts});
}

void StoreBuilder::CheckKind(const FieldSpec& field, std::string_view where) const {
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

FieldDef StoreBuilder::MakeField(const DefinitionPlan& definition, std::size_t index) {
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
int32_t StoreBuilder::SelectorFor(const std::string& name, std::string_view where) {
  const auto selector = view_->FindRecordByName(name);
  if (selector && selector->definitionId == kSelectorDefId) return selector->id;
  if (const GlobalField* holder = view_->FindFieldByName(name)) return holder->descriptionId;
  Fail(where, fmt::format("\"{}\" is not a selector record", name));
}

int16_t StoreBuilder::RepeatArea(const DefinitionPlan& definition, const FieldSpec& field, std::string_view where) {
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

void StoreBuilder::AddDefinition(const DefinitionPlan& plan) {
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
    if (plan.fields[i].activates.has_value()) {
      activations_.push_back(PlannedActivation{0, i, *plan.fields[i].activates, plan.where});
    }
  }
  const int32_t id = IdFor(plan.id);
  At(*this, plan.where, [&] {
    CheckNewId(id);
    CheckNewName(plan.name);
  });
  for (auto it = activations_.rbegin(); it != activations_.rend() && it->definition == 0; ++it) it->definition = id;
  definition.id = id;
  definition.Finish();
  view_->PutDefinition(definition);
  const Definition& definitionDef = *view_->FindDefinition(kDefinitionDefId);
  view_->AddRecord(id, RecordBuffer(definitionDef, kDefinitionDefId, plan.name, true), &order_);
}

void StoreBuilder::ResolveActivations() {
  for (const PlannedActivation& planned : activations_) {
    const auto task = view_->FindRecordByName(planned.activation.task);
    if (!task || !task->definition->HasKind(dorvik::api::kKindExternalTask)) {
      Fail(planned.where, fmt::format("\"{}\" is not an external task record", planned.activation.task));
    }
    Definition definition = *view_->FindDefinition(planned.definition);
    definition.fields[planned.field].activates = TaskActivation{task->id, planned.activation.priority,
                                                                planned.activation.code, planned.activation.tail};
    view_->PutDefinition(definition);
  }
  activations_.clear();
}

// --- Records and values -------------------------------------------------------------

const Definition* StoreBuilder::DefinitionNamed(const std::string& name) {
  // Records of one definition usually come together: one lookup for a run of them.
  if (name == lastDefinitionName_ && lastDefinition_ != nullptr) return lastDefinition_;
  const auto record = view_->FindRecordByName(name);
  const Definition* definition =
      record && record->definitionId == kDefinitionDefId ? view_->FindDefinition(record->id) : nullptr;
  lastDefinitionName_ = name;
  lastDefinition_ = definition;
  positions_.clear();
  return definition;
}

void StoreBuilder::BuildRecord(const RecordPlan& plan, int32_t id) {
  const Definition* definition = DefinitionNamed(plan.definition);
  if (definition == nullptr) Fail(plan.where, fmt::format("\"{}\" is not a definition record", plan.definition));
  if (definition->system) {
    Fail(plan.where, fmt::format("records of the database definition {} are made by their own calls",
                                 definition->id));
  }
  At(*this, plan.where, [&] {
    // An id past every id built so far is free (the usual order of a file).
    if (id <= order_.lastId) CheckNewId(id);
    if (id <= 0 || id > kMaxRecordId) CheckNewId(id);
    CheckNewName(plan.name);
  });
  RecordBuffer record(*definition, definition->id, plan.name, plan.usable);
  // Counts first: a count written after its area's list would cut it.
  auto isCount = [&](std::size_t i) {
    std::string_view fieldName;
    int32_t occurrence = 0;
    if (!SplitFieldText(plan.values[i].field, fieldName, occurrence)) return false;
    const int32_t position = PositionAt(*definition, i, fieldName);
    return position >= 0 && definition->fields[static_cast<std::size_t>(position)].dataType == kTypeCount;
  };
  for (bool counts : {true, false}) {
    for (std::size_t i = 0; i < plan.values.size(); ++i) {
      if (isCount(i) == counts) SetValue(plan.where, record, id, plan.values[i], i, true);
    }
  }
  view_->AddRecord(id, record, &order_);
}

int32_t StoreBuilder::PositionOf(const Definition& definition, std::string_view fieldName) const {
  const GlobalField* global = view_->FindFieldByName(fieldName);
  return global != nullptr ? definition.Find(global->number) : -1;
}

int32_t StoreBuilder::PositionAt(const Definition& definition, std::size_t index, std::string_view fieldName) {
  // The values of records of one definition usually name the same fields in
  // the same order: the position of the index-th name is remembered.
  if (index < positions_.size() && positions_[index].first == fieldName) return positions_[index].second;
  const int32_t position = PositionOf(definition, fieldName);
  if (positions_.size() <= index) positions_.resize(index + 1);
  positions_[index] = {std::string(fieldName), position};
  return position;
}

void StoreBuilder::SetValue(const std::string& ownerWhere, RecordBuffer& record, int32_t id, const ValuePlan& value,
                            std::size_t index, bool defer) {
  const Where where{ownerWhere, value.field};
  std::string_view fieldName;
  int32_t occurrence = 0;
  if (!SplitFieldText(value.field, fieldName, occurrence))
    Fail(where.Text(), "the field is not \"NAME\" or \"N NAME\"");
  const Definition& definition = record.definition();
  const int32_t position = PositionAt(definition, index, fieldName);
  if (position < 0) Fail(where.Text(), fmt::format("the record's definition has no field \"{}\"", fieldName));
  const FieldDef& field = definition.fields[static_cast<std::size_t>(position)];
  RecordRef self;
  self.id = id;
  self.definition = &definition;
  FieldAccess access{self, &field, position, 0};
  auto grow = [&](int32_t count) {
    if (AreaCount(definition, record.values(), field.repeatArea - 1) < count) {
      record.ResizeArea(field.repeatArea - 1, count);
    }
  };
  if (field.IsRepeated() && value.allOccurrences) {
    grow(static_cast<int32_t>(value.samples.size()));
    for (std::size_t k = 0; k < value.samples.size(); ++k) {
      Store(record, access, static_cast<int32_t>(k + 1), value.samples[k], where, defer);
    }
  } else if (field.IsRepeated() != (occurrence > 0) || value.allOccurrences || value.samples.size() != 1) {
    Fail(where.Text(), field.IsRepeated() ? "a repeated field takes a list or \"N NAME\""
                                          : "a field of the fixed area takes one value");
  } else {
    if (occurrence > 0) grow(occurrence);
    Store(record, access, occurrence, value.samples.front(), where, defer);
  }
}

void StoreBuilder::Store(RecordBuffer& record, FieldAccess& access, int32_t occurrence, const Sample& sample,
                         const Where& where, bool defer) {
  access.occurrence = occurrence;
  if (IsDefault(sample)) return;
  if (LosesFraction(*access.field, sample.value)) Fail(where.Text(), kFractionRefused);
  bool missing = false;
  const Scalar scalar = ToScalar(sample.value, where, defer, missing);
  const Quality quality{sample.status, sample.level, sample.time.micros};
  const int16_t code = missing ? kErrReferenceNotFound
                               : StoreValue(*view_, record, access, scalar, &quality, 0, StoreMode::kLoad);
  if (code == kErrReferenceNotFound && defer) {
    // It may point at a record not built yet: once every record is in.
    fixups_.push_back(Fixup{access.record.id, access.position, occurrence, sample, where.Text()});
    return;
  }
  if (code != kOk) Fail(where.Text(), fmt::format("the value is not valid for the field: {}", ShortMessage(code)));
}

Scalar StoreBuilder::ToScalar(const Value& value, const Where& where, bool defer, bool& missing) {
  struct Visitor {
    StoreBuilder& builder;
    const Where& where;
    bool defer;
    bool& missing;
    Scalar operator()(std::monostate) const { return Scalar::Integer(0); }
    Scalar operator()(int64_t v) const { return Scalar::Integer(v); }
    Scalar operator()(double v) const { return Scalar::Real(v); }
    Scalar operator()(const std::string& v) const { return Scalar::Text(v); }
    Scalar operator()(Timestamp v) const { return Scalar::Time(v.micros); }
    Scalar operator()(const RecordLink& v) const {
      return Scalar::Reference(builder.LinkedId(v, where, defer, missing));
    }
    Scalar operator()(const FieldLink& v) const {
      const GlobalField* field = builder.view_->FindFieldByName(v.field);
      if (field == nullptr) builder.Fail(where.Text(), fmt::format("no field is named \"{}\"", v.field));
      return Scalar::Reference(builder.LinkedId(v.record, where, defer, missing),
                               dorvik::api::FieldTag(field->number, v.occurrence));
    }
  };
  return std::visit(Visitor{*this, where, defer, missing}, value.Get());
}

int32_t StoreBuilder::LinkedId(const RecordLink& link, const Where& where, bool defer, bool& missing) {
  if (link.name.empty()) return link.id;
  if (const auto record = view_->FindRecordByName(link.name)) return record->id;
  if (!defer) Fail(where.Text(), fmt::format("no record is named \"{}\"", link.name));
  missing = true;
  return 0;
}

void StoreBuilder::ApplyFixups() {
  std::vector<Fixup> fixups = std::move(fixups_);
  fixups_.clear();
  for (const Fixup& fixup : fixups) {
    const std::optional<RecordRef> stored = view_->FindRecord(fixup.record);
    RecordBuffer record(*stored);
    const Definition& definition = record.definition();
    FieldAccess access{*stored, &definition.fields[static_cast<std::size_t>(fixup.position)], fixup.position, 0};
    Store(record, access, fixup.occurrence, fixup.sample, Where{fixup.where, {}, Where::kNoIndex}, false);
    view_->PutRecord(fixup.record, record);
  }
}

// --- History and grants -----------------------------------------------------------------

StoreBuilder::Series StoreBuilder::OpenSeries(const std::string& record, const std::string& field,
                                              const std::string& where) {
  const auto target = view_->FindRecordByName(record);
  if (!target) Fail(where, fmt::format("no record is named \"{}\"", record));
  std::string_view fieldName;
  int32_t occurrence = 0;
  const GlobalField* global =
      SplitFieldText(field, fieldName, occurrence) ? view_->FindFieldByName(fieldName) : nullptr;
  Series series;
  int32_t detail = 0;
  if (global == nullptr ||
      Resolve(*view_, target->id, dorvik::api::FieldTag(global->number, occurrence), series.access, detail) != kOk) {
    Fail(where, fmt::format("the record has no field \"{}\"", field));
  }
  if (series.access.field->historyPointer == 0) Fail(where, "the field keeps no history");
  series.kind = HistoryKindOf(*series.access.field);
  series.appender =
      std::make_unique<SeriesAppender>(*view_, target->id, series.access.Tag(), series.kind);
  return series;
}

void StoreBuilder::AddSample(Series& series, const HistoryPoint& point, std::string_view where, std::size_t index) {
  bool missing = false;
  const Where at{where, {}, index};
  if (LosesFraction(*series.access.field, point.value)) Fail(at.Text(), kFractionRefused);
  const Scalar scalar = ToScalar(point.value, at, false, missing);
  HistoryValue value;
  std::string text;
  const int16_t code = ToHistoryValue(*view_, *series.access.field, scalar, value, text);
  if (code != kOk) Fail(at.Text(), fmt::format("the value is not valid: {}", ShortMessage(code)));
  series.appender->Add(point.time.micros, point.level, value);
}

void StoreBuilder::AddHistory(const HistoryPlan& plan) {
  Series series = OpenSeries(plan.record, plan.field, plan.where);
  for (std::size_t i = 0; i < plan.points.size(); ++i) {
    AddSample(series, plan.points[i], plan.where, i);
  }
  series.appender->Finish();
}

void StoreBuilder::AddGrants(const DatabasePlan& plan) {
  std::vector<Grant> grants = view_->Grants();
  for (const GrantPlan& grant : plan.grants) {
    const auto target = view_->FindRecordByName(grant.target);
    if (!target) Fail(grant.where, fmt::format("no record is named \"{}\"", grant.target));
    if (grant.account.empty()) Fail(grant.where, "a grant needs an account");
    if (grant.level < 1 || grant.level > 3) Fail(grant.where, "a level is 1 to 3");
    grants.push_back(Grant{grant.account, target->id, grant.level});
  }
  view_->PutGrants(grants);
}

}  // namespace dorvik
