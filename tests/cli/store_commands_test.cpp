// import and export as a user meets them when a file-size limit or a
// Ctrl-C stops them half-way: a clear error or the signal's usual end, and
// nothing left behind.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/cli/tool_support.h"

namespace vantrel::testing {
namespace {

namespace fs = std::filesystem;

// The names in folder holding part.
std::vector<std::string> NamesWith(const fs::path& folder, const std::string& part) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.find(part) != std::string::npos) names.push_back(name);
  }
  return names;
}

std::string Text(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class StoreCommandsTest : public ::testing::Test {
 protected:
  PlantCopy db_;
};

// The child keeps SIGXFSZ's default action: the tool ignores it itself and
// reports the failed write.
TEST_F(StoreCommandsTest, ExportPastAFileSizeLimitFailsClearlyAndLeavesNoFile) {
  const fs::path out = db_.Folder() / "plant.json";
  std::ofstream(out) << "old";
  const ToolRun run = RunTool({"export", db_.Path(), out.string()},
                              ToolOptions{.fileSizeLimit = 16384, .fileSizeSignalIgnored = false});
  EXPECT_NE(run.code, kDone);
  EXPECT_LT(run.code, 128) << "ended by a signal";
  EXPECT_NE(run.err.find("plant.json: cannot write (the file-size limit, ulimit -f): File too large"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(Text(out), "old");
  EXPECT_TRUE(NamesWith(db_.Folder(), ".exporting-").empty());
}

// The store's own writes (LMDB's) past the limit: the tool holds SIGXFSZ
// off, the import fails with the storage's error and leaves no folder.
TEST_F(StoreCommandsTest, ImportPastAFileSizeLimitFailsAndLeavesNoFolder) {
  const fs::path target = db_.Folder() / "new.db";
  const ToolRun run = RunTool({"import", (fs::path(VANTREL_EXAMPLES_DIR) / "plant.json").string(), target.string()},
                              ToolOptions{.fileSizeLimit = 16384, .fileSizeSignalIgnored = false});
  EXPECT_NE(run.code, kDone);
  EXPECT_LT(run.code, 128) << "ended by a signal";
  EXPECT_NE(run.err.find("new.db"), std::string::npos) << run.err;
  EXPECT_TRUE(NamesWith(db_.Folder(), ".new.db.importing-").empty());
  EXPECT_FALSE(fs::exists(target));
}

// The import waits for its text on a FIFO, its hidden folder made; Ctrl-C
// removes the folder and ends the tool as SIGINT does.
TEST_F(StoreCommandsTest, CtrlCDuringAnImportLeavesNoFolder) {
  const fs::path fifo = db_.Folder() / "slow.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path target = db_.Folder() / "new.db";
  ToolProcess tool({"import", fifo.string(), target.string()});
  bool made = false;
  for (int i = 0; i < 1000 && !made; ++i) {
    made = !NamesWith(db_.Folder(), ".new.db.importing-").empty();
    if (!made) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(made) << "the import never made its folder";
  tool.Signal(SIGINT);
  const ToolRun run = tool.Wait();
  EXPECT_EQ(run.code, 128 + SIGINT);
  EXPECT_TRUE(NamesWith(db_.Folder(), ".new.db.importing-").empty());
  EXPECT_FALSE(fs::exists(target));
}

}  // namespace
}  // namespace vantrel::testing
