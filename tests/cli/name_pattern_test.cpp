// The name patterns of records --like, without a database.
#include "views/name_pattern.h"

#include <string>

#include <gtest/gtest.h>

namespace vantrel::cli {
namespace {

TEST(NamePatternTest, StarsQuestionMarksAndLettersInAnyCase) {
  const struct {
    const char* name;
    const char* pattern;
    bool matches;
  } cases[] = {
      {"TI101", "TI101", true},
      {"TI101", "ti101", true},
      {"TI101", "TI10", false},  // whole names only
      {"TI101", "TI*", true},
      {"XTI101", "TI*", false},
      {"TI101", "*101", true},
      {"TI1010", "*101", false},
      {"TI101", "*", true},
      {"", "*", true},
      {"", "?", false},
      {"PI201", "?I2??", true},
      {"PI201", "?I2?", false},
      {"TI101_OLD", "T*1*D", true},
      {"TI101_OLD", "T*1*X", false},
      {"a*b", "a\\*b", false},  // no escapes
      {"A*B", "a*b", true},
      {"TI.101", "TI?101", true},
      {"TI101", "TI[1]01", false},
      // A character is a code point: ? stands for all of an accented letter.
      {"Müller", "M?ller", true},
      {"Müller", "M??ller", false},
      {"MÜLLER", "mü*", false},  // ASCII folding only
  };
  for (const auto& test : cases) {
    EXPECT_EQ(MatchesNamePattern(test.name, test.pattern), test.matches) << test.name << " ~ " << test.pattern;
  }
}

TEST(NamePatternTest, ManyStarsOverALongName) {
  // A pattern that fails only at its very end; naive backtracking would try
  // every way to spread the stars over the name.
  const std::string name(2000, 'a');
  EXPECT_FALSE(MatchesNamePattern(name, "*a*a*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(MatchesNamePattern(name + "b", "*a*a*a*a*a*a*a*a*a*a*b"));
}

TEST(NamePatternTest, AnyOfSeveralPatterns) {
  EXPECT_TRUE(MatchesAnyNamePattern("PI201", {"TI*", "pi*"}));
  EXPECT_FALSE(MatchesAnyNamePattern("FI301", {"TI*", "pi*"}));
  EXPECT_FALSE(MatchesAnyNamePattern("FI301", {}));
}

}  // namespace
}  // namespace vantrel::cli
