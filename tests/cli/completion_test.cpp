#include "cli/completion.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "views/errors.h"

namespace vantrel::cli {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A database of two analog records and a pump with a selector.
class FakeNames : public CompletionNames {
 public:
  std::vector<std::string> Records() override { return {"P101", "TI101", "TI1010", "TI102"}; }
  std::vector<std::string> Definitions() override { return {"VN_AnalogDef", "VN_DiscreteDef"}; }
  std::vector<std::string> Fields(const std::string& record) override {
    if (record == "P101") return {"DESCRIPTION", "MODE", "STATE"};
    if (record.rfind("TI", 0) == 0) return {"DESCRIPTION", "TREND", "TREND_COUNT", "VALUE"};
    return {};
  }
  std::vector<std::string> Values(const std::string& record, const std::string& field) override {
    if (record == "P101" && field == "MODE") return {"OFF", "ON", "AUTO"};
    return {};
  }
};

std::vector<std::string> At(std::vector<std::string> words, CompletionNames* names) {
  const std::size_t index = words.size() - 1;
  return Complete(words, index, names);
}

TEST(CompletionTest, CommandsOptionsAndTheirValues) {
  FakeNames names;
  EXPECT_THAT(At({"rea"}, &names), ElementsAre("read", "read-ids", "readonly"));
  EXPECT_THAT(At({"--json", "hi"}, &names), ElementsAre("history", "history-info"));
  EXPECT_THAT(At({"ma"}, &names), ElementsAre("maps"));  // hidden commands (man) stay hidden
  EXPECT_THAT(At({"def"}, &names), ElementsAre("definitions"));
  EXPECT_THAT(At({"history", "TI101", "VALUE", "--ou"}, &names), ElementsAre("--outsiders"));
  EXPECT_THAT(At({"read", "TI101", "--cs"}, &names), ElementsAre("--csv"));  // global options too
  EXPECT_THAT(At({"history", "TI101", "VALUE", "--outsiders", "both"}, &names), ElementsAre("BothA", "BothB", "BothC"));
  EXPECT_THAT(At({"write", "--type", ""}, &names).size(), 7u);
  EXPECT_THAT(At({"call", "GetT"}, &names), ElementsAre("GetTagValues", "GetTagValuesByIds"));
  EXPECT_THAT(At({"completion", ""}, &names), ElementsAre("bash", "zsh"));
  EXPECT_THAT(At({"--database", "pl"}, &names), IsEmpty());  // file names: the shell's own completion
  // Commands inside a command, their arguments and options.
  EXPECT_THAT(At({"server", ""}, &names), ElementsAre("env", "group-folder", "history-limit"));
  EXPECT_THAT(At({"server", "env", "DORVIK_G"}, &names),
              ElementsAre("DORVIK_GROUP_FOLDER_NAME", "DORVIK_GROUP_NAME"));
  EXPECT_THAT(At({"server", "env", "X", "--js"}, &names), ElementsAre("--json"));
  EXPECT_THAT(At({"records", "VN_AnalogDef", "--l"}, &names), ElementsAre("--later", "--like"));  // and global ones
  EXPECT_THAT(At({"records", "VN_AnalogDef", "--li"}, &names), ElementsAre("--like"));
  EXPECT_THAT(At({"refs", "TI101", "--source", ""}, &names), ElementsAre("all", "calc", "fields", "sql"));
}

TEST(CompletionTest, RecordFieldAndSelectorNames) {
  FakeNames names;
  EXPECT_THAT(At({"read", "ti10"}, &names), ElementsAre("TI101", "TI1010", "TI102"));
  EXPECT_THAT(At({"read", "TI101,TI10"}, &names), ElementsAre("TI101,TI101", "TI101,TI1010", "TI101,TI102"));
  EXPECT_THAT(At({"read", "TI101", "TR"}, &names), ElementsAre("TREND", "TREND_COUNT"));
  EXPECT_THAT(At({"read", "TI101,P101", "VALUE", "D"}, &names), ElementsAre("DESCRIPTION"));
  EXPECT_THAT(At({"write", "P101", "MODE", ""}, &names), ElementsAre("AUTO", "OFF", "ON"));
  EXPECT_THAT(At({"write", "P101", "--status", "3", "M"}, &names), ElementsAre("MODE"));
  for (const char* command : {"fields", "records", "maps", "create"}) {
    EXPECT_THAT(At({command, "VN_D"}, &names), ElementsAre("VN_DiscreteDef")) << command;
  }
  EXPECT_THAT(At({"create", "VN_DiscreteDef", "P"}, &names), IsEmpty());  // new names are the user's
  EXPECT_THAT(At({"usable", "TI101", "P"}, &names), ElementsAre("P101"));
  EXPECT_THAT(At({"readonly", "TI101,P1"}, &names), ElementsAre("TI101,P101"));
  EXPECT_THAT(At({"selectors", "P101", "M"}, &names), ElementsAre("MODE"));
  EXPECT_THAT(At({"read", "TI"}, nullptr), IsEmpty());  // no database, no names
}

TEST(CompletionTest, ScriptsForBashAndZsh) {
  EXPECT_THAT(CompletionScript("bash"), ::testing::HasSubstr("complete -o default -F _vntaccess vntaccess"));
  EXPECT_THAT(CompletionScript("zsh"), ::testing::HasSubstr("#compdef vntaccess"));
  EXPECT_THROW(CompletionScript("fish"), UsageError);
}

}  // namespace
}  // namespace vantrel::cli
