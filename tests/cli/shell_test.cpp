#include "cli/shell.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantrel::cli {
namespace {

using Words = std::vector<std::string>;

TEST(ShellTest, LinesSplitLikeAPosixShell) {
  EXPECT_EQ(SplitWords("  read TI101   VALUE\t"), (Words{"read", "TI101", "VALUE"}));
  EXPECT_EQ(SplitWords(R"(write BATCH_ID TEXT_VALUE "B 7, \"north\"" --time '2024-03-06 20:00')"),
            (Words{"write", "BATCH_ID", "TEXT_VALUE", "B 7, \"north\"", "--time", "2024-03-06 20:00"}));
  EXPECT_EQ(SplitWords(R"(a\ b 'it\s' "" x"y"z)"), (Words{"a b", "it\\s", "", "xyz"}));
  EXPECT_EQ(SplitWords(""), Words{});
  for (const char* line : {"write X \"open", "read 'TI101"}) {
    EXPECT_THROW(SplitWords(line), UsageError) << line;
  }
}

}  // namespace
}  // namespace vantrel::cli
