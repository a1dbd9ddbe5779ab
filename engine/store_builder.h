// StoreBuilder: builds a DatabasePlan into a new store, resolving every name
// and checking everything; errors are DatabaseError "origin: where: what".
//
// Build writes a whole plan. The streaming import feeds it in pieces, in
// this order: Catalog (settings, fields, selectors, definitions, each with
// its id), then records with ids and history entries as they come (Record,
// OpenSeries/AddSample), then Finish with what it kept back (records
// without ids, their history, the grants). A value that points at a record
// not built yet is set at Finish. Bind says which write transaction to
// write in: the import commits now and then. One thread; one build.
#ifndef VANTREL_ENGINE_STORE_BUILDER_H_
#define VANTREL_ENGINE_STORE_BUILDER_H_

#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/access.h"
#include "engine/database_plan.h"
#include "engine/history.h"
#include "engine/view.h"

namespace dorvik {

// Where a value or sample came from, put into words only for an error:
// "<owner>/values/<field>" or "<owner>/<index>".
struct Where {
  static constexpr std::size_t kNoIndex = SIZE_MAX;
  std::string_view owner;
  std::string_view field;  // empty: the owner's entry `index`, or the owner itself
  std::size_t index = kNoIndex;
  std::string Text() const;
};

class StoreBuilder {
 public:
  explicit StoreBuilder(std::string_view origin);

  void Bind(WriteView& view) { view_ = &view; }
  void Build(const DatabasePlan& plan);

  // The pieces of a streamed build.
  void Catalog(const DatabasePlan& plan);
  void Record(const RecordPlan& plan);
  // The history of one field of a record, filled sample by sample; the
  // samples go to the store as chunks fill, and at Close.
  struct Series {
    FieldAccess access;
    HistoryKind kind = HistoryKind::kNumber;
    std::unique_ptr<SeriesAppender> appender;
    void Close() { appender->Finish(); }
  };
  Series OpenSeries(const std::string& record, const std::string& field, const std::string& where);
  // Sample `index` of the series that came from `where` (its samples list).
  void AddSample(Series& series, const HistoryPoint& point, std::string_view where, std::size_t index);
  void Finish(const DatabasePlan& rest);

  [[noreturn]] void Fail(std::string_view where, std::string_view what) const;

 private:
  // A value that pointed at a record not built yet.
  struct Fixup {
    int32_t record;
    int32_t position;
    int32_t occurrence;
    Sample sample;
    std::string where;
  };
  // A definition field's activation, resolved once every record is in.
  struct PlannedActivation {
    int32_t definition;
    std::size_t field;
    FieldSpec::Activation activation;
    std::string where;
  };

  void BuildRest(const DatabasePlan& plan);
  void Reserve(int32_t id, std::string_view where);
  int32_t IdFor(int32_t given);
  int32_t FirstFreeId() const;
  void CheckNewId(int32_t id) const;
  void CheckNewName(std::string_view name) const;
  void AddSystemCatalog();
  void AddSettings(const DatabasePlan& plan);
  void AddFields(const DatabasePlan& plan);
  const GlobalField& AddField(std::string_view name, int32_t number, int32_t descriptionId);
  const GlobalField& FieldNamed(const std::string& name, std::string_view where);
  void AddSelector(const SelectorPlan& plan);
  void CheckKind(const FieldSpec& field, std::string_view where) const;
  FieldDef MakeField(const DefinitionPlan& definition, std::size_t index);
  int32_t SelectorFor(const std::string& name, std::string_view where);
  int16_t RepeatArea(const DefinitionPlan& definition, const FieldSpec& field, std::string_view where);
  void AddDefinition(const DefinitionPlan& plan);
  void ResolveActivations();
  const Definition* DefinitionNamed(const std::string& name);
  void BuildRecord(const RecordPlan& plan, int32_t id);
  int32_t PositionOf(const Definition& definition, std::string_view fieldName) const;
  int32_t PositionAt(const Definition& definition, std::size_t index, std::string_view fieldName);
  void SetValue(const std::string& ownerWhere, RecordBuffer& record, int32_t id, const ValuePlan& value,
                std::size_t index, bool defer);
  void Store(RecordBuffer& record, FieldAccess& access, int32_t occurrence, const Sample& sample, const Where& where,
             bool defer);
  Scalar ToScalar(const Value& value, const Where& where, bool defer, bool& missing);
  int32_t LinkedId(const RecordLink& link, const Where& where, bool defer, bool& missing);
  void ApplyFixups();
  void AddHistory(const HistoryPlan& plan);
  void AddGrants(const DatabasePlan& plan);

  std::string origin_;
  WriteView* view_ = nullptr;
  std::vector<bool> reserved_;  // ids claimed by entries or handed out, by id
  int32_t nextId_ = kFirstUserId;
  int32_t highestUserField_ = 0;
  std::vector<PlannedActivation> activations_;
  std::vector<Fixup> fixups_;
  WriteView::BuildOrder order_;
  std::string lastDefinitionName_;  // of the records built last
  const Definition* lastDefinition_ = nullptr;
  std::vector<std::pair<std::string, int32_t>> positions_;  // of their values' fields, by index
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_STORE_BUILDER_H_
