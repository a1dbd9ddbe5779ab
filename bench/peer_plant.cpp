#include "bench/peer_plant.h"

#include <stdlib.h>

#include <sqlite3.h>

#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "api/dorvik.h"
#include "engine/control.h"

namespace vantrel::bench {
namespace {

constexpr const char* kSchema =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    "CREATE TABLE current(id INTEGER PRIMARY KEY, value REAL, status INTEGER, level INTEGER, time INTEGER);"
    "CREATE TABLE history(id INTEGER, time INTEGER, level INTEGER, value REAL, PRIMARY KEY(id, time))"
    " WITHOUT ROWID;";

std::string RecordName(int i) { return fmt::format("PR{:05}", i); }

// The value of sample i of a series.
double SampleValue(int i) { return i * 0.125; }

// The samples every record starts with: kPeerStartHistory for the written
// ones, kPeerHistoryRead for the last, none for the others.
int StartSamples(int record) {
  if (record < kPeerWriteBatch) return kPeerStartHistory;
  return record == kPeerRecords - 1 ? kPeerHistoryRead : 0;
}

// A fresh private folder under the temporary folder (on disk, so that
// commits are synced as they would be in use).
std::filesystem::path MakeFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-peer-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void Check(int code, sqlite3* db, const char* what) {
  if (code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW) {
    throw std::runtime_error(fmt::format("sqlite {}: {}", what, sqlite3_errmsg(db)));
  }
}

}  // namespace

Statement::Statement(sqlite3* db, const char* sql) {
  Check(sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr), db, sql);
}

Statement::~Statement() { sqlite3_finalize(statement_); }

PeerPlant::PeerPlant() : folder_(MakeFolder()) {
  BuildDorvik();
  BuildSqlite();
}

PeerPlant::~PeerPlant() {
  selectCurrent_.reset();
  updateCurrent_.reset();
  insertHistory_.reset();
  selectHistory_.reset();
  sqlite3_close(db_);
  session_.reset();
  dorvik::Reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void PeerPlant::BuildDorvik() {
  dorvik::DatabaseBuilder builder;
  builder.Definition("VN_PeerDef", {dorvik::FieldSpec::Real("VALUE").WithQuality().WithHistory()});
  for (int i = 0; i < kPeerRecords; ++i) {
    const std::string name = RecordName(i);
    builder.Record(name, "VN_PeerDef")
        .Set(name, "VALUE", dorvik::Sample(SampleValue(i), 0, 0, dorvik::Timestamp::FromSeconds(kPeerEpoch)));
    std::vector<dorvik::HistoryPoint> points;
    for (int s = 0; s < StartSamples(i); ++s) {
      points.push_back({dorvik::Timestamp::FromSeconds(kPeerEpoch + s), SampleValue(s), 0});
    }
    if (!points.empty()) builder.History(name, "VALUE", std::move(points));
  }
  builder.Grant("*", "VN_PeerDef", 2);
  const std::string store = (folder_ / "dorvik").string();
  dorvik::CreateDatabase(builder, store);
  dorvik::Open(store);

  session_ = std::make_unique<access::DataAccess>();
  for (int i = 0; i < kPeerRecords; ++i) ids_.push_back(session_->GetRecordID(RecordName(i)));
  valueTag_ = session_->GetAttributeID("VALUE");
  for (int i = 0; i < kPeerWriteBatch; ++i) {
    writeItems_.push_back(IDANDFT{ids_[static_cast<std::size_t>(i)], valueTag_});
  }
  writeTypes_.assign(writeItems_.size(), dorvik::api::kTypeDoubleQuality);
  writeRecords_.resize(writeItems_.size());
  writeErrors_.resize(writeItems_.size());
}

void PeerPlant::BuildSqlite() {
  Check(sqlite3_open((folder_ / "peer.sqlite").c_str(), &db_), db_, "open");
  Execute(kSchema);
  Execute("BEGIN");
  {
    Statement current(db_, "INSERT INTO current VALUES(?, ?, 0, 0, ?)");
    Statement history(db_, "INSERT INTO history VALUES(?, ?, 0, ?)");
    for (int i = 0; i < kPeerRecords; ++i) {
      const int32_t id = ids_[static_cast<std::size_t>(i)];
      sqlite3_bind_int64(current.get(), 1, id);
      sqlite3_bind_double(current.get(), 2, SampleValue(i));
      sqlite3_bind_int64(current.get(), 3, int64_t{kPeerEpoch} * 1'000'000);
      Check(sqlite3_step(current.get()), db_, "insert current");
      sqlite3_reset(current.get());
      for (int s = 0; s < StartSamples(i); ++s) {
        sqlite3_bind_int64(history.get(), 1, id);
        sqlite3_bind_int64(history.get(), 2, (int64_t{kPeerEpoch} + s) * 1'000'000);
        sqlite3_bind_double(history.get(), 3, SampleValue(s));
        Check(sqlite3_step(history.get()), db_, "insert history");
        sqlite3_reset(history.get());
      }
    }
  }
  Execute("COMMIT");
  selectCurrent_ = std::make_unique<Statement>(db_, "SELECT value, status, level, time FROM current WHERE id = ?");
  updateCurrent_ = std::make_unique<Statement>(
      db_, "UPDATE current SET value = ?2, status = 0, level = 0, time = ?3 WHERE id = ?1");
  insertHistory_ = std::make_unique<Statement>(db_, "INSERT INTO history VALUES(?, ?, 0, ?)");
  selectHistory_ = std::make_unique<Statement>(
      db_, "SELECT time, level, value FROM history WHERE id = ? AND time BETWEEN ? AND ? ORDER BY time");
}

void PeerPlant::Execute(const char* sql) { Check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), db_, sql); }

void PeerPlant::LibraryReadByIds(int n) {
  if (readRequest_.size() != static_cast<std::size_t>(n)) {
    readRequest_ = {};
    for (int i = 0; i < n; ++i) readRequest_[ids_[static_cast<std::size_t>(i)]] = {valueTag_};
  }
  readAnswer_ = session_->GetTagValues(readRequest_);
  benchmark::DoNotOptimize(readAnswer_);
}

void PeerPlant::SqliteReadByIds(int n) {
  sqliteValues_.resize(static_cast<std::size_t>(n));
  sqlite3_stmt* select = selectCurrent_->get();
  Execute("BEGIN");
  for (int i = 0; i < n; ++i) {
    sqlite3_bind_int64(select, 1, ids_[static_cast<std::size_t>(i)]);
    if (sqlite3_step(select) == SQLITE_ROW) {
      PeerValue& row = sqliteValues_[static_cast<std::size_t>(i)];
      row.value = sqlite3_column_double(select, 0);
      row.status = sqlite3_column_int64(select, 1);
      row.level = sqlite3_column_int64(select, 2);
      row.time = sqlite3_column_int64(select, 3);
    }
    sqlite3_reset(select);
  }
  Execute("COMMIT");
  benchmark::DoNotOptimize(sqliteValues_.data());
}

void PeerPlant::NativeWriteWithHistory() {
  const int32_t second = kPeerEpoch + kPeerStartHistory + dorvikRound_++;
  for (std::size_t i = 0; i < writeRecords_.size(); ++i) {
    writeRecords_[i] = DVANDQU{SampleValue(second) + static_cast<double>(i), 0, 0, XUSTS{second, 0}, 0};
  }
  int16_t done = 0;
  MWDBVALS(static_cast<int16_t>(writeItems_.size()), writeItems_.data(), writeTypes_.data(), writeRecords_.data(),
           &done, writeErrors_.data());
  if (done != static_cast<int16_t>(writeItems_.size())) throw std::runtime_error("MWDBVALS failed");
}

void PeerPlant::SqliteWriteWithHistory() {
  const int32_t second = kPeerEpoch + kPeerStartHistory + sqliteRound_++;
  const int64_t micros = int64_t{second} * 1'000'000;
  sqlite3_stmt* update = updateCurrent_->get();
  sqlite3_stmt* insert = insertHistory_->get();
  Execute("BEGIN");
  for (int i = 0; i < kPeerWriteBatch; ++i) {
    const int32_t id = ids_[static_cast<std::size_t>(i)];
    const double value = SampleValue(second) + i;
    sqlite3_bind_int64(update, 1, id);
    sqlite3_bind_double(update, 2, value);
    sqlite3_bind_int64(update, 3, micros);
    Check(sqlite3_step(update), db_, "update current");
    sqlite3_reset(update);
    sqlite3_bind_int64(insert, 1, id);
    sqlite3_bind_int64(insert, 2, micros);
    sqlite3_bind_double(insert, 3, value);
    Check(sqlite3_step(insert), db_, "insert history");
    sqlite3_reset(insert);
  }
  Execute("COMMIT");
}

void PeerPlant::NativeHistoryRead() {
  historyValues_.resize(kPeerHistoryRead);
  historyTimes_.resize(kPeerHistoryRead);
  historyLevels_.resize(kPeerHistoryRead);
  void* const buffers[] = {historyValues_.data()};
  const int16_t type = -6;
  const XUSTS from{kPeerEpoch, 0}, to{kPeerEpoch + kPeerHistoryRead - 1, 0};
  int32_t returned = 0;
  int16_t fieldsDone = 0;
  ERRBLOCK error{};
  RHIS21DATA(4, 0, 0, ids_.back(), valueTag_ + 1, &from, &to, 1, &valueTag_, &type, kPeerHistoryRead,
             historyLevels_.data(), historyTimes_.data(), buffers, &returned, &fieldsDone, &error);
  if (returned != kPeerHistoryRead) throw std::runtime_error(fmt::format("RHIS21DATA returned {}", returned));
}

void PeerPlant::SqliteHistoryRead() {
  sqliteSamples_.resize(kPeerHistoryRead);
  sqlite3_stmt* select = selectHistory_->get();
  sqlite3_bind_int64(select, 1, ids_.back());
  sqlite3_bind_int64(select, 2, int64_t{kPeerEpoch} * 1'000'000);
  sqlite3_bind_int64(select, 3, (int64_t{kPeerEpoch} + kPeerHistoryRead - 1) * 1'000'000);
  std::size_t rows = 0;
  while (sqlite3_step(select) == SQLITE_ROW && rows < sqliteSamples_.size()) {
    PeerSample& sample = sqliteSamples_[rows++];
    sample.time = sqlite3_column_int64(select, 0);
    sample.level = sqlite3_column_int64(select, 1);
    sample.value = sqlite3_column_double(select, 2);
  }
  sqlite3_reset(select);
  if (rows != kPeerHistoryRead) throw std::runtime_error(fmt::format("history select returned {}", rows));
}

}  // namespace vantrel::bench
