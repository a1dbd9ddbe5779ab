#include "engine/check.h"

#include <cstring>

#include <fmt/format.h>

#include "engine/access.h"
#include "engine/history.h"
#include "engine/id_reservations.h"
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

// Calls visit for every entry of table, each guarded, so that a malformed
// entry is reported and the walk goes on; a walk the store itself cannot
// continue ends with its fault.
template <typename Visit>
void ForEachEntry(const View& view, Table table, std::string_view what, CheckReport& report, Visit visit) {
  Guard(report, what, [&] {
    storage::Cursor cursor(view.txn(), view.table(table));
    MDB_val key, value;
    for (bool more = cursor.Move(key, value, MDB_FIRST); more; more = cursor.Move(key, value, MDB_NEXT)) {
      Guard(report, what, [&] { visit(key, value); });
    }
  });
}

int32_t StoredInt32(const MDB_val& value, const char* what) {
  if (value.mv_size != sizeof(int32_t)) storage::ThrowCorrupted(what);
  int32_t number = 0;
  std::memcpy(&number, value.mv_data, sizeof number);
  return number;
}

// The name of record id as its entry holds it (its values unread: a fault
// in them is the record walk's to report), or none.
std::optional<std::string_view> NameOfRecord(const View& view, int32_t id) {
  MDB_val value;
  if (id <= 0 || !storage::Get(view.txn(), view.table(Table::kRecords), storage::IdKey(id).val(), value)) {
    return std::nullopt;
  }
  const RecordHeader header = ParseHeader(value.mv_data, value.mv_size);
  return std::string_view(static_cast<const char*>(value.mv_data) + sizeof header, header.nameLength);
}

// The lists and counters of the meta table decode.
void CheckSettings(const View& view, CheckReport& report) {
  Guard(report, "environment", [&] { (void)view.Environment(); });
  Guard(report, "grants", [&] { (void)view.Grants(); });
  Guard(report, "free-id hint", [&] {
    if (const auto hint = view.Meta("freeHint"); hint && hint->size() != sizeof(int32_t)) {
      storage::ThrowCorrupted("free-id hint");
    }
  });
  Guard(report, "id reservations", [&] { (void)StoredReservations(view); });
}

void CheckDefinitions(const View& view, CheckReport& report) {
  for (int32_t id : view.DefinitionsAfter(0, kAll)) {
    Guard(report, fmt::format("definition {}", id), [&] {
      ++report.definitions;
      const auto header = view.FindHeader(id);
      if (!header || header->definitionId != kDefinitionDefId) {
        report.faults.push_back(fmt::format("definition {} has no definition record", id));
      }
      const Definition* definition = view.FindDefinition(id);
      if (definition == nullptr) {
        report.faults.push_back(fmt::format("definition {} is listed but cannot be found", id));
        return;
      }
      for (const FieldDef& field : definition->fields) {
        if (view.FindField(field.number) == nullptr) {
          report.faults.push_back(fmt::format("definition {} lists field {} that does not exist", id, field.number));
        }
      }
    });
  }
}

void CheckFields(const View& view, CheckReport& report) {
  for (int32_t number : view.FieldsAfter(0, kAll)) {
    Guard(report, fmt::format("field {}", number), [&] {
      ++report.fields;
      const GlobalField* field = view.FindField(number);
      if (field == nullptr) {
        report.faults.push_back(fmt::format("field {} is listed but cannot be found", number));
        return;
      }
      const GlobalField* byName = view.FindFieldByName(field->name);
      if (byName == nullptr || byName->number != number) {
        report.faults.push_back(fmt::format("field {} is not found by its name \"{}\"", number, field->name));
      }
      if (view.FieldNumberOfDescription(field->descriptionId) != number) {
        report.faults.push_back(fmt::format("field {} has no description record {}", number, field->descriptionId));
      }
    });
  }
  ForEachEntry(view, Table::kFieldNames, "field name", report, [&](const MDB_val& key, const MDB_val& value) {
    const int32_t number = StoredInt32(value, "field name");
    const GlobalField* field = view.FindField(number);
    if (field == nullptr || FoldCase(field->name) != storage::View(key)) {
      report.faults.push_back(fmt::format("field name \"{}\" names field {}, which has another name",
                                          storage::View(key), number));
    }
  });
}

void CheckSelectors(const View& view, CheckReport& report) {
  ForEachEntry(view, Table::kSelectors, "selector", report, [&](const MDB_val& key, const MDB_val&) {
    const int32_t id = storage::IdOfKey(key);
    ++report.selectors;
    const auto header = view.FindHeader(id);
    if (!header || header->definitionId != kSelectorDefId) {
      report.faults.push_back(fmt::format("selector {} has no selector record", id));
    }
    if (view.FindSelector(id) == nullptr) report.faults.push_back(fmt::format("selector {} has no texts", id));
  });
  Guard(report, "selector records", [&] {
    for (int32_t id : view.RecordsOf(kSelectorDefId, 0, kAll)) {
      Guard(report, fmt::format("selector {}", id), [&] {
        if (view.FindSelector(id) == nullptr) {
          report.faults.push_back(fmt::format("selector record {} has no texts", id));
        }
      });
    }
  });
}

// The names and byDefinition tables point at records that are there.
void CheckIndexes(const View& view, CheckReport& report) {
  ForEachEntry(view, Table::kNames, "record name", report, [&](const MDB_val& key, const MDB_val& value) {
    const int32_t id = StoredInt32(value, "record name");
    const std::optional<std::string_view> name = NameOfRecord(view, id);
    if (!name || FoldCase(*name) != storage::View(key)) {
      report.faults.push_back(fmt::format("name \"{}\" names record {}, which has another name or none",
                                          storage::View(key), id));
    }
  });
  ForEachEntry(view, Table::kByDefinition, "definition list", report, [&](const MDB_val& key, const MDB_val&) {
    if (key.mv_size != 8) storage::ThrowCorrupted("definition list key");
    const auto* bytes = static_cast<const std::byte*>(key.mv_data);
    const auto definitionId = static_cast<int32_t>(storage::GetBigEndian32(bytes));
    const auto id = static_cast<int32_t>(storage::GetBigEndian32(bytes + 4));
    const auto header = view.FindHeader(id);
    if (!header || header->definitionId != definitionId) {
      report.faults.push_back(
          fmt::format("definition {} lists record {}, which is not one of its records", definitionId, id));
    }
  });
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
  ForEachEntry(view, Table::kRecords, "record", report, [&](const MDB_val& key, const MDB_val& value) {
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
  });
}

void CheckHistory(const View& view, CheckReport& report) {
  Guard(report, "history", [&] {
    ForEachSeries(view, [&](int32_t id, int32_t tag) {
      Guard(report, fmt::format("history of record {}", id), [&] {
        ++report.series;
        FieldAccess access;
        int32_t detail = 0;
        if (Resolve(view, id, dorvik::api::BaseTag(tag), access, detail) != kOk ||
            access.field->historyPointer == 0) {
          report.faults.push_back(fmt::format("history of record {} field 0x{:X}, which keeps none", id,
                                              static_cast<uint32_t>(tag)));
          return;
        }
        report.samples += CheckSeries(view, id, tag, HistoryKindOf(*access.field), report.faults);
      });
    });
  });
}

void CheckActivations(const View& view, CheckReport& report) {
  ForEachEntry(view, Table::kTasks, "activation", report, [&](const MDB_val& key, const MDB_val& value) {
    ++report.activations;
    if (key.mv_size != 12) storage::ThrowCorrupted("activation key");
    if (value.mv_size != kActivationSize) storage::ThrowCorrupted("activation");
    const auto task = static_cast<int32_t>(storage::GetBigEndian32(static_cast<const std::byte*>(key.mv_data)));
    const auto record = view.FindRecord(task);
    if (!record || !record->definition->HasKind(dorvik::api::kKindExternalTask)) {
      report.faults.push_back(fmt::format("an activation waits for record {}, which is no task record", task));
    }
  });
}

}  // namespace

CheckReport CheckStore(const View& view) {
  CheckReport report;
  CheckSettings(view, report);
  Guard(report, "definitions", [&] { CheckDefinitions(view, report); });
  Guard(report, "fields", [&] { CheckFields(view, report); });
  CheckSelectors(view, report);
  CheckIndexes(view, report);
  CheckRecords(view, report);
  CheckHistory(view, report);
  CheckActivations(view, report);
  return report;
}

}  // namespace dorvik
