// Link, error texts, environment, shutdown callbacks, call log and fault
// injection.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "engine/errors.h"
#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;

class LinkTest : public EngineTest {
 protected:
  fs::path TempFile(const std::string& name) {
    const fs::path folder = fs::temp_directory_path() / ("dorvik_link_test_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    return folder / name;
  }
};

TEST_F(LinkTest, AttachmentsAreCountedAndTheLastDetachSavesChanges) {
  const fs::path file = TempFile("plant.json");
  Save(file.string());
  Reset();
  ASSERT_EQ(::setenv("DORVIK_DATABASE", file.c_str(), 1), 0);
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
  EXPECT_TRUE(IsDirty());
  ENDDORV();
  EXPECT_EQ(DBMAPPED(), 0);
  EXPECT_FALSE(IsDirty());
  EXPECT_EQ(LastSaveError(), "");
  ENDDORV();  // at count 0: nothing
  EXPECT_EQ(Attachments(), 0);
  EXPECT_NE(VALIDUSA(Id("TAG2")), 0) << "the database stays loaded after the last detach";
  Reset();
  Open(file.string());
  EXPECT_EQ(VALIDUSA(Id("TAG1")), 0);
  ::unsetenv("DORVIK_DATABASE");
  fs::remove_all(file.parent_path());
}

TEST_F(LinkTest, AttachFailsWithoutADatabaseAndDuringShutdown) {
  Reset();
  ::unsetenv("DORVIK_DATABASE");
  EXPECT_EQ(INIDORV(), 0);
  EXPECT_EQ(Id("TAG1"), 0);
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

TEST_F(LinkTest, ShutdownRunsEveryRegistrationOnceInOrder) {
  gCalls.clear();
  VantrelRegisterShutdownCallback(0, First, 1);
  VantrelRegisterShutdownCallback(0, Second, 2);
  VantrelRegisterShutdownCallback(0, First, 3);
  VantrelRegisterShutdownCallback(1, Second, 4);  // reserved must be 0: ignored
  Shutdown(42);
  EXPECT_EQ(gCalls, (std::vector<std::pair<int, uint32_t>>{{1, 42}, {2, 42}, {1, 42}}));
  Restart();
  Shutdown(7);
  EXPECT_EQ(gCalls.size(), 6u);
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

TEST_F(LinkTest, EnvironmentComesFromTheDatabaseThenTheProcess) {
  char value[1024];
  EXPECT_EQ(GetVntEnvironmentVariable("DORVIK_GROUP_NAME", value, sizeof value), 6);
  EXPECT_STREQ(value, "GROUP1");
  EXPECT_EQ(GetVntEnvironmentVariable("DORVIK_GROUP_NAME", value, 3), 3);
  EXPECT_EQ(std::string(value, 3), "GRO");
  EXPECT_STREQ(c21_getenv("COMPRESS_SOURCE"), "/data/plant/queries");
  ::setenv("DORVIK_ENGINE_TEST_VARIABLE", "from process", 1);
  EXPECT_STREQ(c21_getenv("DORVIK_ENGINE_TEST_VARIABLE"), "from process");
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
