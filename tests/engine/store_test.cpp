// The store under failure: a full map, a file-size limit, injected storage
// faults and a damaged data file. Each failing write returns its error code
// and message, reports nothing done, and leaves the database as it was.
#include <lmdb.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;

class StoreTest : public EngineTest {
 protected:
  // A definition whose repeat area of long texts grows a record quickly.
  static DatabaseBuilder Growing() {
    DatabaseBuilder builder = PlantBuilder();
    builder
        .Definition("VN_BigDef", {FieldSpec::Count("LINES"), FieldSpec::Text("LINE", 4000).InRepeatArea("LINES")})
        .Record("BIG", "VN_BigDef")
        .Grant("*", "VN_BigDef", 2);
    return builder;
  }

  // Sets the number of LINES of BIG: its record grows by 4 KB a line.
  static ERRBLOCK GrowTo(int16_t lines) {
    const IDANDFT item{Id("BIG"), Tag("LINES")};
    const int16_t type = dorvik::api::kTypeInt16;
    int16_t done = -1;
    ERRBLOCK error{};
    MWDBVALS(1, &item, &type, &lines, &done, &error);
    EXPECT_EQ(done, error.ERRCODE == 0 ? 1 : 0) << "done counts only what is on disk";
    return error;
  }
};

TEST_F(StoreTest, AFullMapFailsTheWriteAndKeepsTheDatabase) {
  Install(Growing(), {.mapSize = std::size_t{1} << 20});
  SetTlsData("VNT", "vntsystem");
  ASSERT_EQ(GrowTo(10).ERRCODE, 0);
  const ERRBLOCK full = GrowTo(1000);  // 4 MB in a 1 MB map
  EXPECT_EQ(full.ERRCODE, kErrDatabaseFull);
  EXPECT_EQ(full.ERRDETAIL, MDB_MAP_FULL);
  EXPECT_EQ(Message(full), fmt::format("MWDBVALS: database is full (code {})", MDB_MAP_FULL));
  EXPECT_EQ(*CurrentText("BIG", "LINES"), "10");
  EXPECT_EQ(GrowTo(20).ERRCODE, 0) << "a write that fits still goes in";
  EXPECT_TRUE(CheckDatabase().ok());
}

TEST_F(StoreTest, AFileSizeLimitFailsTheCommit) {
  Install(Growing());
  SetTlsData("VNT", "vntsystem");
  ASSERT_EQ(GrowTo(10).ERRCODE, 0);
  // Past the limit, the commit's write fails with EFBIG (SIGXFSZ ignored).
  const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  ::getrlimit(RLIMIT_FSIZE, &previous);
  const auto size = static_cast<rlim_t>(fs::file_size(fs::path(DatabasePath()) / "data.mdb"));
  rlimit limited{size, previous.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const ERRBLOCK full = GrowTo(2000);
  ::setrlimit(RLIMIT_FSIZE, &previous);
  ::signal(SIGXFSZ, previousHandler);
  EXPECT_EQ(full.ERRCODE, kErrDatabaseFull);
  EXPECT_EQ(full.ERRDETAIL, EFBIG);
  EXPECT_EQ(*CurrentText("BIG", "LINES"), "10");
  EXPECT_EQ(GrowTo(2000).ERRCODE, 0);
  EXPECT_TRUE(CheckDatabase().ok());
}

TEST_F(StoreTest, InjectedStorageFaultsBecomeErrorCodes) {
  SetTlsData("VNT", "vntsystem");
  const int32_t tag1 = Id("TAG1"), value = Tag("VALUE");
  // A commit that fails writes nothing, not even the items before.
  InjectStorageFault(StorageOp::kCommit, MDB_MAP_FULL);
  const IDANDFT items[] = {{tag1, Tag("MODE")}, {tag1, value}};
  const int16_t types[] = {dorvik::api::kTypeInt16, dorvik::api::kTypeDouble};
  unsigned char buffer[2 + 8];
  const int16_t mode = 0;
  const double real = 99;
  std::memcpy(buffer, &mode, 2);
  std::memcpy(buffer + 2, &real, 8);
  ERRBLOCK errors[2];
  int16_t done = -1;
  MWDBVALS(2, items, types, buffer, &done, errors);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(errors[0].ERRCODE, kErrDatabaseFull);
  EXPECT_EQ(*CurrentText("TAG1", "MODE"), "2");
  EXPECT_EQ(HistoryCount("TAG1", "VALUE"), 5);
  // A read that meets an I/O error reports it in the item's block.
  InjectStorageFault(StorageOp::kGet, EIO);
  ERRBLOCK error{};
  Read(tag1, value, dorvik::api::kTypeDouble, 8, error);
  EXPECT_EQ(error.ERRCODE, kErrIo);
  EXPECT_EQ(Message(error), "MRDBVALS: database I/O error (code 5)");
  // Calls without an error block give their failure value. DEFINID answers
  // from the catalog cache while the catalog is unchanged: a change of the
  // catalog (tag1 made unusable and usable again) makes it read the store.
  MAKUNUSA(tag1, &error);
  MAKUSABL(tag1, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  InjectStorageFault(StorageOp::kBegin, MDB_READERS_FULL);
  EXPECT_EQ(DEFINID(tag1), 0);
  InjectStorageFault(StorageOp::kCommit, ENOSPC);
  CREATERECORD(7000, Id("VN_AnalogDef"), 0, 0, "NEW", 3, &error);
  EXPECT_EQ(error.ERRCODE, kErrDatabaseFull);
  EXPECT_EQ(Id("NEW"), 0);
  InjectStorageFault(StorageOp::kPut, EACCES);
  MAKUNUSA(tag1, &error);
  EXPECT_EQ(error.ERRCODE, kErrReadOnly);
  EXPECT_NE(VALIDUSA(tag1), 0);
  // The control interface throws instead.
  InjectStorageFault(StorageOp::kCommit, MDB_MAP_FULL);
  EXPECT_THROW(SetEnvironment("X", "1"), DatabaseError);
  EXPECT_EQ(c21_getenv("X"), nullptr);
  EXPECT_EQ(DEFINID(tag1), Id("VN_AnalogDef")) << "the faults are used up";
}

TEST_F(StoreTest, ADamagedRecordIsReportedNotRead) {
  TemporaryFolder folder;
  const std::string database = (folder / "plant.db").string();
  CreateDatabase(PlantBuilder(), database);
  Open(database);
  const int32_t tag2 = Id("TAG2");
  Reset();
  // Cut TAG2's entry short, as a damaged disk might.
  MDB_env* env = nullptr;
  ASSERT_EQ(mdb_env_create(&env), 0);
  mdb_env_set_maxdbs(env, 16);
  ASSERT_EQ(mdb_env_open(env, database.c_str(), 0, 0644), 0);
  MDB_txn* txn = nullptr;
  MDB_dbi records = 0;
  mdb_txn_begin(env, nullptr, 0, &txn);
  ASSERT_EQ(mdb_dbi_open(txn, "records", MDB_INTEGERKEY, &records), 0);
  auto key = static_cast<unsigned int>(tag2);
  MDB_val k{sizeof key, &key}, v;
  ASSERT_EQ(mdb_get(txn, records, &k, &v), 0);
  std::string cut(static_cast<const char*>(v.mv_data), v.mv_size - 10);
  MDB_val shorter{cut.size(), cut.data()};
  ASSERT_EQ(mdb_put(txn, records, &k, &shorter, 0), 0);
  ASSERT_EQ(mdb_txn_commit(txn), 0);
  mdb_env_close(env);

  Open(database);
  const CheckReport report = CheckDatabase();
  ASSERT_EQ(report.faults.size(), 1u);
  EXPECT_NE(report.faults[0].find(fmt::format("record {}", tag2)), std::string::npos) << report.faults[0];
  ERRBLOCK error{};
  Read(tag2, Tag("VALUE"), dorvik::api::kTypeDouble, 8, error);
  EXPECT_EQ(error.ERRCODE, kErrCorrupted);
  Read(Id("TAG1"), Tag("VALUE"), dorvik::api::kTypeDouble, 8, error);
  EXPECT_EQ(error.ERRCODE, 0) << "the rest reads as before";
}

}  // namespace
}  // namespace dorvik::testing
