#include "views/progress.h"

#include <chrono>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantrel::cli {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(ProgressTest, DrawsOnlyPastItsDelayAndClearsItsLine) {
  std::ostringstream quick;
  {
    Progress progress("reading values", 10, quick, std::chrono::hours(1));
    progress.Advance(5);
  }
  EXPECT_EQ(quick.str(), "");  // an operation shorter than the delay shows nothing

  std::ostringstream slow;
  {
    Progress progress("reading values", 10, slow, std::chrono::milliseconds(0));
    progress.Advance(4);
    // The line is drawn by the helper thread; the stream is read after it joined.
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  // With no delay the helper may draw once before the advance (0/10) when the machine is busy.
  EXPECT_THAT(slow.str(), StartsWith("\r\033[Kreading values "));
  EXPECT_THAT(slow.str(), HasSubstr("\r\033[Kreading values 4/10, 0 s"));
  EXPECT_THAT(slow.str(), EndsWith("\r\033[K"));
}

TEST(ProgressTest, AQuietThreadDrawsNothingAndTheNextScopeDrawsAgain) {
  std::ostringstream served;
  {
    QuietProgress quiet;
    {
      QuietProgress nested;
    }
    Progress progress("reading values", 10, served, std::chrono::milliseconds(0));
    progress.Advance(4);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(served.str(), "");  // still quiet after the nested scope ended
  std::ostringstream after;
  {
    Progress progress("reading values", 10, after, std::chrono::milliseconds(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_THAT(after.str(), StartsWith("\r\033[Kreading values "));
}

}  // namespace
}  // namespace vantrel::cli
