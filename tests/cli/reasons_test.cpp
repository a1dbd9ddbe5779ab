#include "cli/reasons.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vantrel::cli {
namespace {

std::string FieldName(int32_t tag) { return tag == 0x10000 ? "DESCRIPTION" : ""; }
std::string RecordName(int32_t id) { return id == 1042 ? "TI101" : ""; }

TEST(ReasonsTest, TheDatabasesReasonComesOnceWithNamesForItsNumbers) {
  // A stopped batch names its failing item twice: as the summary and as the item.
  EXPECT_EQ(ReasonInWords("Failed to set value for TI101, DESCRIPTION with error MWDBVALS: field 0x10000 write "
                          "protected now, MWDBVALS: field 0x10000 write protected now",
                          FieldName, RecordName),
            "Failed to set value for TI101, DESCRIPTION: field DESCRIPTION write protected now");
  EXPECT_EQ(ReasonInWords("Failed with error MWDBVALS: no write right on record 1042, MWDBVALS: item 2 failed",
                          FieldName, RecordName),
            "Failed: no write right on record TI101; item 2 failed");
  // Numbers without a name stay; a message without the library's form is kept whole, commas and all.
  EXPECT_EQ(ReasonInWords("x with error F: field 0x20000 keeps no history, record 7 not found", FieldName, RecordName),
            "x: field 0x20000 keeps no history; record 7 not found");
  EXPECT_EQ(ReasonInWords("cannot open a, b: no such file", nullptr, nullptr), "cannot open a, b: no such file");
  EXPECT_EQ(ReasonInWords("record 1042 is busy, record 1042 is busy", nullptr, RecordName),
            "record TI101 is busy, record TI101 is busy");
}

}  // namespace
}  // namespace vantrel::cli
