// Damaged stores: entries whose stored lengths, counts and kinds disagree
// with the bytes that are there. Every reader (the C API, history, check,
// export) answers the corruption error or reports a fault; none reads past
// an entry, and export refuses a database whose check fails.
#include <lmdb.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "engine/errors.h"
#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;

std::string Bytes(const MDB_val& value) { return std::string(static_cast<const char*>(value.mv_data), value.mv_size); }

// A closed database whose entries the test changes with LMDB itself, as a
// damaged disk or a hostile editor would leave them.
class DamagedStoreTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Reset();
    CreateDatabase(PlantBuilder(), database_);
    Open(database_);
    tag1_ = Id("TAG1");
    value_ = Tag("VALUE");
    Reset();
  }

  // Replaces the value of key in table with what change makes of it, and
  // stores it under newKey too when one is given.
  void Change(const char* table, const std::string& key, const std::function<std::string(std::string)>& change,
              const std::string& newKey = {}) {
    MDB_env* env = nullptr;
    ASSERT_EQ(mdb_env_create(&env), 0);
    mdb_env_set_maxdbs(env, 16);
    ASSERT_EQ(mdb_env_open(env, database_.c_str(), 0, 0600), 0);
    MDB_txn* txn = nullptr;
    ASSERT_EQ(mdb_txn_begin(env, nullptr, 0, &txn), 0);
    const bool byId = std::strcmp(table, "meta") != 0 && std::strcmp(table, "history") != 0;
    MDB_dbi dbi = 0;
    ASSERT_EQ(mdb_dbi_open(txn, table, byId ? MDB_INTEGERKEY : 0u, &dbi), 0);
    MDB_val k{key.size(), const_cast<char*>(key.data())}, v;
    ASSERT_EQ(mdb_get(txn, dbi, &k, &v), 0) << table;
    std::string changed = change(Bytes(v));
    MDB_val replaced{changed.size(), changed.data()};
    if (!newKey.empty()) k = MDB_val{newKey.size(), const_cast<char*>(newKey.data())};
    ASSERT_EQ(mdb_put(txn, dbi, &k, &replaced, 0), 0);
    ASSERT_EQ(mdb_txn_commit(txn), 0);
    mdb_env_close(env);
  }

  static std::string IdKey(int32_t id) { return std::string(reinterpret_cast<const char*>(&id), sizeof id); }

  // Where the stored field of that tag and data type starts in a stored
  // definition: its number (int32) and data type (int16) begin it.
  static std::size_t FieldIn(const std::string& definition, int32_t tag, int16_t dataType) {
    const int32_t number = static_cast<int32_t>(static_cast<uint32_t>(tag) >> 16);
    std::string start(reinterpret_cast<const char*>(&number), sizeof number);
    start.append(reinterpret_cast<const char*>(&dataType), sizeof dataType);
    const std::size_t at = definition.find(start);
    EXPECT_NE(at, std::string::npos);
    return at;
  }

  int32_t AnalogDefinition() {
    Open(database_);
    const int32_t id = Id("VN_AnalogDef");
    fieldTags_ = {Tag("DESCRIPTION"), Tag("TREND")};
    Reset();
    return id;
  }
  std::vector<int32_t> fieldTags_;

  // The key of the first history chunk of (id, tag).
  std::string FirstChunkKey(int32_t id, int32_t tag) {
    MDB_env* env = nullptr;
    EXPECT_EQ(mdb_env_create(&env), 0);
    mdb_env_set_maxdbs(env, 16);
    EXPECT_EQ(mdb_env_open(env, database_.c_str(), MDB_RDONLY, 0600), 0);
    MDB_txn* txn = nullptr;
    EXPECT_EQ(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), 0);
    MDB_dbi dbi = 0;
    EXPECT_EQ(mdb_dbi_open(txn, "history", 0, &dbi), 0);
    MDB_cursor* cursor = nullptr;
    EXPECT_EQ(mdb_cursor_open(txn, dbi, &cursor), 0);
    std::string start(8, '\0');
    for (int i = 0; i < 4; ++i) start[static_cast<std::size_t>(i)] = static_cast<char>(id >> (24 - 8 * i));
    for (int i = 0; i < 4; ++i) start[static_cast<std::size_t>(4 + i)] = static_cast<char>(tag >> (24 - 8 * i));
    MDB_val k{start.size(), start.data()}, v;
    EXPECT_EQ(mdb_cursor_get(cursor, &k, &v, MDB_SET_RANGE), 0);
    std::string found = Bytes(k);
    mdb_cursor_close(cursor);
    mdb_txn_abort(txn);
    mdb_env_close(env);
    return found;
  }

  // Opens the damaged database and answers its check.
  CheckReport Checked() {
    Open(database_, {.readOnly = true});
    return CheckDatabase();
  }

  static bool Mentions(const CheckReport& report, std::string_view text) {
    for (const std::string& fault : report.faults) {
      if (fault.find(text) != std::string::npos) return true;
    }
    return false;
  }

  // The error code of a history read of TAG1.VALUE as doubles.
  int16_t ReadHistoryCode() {
    double values[8] = {};
    XUSTS times[8] = {};
    int16_t levels[8] = {};
    void* const buffers[] = {values};
    const int16_t type = dorvik::api::kTypeDouble;
    const XUSTS from{0, 0}, to{1000, 0};
    int32_t returned = -1;
    int16_t fieldsDone = 0;
    ERRBLOCK error{};
    RHIS21DATA(4, 0, 0, tag1_, value_ + 1, &from, &to, 1, &value_, &type, 8, levels, times, buffers, &returned,
               &fieldsDone, &error);
    return error.ERRCODE;
  }

  TemporaryFolder folder_;
  const std::string database_ = (folder_ / "plant.db").string();
  int32_t tag1_ = 0;
  int32_t value_ = 0;
};

TEST_F(DamagedStoreTest, DamagedSettingsAreFaultsOfTheCheckAndStopTheExport) {
  // A count of entries far beyond the bytes that follow it.
  Change("meta", "environment", [](std::string value) {
    const uint32_t count = 37'901;
    std::memcpy(value.data(), &count, sizeof count);
    return value;
  });
  Change("meta", "grants", [](std::string value) { return value.substr(0, value.size() - 3); });
  const CheckReport report = Checked();
  EXPECT_TRUE(Mentions(report, "environment")) << fmt::format("{}", fmt::join(report.faults, "\n"));
  EXPECT_TRUE(Mentions(report, "grants")) << fmt::format("{}", fmt::join(report.faults, "\n"));

  const fs::path exported = folder_ / "plant.json";
  try {
    ExportDatabase(exported.string());
    FAIL() << "a damaged database was exported";
  } catch (const DatabaseError& refused) {
    EXPECT_NE(std::string(refused.what()).find("damaged"), std::string::npos) << refused.what();
    EXPECT_NE(std::string(refused.what()).find("environment"), std::string::npos) << "names the first fault";
  }
  EXPECT_FALSE(fs::exists(exported)) << "nothing is written";
}

TEST_F(DamagedStoreTest, ASoundDatabaseStillChecksCleanAndExports) {
  const CheckReport report = Checked();
  EXPECT_TRUE(report.ok()) << fmt::format("{}", fmt::join(report.faults, "\n"));
  EXPECT_GT(report.selectors, 0);
  EXPECT_GT(report.fields, 0);
  ExportDatabase((folder_ / "plant.json").string());
  EXPECT_TRUE(fs::exists(folder_ / "plant.json"));
}

TEST_F(DamagedStoreTest, DefinitionsWhoseLayoutCannotBeReadAreCorrupted) {
  const int32_t analog = AnalogDefinition();
  // DESCRIPTION (a text of 40) gets a negative length word (after its number
  // and data type); a text slot of that length would be read with a
  // reversed clamp.
  Change("definitions", IdKey(analog), [&](std::string value) {
    const int16_t length = -40;
    std::memcpy(value.data() + FieldIn(value, fieldTags_[0], 4) + 6, &length, sizeof length);
    return value;
  });
  const CheckReport report = Checked();
  EXPECT_TRUE(Mentions(report, "definition text length")) << fmt::format("{}", fmt::join(report.faults, "\n"));
  ERRBLOCK error{};
  Read(tag1_, value_, dorvik::api::kTypeDouble, 8, error);
  EXPECT_EQ(error.ERRCODE, kErrCorrupted);
  EXPECT_EQ(ReadText(Id("VN_Task1"), Tag("VN_Name"), error), "VN_Task1") << "records of other definitions read";
}

TEST_F(DamagedStoreTest, ARepeatAreaMustBeCountedByAFixedField) {
  const int32_t analog = AnalogDefinition();
  // TREND is counted by TREND_COUNT; its repeat area (the 1-based position
  // of its count field, after number, data type and length word) becomes
  // TREND's own position, which is no fixed field. TREND follows its count.
  Change("definitions", IdKey(analog), [&](std::string value) {
    const std::size_t trend = FieldIn(value, fieldTags_[1], 3);
    int16_t area = 0;
    std::memcpy(&area, value.data() + trend + 8, sizeof area);
    ++area;
    std::memcpy(value.data() + trend + 8, &area, sizeof area);
    return value;
  });
  const CheckReport report = Checked();
  EXPECT_FALSE(report.ok());
  ERRBLOCK error{};
  Read(tag1_, Tag("TREND") + 1, dorvik::api::kTypeDouble, 8, error);
  EXPECT_EQ(error.ERRCODE, kErrCorrupted);
}

TEST_F(DamagedStoreTest, AHistoryChunkOfAnotherKindIsCorruptedNotReadAsTheField) {
  const std::string key = FirstChunkKey(tag1_, value_);
  ASSERT_EQ(key.size(), 20u);
  // The five reals become five texts of four characters: a well-formed
  // chunk, of another kind than the real field it belongs to.
  Change("history", key, [](std::string value) {
    uint16_t count = 0;
    std::memcpy(&count, value.data(), sizeof count);
    std::string text = value.substr(0, 8 + count * 10);
    text[2] = 2;
    const uint32_t textBytes = 4u * count;
    std::memcpy(text.data() + 4, &textBytes, sizeof textBytes);
    for (uint32_t i = 1; i <= count; ++i) {
      const uint32_t end = 4 * i;
      text.append(reinterpret_cast<const char*>(&end), sizeof end);
    }
    return text + std::string(textBytes, 'x');
  });
  const CheckReport report = Checked();
  EXPECT_TRUE(Mentions(report, "another kind")) << fmt::format("{}", fmt::join(report.faults, "\n"));
  EXPECT_EQ(ReadHistoryCode(), kErrCorrupted);
}

// Damage to the pages themselves, which LMDB trusts: the store is refused
// when it is opened, with the corruption error and where the damage is.
class DamagedPagesTest : public DamagedStoreTest {
 protected:
  // The offset in data.mdb of the node (its 8-byte header) whose key is key.
  std::size_t NodeOf(const std::string& key) {
    const std::string file = FileText(fs::path(database_) / "data.mdb");
    std::string header(2, '\0');
    const auto size = static_cast<uint16_t>(key.size());
    std::memcpy(header.data(), &size, sizeof size);
    const std::size_t at = file.find(header + key);
    EXPECT_NE(at, std::string::npos) << key;
    return at - 6;
  }

  void Patch(std::size_t offset, const void* bytes, std::size_t size) {
    std::string file = FileText(fs::path(database_) / "data.mdb");
    file.replace(offset, size, static_cast<const char*>(bytes), size);
    WriteFile(fs::path(database_) / "data.mdb", file);
  }

  // The message of the refused open; fails the test when it opened.
  std::string Refusal() {
    try {
      Open(database_, {.readOnly = true});
    } catch (const DatabaseError& refused) {
      return refused.what();
    }
    ADD_FAILURE() << "the damaged database opened";
    return "";
  }
};

TEST_F(DamagedPagesTest, AValueSizedPastTheFileIsRefused) {
  // The size of systemAccount's value (lo and hi words) of 37,901 bytes and
  // of 4 GiB - 1: both run past the page, the second past the file.
  for (const uint32_t size : {37'901u, 0xFFFF'FFFFu}) {
    const std::size_t node = NodeOf("systemAccount");
    const std::string original = FileText(fs::path(database_) / "data.mdb");
    Patch(node, &size, sizeof size);
    const std::string refusal = Refusal();
    EXPECT_NE(refusal.find("value running past its page"), std::string::npos) << refusal;
    WriteFile(fs::path(database_) / "data.mdb", original);
  }
  Open(database_, {.readOnly = true});
  EXPECT_TRUE(CheckDatabase().ok()) << "the sound file opens again";
}

TEST_F(DamagedPagesTest, ANodeFlaggedAsDuplicatesIsRefused) {
  // LMDB follows a duplicate-data flag into a cursor a table without
  // duplicates never has.
  const std::size_t node = NodeOf("systemAccount");
  uint16_t flags = 0;
  std::memcpy(&flags, FileText(fs::path(database_) / "data.mdb").data() + node + 4, sizeof flags);
  flags |= 0x04;
  Patch(node + 4, &flags, sizeof flags);
  const std::string refusal = Refusal();
  EXPECT_NE(refusal.find("data file: table \"meta\""), std::string::npos) << refusal;
}

TEST_F(DamagedPagesTest, KeysOutOfOrderAreRefused) {
  // LMDB bisects each page on the way down: a key out of order sends a
  // search to the wrong entry and a resumed walk back over passed keys.
  const std::string original = FileText(fs::path(database_) / "data.mdb");
  // A name key of the meta table that now sorts before its neighbours.
  Patch(NodeOf("systemAccount") + 8, "\0", 1);
  std::string refusal = Refusal();
  EXPECT_NE(refusal.find("table \"meta\": page"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("keys out of order"), std::string::npos) << refusal;
  // An id key of the records table past the records that follow it.
  WriteFile(fs::path(database_) / "data.mdb", original);
  const int32_t past = 9'000'000;
  Patch(NodeOf(IdKey(tag1_)) + 8, &past, sizeof past);
  refusal = Refusal();
  EXPECT_NE(refusal.find("table \"records\": page"), std::string::npos) << refusal;
  EXPECT_NE(refusal.find("keys out of order"), std::string::npos) << refusal;
}

TEST_F(DamagedPagesTest, AMetaPageOfAnotherPageSizeOrTooManyPagesIsRefused) {
  const std::string original = FileText(fs::path(database_) / "data.mdb");
  // The page size sits in the first table record of a meta page (after the
  // page header and magic, version, address, map size): 1 MiB.
  const uint32_t pageSize = 1u << 20;
  Patch(16 + 24, &pageSize, sizeof pageSize);
  EXPECT_NE(Refusal().find("page size"), std::string::npos);
  WriteFile(fs::path(database_) / "data.mdb", original);
  // The last page of the second meta page, far past the map it names.
  const uint64_t lastPage = uint64_t{1} << 40;
  Patch(4096 + 16 + 120, &lastPage, sizeof lastPage);
  EXPECT_NE(Refusal().find("names 1099511627777 pages"), std::string::npos);
}

TEST_F(DamagedStoreTest, DamagedIndexEntriesAreFaults) {
  Change("meta", "freeHint", [](std::string value) { return value + "!"; });
  Open(database_);
  const CheckReport report = CheckDatabase();
  EXPECT_TRUE(Mentions(report, "free-id hint")) << fmt::format("{}", fmt::join(report.faults, "\n"));
  int32_t id = 0;
  NXTFREE(1, &id);
  EXPECT_GE(id, 100) << "a damaged hint never hands out a catalog id";
}

TEST_F(DamagedStoreTest, ARecordKeyThatIsNoIdIsAFaultAndEndsEveryWalk) {
  const int32_t definition = AnalogDefinition();
  // A copy of TAG1 under a key that reads as a negative id: LMDB sorts it
  // after every record, so a walk that resumed from it would start over.
  Change("records", IdKey(tag1_), [](std::string value) { return value; }, IdKey(-5));
  const CheckReport report = Checked();
  EXPECT_TRUE(Mentions(report, "id key")) << fmt::format("{}", fmt::join(report.faults, "\n"));
  int32_t record = 0, fieldTag = 0;
  int steps = 0;
  do {
    NXTREFER(definition, 0, &record, &fieldTag);
  } while (record != 0 && ++steps < 100);
  EXPECT_LT(steps, 100) << "the walk over the definition's records ends";
  EXPECT_THROW(ExportDatabase((folder_ / "export.json").string()), DatabaseError);
}

}  // namespace
}  // namespace dorvik::testing
