// Export of a store to a JSON database file, written as it is read (one
// record or one sample at a time) in the layout of a JSON document dumped
// with an indent of one, so that an exported file imports and exports again
// to the same bytes.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <optional>

#include "engine/access.h"
#include "engine/engine.h"
#include "engine/history.h"
#include "engine/json/json_files.h"
#include "engine/json/json_reader.h"
#include "engine/unfinished_files.h"
#include "engine/unique_fd.h"

namespace dorvik {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& path, std::string_view what, int error) {
  throw DatabaseError(fmt::format("{}: {}: {}", path, what, std::strerror(error)));
}

fs::path FolderOf(const fs::path& path) { return path.has_parent_path() ? path.parent_path() : fs::path("."); }

// A symbolic link at the name is replaced, never written through; even so
// a link that another user planted, or any link in a sticky folder that
// every user may write (like /tmp), is refused as the kernel refuses to
// follow one there (protected_symlinks): its planter meant another file.
void CheckLink(const std::string& path, const struct stat& link) {
  if (link.st_uid != ::geteuid()) {
    throw DatabaseError(fmt::format("{}: a symbolic link owned by another user; export does not replace it", path));
  }
  struct stat folder {};
  if (::stat(FolderOf(path).c_str(), &folder) != 0) Fail(path, "cannot look at its folder", errno);
  if ((folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0) {
    throw DatabaseError(fmt::format(
        "{}: a symbolic link in a sticky folder that every user may write; export does not replace it", path));
  }
}

// The file at the name, whose mode and owner the export keeps; none when
// the name is free or is the exporter's own link. Anything else at the name
// is refused before anything is made.
std::optional<struct stat> FileAtName(const std::string& path) {
  struct stat at {};
  if (::lstat(path.c_str(), &at) != 0) {
    if (errno == ENOENT) return std::nullopt;
    Fail(path, "cannot look at it", errno);
  }
  if (S_ISLNK(at.st_mode)) {
    CheckLink(path, at);
    return std::nullopt;
  }
  if (!S_ISREG(at.st_mode)) {
    throw DatabaseError(fmt::format("{}: not a regular file; export replaces only a file", path));
  }
  return at;
}

// Holds SIGXFSZ back from the calling thread while a write may pass the
// process's file-size limit: the write fails with EFBIG, which is reported,
// instead of the signal ending the process. A signal that came meanwhile is
// taken back before the mask is restored.
class FileSizeSignalHeld {
 public:
  FileSizeSignalHeld() {
    ::sigemptyset(&set_);
    ::sigaddset(&set_, SIGXFSZ);
    held_ = ::pthread_sigmask(SIG_BLOCK, &set_, &previous_) == 0 && ::sigismember(&previous_, SIGXFSZ) == 0;
  }
  ~FileSizeSignalHeld() {
    if (!held_) return;
    const timespec now{};
    while (::sigtimedwait(&set_, nullptr, &now) == SIGXFSZ) {
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  FileSizeSignalHeld(const FileSizeSignalHeld&) = delete;
  FileSizeSignalHeld& operator=(const FileSizeSignalHeld&) = delete;

 private:
  sigset_t set_{};
  sigset_t previous_{};
  bool held_ = false;
};

// The file an export writes: a hidden file beside the name (an
// UnfinishedEntry, private until it is whole), renamed onto the name itself
// by Commit(), and removed on any failure. An existing file's mode and owner
// carry over; a new file, or one that replaces the exporter's own link,
// stays private (0600).
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& path) : path_(path), existing_(FileAtName(path)), entry_(Made(path)) {
    if (existing_) KeepModeAndOwner(*existing_);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  void Write(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= kFlushSize) Flush();
  }

  // Flushes the text to disk and puts the file in place of the name.
  void Commit() {
    Flush();
    if (::fsync(entry_.WriteFd()) != 0) Fail(path_, "cannot flush", errno);
    if (const int error = entry_.CloseWrite(); error != 0) Fail(path_, "cannot close", error);
    if (::rename(entry_.Path().c_str(), path_.c_str()) != 0) Fail(path_, "cannot replace the file", errno);
    entry_.Keep();
    const UniqueFd folderFd(::open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.valid() && ::fsync(folderFd.get()) != 0) {
      Fail(path_, "written, but its folder cannot be flushed", errno);
    }
  }

 private:
  static constexpr std::size_t kFlushSize = 1 << 20;

  // What killed exports left in the folder goes before a new file is made.
  static UnfinishedEntry Made(const std::string& path) {
    SweepUnfinished(FolderOf(path));
    return UnfinishedEntry(path, UnfinishedKind::kExport);
  }

  void KeepModeAndOwner(const struct stat& existing) {
    const int fd = entry_.WriteFd();
    if (::fchmod(fd, existing.st_mode & 0777) != 0) Fail(path_, "cannot keep the file's mode", errno);
    if ((existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
        ::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
      Fail(path_, "cannot keep the file's owner (export to a new file instead)", errno);
    }
  }

  void Flush() {
    const FileSizeSignalHeld held;
    std::size_t written = 0;
    while (written < buffer_.size()) {
      const ssize_t n = ::write(entry_.WriteFd(), buffer_.data() + written, buffer_.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EFBIG) Fail(path_, "cannot write (the file-size limit, ulimit -f)", errno);
      if (n < 0) Fail(path_, "cannot write", errno);
      written += static_cast<std::size_t>(n);
    }
    buffer_.clear();
  }

  std::string path_;
  std::optional<struct stat> existing_;
  UnfinishedEntry entry_;
  std::string buffer_;
};

// Text of a value dumped at an indent of `depth` spaces.
std::string Dumped(const Json& value, int depth) {
  std::string text = value.dump(1);
  std::string indented;
  indented.reserve(text.size() + 16);
  for (char c : text) {
    indented += c;
    if (c == '\n') indented.append(static_cast<std::size_t>(depth), ' ');
  }
  return indented;
}

// Writes the top-level object member by member and lists entry by entry.
class DocumentWriter {
 public:
  explicit DocumentWriter(TemporaryFile& file) : file_(file) { file_.Write("{"); }
  void Member(std::string_view key, const Json& value) {
    MemberKey(key);
    file_.Write(Dumped(value, 1));
  }
  void BeginList(std::string_view key) {
    MemberKey(key);
    file_.Write("[");
    listEmpty_ = true;
  }
  // An entry of the open list, written whole or as text already laid out.
  void Entry(const Json& value) { EntryText(Dumped(value, 2)); }
  void EntryText(std::string_view text) {
    file_.Write(listEmpty_ ? "\n  " : ",\n  ");
    file_.Write(text);
    listEmpty_ = false;
  }
  // More text of the entry written last.
  void Continue(std::string_view text) { file_.Write(text); }
  void EndList() { file_.Write(listEmpty_ ? "]" : "\n ]"); }
  void End() { file_.Write("\n}\n"); }

 private:
  void MemberKey(std::string_view key) {
    file_.Write(first_ ? "\n " : ",\n ");
    file_.Write(Json(std::string(key)).dump());
    file_.Write(": ");
    first_ = false;
  }
  TemporaryFile& file_;
  bool first_ = true;
  bool listEmpty_ = true;
};

std::string TimeText(Micros time) {
  char text[kTimeTextSize];
  return std::string(text, FormatTime(time, text));
}

Json RealJson(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  return value;
}

std::string NameOf(const View& view, int32_t id) {
  const auto header = view.FindRecord(id);
  if (!header) storage::ThrowCorrupted("a reference to a missing record");
  return ToUtf8(header->name);
}

std::string FieldNameOf(const View& view, int32_t number) {
  const GlobalField* field = view.FindField(number);
  if (field == nullptr) storage::ThrowCorrupted("a reference to a missing field");
  return ToUtf8(field->name);
}

Json PointerJson(const View& view, const FieldDef& field, int64_t id, int32_t pointerField) {
  if (id == 0) return nullptr;
  const auto target = view.FindRecord(static_cast<int32_t>(id));
  Json record = target ? Json(ToUtf8(target->name)) : Json(id);
  if (field.lengthWord == kRecordIdPointerLength) return record;
  Json link = {{"record", record}};
  if (pointerField != 0) {
    const GlobalField* global = view.FindField(dorvik::api::FieldNumberOf(pointerField));
    link["field"] = global != nullptr ? ToUtf8(global->name) : std::to_string(pointerField);
    if (const int32_t occurrence = dorvik::api::OccurrenceOf(pointerField); occurrence != 0)
      link["occurrence"] = occurrence;
  }
  return link;
}

Json PlainJson(const View& view, const FieldDef& field, const Scalar& value) {
  switch (value.kind) {
    case Scalar::Kind::kReference: return PointerJson(view, field, value.number, value.field);
    case Scalar::Kind::kTime: return TimeText(value.number);
    case Scalar::Kind::kReal: return RealJson(value.real);
    case Scalar::Kind::kText: return ToUtf8(value.text);
    case Scalar::Kind::kInteger: break;
  }
  return value.number;
}

bool IsDefault(const std::byte* slot, std::size_t size) {
  return std::all_of(slot, slot + size, [](std::byte b) { return b == std::byte{0}; });
}

// The value of a field occurrence (1-based for repeated fields).
Json SlotJson(const View& view, const FieldAccess& access, int32_t occurrence) {
  Scalar value;
  Quality quality;
  if (ReadValue(view, access, occurrence, value, quality) != kOk) storage::ThrowCorrupted("record values");
  Json plain = PlainJson(view, *access.field, value);
  if (quality.status == 0 && quality.level == 0 && quality.time == 0) return plain;
  Json sample = {{"value", std::move(plain)}};
  if (quality.status != 0) sample["status"] = quality.status;
  if (quality.level != 0) sample["level"] = quality.level;
  if (quality.time != 0) sample["time"] = TimeText(quality.time);
  return sample;
}

Json FieldSpecJson(const View& view, const Definition& definition, const FieldDef& field) {
  Json node = {
      {"name", FieldNameOf(view, field.number)}, {"type", kTypeNames[field.dataType]}, {"length", field.lengthWord}};
  if (field.repeatArea != 0) {
    node["repeatArea"] = FieldNameOf(view, definition.fields[static_cast<std::size_t>(field.repeatArea - 1)].number);
  }
  if (field.qualityField != 0) node["quality"] = field.qualityField;
  if (field.timestampField != 0) node["timestamp"] = field.timestampField;
  if (field.historyPointer != 0) node["history"] = field.historyPointer;
  if (field.archived) node["archived"] = true;
  if (field.selectorId != 0) node["selector"] = NameOf(view, field.selectorId);
  if (field.writeProtection != 3) node["writeProtection"] = field.writeProtection;
  if (!field.operatorChange) node["operatorChange"] = false;
  if (field.operatorStrict) node["operatorStrict"] = true;
  if (field.activates.has_value()) {
    node["activates"] = {{"task", NameOf(view, field.activates->taskId)},
                         {"priority", field.activates->priority},
                         {"code", field.activates->code},
                         {"tail", field.activates->tail}};
  }
  return node;
}

Json RecordJson(const View& view, const RecordRef& record) {
  const Definition& definition = *record.definition;
  Json values = Json::object();
  for (std::size_t i = 0; i < definition.fields.size(); ++i) {
    const FieldDef& field = definition.fields[i];
    const FieldAccess access{record, &field, static_cast<int32_t>(i), 0};
    if (field.IsRepeated()) {
      const int32_t count = AreaCount(definition, record.values, field.repeatArea - 1);
      if (count == 0) continue;
      Json list = Json::array();
      for (int32_t k = 1; k <= count; ++k) list.push_back(SlotJson(view, access, k));
      values[FieldNameOf(view, field.number)] = std::move(list);
    } else if (!IsDefault(record.values + field.offset, field.slotSize)) {
      values[FieldNameOf(view, field.number)] = SlotJson(view, access, 0);
    }
  }
  Json node = {{"id", record.id},
               {"name", ToUtf8(record.name)},
               {"definition", NameOf(view, record.definitionId)},
               {"usable", record.usable}};
  if (!values.empty()) node["values"] = std::move(values);
  return node;
}

void WriteCatalog(const View& view, DocumentWriter& out) {
  constexpr std::size_t kAll = static_cast<std::size_t>(kMaxRecordId);
  out.BeginList("fields");
  for (int32_t number : view.FieldsAfter(0, kAll)) {
    if ((number & dorvik::api::kSystemFieldBit) != 0) continue;
    const GlobalField& field = *view.FindField(number);
    out.Entry(Json{{"name", ToUtf8(field.name)}, {"number", number}, {"id", field.descriptionId}});
  }
  out.EndList();
  out.BeginList("selectors");
  for (int32_t id : view.RecordsOf(kSelectorDefId, kFirstUserId - 1, kAll)) {
    const SelectorData* selector = view.FindSelector(id);
    if (selector == nullptr) storage::ThrowCorrupted("a selector record without its texts");
    Json texts = Json::array();
    for (const std::string& text : selector->texts) texts.push_back(ToUtf8(text));
    out.Entry(Json{{"id", id}, {"name", NameOf(view, id)}, {"first", selector->first}, {"width", selector->width},
                   {"texts", std::move(texts)}});
  }
  out.EndList();
  out.BeginList("definitions");
  for (int32_t id : view.RecordsOf(kDefinitionDefId, kFirstUserId - 1, kAll)) {
    const Definition* definition = view.FindDefinition(id);
    if (definition == nullptr) storage::ThrowCorrupted("a definition record without its fields");
    Json list = Json::array();
    for (const FieldDef& field : definition->fields) list.push_back(FieldSpecJson(view, *definition, field));
    Json node = {{"id", id}, {"name", NameOf(view, id)}};
    if (definition->flags != 0) node["flags"] = definition->flags;
    if (!definition->kinds.empty()) node["kinds"] = definition->kinds;
    node["fields"] = std::move(list);
    out.Entry(node);
  }
  out.EndList();
}

void WriteHistory(const View& view, DocumentWriter& out) {
  out.BeginList("history");
  ForEachSeries(view, [&](int32_t id, int32_t tag) {
    const auto record = view.FindRecord(id);
    FieldAccess access;
    int32_t detail = 0;
    if (!record || ResolveIn(view, *record, dorvik::api::BaseTag(tag), access, detail) != kOk) {
      storage::ThrowCorrupted("history of a missing record or field");
    }
    std::string fieldName = FieldNameOf(view, access.field->number);
    if (const int32_t occurrence = dorvik::api::OccurrenceOf(tag); occurrence != 0) {
      fieldName = fmt::format("{} {}", occurrence, fieldName);
    }
    // The entry is written sample by sample: a series may be long.
    out.EntryText(fmt::format("{{\n   \"record\": {},\n   \"field\": {},\n   \"samples\": [",
                          Json(ToUtf8(record->name)).dump(), Json(fieldName).dump()));
    SeriesReader reader(view, id, tag);
    bool first = true;
    for (bool at = reader.SeekFirst(); at; at = reader.Next()) {
      const ChunkView& chunk = reader.chunk();
      const std::size_t i = reader.index();
      Json sample = Json::array(
          {TimeText(chunk.Time(i)), PlainJson(view, *access.field, HistoryScalar(*access.field, chunk, i))});
      if (chunk.Level(i) != 0) sample.push_back(chunk.Level(i));
      out.Continue(first ? "\n    " : ",\n    ");
      out.Continue(Dumped(sample, 4));
      first = false;
    }
    out.Continue("\n   ]\n  }");
  });
  out.EndList();
}

}  // namespace

void ExportJsonFile(const View& view, const std::string& jsonPath) {
  TemporaryFile file(jsonPath);
  PassSyncPoint("export:writing");
  DocumentWriter out(file);
  out.Member("format", kFormatName);
  out.Member("version", kFormatVersion);
  out.Member("systemAccount", ToUtf8(view.SystemAccount()));
  out.BeginList("environment");
  for (const EnvironmentEntry& entry : view.Environment()) {
    Json node = {{"name", ToUtf8(entry.name)}, {"value", ToUtf8(entry.value)}};
    if (entry.folder) node["folder"] = true;
    out.Entry(node);
  }
  out.EndList();
  WriteCatalog(view, out);
  out.BeginList("records");
  view.ForEachRecord(kFirstUserId, [&](const RecordRef& record) {
    if (!record.definition->system) out.Entry(RecordJson(view, record));
    return true;
  });
  out.EndList();
  WriteHistory(view, out);
  out.BeginList("grants");
  for (const Grant& grant : view.Grants()) {
    out.Entry(
        Json{{"account", ToUtf8(grant.account)}, {"target", NameOf(view, grant.targetId)}, {"level", grant.level}});
  }
  out.EndList();
  out.End();
  file.Commit();
}

}  // namespace dorvik
