// The rows of the SQLite peer comparison, stored twice in a fresh folder on
// disk: once as a dorvik database (made current) and once as a SQLite file
// with one table of current values and one of history (WAL journal,
// synchronous=FULL, so that a commit is as durable as dorvik's). Both hold
// kPeerRecords records with a double VALUE with quality and history; the
// first kPeerWriteBatch records start with kPeerStartHistory samples each,
// and the last record holds kPeerHistoryRead samples for the history read.
//
// PeerPlant owns the folder and the SQLite connection; the operations below
// are the measured calls of each side. Not thread-safe: one thread uses it.
#ifndef VANTREL_BENCH_PEER_PLANT_H_
#define VANTREL_BENCH_PEER_PLANT_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "api/records.h"
#include "contracts/collections.h"
#include "data/data_access.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vantrel::bench {

inline constexpr int kPeerRecords = 5'000;
inline constexpr int kPeerWriteBatch = 500;
inline constexpr int kPeerStartHistory = 64;
inline constexpr int kPeerHistoryRead = 10'000;

// The first second of the stored samples; sample i of a series is at
// kPeerEpoch + i seconds.
inline constexpr int32_t kPeerEpoch = 1'700'000'000;

// One row of the current-value table as SQLite's side reads it.
struct PeerValue {
  double value = 0;
  int64_t status = 0;
  int64_t level = 0;
  int64_t time = 0;
};

// One row of the history table.
struct PeerSample {
  int64_t time = 0;
  int64_t level = 0;
  double value = 0;
};

// A prepared SQLite statement, finalised when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

class PeerPlant {
 public:
  PeerPlant();
  ~PeerPlant();
  PeerPlant(const PeerPlant&) = delete;
  PeerPlant& operator=(const PeerPlant&) = delete;

  // dorvik: one DataAccess read by ids of the VALUE of the first n records.
  void LibraryReadByIds(int n);
  // SQLite: the current rows of the first n ids, one read transaction.
  void SqliteReadByIds(int n);

  // dorvik: one MWDBVALS of kPeerWriteBatch values (history kept), durable
  // when it returns. Every call writes at a later time than the last.
  void NativeWriteWithHistory();
  // SQLite: the same rows updated and appended to history in one durable
  // transaction.
  void SqliteWriteWithHistory();

  // dorvik: RHIS21DATA of the kPeerHistoryRead samples of the last record.
  void NativeHistoryRead();
  // SQLite: those rows by a range scan of the history table.
  void SqliteHistoryRead();

 private:
  void BuildDorvik();
  void BuildSqlite();
  void Execute(const char* sql);

  std::filesystem::path folder_;
  sqlite3* db_ = nullptr;
  std::unique_ptr<Statement> selectCurrent_, updateCurrent_, insertHistory_, selectHistory_;
  std::vector<int32_t> ids_;
  int32_t valueTag_ = 0;
  // Writes done by each side; their samples follow the stored ones, so that
  // both sides write the same rows.
  int32_t dorvikRound_ = 0, sqliteRound_ = 0;
  std::unique_ptr<access::DataAccess> session_;
  contracts::TagsById readRequest_;
  contracts::TagValuesByIds readAnswer_;
  std::vector<PeerValue> sqliteValues_;
  std::vector<PeerSample> sqliteSamples_;
  std::vector<IDANDFT> writeItems_;
  std::vector<int16_t> writeTypes_;
  std::vector<DVANDQU> writeRecords_;
  std::vector<ERRBLOCK> writeErrors_;
  std::vector<double> historyValues_;
  std::vector<XUSTS> historyTimes_;
  std::vector<int16_t> historyLevels_;
};

}  // namespace vantrel::bench

#endif  // VANTREL_BENCH_PEER_PLANT_H_
