#include "engine/check.h"

#include <cstring>

#include <fmt/format.h>

#include "engine/access.h"
#include "engine/history.h"
#include "engine/storage/codec.h"

namespace dorvik {
namespace {

constexpr std::size_t kAll = static_cast<std::size_t>(kMaxRecordId) + 1;

// Runs a check; a malformed entry it meets becomes a fault line.
template <typename Check>
void Guard(CheckReport& report, std::string_view what, Check check) {
  try {
    check();
  } catch (const storage::StorageError& error) {
    report.faults.push_back(fmt::format("{}: {}", what, error.what()));
  }
}

void CheckCatalog(const View& view, CheckReport& report) {
  for (int32_t id : view.DefinitionsAfter(0, kAll)) {
    Guard(report, fmt::format("definition {}", id), [&] {
      ++report.definitions;
      const auto header = view.FindHeader(id);
      if (!header || header->definitionId != kDefinitionDefId) {
        report.faults.push_back(fmt::format("definition {} has no definition record", id));
      }
      for (const FieldDef& field : view.FindDefinition(id)->fields) {
        if (view.FindField(field.number) == nullptr) {
          report.faults.push_back(fmt::format("definition {} lists field {} that does not exist", id, field.number));
        }
      }
    });
  }
  for (int32_t number : view.FieldsAfter(0, kAll)) {
    Guard(report, fmt::format("field {}", number), [&] {
      ++report.fields;
      const GlobalField& field = *view.FindField(number);
      const GlobalField* byName = view.FindFieldByName(field.name);
      if (byName == nullptr || byName->number != number) {
        report.faults.push_back(fmt::format("field {} is not found by its name \"{}\"", number, field.name));
      }
      if (view.FieldNumberOfDescription(field.descriptionId) != number) {
        report.faults.push_back(fmt::format("field {} has no description record {}", number, field.descriptionId));
      }
    });
  }
  for (int32_t id : view.RecordsOf(kSelectorDefId, 0, kAll)) {
    Guard(report, fmt::format("selector {}", id), [&] {
      ++report.selectors;
      if (view.FindSelector(id) == nullptr) report.faults.push_back(fmt::format("selector {} has no texts", id));
    });
  }
}

void CheckRecord(const View& view, const RecordRef& record, CheckReport& report) {
  ++report.records;
  if (record.definitionId != kFieldDefId) {
    const auto named = view.FindRecordByName(record.name);
    if (!named || named->id != record.id) {
      report.faults.push_back(fmt::format("record {} is not found by its name \"{}\"", record.id, record.name));
    }
  }
  const std::vector<int32_t> listed = view.RecordsOf(record.definitionId, record.id - 1, 1);
  if (listed.empty() || listed.front() != record.id) {
    report.faults.push_back(fmt::format("record {} is missing from its definition's list", record.id));
  }
  const Definition& definition = *record.definition;
  for (int32_t position : definition.pointerFields) {
    const FieldDef& field = definition.fields[static_cast<std::size_t>(position)];
    const int32_t count = field.IsRepeated() ? AreaCount(definition, record.values, field.repeatArea - 1) : 1;
    for (int32_t k = 1; k <= count; ++k) {
      const std::byte* slot = SlotOf(definition, record.values, position, field.IsRepeated() ? k : 0);
      int32_t target = 0;
      std::memcpy(&target, slot, sizeof target);
      if (target != 0 && !view.IdInUse(target)) {
        report.faults.push_back(fmt::format("record {} points at record {}, which does not exist", record.id, target));
      }
    }
  }
}

void CheckRecords(const View& view, CheckReport& report) {
  // One entry at a time, so that a malformed one is reported and the walk goes on.
  storage::Cursor cursor(view.txn(), view.table(Table::kRecords));
  MDB_val key, value;
  for (bool more = cursor.Move(key, value, MDB_FIRST); more; more = cursor.Move(key, value, MDB_NEXT)) {
    const int32_t id = storage::IdOfKey(key);
    Guard(report, fmt::format("record {}", id), [&] {
      const RecordHeader header = ParseHeader(value.mv_data, value.mv_size);
      const Definition* definition = view.FindDefinition(header.definitionId);
      if (definition == nullptr) {
        report.faults.push_back(
            fmt::format("record {} has definition {}, which does not exist", id, header.definitionId));
        return;
      }
      CheckRecord(view, ParseRecord(id, value.mv_data, value.mv_size, *definition), report);
    });
  }
}

void CheckHistory(const View& view, CheckReport& report) {
  ForEachSeries(view, [&](int32_t id, int32_t tag) {
    Guard(report, fmt::format("history of record {}", id), [&] {
      ++report.series;
      FieldAccess access;
      int32_t detail = 0;
      if (Resolve(view, id, dorvik::api::BaseTag(tag), access, detail) != kOk || access.field->historyPointer == 0) {
        report.faults.push_back(fmt::format("history of record {} field 0x{:X}, which keeps none", id,
                                            static_cast<uint32_t>(tag)));
        return;
      }
      report.samples += CheckSeries(view, id, tag, HistoryKindOf(*access.field), report.faults);
    });
  });
}

void CheckActivations(const View& view, CheckReport& report) {
  storage::Cursor cursor(view.txn(), view.table(Table::kTasks));
  MDB_val key, value;
  for (bool more = cursor.Move(key, value, MDB_FIRST); more; more = cursor.Move(key, value, MDB_NEXT)) {
    ++report.activations;
    if (key.mv_size != 12) storage::ThrowCorrupted("activation key");
    const auto task = static_cast<int32_t>(storage::GetBigEndian32(static_cast<const std::byte*>(key.mv_data)));
    const auto record = view.FindRecord(task);
    if (!record || !record->definition->HasKind(dorvik::api::kKindExternalTask)) {
      report.faults.push_back(fmt::format("an activation waits for record {}, which is no task record", task));
    }
  }
}

}  // namespace

CheckReport CheckStore(const View& view) {
  CheckReport report;
  CheckCatalog(view, report);
  CheckRecords(view, report);
  CheckHistory(view, report);
  CheckActivations(view, report);
  return report;
}

}  // namespace dorvik
