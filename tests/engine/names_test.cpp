// Names, identifiers, record kinds, record creation, references and lists.
#include <set>

#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

using dorvik::api::FieldTag;
using dorvik::api::kFieldNameBufferSize;

class NamesTest : public EngineTest {};

TEST_F(NamesTest, RecordNamesMatchCaseInsensitivelyAndComeBackAsStored) {
  const int32_t id = Id("tag1");
  ASSERT_GT(id, 0);
  EXPECT_EQ(Id("TAG1"), id);
  EXPECT_EQ(Id("NOPE"), 0);
  EXPECT_EQ(NAME2RECID("TAG1", 0), 0);
  EXPECT_EQ(NAME2RECID(nullptr, 4), 0);
  char name[dorvik::api::kNameBufferSize];
  int16_t length = -1;
  GETNAMDB_LNAME(&id, name, &length);
  EXPECT_EQ(std::string(name, static_cast<std::size_t>(length)), "TAG1");
  const int32_t unknown = 777777;
  GETNAMDB_LNAME(&unknown, name, &length);
  EXPECT_EQ(length, 0);
}

TEST_F(NamesTest, FieldNamesDecodeWithAndWithoutOccurrence) {
  const int32_t trend = Tag("TREND");
  ASSERT_GT(trend, 0);
  EXPECT_EQ(Tag("2 trend"), trend + 2);
  EXPECT_EQ(Tag("  3   TREND "), trend + 3);
  int32_t tag = 12345;
  ERRBLOCK error{};
  DECODFT("NO_SUCH", 7, &tag, &error);
  EXPECT_EQ(error.ERRCODE, -21);
  EXPECT_EQ(tag, 12345);
  DECODFT("0 TREND", 7, &tag, &error);
  EXPECT_NE(error.ERRCODE, 0);

  char name[kFieldNameBufferSize];
  int16_t length = 0;
  GETFTDB_LNAME(Id("TAG1"), trend + 2, name, &length);
  EXPECT_EQ(std::string(name, static_cast<std::size_t>(length)), "2 TREND");
  GETFTDB_LNAME(Id("TAG1"), Tag("UNITS"), name, &length);
  EXPECT_EQ(std::string(name, static_cast<std::size_t>(length)), "UNITS");
  GETFTDB_LNAME(Id("VN_Task1"), Tag("UNITS"), name, &length);
  EXPECT_EQ(length, 0);
}

TEST_F(NamesTest, DefinitionsKindsAndUsability) {
  const int32_t tag1 = Id("TAG1");
  const int32_t definition = DEFINID(tag1);
  EXPECT_EQ(definition, Id("VN_AnalogDef"));
  EXPECT_NE(RECTYPEOK(definition, -4), 0);
  EXPECT_EQ(RECTYPEOK(tag1, -4), 0);
  EXPECT_NE(RECTYPEOK(tag1, -3), 0);
  EXPECT_EQ(RECTYPEOK(tag1, -19), 0);
  EXPECT_NE(RECTYPEOK(Id("VN_Task1"), -19), 0);
  EXPECT_EQ(DEFINID(-5), 0);
  EXPECT_NE(VALIDUSA(tag1), 0);
  EXPECT_EQ(VALIDUSA(Id("OFFLINE")), 0);

  ERRBLOCK error{};
  MAKUSABL(Id("OFFLINE"), &error);
  EXPECT_EQ(error.ERRCODE, -11) << "a thread without a user may not change records";
  SetTlsData("DOM", "writer");
  MAKUSABL(Id("OFFLINE"), &error);
  EXPECT_EQ(error.ERRCODE, 0);
  EXPECT_NE(VALIDUSA(Id("OFFLINE")), 0);
  MAKUNUSA(999999, &error);
  EXPECT_EQ(error.ERRCODE, -3);
}

TEST_F(NamesTest, CreateRecordChecksEverythingAndStartsUnusableWithDefaults) {
  SetTlsData("DOM", "writer");
  const int32_t definition = Id("VN_AnalogDef");
  int32_t id = 0;
  NXTFREE(1, &id);
  ASSERT_GT(id, 0);
  ERRBLOCK error{};
  CREATERECORD(id, definition, 0, 0, "NEW_TAG", 7, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(Id("new_tag"), id);
  EXPECT_EQ(VALIDUSA(id), 0);
  EXPECT_EQ(*CurrentText("NEW_TAG", "VALUE"), "0");
  int32_t next = 0;
  NXTFREE(1, &next);
  EXPECT_GT(next, id);

  CREATERECORD(next, definition, 0, 0, "new_tag", 7, &error);
  EXPECT_EQ(error.ERRCODE, -15);
  CREATERECORD(id, definition, 0, 0, "OTHER", 5, &error);
  EXPECT_EQ(error.ERRCODE, -16);
  CREATERECORD(next, Id("TAG1"), 0, 0, "OTHER", 5, &error);
  EXPECT_EQ(error.ERRCODE, -18);
  CREATERECORD(next, definition, 0, 0, "BAD\tNAME", 8, &error);
  EXPECT_EQ(error.ERRCODE, -14);
  CREATERECORD(next, definition, 0, 0, " LEADING", 8, &error);
  EXPECT_EQ(error.ERRCODE, -14);
  CREATERECORD(next, definition, 1, 0, "OTHER", 5, &error);
  EXPECT_EQ(error.ERRCODE, -2);
  SetTlsData("DOM", "reader");
  CREATERECORD(next, definition, 0, 0, "OTHER", 5, &error);
  EXPECT_EQ(error.ERRCODE, -11);
  NXTFREE(2, &next);
  EXPECT_EQ(next, 0);
}

TEST_F(NamesTest, ReferencesWalkDefinitionsThenPointerFieldsInOrder) {
  const int32_t tag1 = Id("TAG1"), tag2 = Id("TAG2");
  int32_t record = 0, field = 0;
  NXTREFER(tag1, 0, &record, &field);
  EXPECT_EQ(record, tag2);
  EXPECT_EQ(field, Tag("SOURCE"));
  NXTREFER(tag1, 0, &record, &field);
  EXPECT_EQ(record, tag2);
  EXPECT_EQ(field, Tag("SOURCE_FIELD"));
  NXTREFER(tag1, 0, &record, &field);
  EXPECT_EQ(record, 0);

  // Records of a definition reference it with field tag 0.
  std::set<int32_t> referencing;
  record = field = 0;
  for (NXTREFER(Id("VN_AnalogDef"), 0, &record, &field); record != 0; NXTREFER(Id("VN_AnalogDef"), 0, &record, &field)) {
    EXPECT_EQ(field, 0);
    referencing.insert(record);
  }
  EXPECT_EQ(referencing, (std::set<int32_t>{tag1, tag2, Id("OFFLINE")}));
  record = field = 0;
  NXTREFER(0, 0, &record, &field);
  EXPECT_EQ(record, 0);
}

TEST_F(NamesTest, RecordListsContinueFromThePosition) {
  const int32_t definition = Id("VN_AnalogDef");
  int32_t ids[2];
  char flags[2];
  char names[2 * kFieldNameBufferSize];
  int16_t lengths[2];
  int32_t count = 0, cursor = 0;
  GETRECORDLIST_LNAME(1, definition, 1, 1, 0, nullptr, 2, &cursor, ids, flags, names, lengths, &count);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(std::string(names, static_cast<std::size_t>(lengths[0])), "TAG1");
  EXPECT_EQ(flags[0], 1);
  GETRECORDLIST_LNAME(1, definition, 1, 1, 0, nullptr, 2, &cursor, ids, flags, names, lengths, &count);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(std::string(names, static_cast<std::size_t>(lengths[0])), "OFFLINE");
  EXPECT_EQ(flags[0], 0);
  GETRECORDLIST_LNAME(1, definition, 1, 1, 0, nullptr, 2, &cursor, ids, flags, names, lengths, &count);
  EXPECT_EQ(count, 0);
  cursor = 0;
  GETRECORDLIST_LNAME(1, definition, 1, 1, 0, nullptr, 0, &cursor, ids, flags, names, lengths, &count);
  EXPECT_EQ(count, 0);

  std::set<std::string> definitions;
  cursor = 0;
  do {
    GETRECORDLIST_LNAME(2, 0, 1, 1, 0, nullptr, 2, &cursor, ids, flags, names, lengths, &count);
    for (int i = 0; i < count; ++i) {
      definitions.insert(std::string(names + i * kFieldNameBufferSize, static_cast<std::size_t>(lengths[i])));
    }
  } while (count == 2);
  EXPECT_EQ(definitions, (std::set<std::string>{"VN_DefinitionDef", "VN_FieldDef", "VN_SelectorDef", "VN_TaskDef",
                                                "VN_AnalogDef"}));
}

TEST_F(NamesTest, FieldListPagesInNumberOrderWithDatabaseFieldsFlagged) {
  int32_t cursor = 0, count = 0;
  int32_t valuesA[4];
  int16_t valuesB[4];
  char flags[4];
  char names[4 * kFieldNameBufferSize];
  int16_t lengths[4];
  std::vector<std::string> userFields;
  int databaseFields = 0;
  int previous = 0;
  do {
    GETFLDNAMS_LNAME(&cursor, 0, nullptr, 0, 0, 0, 4, valuesA, valuesB, flags, names, lengths, &count);
    for (int i = 0; i < count; ++i) {
      EXPECT_GT(valuesB[i], previous);
      previous = valuesB[i];
      int16_t number = 0;
      ERRBLOCK error{};
      DB2SHRT(valuesA[i], 0x100A0000, &number, &error);
      EXPECT_EQ(number, valuesB[i]);
      const std::string name(names + i * kFieldNameBufferSize, static_cast<std::size_t>(lengths[i]));
      if (flags[i] != 0) {
        ++databaseFields;
      } else {
        userFields.push_back(name);
      }
    }
  } while (count > 0);
  EXPECT_EQ(userFields.front(), "TASK_STATE");
  EXPECT_EQ(userFields.size(), 12u);
  EXPECT_EQ(databaseFields, 16);
}

}  // namespace
}  // namespace dorvik::testing
