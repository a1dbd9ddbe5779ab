// Streaming import of a JSON database file. The scanner hands over the file
// a piece at a time: a catalog part whole (they are small), then a record,
// then a history sample. A file in the exporter's shape (catalog first,
// every entry with its id) is built as it is read, committing now and then;
// a file whose catalog comes after records, or whose entries leave ids to
// choose, is read into a plan first and built at the end, as the format
// allows.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>

#include "engine/json/json_files.h"
#include "engine/json/json_reader.h"
#include "engine/json/json_scanner.h"
#include "engine/store_builder.h"
#include "engine/unfinished_files.h"

namespace dorvik {
namespace {

namespace fs = std::filesystem;

// A streamed build commits after this many records (a history entry counts
// one per kSamplesPerRecord samples), so that no transaction holds the file.
constexpr std::size_t kRecordsPerCommit = 20'000;
constexpr std::size_t kSamplesPerRecord = 20;
// Every this many entries the pages of the store the import has read (the
// records its history entries, links and names looked up) stop counting as
// its memory: scattered lookups into a large store otherwise leave the
// whole file resident, the kernel mapping each page's neighbours with it.
constexpr std::size_t kEntriesPerDrop = 256;

constexpr std::string_view kSections[] = {"format",    "version",   "systemAccount", "environment", "fields",
                                          "selectors", "definitions", "records",     "history",     "grants"};

class Importer {
 public:
  enum class Mode { kStream, kWhole };

  Importer(const std::string& origin, JsonScanner& json, Store& store, Mode mode)
      : reader_(origin), json_(json), store_(store), builder_(origin), mode_(mode) {}

  // Reads and builds. False when the file must be built whole (in a new
  // store, Mode::kWhole).
  bool Run() {
    if (json_.Peek() != '{') {
      json_.ReadValue();
      reader_.Fail(kRoot, "expected an object");
    }
    json_.BeginObject();
    for (std::string key; json_.NextKey(key);) Section(key);
    json_.ExpectEnd();
    if (!sawFormat_) reader_.Fail(Path(kRoot, "format"), "missing");
    if (!sawVersion_) reader_.Fail(Path(kRoot, "version"), "only version 1 is known");
    if (outOfOrder_ && mode_ == Mode::kStream) return false;
    if (pending_) std::rethrow_exception(pending_);
    if (!sealed_) Seal();
    if (mode_ == Mode::kWhole) {
      Begin();
      builder_.Build(whole_);
    } else {
      builder_.Finish(rest_);
    }
    Commit();
    return true;
  }

 private:
  // --- Settings and catalog ---------------------------------------------------------

  void Section(const std::string& key) {
    const Path path(kRoot, key);
    if (std::find(std::begin(kSections), std::end(kSections), key) == std::end(kSections)) {
      reader_.Fail(path, "unknown key");
    }
    if (key == "records" || key == "history") return List(key, path);
    const bool catalogPart = key != "format" && key != "version" && key != "grants";
    if (catalogPart && sealed_) outOfOrder_ = true;
    const Json value = json_.ReadValue();
    if (key == "format") {
      if (reader_.Text(value, path) != kFormatName) reader_.Fail(path, "expected \"dorvik-database\"");
      sawFormat_ = true;
    } else if (key == "version") {
      if (reader_.Integer(value, path, INT32_MIN, INT32_MAX) != kFormatVersion) {
        reader_.Fail(path, "only version 1 is known");
      }
      sawVersion_ = true;
    } else if (key == "systemAccount") {
      Plan().systemAccount = reader_.Text(value, path);
    } else {
      if (!value.is_array()) reader_.Fail(path, "expected an array");
      DatabasePlan& plan = key == "grants" ? Later() : Plan();
      for (std::size_t i = 0; i < value.size(); ++i) {
        const Path at(path, i);
        if (key == "environment") ReadEnvironment(reader_, value[i], at, plan);
        if (key == "fields") ReadField(reader_, value[i], at, plan);
        if (key == "selectors") ReadSelector(reader_, value[i], at, plan);
        if (key == "definitions") ReadDefinition(reader_, value[i], at, plan);
        if (key == "grants") ReadGrant(reader_, value[i], at, plan);
      }
    }
  }

  DatabasePlan& Plan() { return mode_ == Mode::kWhole ? whole_ : catalog_; }
  DatabasePlan& Later() { return mode_ == Mode::kWhole ? whole_ : rest_; }

  // Entries stream once the catalog is built; a catalog that leaves ids to
  // choose makes the whole file one plan.
  void Seal() {
    sealed_ = true;
    if (mode_ == Mode::kWhole) return;
    bool complete = true;
    std::unordered_set<std::string> listed;
    for (const GlobalFieldPlan& field : catalog_.fields) {
      complete = complete && field.descriptionId != 0;
      listed.insert(FoldCase(field.name));
    }
    for (const SelectorPlan& selector : catalog_.selectors) complete = complete && selector.id != 0;
    for (const DefinitionPlan& definition : catalog_.definitions) {
      complete = complete && definition.id != 0;
      for (const FieldSpec& field : definition.fields) complete = complete && listed.count(FoldCase(field.name)) != 0;
    }
    if (!complete) {
      mode_ = Mode::kWhole;
      whole_ = std::move(catalog_);
      whole_.grants = std::move(rest_.grants);
      return;
    }
    Begin();
    builder_.Catalog(catalog_);
  }

  // --- Records and history ----------------------------------------------------------------

  void List(const std::string& key, const Path& path) {
    if (json_.Peek() != '[') {
      json_.ReadValue();
      reader_.Fail(path, "expected an array");
    }
    if (!sealed_) Seal();
    json_.BeginArray();
    for (std::size_t i = 0; json_.NextElement(); ++i) {
      const Path at(path, i);
      if (json_.Peek() != '{') {
        json_.ReadValue();
        reader_.Fail(at, "expected an object");
      }
      if (key == "records") {
        RecordEntry(at);
      } else {
        HistoryEntry(at);
      }
    }
  }

  // A record, read key by key; only its values become (small) trees.
  void RecordEntry(const Path& path) {
    RecordPlan record;
    record.where = path.Text();
    bool named = false, defined = false;
    json_.BeginObject();
    for (std::string key; json_.NextKey(key);) {
      const Path at(path, key);
      if (key == "id") {
        record.id = static_cast<int32_t>(reader_.Integer(json_.ReadValue(), at, 0, kMaxRecordId));
      } else if (key == "name" || key == "definition") {
        std::string& text = key == "name" ? record.name : record.definition;
        if (!json_.ReadString(text_)) reader_.Fail(at, "expected a text");
        text = reader_.Text(text_, at);
        (key == "name" ? named : defined) = true;
      } else if (key == "usable") {
        record.usable = reader_.Bool(json_.ReadValue(), at);
      } else if (key == "values") {
        Values(at, record);
      } else {
        reader_.Fail(at, "unknown key");
      }
    }
    if (!named) reader_.Fail(Path(path, "name"), "missing");
    if (!defined) reader_.Fail(Path(path, "definition"), "missing");
    if (mode_ == Mode::kWhole) return whole_.records.push_back(std::move(record));
    // A record without an id takes the lowest one no entry claims: it waits
    // for the end, and so does every later entry.
    if (record.id == 0 || holding_) {
      holding_ = true;
      return rest_.records.push_back(std::move(record));
    }
    Build([&] { builder_.Record(record); });
    EntryDone();
    if (++sinceCommit_ >= kRecordsPerCommit) Commit(), Begin();
  }

  void Values(const Path& path, RecordPlan& record) {
    if (json_.Peek() != '{') {
      json_.ReadValue();
      reader_.Fail(path, "expected an object");
    }
    json_.BeginObject();
    for (std::string key; json_.NextKey(key);) {
      const Path at(path, key);
      ValuePlan value{reader_.Text(key, at), json_.Peek() == '[', {}};
      if (record.values.empty()) record.values.reserve(16);
      if (value.allOccurrences) {
        json_.BeginArray();
        for (std::size_t k = 0; json_.NextElement(); ++k) {
          value.samples.push_back(reader_.ReadSample(json_.ReadValue(), Path(at, k)));
        }
      } else {
        value.samples.push_back(reader_.ReadSample(json_.ReadValue(), at));
      }
      record.values.push_back(std::move(value));
    }
  }

  // A history entry: its samples go to the store as they come once the
  // record and field are known (the exporter writes those first).
  void HistoryEntry(const Path& path) {
    entry_ = Entry{};
    entry_.where = Path(path, "samples").Text();
    json_.BeginObject();
    for (std::string key; json_.NextKey(key);) {
      const Path at(path, key);
      if (key == "record" || key == "field") {
        if (!json_.ReadString(text_)) reader_.Fail(at, "expected a text");
        (key == "record" ? entry_.record : entry_.field) = reader_.Text(text_, at);
      } else if (key == "samples") {
        if (json_.Peek() != '[') {
          json_.ReadValue();
          reader_.Fail(at, "expected an array");
        }
        json_.BeginArray();
        while (json_.NextElement()) Sample(at);
      } else {
        reader_.Fail(at, "unknown key");
      }
    }
    if (!entry_.record) reader_.Fail(Path(path, "record"), "missing");
    if (!entry_.field) reader_.Fail(Path(path, "field"), "missing");
    if (Holding()) {
      Later().history.push_back(HistoryPlan{*entry_.record, *entry_.field, std::move(entry_.waiting), entry_.where});
      return;
    }
    if (!entry_.series) OpenSeries();
    Build([&] {
      for (std::size_t k = 0; k < entry_.waiting.size(); ++k) {
        builder_.AddSample(*entry_.series, entry_.waiting[k], entry_.where, k);
      }
      entry_.series->Close();
    });
    sinceCommit_ += entry_.samples / kSamplesPerRecord + 1;
    entry_ = Entry{};
    EntryDone();
    if (sinceCommit_ >= kRecordsPerCommit) Commit(), Begin();
  }

  // [time, value] or [time, value, level], read as its items.
  void Sample(const Path& samples) {
    const Path at(samples, entry_.samples);
    HistoryPoint point;
    if (json_.Peek() == '[') {
      // The usual sample: its time text read as it is, the rest as values.
      std::size_t count = 0;
      bool timeText = false;
      json_.BeginArray();
      for (; json_.NextElement(); ++count) {
        if (count == 0 && json_.Peek() == '"') {
          timeText = json_.ReadString(text_);
        } else if (count < items_.size()) {
          items_[count] = json_.ReadValue();
        } else {
          json_.ReadValue();
        }
      }
      if (!timeText || count < 2 || count > items_.size()) {
        if (timeText) items_[0] = text_;
        point = ReadSampleItems(reader_, std::span<const Json>(items_.data(), count <= items_.size() ? count : 0), at);
      } else {
        point = HistoryPoint{reader_.TimeText(text_, Path(at, 0)), reader_.PlainValue(items_[1], Path(at, 1)), 0};
        if (count == 3)
          point.level = static_cast<int16_t>(reader_.Integer(items_[2], Path(at, 2), INT16_MIN, INT16_MAX));
      }
    } else {
      point = ReadSample(reader_, json_.ReadValue(), at);
    }
    const std::size_t k = entry_.samples++;
    if (pending_) return;
    if (!Holding() && !entry_.series && entry_.record && entry_.field) OpenSeries();
    if (!entry_.series) return entry_.waiting.push_back(std::move(point));
    Build([&] { builder_.AddSample(*entry_.series, point, entry_.where, k); });
  }

  bool Holding() const { return mode_ == Mode::kWhole || holding_; }

  void EntryDone() {
    if (++sinceDrop_ < kEntriesPerDrop) return;
    store_.env().DropMappedPages();
    sinceDrop_ = 0;
  }

  void OpenSeries() {
    Build([&] { entry_.series = builder_.OpenSeries(*entry_.record, *entry_.field, entry_.where); });
  }

  // Runs a build step. The first failure waits for the end of the text: a
  // catalog part after the records may still explain it (the file is then
  // built whole), and a later syntax error is reported first, as when a file
  // is read whole.
  template <typename Step>
  void Build(Step step) {
    if (pending_) return;
    try {
      step();
    } catch (const DatabaseError&) {
      pending_ = std::current_exception();
    }
  }

  // --- Transactions ----------------------------------------------------------------------

  void Begin() {
    txn_ = storage::Txn::Begin(store_.env(), true);
    view_.emplace(txn_.get(), store_.tables(), store_.catalog());
    builder_.Bind(*view_);
  }

  void Commit() {
    if (const Outcome committed = txn_.Commit(); !committed.ok()) {
      throw DatabaseError(fmt::format("{}: the database is not saved: {}", store_.path().string(),
                                      ShortMessage(committed.code)));
    }
    sinceCommit_ = 0;
  }

  // The history entry being read: its record and field, and its samples.
  struct Entry {
    std::optional<std::string> record, field;
    std::string where;                           // "/history/N/samples"
    std::optional<StoreBuilder::Series> series;
    std::vector<HistoryPoint> waiting;           // samples read before the record and field
    std::size_t samples = 0;
  };

  Reader reader_;
  JsonScanner& json_;
  Store& store_;
  StoreBuilder builder_;
  Mode mode_;
  storage::Txn txn_;
  std::optional<WriteView> view_;

  Entry entry_;
  std::string text_;                 // a text as read, before the code page
  std::array<Json, 3> items_;        // a sample's items
  DatabasePlan catalog_;             // streamed: settings and catalog
  DatabasePlan rest_;                // streamed: what waits for the end
  DatabasePlan whole_;               // Mode::kWhole: everything
  bool sealed_ = false;              // the catalog is complete (an entry came)
  bool holding_ = false;             // entries wait for the end
  bool outOfOrder_ = false;          // a catalog part came after entries
  bool sawFormat_ = false, sawVersion_ = false;
  std::exception_ptr pending_;
  std::size_t sinceCommit_ = 0;
  std::size_t sinceDrop_ = 0;        // entries since the store's pages were last dropped
};

void Import(const std::string& jsonPath, const fs::path& folder, Importer::Mode mode, const OpenOptions& options,
            bool& whole) {
  JsonScanner json(jsonPath, jsonPath);
  std::unique_ptr<Store> store = Store::Create(folder, options);
  whole = !Importer(jsonPath, json, *store, mode).Run();
}

// Empties the folder an import builds in, keeping the folder itself (and
// the lock its UnfinishedEntry holds on it).
void Empty(const fs::path& folder) {
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
}

}  // namespace

void ImportJsonFile(const std::string& jsonPath, const std::string& storePath, const OpenOptions& options) {
  const fs::path target(storePath);
  std::error_code error;
  if (fs::symlink_status(target, error).type() != fs::file_type::not_found) {
    throw DatabaseError(fmt::format("{}: already exists", storePath));
  }
  if (fs::is_directory(jsonPath, error)) throw DatabaseError(fmt::format("{}: a folder, not a JSON file", jsonPath));
  const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
  // What killed imports left beside it goes first.
  SweepUnfinished(parent);
  UnfinishedEntry folder(target, UnfinishedKind::kImport);
  bool whole = false;
  Import(jsonPath, folder.Path(), Importer::Mode::kStream, options, whole);
  if (whole) {
    Empty(folder.Path());
    Import(jsonPath, folder.Path(), Importer::Mode::kWhole, options, whole);
  }
  // Every commit flushed its data; the folder appears whole or not at all.
  if (::renameat2(AT_FDCWD, folder.Path().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    throw DatabaseError(fmt::format("{}: cannot put the database in place: {}", storePath, std::strerror(errno)));
  }
  folder.Keep();
  if (const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); parentFd >= 0) {
    ::fsync(parentFd);
    ::close(parentFd);
  }
}

}  // namespace dorvik
