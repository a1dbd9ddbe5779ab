// Streaming import of a JSON database file. The SAX parser hands over one
// entry at a time: a catalog part whole (they are small), a record, a
// history sample. A file in the exporter's shape (catalog first, every entry
// with its id) is built as it is read, committing now and then; a file
// whose catalog comes after records, or whose entries leave ids to choose,
// is read into a plan first and built at the end, as the format allows.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <unordered_set>

#include "engine/json_files.h"
#include "engine/json_reader.h"
#include "engine/store_builder.h"
#include "engine/unique_fd.h"

namespace dorvik {
namespace {

namespace fs = std::filesystem;

// A streamed build commits after this many records or samples, so that no
// transaction holds the whole file.
constexpr std::size_t kRecordsPerCommit = 20'000;
constexpr std::size_t kSamplesPerCommit = 400'000;

// A subtree built from parse events.
class TreeBuilder {
 public:
  bool active() const { return !stack_.empty(); }
  void Begin(bool object) {
    root_ = object ? Json::object() : Json::array();
    stack_.assign(1, &root_);
  }
  void Key(std::string key) { key_ = std::move(key); }
  void Value(Json value) { Add(std::move(value)); }
  void Open(bool object) { stack_.push_back(&Add(object ? Json::object() : Json::array())); }
  // True when the subtree itself closed.
  bool Close() {
    stack_.pop_back();
    return stack_.empty();
  }
  Json Take() { return std::move(root_); }

 private:
  Json& Add(Json value) {
    Json& parent = *stack_.back();
    if (parent.is_object()) return parent[key_] = std::move(value);
    parent.push_back(std::move(value));
    return parent.back();
  }
  Json root_;
  std::vector<Json*> stack_;  // the open containers, innermost last
  std::string key_;
};

// A file read in large blocks, handed to the parser one character at a
// time through BlockReader::Iterator (an input iterator; end is the
// default-made one).
class BlockReader {
 public:
  explicit BlockReader(const std::string& path) : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (!fd_.valid()) throw DatabaseError(fmt::format("{}: cannot open: {}", path, std::strerror(errno)));
  }

  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;
    Iterator() = default;
    explicit Iterator(BlockReader* reader) : reader_(reader->Fill() ? reader : nullptr) {}
    const char& operator*() const { return reader_->block_[reader_->at_]; }
    Iterator& operator++() {
      if (++reader_->at_ == reader_->size_ && !reader_->Fill()) reader_ = nullptr;
      return *this;
    }
    bool operator==(const Iterator& other) const { return reader_ == other.reader_; }
    bool operator!=(const Iterator& other) const { return reader_ != other.reader_; }

   private:
    BlockReader* reader_ = nullptr;
  };

 private:
  // Reads the next block; false at the end of the file.
  bool Fill() {
    ssize_t n;
    do {
      n = ::read(fd_.get(), block_.data(), block_.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw DatabaseError(fmt::format("{}: cannot read: {}", path_, std::strerror(errno)));
    size_ = static_cast<std::size_t>(n);
    at_ = 0;
    return size_ != 0;
  }

  std::string path_;
  UniqueFd fd_;
  std::array<char, 1 << 20> block_{};
  std::size_t at_ = 0, size_ = 0;
};

// The history entry being read: its record and field, and its samples.
struct HistoryEntry {
  std::optional<std::string> record, field;
  std::string where;                         // "/history/N/samples"
  std::optional<StoreBuilder::Series> series;
  std::vector<HistoryPoint> waiting;         // samples read before the record and field
  std::size_t samples = 0;
  bool inSamples = false;
};

class Importer final : public Json::json_sax_t {
 public:
  enum class Mode { kStream, kWhole };

  Importer(const std::string& origin, Store& store, Mode mode)
      : reader_(origin), origin_(origin), store_(store), builder_(origin), mode_(mode) {}

  // Parses and builds. False when the file must be built whole (a new
  // store, Mode::kWhole).
  bool Run(BlockReader& file) {
    Json::sax_parse(BlockReader::Iterator(&file), BlockReader::Iterator(), this, nlohmann::detail::input_format_t::json,
                    true, false);
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

  // --- Parse events -----------------------------------------------------------
  bool null() override { return Value(Json(nullptr)); }
  bool boolean(bool value) override { return Value(Json(value)); }
  bool number_integer(number_integer_t value) override { return Value(Json(value)); }
  bool number_unsigned(number_unsigned_t value) override { return Value(Json(value)); }
  bool number_float(number_float_t value, const string_t&) override { return Value(Json(value)); }
  bool string(string_t& value) override { return Value(Json(std::move(value))); }
  bool binary(binary_t&) override { return Value(Json()); }
  bool start_object(std::size_t) override { return Open(true); }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool key(string_t& key) override {
    if (tree_.active()) {
      tree_.Key(std::move(key));
    } else if (depth_ == 1) {
      SectionKey(std::move(key));
    } else {
      EntryKey(std::move(key));
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
    throw DatabaseError(fmt::format("{}: not valid JSON: {}", origin_, error.what()));
  }

 private:
  static constexpr std::string_view kSections[] = {"format",    "version",     "systemAccount", "environment",
                                                   "fields",    "selectors",   "definitions",   "records",
                                                   "history",   "grants"};

  bool Streaming() const { return section_ == "records" || section_ == "history"; }
  Path SectionPath() const { return Path(kRoot, section_); }

  void SectionKey(std::string key) {
    if (std::find(std::begin(kSections), std::end(kSections), key) == std::end(kSections)) {
      reader_.Fail(Path(kRoot, key), "unknown key");
    }
    section_ = std::move(key);
    index_ = 0;
    const bool catalogPart = section_ != "format" && section_ != "version" && section_ != "grants" && !Streaming();
    if (catalogPart && sealed_) outOfOrder_ = true;
  }

  void EntryKey(std::string key) {
    // Only the keys of a history entry arrive here (records are whole trees).
    const Path section = SectionPath();
    const Path entry(section, index_);
    if (key != "record" && key != "field" && key != "samples") reader_.Fail(Path(entry, key), "unknown key");
    entryKey_ = std::move(key);
  }

  bool Value(Json value) {
    if (tree_.active()) {
      tree_.Value(std::move(value));
    } else if (inSample_) {
      if (sampleSize_ < sampleItems_.size()) sampleItems_[sampleSize_] = std::move(value);
      ++sampleSize_;  // more than three fail when the sample ends
    } else if (depth_ == 0) {
      reader_.Fail(kRoot, "expected an object");
    } else if (depth_ == 1) {
      Scalar(value);
    } else if (depth_ == 2) {
      reader_.Fail(Path(SectionPath(), index_), "expected an object");
    } else if (depth_ == 3) {
      EntryValue(std::move(value));
    } else {
      Sample(std::move(value));
    }
    return true;
  }

  bool Open(bool object) {
    if (inSample_) {
      // A sample with a nested value (a pointer object): read as a tree.
      inSample_ = false;
      tree_.Begin(false);
      for (std::size_t i = 0; i < std::min(sampleSize_, sampleItems_.size()); ++i) tree_.Value(std::move(sampleItems_[i]));
    }
    if (tree_.active()) {
      tree_.Open(object);
    } else if (depth_ == 0) {
      if (!object) reader_.Fail(kRoot, "expected an object");
    } else if (depth_ == 1) {
      if (!Streaming()) {
        tree_.Begin(object);
      } else if (object) {
        reader_.Fail(SectionPath(), "expected an array");
      }
    } else if (depth_ == 2) {
      if (!object) reader_.Fail(Path(SectionPath(), index_), "expected an object");
      if (section_ == "records") {
        tree_.Begin(true);
      } else {
        BeginHistoryEntry();
      }
    } else if (depth_ == 3 && entryKey_ == "samples" && !object) {
      entry_.inSamples = true;
    } else if (depth_ == 4 && !object) {
      // The usual sample, [time, value, level]: its items, without a tree.
      inSample_ = true;
      sampleSize_ = 0;
    } else {
      tree_.Begin(object);  // a value of a history entry key, or a sample
    }
    ++depth_;
    return true;
  }

  bool Close() {
    --depth_;
    if (inSample_) {
      inSample_ = false;
      if (sampleSize_ > sampleItems_.size()) sampleSize_ = 0;  // fails as the wrong size
      SampleItems(std::span<const Json>(sampleItems_.data(), sampleSize_));
      return true;
    }
    if (tree_.active()) {
      if (!tree_.Close()) return true;
      Json tree = tree_.Take();
      if (depth_ == 1) {
        Section(tree);
      } else if (depth_ == 2) {
        RecordEntry(tree);
      } else if (depth_ == 3) {
        EntryValue(std::move(tree));
      } else {
        Sample(std::move(tree));
      }
    } else if (depth_ == 3) {
      entry_.inSamples = false;
    } else if (depth_ == 2) {
      EndHistoryEntry();
    }
    return true;
  }

  // --- Settings and catalog ---------------------------------------------------------

  void Scalar(const Json& value) {
    const Path path = SectionPath();
    if (section_ == "format") {
      if (reader_.Text(value, path) != kFormatName) reader_.Fail(path, "expected \"dorvik-database\"");
      sawFormat_ = true;
    } else if (section_ == "version") {
      if (reader_.Integer(value, path, INT32_MIN, INT32_MAX) != kFormatVersion) reader_.Fail(path, "only version 1 is known");
      sawVersion_ = true;
    } else if (section_ == "systemAccount") {
      Plan().systemAccount = reader_.Text(value, path);
    } else {
      reader_.Fail(path, "expected an array");
    }
  }

  DatabasePlan& Plan() { return mode_ == Mode::kWhole ? whole_ : catalog_; }

  void Section(const Json& tree) {
    const Path path = SectionPath();
    if (section_ == "format" || section_ == "version" || section_ == "systemAccount") return Scalar(tree);
    if (!tree.is_array()) reader_.Fail(path, "expected an array");
    DatabasePlan& plan = section_ == "grants" ? (mode_ == Mode::kWhole ? whole_ : rest_) : Plan();
    for (std::size_t i = 0; i < tree.size(); ++i) {
      const Path at(path, i);
      if (section_ == "environment") ReadEnvironment(reader_, tree[i], at, plan);
      if (section_ == "fields") ReadField(reader_, tree[i], at, plan);
      if (section_ == "selectors") ReadSelector(reader_, tree[i], at, plan);
      if (section_ == "definitions") ReadDefinition(reader_, tree[i], at, plan);
      if (section_ == "grants") ReadGrant(reader_, tree[i], at, plan);
    }
  }

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

  void RecordEntry(const Json& tree) {
    if (!sealed_) Seal();
    RecordPlan record = ReadRecord(reader_, tree, Path(SectionPath(), index_++));
    if (mode_ == Mode::kWhole) return whole_.records.push_back(std::move(record));
    // A record without an id takes the lowest one no entry claims: it waits
    // for the end, and so does every later entry.
    if (record.id == 0 || holding_) {
      holding_ = true;
      return rest_.records.push_back(std::move(record));
    }
    Build([&] { builder_.Record(record); });
    if (++sinceCommit_ >= kRecordsPerCommit) Commit(), Begin();
  }

  void BeginHistoryEntry() {
    if (!sealed_) Seal();
    entry_ = HistoryEntry{};
    entry_.where = Path(Path(SectionPath(), index_), "samples").Text();
    entryKey_.clear();
  }

  void EntryValue(Json value) {
    const Path section = SectionPath();
    const Path entry(section, index_);
    const Path at(entry, entryKey_);
    if (entryKey_ == "samples") reader_.Fail(at, "expected an array");
    std::string text = reader_.Text(value, at);
    (entryKey_ == "record" ? entry_.record : entry_.field) = std::move(text);
  }

  bool Holding() const { return mode_ == Mode::kWhole || holding_; }

  void Sample(Json sample) {
    if (!sample.is_array()) return SampleItems({}, &sample);
    SampleItems(std::span<const Json>(sample.get_ref<const Json::array_t&>()));
  }

  // A sample given by its items (or, when it is no list, by itself).
  void SampleItems(std::span<const Json> items, const Json* notList = nullptr) {
    const Path section = SectionPath();
    const Path entry(section, index_);
    const Path samples(entry, "samples");
    const Path at(samples, entry_.samples);
    HistoryPoint point = notList != nullptr ? ReadSample(reader_, *notList, at) : ReadSampleItems(reader_, items, at);
    const std::size_t k = entry_.samples++;
    if (pending_) return;
    if (!Holding() && !entry_.series && entry_.record && entry_.field) OpenSeries();
    if (!entry_.series) return entry_.waiting.push_back(std::move(point));
    Build([&] { builder_.AddSample(*entry_.series, point, entry_.where, k); });
  }

  void OpenSeries() {
    Build([&] { entry_.series = builder_.OpenSeries(*entry_.record, *entry_.field, entry_.where); });
  }

  void EndHistoryEntry() {
    const Path section = SectionPath();
    const Path path(section, index_++);
    if (!entry_.record) reader_.Fail(Path(path, "record"), "missing");
    if (!entry_.field) reader_.Fail(Path(path, "field"), "missing");
    if (Holding()) {
      DatabasePlan& plan = mode_ == Mode::kWhole ? whole_ : rest_;
      plan.history.push_back(HistoryPlan{*entry_.record, *entry_.field, std::move(entry_.waiting), entry_.where});
      return;
    }
    if (!entry_.series) OpenSeries();
    Build([&] {
      if (!entry_.series) return;
      for (std::size_t k = 0; k < entry_.waiting.size(); ++k) {
        builder_.AddSample(*entry_.series, entry_.waiting[k], entry_.where, k);
      }
      entry_.series->Close();
    });
    sinceCommit_ += entry_.samples / (kSamplesPerCommit / kRecordsPerCommit) + 1;
    entry_ = HistoryEntry{};
    if (sinceCommit_ >= kRecordsPerCommit) Commit(), Begin();
  }

  // Runs a build step. The first failure waits for the end of the parse: a
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

  Reader reader_;
  std::string origin_;
  Store& store_;
  StoreBuilder builder_;
  Mode mode_;
  storage::Txn txn_;
  std::optional<WriteView> view_;

  int depth_ = 0;              // open containers
  std::string section_;        // the top-level key being read
  std::size_t index_ = 0;      // the entry of a records or history list
  std::string entryKey_;       // the key of a history entry being read
  TreeBuilder tree_;
  HistoryEntry entry_;
  bool inSample_ = false;              // reading a sample's items
  std::array<Json, 3> sampleItems_;
  std::size_t sampleSize_ = 0;

  DatabasePlan catalog_;       // streamed: settings and catalog
  DatabasePlan rest_;          // streamed: what waits for the end
  DatabasePlan whole_;         // Mode::kWhole: everything
  bool sealed_ = false;        // the catalog is complete (an entry came)
  bool holding_ = false;       // entries wait for the end
  bool outOfOrder_ = false;    // a catalog part came after entries
  bool sawFormat_ = false, sawVersion_ = false;
  std::exception_ptr pending_;
  std::size_t sinceCommit_ = 0;
};

void Import(const std::string& jsonPath, const fs::path& folder, Importer::Mode mode, bool& whole) {
  auto file = std::make_unique<BlockReader>(jsonPath);
  std::unique_ptr<Store> store = Store::Create(folder, {});
  whole = !Importer(jsonPath, *store, mode).Run(*file);
}

}  // namespace

void ImportJsonFile(const std::string& jsonPath, const std::string& storePath) {
  const fs::path target(storePath);
  std::error_code error;
  if (fs::symlink_status(target, error).type() != fs::file_type::not_found) {
    throw DatabaseError(fmt::format("{}: already exists", storePath));
  }
  if (fs::is_directory(jsonPath, error)) throw DatabaseError(fmt::format("{}: a folder, not a JSON file", jsonPath));
  const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string pattern = (parent / ("." + target.filename().string() + ".importing-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw DatabaseError(fmt::format("{}: cannot make a folder beside it: {}", storePath, std::strerror(errno)));
  }
  const fs::path folder(pattern);
  try {
    bool whole = false;
    Import(jsonPath, folder, Importer::Mode::kStream, whole);
    if (whole) {
      fs::remove_all(folder);
      fs::create_directory(folder);
      Import(jsonPath, folder, Importer::Mode::kWhole, whole);
    }
    // Every commit flushed its data; the folder appears whole or not at all.
    if (::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
      throw DatabaseError(fmt::format("{}: cannot put the database in place: {}", storePath, std::strerror(errno)));
    }
  } catch (...) {
    fs::remove_all(folder, error);
    throw;
  }
  if (const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); parentFd >= 0) {
    ::fsync(parentFd);
    ::close(parentFd);
  }
}

}  // namespace dorvik
