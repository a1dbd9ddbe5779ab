#include "engine/view.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/file_audit.h"
#include "engine/storage/codec.h"

namespace dorvik {
namespace {

using storage::Bytes;
using storage::IdKey;

// How far a record lookup steps forward from the record the cursor stands
// on before it searches: a gap of a few missing ids still costs less by steps.
constexpr int kRecordSteps = 4;

constexpr const char* kTableNames[] = {"meta",   "records",    "names",     "byDefinition", "definitions",
                                       "fields", "fieldNames", "selectors", "history",      "tasks"};
static_assert(std::size(kTableNames) == static_cast<std::size_t>(Table::kCount));

constexpr std::string_view kFreeHintKey = "freeHint";

// (first id, second id) as a big-endian key.
std::array<std::byte, 8> PairKey(int32_t first, int32_t second) {
  std::array<std::byte, 8> key{};
  storage::PutBigEndian32(key.data(), static_cast<uint32_t>(first));
  storage::PutBigEndian32(key.data() + 4, static_cast<uint32_t>(second));
  return key;
}

// (task, sequence) of the tasks table.
std::array<std::byte, 12> TaskKey(int32_t task, uint64_t sequence) {
  std::array<std::byte, 12> key{};
  storage::PutBigEndian32(key.data(), static_cast<uint32_t>(task));
  storage::PutBigEndian64(key.data() + 4, sequence);
  return key;
}

std::array<std::byte, kActivationSize> EncodeActivation(const PendingActivation& a) {
  std::array<std::byte, kActivationSize> out{};
  std::memcpy(out.data(), &a.record, 4);
  std::memcpy(out.data() + 4, &a.fieldTag, 4);
  std::memcpy(out.data() + 8, &a.priority, 2);
  std::memcpy(out.data() + 10, &a.code, 2);
  std::memcpy(out.data() + 12, &a.tail, 1);
  return out;
}

PendingActivation DecodeActivation(const MDB_val& value) {
  if (value.mv_size != kActivationSize) storage::ThrowCorrupted("activation");
  const auto* in = static_cast<const std::byte*>(value.mv_data);
  PendingActivation a;
  std::memcpy(&a.record, in, 4);
  std::memcpy(&a.fieldTag, in + 4, 4);
  std::memcpy(&a.priority, in + 8, 2);
  std::memcpy(&a.code, in + 10, 2);
  std::memcpy(&a.tail, in + 12, 1);
  return a;
}

bool IsTaskKey(const MDB_val& key, int32_t task) {
  return key.mv_size == 12 && storage::GetBigEndian32(static_cast<const std::byte*>(key.mv_data)) ==
                                  static_cast<uint32_t>(task);
}

GlobalField DecodeField(int32_t number, const MDB_val& value) {
  storage::ByteReader in(value, "field");
  GlobalField field;
  field.number = number;
  field.descriptionId = in.Get<int32_t>();
  field.name = in.Text();
  return field;
}

}  // namespace

namespace {
// Opening the tables makes LMDB walk the main table, and trusting its pages:
// a damaged data file is refused first with what is wrong. A small file is
// audited whole, so that no read of it can meet a damaged page.
void AuditBeforeOpening(const storage::Env& env) {
  mdb_filehandle_t fd = -1;
  struct stat file {};
  if (mdb_env_get_fd(env.get(), &fd) != 0 || ::fstat(fd, &file) != 0) return;
  const auto depth = static_cast<uint64_t>(file.st_size) <= kAuditAtOpenLimit ? AuditDepth::kEveryPage
                                                                               : AuditDepth::kTableRecords;
  const std::vector<std::string> faults = AuditDataFile(fd, depth);
  if (!faults.empty()) throw storage::StorageError(Outcome{kErrCorrupted, 0}, faults.front());
}
}  // namespace

Tables Tables::Open(const storage::Env& env, bool create) {
  storage::Txn txn = storage::Txn::Begin(env, create);
  if (!create) AuditBeforeOpening(env);
  Tables tables;
  for (std::size_t i = 0; i < tables.dbi.size(); ++i) {
    const auto table = static_cast<Table>(i);
    const bool byId = table == Table::kRecords || table == Table::kDefinitions || table == Table::kFields ||
                      table == Table::kSelectors;
    const unsigned flags = (create ? MDB_CREATE : 0u) | (byId ? MDB_INTEGERKEY : 0u);
    storage::Check(mdb_dbi_open(txn.get(), kTableNames[i], flags, &tables.dbi[i]), kTableNames[i]);
  }
  const Outcome committed = txn.Commit();
  if (!committed.ok()) storage::Check(committed.detail != 0 ? committed.detail : MDB_PANIC, "open tables");
  return tables;
}

// --- Catalog ---------------------------------------------------------------------

const Definition* Catalog::FindDefinition(const View& view, int32_t id) const {
  {
    std::shared_lock lock(mutex_);
    if (auto it = definitions_.find(id); it != definitions_.end()) return it->second.get();
  }
  MDB_val value;
  if (!storage::Get(view.txn(), view.table(Table::kDefinitions), IdKey(id).val(), value)) return nullptr;
  auto decoded = std::make_unique<const Definition>(DecodeDefinition(id, value.mv_data, value.mv_size));
  std::unique_lock lock(mutex_);
  return definitions_.try_emplace(id, std::move(decoded)).first->second.get();
}

const GlobalField* Catalog::FindField(const View& view, int32_t number) const {
  {
    std::shared_lock lock(mutex_);
    if (auto it = fields_.find(number); it != fields_.end()) return it->second.get();
  }
  MDB_val value;
  if (!storage::Get(view.txn(), view.table(Table::kFields), IdKey(number).val(), value)) return nullptr;
  auto decoded = std::make_unique<const GlobalField>(DecodeField(number, value));
  std::unique_lock lock(mutex_);
  auto [it, added] = fields_.try_emplace(number, std::move(decoded));
  if (added) fieldsByName_.emplace(FoldCase(it->second->name), it->second.get());
  return it->second.get();
}

const GlobalField* Catalog::CachedField(int32_t number) const {
  std::shared_lock lock(mutex_);
  const auto it = fields_.find(number);
  return it != fields_.end() ? it->second.get() : nullptr;
}

const GlobalField* Catalog::CachedFieldByName(std::string_view name) const {
  std::shared_lock lock(mutex_);
  const auto it = fieldsByName_.find(name);
  return it != fieldsByName_.end() ? it->second : nullptr;
}

const GlobalField* Catalog::FindFieldByName(const View& view, std::string_view name) const {
  if (const GlobalField* cached = CachedFieldByName(name)) return cached;
  const std::string folded = FoldCase(name);
  MDB_val value;
  if (!storage::Get(view.txn(), view.table(Table::kFieldNames), Bytes(folded), value)) return nullptr;
  if (value.mv_size != sizeof(int32_t)) storage::ThrowCorrupted("field name");
  int32_t number = 0;
  std::memcpy(&number, value.mv_data, sizeof number);
  return FindField(view, number);
}

const SelectorData* Catalog::FindSelector(const View& view, int32_t id) const {
  {
    std::shared_lock lock(mutex_);
    if (auto it = selectors_.find(id); it != selectors_.end()) return it->second.get();
  }
  MDB_val value;
  if (!storage::Get(view.txn(), view.table(Table::kSelectors), IdKey(id).val(), value)) return nullptr;
  auto decoded = std::make_unique<const SelectorData>(DecodeSelector(value.mv_data, value.mv_size));
  std::unique_lock lock(mutex_);
  return selectors_.try_emplace(id, std::move(decoded)).first->second.get();
}

void Catalog::Remember(Definition definition) {
  const int32_t id = definition.id;
  std::unique_lock lock(mutex_);
  definitions_[id] = std::make_unique<const Definition>(std::move(definition));
}

void Catalog::Remember(GlobalField field) {
  std::unique_lock lock(mutex_);
  auto& slot = fields_[field.number];
  if (slot != nullptr) fieldsByName_.erase(FoldCase(slot->name));
  slot = std::make_unique<const GlobalField>(std::move(field));
  fieldsByName_[FoldCase(slot->name)] = slot.get();
}

void Catalog::Remember(int32_t id, SelectorData selector) {
  std::unique_lock lock(mutex_);
  selectors_[id] = std::make_unique<const SelectorData>(std::move(selector));
}

// --- View -------------------------------------------------------------------------

bool View::LookUpRecord(int32_t id, MDB_val& value) const {
  if (recordCursor_ == nullptr) return storage::Get(txn_, table(Table::kRecords), IdKey(id).val(), value);
  const int32_t standsOn = cursorRecord_;
  cursorRecord_ = 0;
  const IdKey key(id);
  // Ids looked up in ascending order: the next one is usually a step or two
  // past the record the cursor stands on.
  const bool found = standsOn > 0 && id > standsOn ? recordCursor_->SeekForward(key.val(), value, kRecordSteps)
                                                   : recordCursor_->Seek(key.val(), value);
  if (!found) return false;
  cursorRecord_ = id;
  cursorRecordSize_ = value.mv_size;
  return true;
}

std::optional<RecordRef> View::FindRecord(int32_t id) const {
  if (id <= 0) return std::nullopt;
  MDB_val value;
  if (!LookUpRecord(id, value)) return std::nullopt;
  const RecordHeader header = ParseHeader(value.mv_data, value.mv_size);
  // Records of one definition usually come together: one catalog lookup for them.
  if (lastDefinition_ == nullptr || lastDefinition_->id != header.definitionId) {
    lastDefinition_ = FindDefinition(header.definitionId);
    if (lastDefinition_ == nullptr) storage::ThrowCorrupted("record of a missing definition");
  }
  return ParseRecord(id, value.mv_data, value.mv_size, *lastDefinition_);
}

std::optional<RecordRef> View::FindRecordByName(std::string_view name) const {
  const std::optional<int32_t> id = IdOfName(name);
  return id ? FindRecord(*id) : std::nullopt;
}

std::optional<RecordHeader> View::FindHeader(int32_t id) const {
  MDB_val value;
  if (id <= 0 || !storage::Get(txn_, table(Table::kRecords), IdKey(id).val(), value)) return std::nullopt;
  return ParseHeader(value.mv_data, value.mv_size);
}

RecordIdentity View::FindIdentity(int32_t id) const {
  RecordIdentity identity;
  MDB_val value;
  if (id <= 0 || !storage::Get(txn_, table(Table::kRecords), IdKey(id).val(), value)) return identity;
  const RecordHeader header = ParseHeader(value.mv_data, value.mv_size);
  const auto* bytes = static_cast<const std::byte*>(value.mv_data);
  identity.definitionId = header.definitionId;
  identity.usable = header.usable != 0;
  identity.name.assign(reinterpret_cast<const char*>(bytes + sizeof header), header.nameLength);
  try {
    identity.definition = FindDefinition(header.definitionId);
  } catch (const storage::StorageError&) {
    identity.settled = false;  // the record does not read whole now; a cache must not keep that
    return identity;
  }
  if (identity.definition != nullptr) {
    const std::byte* values = bytes + sizeof header + header.nameLength;
    const std::size_t size = value.mv_size - sizeof header - header.nameLength;
    identity.wellFormed = ValuesSize(*identity.definition, values, size) == size;
  }
  return identity;
}

namespace {
// Walks that resume from the last id they returned end only while ids rise:
// a damaged page of a file too large to audit at open could hand back an id
// at or before the resume point, and the caller would go round for ever.
int32_t RisingId(int32_t id, int32_t previous) {
  if (id <= previous) storage::ThrowCorrupted("ids out of order");
  return id;
}
}  // namespace

void View::ForEachRecord(int32_t from, const std::function<bool(const RecordRef&)>& visit) const {
  storage::Cursor cursor(txn_, table(Table::kRecords));
  const IdKey start(std::max(from, 1));
  MDB_val key = start.val(), value;
  const Definition* definition = nullptr;
  int32_t previous = std::max(from, 1) - 1;
  for (bool more = cursor.Move(key, value, MDB_SET_RANGE); more; more = cursor.Move(key, value, MDB_NEXT)) {
    previous = RisingId(storage::IdOfKey(key), previous);
    const RecordHeader header = ParseHeader(value.mv_data, value.mv_size);
    if (definition == nullptr || definition->id != header.definitionId)
      definition = FindDefinition(header.definitionId);
    if (definition == nullptr) storage::ThrowCorrupted("record of a missing definition");
    if (!visit(ParseRecord(previous, value.mv_data, value.mv_size, *definition))) return;
  }
}

std::vector<int32_t> View::RecordsOf(int32_t definitionId, int32_t after, std::size_t max) const {
  std::vector<int32_t> ids;
  storage::Cursor cursor(txn_, table(Table::kByDefinition));
  const auto start = PairKey(definitionId, after < 0 ? 0 : after + 1);
  MDB_val key = Bytes(start.data(), start.size()), value;
  for (bool more = cursor.Move(key, value, MDB_SET_RANGE); more && ids.size() < max;
       more = cursor.Move(key, value, MDB_NEXT)) {
    if (key.mv_size != 8) storage::ThrowCorrupted("definition list key");
    const auto* bytes = static_cast<const std::byte*>(key.mv_data);
    if (storage::GetBigEndian32(bytes) != static_cast<uint32_t>(definitionId)) break;
    const int32_t previous = ids.empty() ? std::max(after, 0) : ids.back();
    ids.push_back(RisingId(static_cast<int32_t>(storage::GetBigEndian32(bytes + 4)), previous));
  }
  return ids;
}

namespace {
// Keys after `after` of a table keyed by id, at most max.
std::vector<int32_t> IdsAfter(MDB_txn* txn, MDB_dbi table, int32_t after, std::size_t max) {
  std::vector<int32_t> ids;
  storage::Cursor cursor(txn, table);
  const IdKey start(after < 0 ? 0 : after + 1);
  MDB_val key = start.val(), value;
  for (bool more = cursor.Move(key, value, MDB_SET_RANGE); more && ids.size() < max;
       more = cursor.Move(key, value, MDB_NEXT)) {
    ids.push_back(RisingId(storage::IdOfKey(key), ids.empty() ? std::max(after, 0) : ids.back()));
  }
  return ids;
}
}  // namespace

std::vector<int32_t> View::DefinitionsAfter(int32_t after, std::size_t max) const {
  return IdsAfter(txn_, table(Table::kDefinitions), after, max);
}

std::vector<int32_t> View::FieldsAfter(int32_t after, std::size_t max) const {
  return IdsAfter(txn_, table(Table::kFields), after, max);
}

std::optional<int32_t> View::IdOfName(std::string_view name) const {
  const std::string folded = FoldCase(name);
  MDB_val value;
  if (!storage::Get(txn_, table(Table::kNames), Bytes(folded), value)) return std::nullopt;
  if (value.mv_size != sizeof(int32_t)) storage::ThrowCorrupted("record name");
  int32_t id = 0;
  std::memcpy(&id, value.mv_data, sizeof id);
  return id;
}

bool View::IdInUse(int32_t id) const {
  MDB_val value;
  return id > 0 && storage::Get(txn_, table(Table::kRecords), IdKey(id).val(), value);
}

int32_t View::FieldNumberOfDescription(int32_t id) const {
  const std::optional<RecordRef> record = FindRecord(id);
  return record && record->definitionId == kFieldDefId ? record->aux : 0;
}

int32_t View::NextFreeId(int32_t from) const {
  int32_t id = kFirstUserId;
  if (const auto hint = Meta(kFreeHintKey); hint && hint->size() == sizeof id)
    std::memcpy(&id, hint->data(), sizeof id);
  // A damaged hint must not hand out a catalog id or run past the id space.
  id = std::clamp(std::max(id, from), kFirstUserId, kMaxRecordId + 1);
  storage::Cursor cursor(txn_, table(Table::kRecords));
  const IdKey start(id);
  MDB_val key = start.val(), value;
  for (bool more = cursor.Move(key, value, MDB_SET_RANGE); more && storage::IdOfKey(key) == id;
       more = cursor.Move(key, value, MDB_NEXT)) {
    ++id;
  }
  return id <= kMaxRecordId ? id : 0;
}

std::optional<std::string_view> View::Meta(std::string_view key) const {
  MDB_val value;
  if (!storage::Get(txn_, table(Table::kMeta), Bytes(key), value)) return std::nullopt;
  return storage::View(value);
}

std::string View::SystemAccount() const { return std::string(Meta("systemAccount").value_or("")); }

std::string View::Folder() const { return std::string(Meta("folder").value_or("")); }

std::vector<EnvironmentEntry> View::Environment() const {
  const auto blob = Meta("environment");
  return blob ? DecodeEnvironment(blob->data(), blob->size()) : std::vector<EnvironmentEntry>{};
}

std::vector<Grant> View::Grants() const {
  const auto blob = Meta("grants");
  return blob ? DecodeGrants(blob->data(), blob->size()) : std::vector<Grant>{};
}

std::vector<PendingActivation> View::Activations(int32_t task, std::size_t limit) const {
  std::vector<PendingActivation> found;
  storage::Cursor cursor(txn_, table(Table::kTasks));
  const auto start = TaskKey(task, 0);
  MDB_val key = Bytes(start.data(), start.size()), value;
  for (bool more = cursor.Move(key, value, MDB_SET_RANGE); more && IsTaskKey(key, task) && found.size() < limit;
       more = cursor.Move(key, value, MDB_NEXT)) {
    found.push_back(DecodeActivation(value));
  }
  return found;
}

int32_t View::CountActivations(int32_t task) const {
  return static_cast<int32_t>(Activations(task, static_cast<std::size_t>(kMaxRecordId)).size());
}

View::RecordCursorScope::RecordCursorScope(const View& view)
    : view_(view), cursor_(view.txn(), view.table(Table::kRecords)), outer_(view.recordCursor_) {
  view_.recordCursor_ = &cursor_;
  view_.cursorRecord_ = 0;
}

View::RecordCursorScope::~RecordCursorScope() {
  view_.recordCursor_ = outer_;
  view_.cursorRecord_ = 0;  // the outer cursor may stand elsewhere by now
}

// --- WriteView --------------------------------------------------------------------------

WriteView::BatchCursors::BatchCursors(WriteView& view)
    : view_(view),
      records_(view.txn(), view.table(Table::kRecords)),
      history_(view.txn(), view.table(Table::kHistory)),
      outerRecords_(view.recordCursor_),
      outerHistory_(view.historyCursor_) {
  view_.recordCursor_ = &records_;
  view_.historyCursor_ = &history_;
  view_.cursorRecord_ = 0;
}

WriteView::BatchCursors::~BatchCursors() {
  view_.recordCursor_ = outerRecords_;
  view_.historyCursor_ = outerHistory_;
  view_.cursorRecord_ = 0;  // the outer cursor may stand elsewhere by now
}

void WriteView::PutRecord(int32_t id, const RecordBuffer& record) {
  const MDB_val value = Bytes(record.bytes().data(), record.bytes().size());
  // Just looked up through the batch's cursor and of the same size: replaced
  // in place where the cursor stands, without searching the tree again.
  if (recordCursor_ != nullptr && cursorRecord_ == id && cursorRecordSize_ == value.mv_size) {
    recordCursor_->Put(IdKey(id).val(), value, MDB_CURRENT);
    return;
  }
  cursorRecord_ = 0;
  storage::Put(txn(), table(Table::kRecords), IdKey(id).val(), value);
}

void WriteView::AddRecord(int32_t id, const RecordBuffer& record, BuildOrder* order) {
  catalogChanged_ = true;
  cursorRecord_ = 0;
  const RecordHeader header = ParseHeader(record.bytes().data(), record.bytes().size());
  const bool idInOrder = order != nullptr && id > order->lastId;
  storage::Put(txn(), table(Table::kRecords), IdKey(id).val(), Bytes(record.bytes().data(), record.bytes().size()),
               idInOrder ? MDB_APPEND : MDB_NOOVERWRITE);
  if (header.definitionId != kFieldDefId) {
    const std::string folded = FoldCase(record.name());
    storage::Put(txn(), table(Table::kNames), Bytes(folded), Bytes(&id, sizeof id), MDB_NOOVERWRITE);
  }
  const uint64_t member = (static_cast<uint64_t>(static_cast<uint32_t>(header.definitionId)) << 32) |
                          static_cast<uint32_t>(id);
  const auto memberKey = PairKey(header.definitionId, id);
  const bool memberInOrder = order != nullptr && member > order->lastMember;
  storage::Put(txn(), table(Table::kByDefinition), Bytes(memberKey.data(), memberKey.size()), Bytes(nullptr, 0),
               memberInOrder ? MDB_APPEND : 0u);
  if (order == nullptr) return NoteIdUsed(id);
  order->lastId = std::max(order->lastId, id);
  order->lastMember = std::max(order->lastMember, member);
}

void WriteView::PutDefinition(const Definition& definition) {
  catalogChanged_ = true;
  const std::vector<std::byte> bytes = EncodeDefinition(definition);
  storage::Put(txn(), table(Table::kDefinitions), IdKey(definition.id).val(), Bytes(bytes.data(), bytes.size()));
  catalog_->Remember(definition);
}

void WriteView::PutField(const GlobalField& field) {
  catalogChanged_ = true;
  storage::ByteWriter value;
  value.Put(field.descriptionId).Text(field.name);
  storage::Put(txn(), table(Table::kFields), IdKey(field.number).val(), value.val());
  const std::string folded = FoldCase(field.name);
  storage::Put(txn(), table(Table::kFieldNames), Bytes(folded), Bytes(&field.number, sizeof field.number));
  catalog_->Remember(field);
}

void WriteView::PutSelector(int32_t id, const SelectorData& selector) {
  catalogChanged_ = true;
  const std::vector<std::byte> bytes = EncodeSelector(selector);
  storage::Put(txn(), table(Table::kSelectors), IdKey(id).val(), Bytes(bytes.data(), bytes.size()));
  catalog_->Remember(id, selector);
}

void WriteView::PutMeta(std::string_view key, std::string_view value) {
  storage::Put(txn(), table(Table::kMeta), Bytes(key), Bytes(value));
}

void WriteView::PutEnvironment(const std::vector<EnvironmentEntry>& entries) {
  const std::vector<std::byte> bytes = EncodeEnvironment(entries);
  PutMeta("environment", std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void WriteView::PutGrants(const std::vector<Grant>& grants) {
  const std::vector<std::byte> bytes = EncodeGrants(grants);
  PutMeta("grants", std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void WriteView::NoteIdUsed(int32_t id) {
  int32_t hint = kFirstUserId;
  if (const auto stored = Meta(kFreeHintKey); stored && stored->size() == sizeof hint) {
    std::memcpy(&hint, stored->data(), sizeof hint);
  }
  if (id != hint) return;
  const int32_t next = NextFreeId();
  PutMeta(kFreeHintKey, std::string_view(reinterpret_cast<const char*>(&next), sizeof next));
}

void WriteView::QueueActivation(int32_t task, const PendingActivation& activation) {
  uint64_t sequence = 0;
  {
    storage::Cursor cursor(txn(), table(Table::kTasks));
    const auto after = TaskKey(task + 1, 0);
    MDB_val key = Bytes(after.data(), after.size()), value;
    const bool found = cursor.Move(key, value, MDB_SET_RANGE) ? cursor.Move(key, value, MDB_PREV)
                                                               : cursor.Move(key, value, MDB_LAST);
    if (found && IsTaskKey(key, task))
      sequence = storage::GetBigEndian64(static_cast<const std::byte*>(key.mv_data) + 4) + 1;
  }
  const auto key = TaskKey(task, sequence);
  const auto value = EncodeActivation(activation);
  storage::Put(txn(), table(Table::kTasks), Bytes(key.data(), key.size()), Bytes(value.data(), value.size()));
  activationsQueued_ = true;
}

std::optional<PendingActivation> WriteView::TakeActivation(int32_t task) {
  storage::Cursor cursor(txn(), table(Table::kTasks));
  const auto start = TaskKey(task, 0);
  MDB_val key = Bytes(start.data(), start.size()), value;
  if (!cursor.Move(key, value, MDB_SET_RANGE) || !IsTaskKey(key, task)) return std::nullopt;
  const PendingActivation taken = DecodeActivation(value);
  cursor.Delete();
  return taken;
}

}  // namespace dorvik
