// Link, error texts, environment, shutdown callbacks, call log and fault
// injection.
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "engine/errors.h"
#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

class LinkTest : public EngineTest {};

TEST_F(LinkTest, AttachmentsAreCountedAndWritesAreOnDiskWithoutADetach) {
  TemporaryFolder folder;
  const std::string database = (folder / "plant.db").string();
  CreateDatabase(PlantBuilder(), database);
  Reset();
  ASSERT_EQ(::setenv("DORVIK_DATABASE", database.c_str(), 1), 0);
  EXPECT_EQ(DBMAPPED(), 0);
  EXPECT_NE(INIDORV(), 0);
  EXPECT_NE(INIDORV(), 0);
  EXPECT_EQ(Attachments(), 2);
  EXPECT_NE(DBMAPPED(), 0);
  SetTlsData("VNT", "vntsystem");
  ERRBLOCK error{};
  MAKUNUSA(Id("TAG1"), &error);
  ASSERT_EQ(error.ERRCODE, 0);
  ENDDORV();
  ENDDORV();
  EXPECT_EQ(DBMAPPED(), 0);
  ENDDORV();  // at count 0: nothing
  EXPECT_EQ(Attachments(), 0);
  EXPECT_NE(VALIDUSA(Id("TAG2")), 0) << "the database stays open after the last detach";
  Reset();  // closes the database: nothing is saved here
  Open(database);
  EXPECT_EQ(VALIDUSA(Id("TAG1")), 0);
  Open(database, {.readOnly = true});  // the same database again: it closes and opens once more
  EXPECT_TRUE(IsReadOnly());
  EXPECT_EQ(VALIDUSA(Id("TAG1")), 0);
  ::unsetenv("DORVIK_DATABASE");
}

TEST_F(LinkTest, AttachFailsWithAReasonWithoutADatabaseAndDuringShutdown) {
  Reset();
  ::unsetenv("DORVIK_DATABASE");
  EXPECT_EQ(INIDORV(), 0);
  EXPECT_NE(LastOpenError().find("DORVIK_DATABASE"), std::string::npos);
  EXPECT_EQ(Id("TAG1"), 0);
  // A folder, a JSON file and any other file are refused with a reason, not an exception.
  TemporaryFolder folder;
  WriteFile(folder / "plant.json", "{}");
  WriteFile(folder / "notes.txt", "hello");
  for (const auto& [path, reason] : std::vector<std::pair<std::string, std::string>>{
           {folder.path().string(), "holds no data.mdb"},
           {(folder / "plant.json").string(), "run vntaccess import " + (folder / "plant.json").string() + " DATABASE"},
           {(folder / "notes.txt").string(), "not a database"},
           {(folder / "missing").string(), "no such database"}}) {
    ::setenv("DORVIK_DATABASE", path.c_str(), 1);
    EXPECT_EQ(INIDORV(), 0) << path;
    EXPECT_NE(LastOpenError().find(reason), std::string::npos) << LastOpenError();
    EXPECT_EQ(LastOpenError().find('\n'), std::string::npos) << "one line";
    EXPECT_THROW(Open(path), DatabaseError);
  }
  ::unsetenv("DORVIK_DATABASE");
  Install(PlantBuilder());
  Shutdown(3);
  EXPECT_EQ(INIDORV(), 0);
  Restart();
  EXPECT_NE(INIDORV(), 0);
  ENDDORV();
}

std::mutex gCallsMutex;
std::vector<std::pair<int, uint32_t>> gCalls;
void First(uint32_t code) {
  std::lock_guard lock(gCallsMutex);
  gCalls.emplace_back(1, code);
}
void Second(uint32_t code) {
  std::lock_guard lock(gCallsMutex);
  gCalls.emplace_back(2, code);
}

TEST_F(LinkTest, ShutdownRunsEachEntryPointOnceInOrder) {
  gCalls.clear();
  VantrelRegisterShutdownCallback(0, First, 1);
  VantrelRegisterShutdownCallback(0, Second, 2);
  VantrelRegisterShutdownCallback(0, First, 3);   // an entry point already kept: no second entry
  VantrelRegisterShutdownCallback(1, Second, 4);  // reserved must be 0: ignored
  Shutdown(42);
  {
    std::lock_guard lock(gCallsMutex);
    EXPECT_EQ(gCalls, (std::vector<std::pair<int, uint32_t>>{{1, 42}, {2, 42}}));
  }
  Restart();
  Shutdown(7);
  std::lock_guard lock(gCallsMutex);
  EXPECT_EQ(gCalls.size(), 4u);
}

TEST_F(LinkTest, ErrorTextsFitTheBufferForEveryCode) {
  for (int16_t code = -40; code <= 0; ++code) {
    for (int function = 0; function < static_cast<int>(ApiFunction::kCount); ++function) {
      if (code == kErrBatchStopped && function != static_cast<int>(ApiFunction::kMWDBVALS)) continue;
      ERRBLOCK block{code, static_cast<int16_t>(function), INT32_MIN, -32768};
      char text[dorvik::api::kMessageBufferSize + 8];
      std::memset(text, '#', sizeof text);
      int16_t length = 0;
      ERRMESS(&block, text, &length);
      ASSERT_EQ(text[78], '#');
      // A text cut at the buffer would be exactly 78 bytes long.
      ASSERT_LT(length, 78) << std::string(text, static_cast<std::size_t>(length));
    }
  }
  ERRBLOCK shutting{-37, static_cast<int16_t>(ApiFunction::kEXTASKCHK), 0, 0};
  EXPECT_EQ(Message(shutting), "EXTASKCHK: database is shutting down");
  ERRBLOCK zero{};
  EXPECT_EQ(Message(zero), "no error");
}

TEST_F(LinkTest, EnvironmentComesFromTheDatabaseOnly) {
  char value[1024];
  EXPECT_EQ(GetVntEnvironmentVariable("DORVIK_GROUP_NAME", value, sizeof value), 6);
  EXPECT_STREQ(value, "GROUP1");
  EXPECT_EQ(GetVntEnvironmentVariable("DORVIK_GROUP_NAME", value, 3), 3);
  EXPECT_EQ(std::string(value, 3), "GRO");
  EXPECT_STREQ(c21_getenv("COMPRESS_SOURCE"), "/data/plant/queries");
  // The process's own environment is never handed out.
  ::setenv("DORVIK_ENGINE_TEST_VARIABLE", "from process", 1);
  EXPECT_EQ(c21_getenv("DORVIK_ENGINE_TEST_VARIABLE"), nullptr);
  EXPECT_EQ(GetVntEnvironmentVariable("PATH", value, sizeof value), 0);
  EXPECT_EQ(c21_getenv("HOME"), nullptr);
  EXPECT_EQ(c21_getenv("DORVIK_NOT_SET_ANYWHERE"), nullptr);
  EXPECT_EQ(GetVntEnvironmentVariable("DORVIK_NOT_SET_ANYWHERE", value, sizeof value), 0);
  EXPECT_EQ(GetVntEnvironmentVariable(nullptr, value, sizeof value), 0);
  SetEnvironment("DORVIK_GROUP_FOLDER_NAME", "/abs/group");
  EXPECT_STREQ(c21_getenv("dorvik_group_folder_name"), "/abs/group");
  SetEnvironment("DORVIK_GROUP_FOLDER_NAME", "group");
  EXPECT_STREQ(c21_getenv("DORVIK_GROUP_FOLDER_NAME"), "/data/plant/group") << "a folder even when not marked";
  SetEnvironment("RELATIVE_TEXT", "group");
  EXPECT_STREQ(c21_getenv("RELATIVE_TEXT"), "group");
  SetEnvironment("DORVIK_GROUP_NAME", std::nullopt);
  EXPECT_EQ(GetVntEnvironmentVariable("DORVIK_GROUP_NAME", value, sizeof value), 0);
}

TEST_F(LinkTest, CallLogCountsCallsAndFaultsFailTheNextCalls) {
  EnableCallLog();
  Id("TAG1");
  Id("TAG2");
  DEFINID(Id("TAG1"));
  EXPECT_EQ(CallCount("NAME2RECID"), 3);
  EXPECT_EQ(CallCount("DEFINID"), 1);
  EXPECT_EQ(CallLog().front().arguments, "TAG1");
  ClearCallLog();
  EXPECT_EQ(CallCount("NAME2RECID"), 0);

  InjectFault("NAME2RECID", -1, -1, 2);
  EXPECT_EQ(Id("TAG1"), 0);
  EXPECT_EQ(Id("TAG1"), 0);
  EXPECT_GT(Id("TAG1"), 0);
  InjectFault("REFRESHUSERCONTEXT", 77);
  ERRBLOCK error{};
  REFRESHUSERCONTEXT(0, &error);
  EXPECT_EQ(error.ERRCODE, 77);
  EXPECT_EQ(Message(error), "REFRESHUSERCONTEXT: error 77");
  REFRESHUSERCONTEXT(0, &error);
  EXPECT_EQ(error.ERRCODE, 0);
  EXPECT_THROW(InjectFault("NOT_A_FUNCTION", 1), DatabaseError);
}

}  // namespace
}  // namespace dorvik::testing
