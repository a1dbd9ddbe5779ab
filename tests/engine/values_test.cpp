// GETDATATYPES, reads, writes, occurrence reads, field definitions,
// permissions and history flags.
#include <cstring>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

using dorvik::api::FieldTag;

template <typename T>
T As(const std::vector<std::byte>& buffer) {
  T value;
  std::memcpy(&value, buffer.data(), sizeof value);
  return value;
}

class ValuesTest : public EngineTest {};

TEST_F(ValuesTest, DataTypesFollowTheFieldKindsAndRejectItemByItem) {
  const int32_t tag1 = Id("TAG1");
  const IDANDFT items[] = {{tag1, Tag("VALUE")},         {tag1, Tag("UNITS")},     {tag1, Tag("MODE")},
                           {tag1, Tag("COUNT32")},       {tag1, Tag("LAST_CHANGE")}, {tag1, Tag("TREND_COUNT")},
                           {tag1, Tag("TREND") + 3},     {tag1, Tag("TREND") + 4}, {tag1, Tag("SOURCE")},
                           {tag1, Tag("SOURCE_FIELD")}, {tag1, Tag("SETPOINT")},  {999999, Tag("VALUE")},
                           {tag1, Tag("TASK_STATE")},    {tag1, Tag("UNITS") + 1}, {tag1, Tag("TREND")}};
  constexpr int kCount = sizeof items / sizeof items[0];
  int16_t types[kCount];
  ERRBLOCK errors[kCount];
  GETDATATYPES(kCount, items, types, errors);
  const int16_t expected[] = {-21, 8, -3, -4, -17, -3, -5, 0, -1, -2, -18, 0, 0, 0, -5};
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(types[i], expected[i]) << "item " << i;
  const int16_t codes[] = {0, 0, 0, 0, 0, 0, 0, -5, 0, 0, 0, -3, -4, -5, 0};
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(errors[i].ERRCODE, codes[i]) << "item " << i;
}

TEST_F(ValuesTest, ReadsConvertToEveryRequestedType) {
  const int32_t tag1 = Id("TAG1");
  ERRBLOCK error{};
  const auto quality = As<DVANDQU>(Read(tag1, Tag("VALUE"), -21, sizeof(DVANDQU), error));
  EXPECT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(quality.VALUE, 12.5);
  EXPECT_EQ(quality.STATUS, 1);
  EXPECT_EQ(quality.LEVEL, 3);
  EXPECT_EQ(quality.TIME.SECONDS, 1000);
  // 12.5 rounds half to even.
  EXPECT_EQ(As<int16_t>(Read(tag1, Tag("VALUE"), -3, 2, error)), 12);
  EXPECT_EQ(As<float>(Read(tag1, Tag("VALUE"), -5, 4, error)), 12.5f);
  EXPECT_EQ(ReadText(tag1, Tag("VALUE"), error), "12.5");
  EXPECT_EQ(ReadText(tag1, Tag("MODE"), error), "2");
  EXPECT_EQ(ReadText(tag1, Tag("TREND") + 2, error), "2.5");
  EXPECT_EQ(ReadText(Id("TAG2"), Tag("SOURCE"), error), "TAG1");
  EXPECT_EQ(ReadText(Id("TAG2"), Tag("SOURCE_FIELD"), error), "TAG1 VALUE");
  const auto pointer = As<IDANDFT>(Read(Id("TAG2"), Tag("SOURCE_FIELD"), -2, 8, error));
  EXPECT_EQ(pointer.ID, tag1);
  EXPECT_EQ(pointer.FT, Tag("VALUE"));
  // A field without quality reads status 0, level 0 and its write time (0: never written).
  const auto mode = As<SVANDQU>(Read(tag1, Tag("MODE"), -18, sizeof(SVANDQU), error));
  EXPECT_EQ(mode.VALUE, 2);
  EXPECT_EQ(mode.STATUS, 0);
  EXPECT_EQ(mode.TIME.SECONDS, 0);
  // Text to number parses; text that does not parse is a conversion error.
  SetTlsData("DOM", "writer");
  EXPECT_EQ(WriteText(tag1, Tag("UNITS"), " 42 ").ERRCODE, 0);
  EXPECT_EQ(As<int32_t>(Read(tag1, Tag("UNITS"), -4, 4, error)), 42);
  WriteText(tag1, Tag("UNITS"), "degC");
  Read(tag1, Tag("UNITS"), -4, 4, error);
  EXPECT_EQ(error.ERRCODE, -7);
}

TEST_F(ValuesTest, FixedWidthAndTextReadsPadAndNeverOverrunTheCapacity) {
  ERRBLOCK error{};
  const auto padded = Read(Id("TAG1"), Tag("UNITS"), 6, 6, error);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(padded.data()), 6), "degC  ");
  char name[256];
  const auto record = Read(Id("TAG1"), 0x10020000, 256, 256, error);
  std::memcpy(name, record.data(), 256);
  EXPECT_EQ(std::string(name, 6), "TAG1  ");
  // Capacity 3 leaves room for the caller's terminator: two characters.
  EXPECT_EQ(ReadText(Id("TAG1"), Tag("UNITS"), error, 3), "de");
  TVANDQU missing{};
  missing.LENGTH = 10;
  IDANDFT item{Id("TAG1"), Tag("UNITS")};
  const int16_t type = -24;
  int16_t done = 0;
  MRDBVALS(1, &item, &type, &missing, &done, &error);
  EXPECT_EQ(error.ERRCODE, -2);
  EXPECT_EQ(done, 0);
}

TEST_F(ValuesTest, BatchReadStopsAtTheFirstFailureWithASummary) {
  const IDANDFT items[] = {
      {Id("TAG1"), Tag("MODE")}, {Id("TAG1"), Tag("MODE")}, {12345, Tag("MODE")}, {Id("TAG1"), Tag("MODE")}};
  const int16_t types[] = {-3, -3, -3, -3};
  int16_t values[4] = {};
  ERRBLOCK errors[4];
  std::memset(errors, 0x7F, sizeof errors);
  int16_t done = -1;
  MRDBVALS(4, items, types, values, &done, errors);
  EXPECT_EQ(done, 2);
  EXPECT_EQ(values[1], 2);
  EXPECT_EQ(errors[2].ERRCODE, -3);
  EXPECT_EQ(errors[2].ERRDETAIL, 12345);
  EXPECT_EQ(errors[0].ERRCODE, -13);
  EXPECT_EQ(Message(errors[2]), "MRDBVALS: record 12345 not found");
  EXPECT_EQ(Message(errors[0]), "MRDBVALS: item 2 failed: record not found");
  EXPECT_EQ(errors[1].ERRCODE, 0);
}

TEST_F(ValuesTest, WritesCheckExistenceDatabaseFieldsRightsAndProtectionInOrder) {
  const int32_t tag1 = Id("TAG1");
  // A thread without a user may read but not write.
  EXPECT_EQ(WriteDouble(tag1, Tag("VALUE"), 1).ERRCODE, -11);
  SetTlsData("DOM", "writer");
  EXPECT_EQ(WriteDouble(tag1, Tag("VALUE"), 7.25, 2, 4, XUSTS{2000, 5}).ERRCODE, 0);
  ERRBLOCK error{};
  EXPECT_EQ(As<DVANDQU>(Read(tag1, Tag("VALUE"), -21, 24, error)).TIME.MICROSECS, 5);
  EXPECT_EQ(WriteDouble(tag1, 0x10020000, 1).ERRCODE, -10);
  EXPECT_EQ(WriteDouble(424242, Tag("VALUE"), 1).ERRCODE, -3);
  // SETPOINT may change only while its record is usable.
  EXPECT_EQ(WriteDouble(Id("OFFLINE"), Tag("SETPOINT"), 1).ERRCODE, -12);
  EXPECT_EQ(WriteDouble(tag1, Tag("SETPOINT"), 1e9).ERRCODE, -8);
  EXPECT_EQ(WriteText(tag1, Tag("UNITS"), "far too long").ERRCODE, -9);
  EXPECT_EQ(*CurrentText("TAG1", "UNITS"), "degC");
  SetTlsData("DOM", "reader");
  EXPECT_EQ(WriteDouble(tag1, Tag("VALUE"), 1).ERRCODE, -11);
  SetTlsData("vnt", "VNTSYSTEM");
  EXPECT_EQ(WriteDouble(tag1, Tag("VALUE"), 1).ERRCODE, 0);
}

TEST_F(ValuesTest, ASelectorFieldTakesOnlyTheSelectorsEntries) {
  SetTlsData("DOM", "writer");
  const IDANDFT item{Id("TAG1"), Tag("MODE")};  // VN_OnOffAuto: 0 OFF, 1 ON, 2 AUTO
  const int16_t type = dorvik::api::kTypeInt16;
  int16_t done = 0;
  ERRBLOCK error{};
  for (const int16_t refused : {int16_t{3}, int16_t{7}, int16_t{-1}}) {
    MWDBVALS(1, &item, &type, &refused, &done, &error);
    EXPECT_EQ(error.ERRCODE, kErrOutOfRange) << refused;
    EXPECT_EQ(done, 0);
  }
  EXPECT_EQ(Message(error), fmt::format("MWDBVALS: value of 0x{:X} out of range", Tag("MODE")));
  EXPECT_EQ(*CurrentText("TAG1", "MODE"), "2");
  const int16_t offered = 0;
  MWDBVALS(1, &item, &type, &offered, &done, &error);
  EXPECT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(*CurrentText("TAG1", "MODE"), "0");
  // A text naming an entry's number converts like any number.
  EXPECT_EQ(WriteText(Id("TAG1"), Tag("MODE"), "1").ERRCODE, 0);
  EXPECT_EQ(WriteText(Id("TAG1"), Tag("MODE"), "4").ERRCODE, kErrOutOfRange);
}

TEST_F(ValuesTest, BatchWriteKeepsItemsBeforeTheFailure) {
  SetTlsData("DOM", "writer");
  const IDANDFT items[] = {{Id("TAG1"), Tag("MODE")}, {Id("TAG1"), Tag("UNITS")}, {Id("TAG1"), Tag("COUNT32")}};
  const int16_t types[] = {-3, 4, -3};
  unsigned char buffer[2 + 4 + 2];
  const int16_t mode = 1, count = 9;
  std::memcpy(buffer, &mode, 2);
  std::memcpy(buffer + 2, "xxxx", 4);
  std::memcpy(buffer + 6, &count, 2);
  InjectFault("MWDBVALS", -99, 2);
  ERRBLOCK errors[3];
  int16_t done = 0;
  MWDBVALS(3, items, types, buffer, &done, errors);
  EXPECT_EQ(done, 2);
  EXPECT_EQ(errors[2].ERRCODE, -99);
  EXPECT_EQ(errors[0].ERRCODE, -13);
  EXPECT_EQ(*CurrentText("TAG1", "MODE"), "1");
  EXPECT_EQ(*CurrentText("TAG1", "UNITS"), "xxxx");
  EXPECT_EQ(*CurrentText("TAG1", "COUNT32"), "0");
}

TEST_F(ValuesTest, CountFieldsResizeTheirRepeatAreaAndWritesAppendHistoryAndActivate) {
  SetTlsData("DOM", "writer");
  const int32_t tag1 = Id("TAG1");
  IDANDFT item{tag1, Tag("TREND_COUNT")};
  const int16_t type = -3;
  int16_t count = 5, done = 0;
  ERRBLOCK error{};
  MWDBVALS(1, &item, &type, &count, &done, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(*CurrentText("TAG1", "1 TREND"), "1.5");
  EXPECT_EQ(*CurrentText("TAG1", "5 TREND"), "0");
  count = 1;
  MWDBVALS(1, &item, &type, &count, &done, &error);
  EXPECT_FALSE(CurrentText("TAG1", "2 TREND").has_value());

  EXPECT_EQ(HistoryCount("TAG1", "VALUE"), 5);
  WriteDouble(tag1, Tag("VALUE"), 9, 0, 2, XUSTS{250, 0});
  EXPECT_EQ(HistoryCount("TAG1", "VALUE"), 6);

  EXPECT_EQ(PendingActivations("VN_Task1"), 0);
  EXPECT_EQ(WriteDouble(tag1, Tag("SETPOINT"), 3).ERRCODE, 0);
  EXPECT_EQ(PendingActivations("VN_Task1"), 1);
}

// One MWDBVALS call's items and their values laid end to end.
class WriteBatch {
 public:
  WriteBatch& Add(int32_t id, int32_t tag, int16_t type, const void* value, std::size_t size) {
    items_.push_back(IDANDFT{id, tag});
    types_.push_back(type);
    const auto* bytes = static_cast<const unsigned char*>(value);
    buffer_.insert(buffer_.end(), bytes, bytes + size);
    return *this;
  }
  WriteBatch& Real(int32_t id, int32_t tag, double value, int32_t seconds) {
    const DVANDQU sample{value, 0, 1, XUSTS{seconds, 0}, 0};
    return Add(id, tag, dorvik::api::kTypeDoubleQuality, &sample, sizeof sample);
  }
  WriteBatch& Short(int32_t id, int32_t tag, int16_t value) { return Add(id, tag, -3, &value, sizeof value); }
  // Writes the batch; returns how many items were written.
  int16_t Write(std::vector<ERRBLOCK>& errors) const {
    errors.assign(items_.size(), ERRBLOCK{});
    int16_t done = 0;
    MWDBVALS(static_cast<int16_t>(items_.size()), items_.data(), types_.data(), buffer_.data(), &done,
             errors.data());
    return done;
  }

 private:
  std::vector<IDANDFT> items_;
  std::vector<int16_t> types_;
  std::vector<unsigned char> buffer_;
};

// A batch moving between records, with record sizes changing and other
// tables written between a record's lookup and its put, leaves each record
// with exactly its own values and each series with its own samples.
TEST_F(ValuesTest, BatchesAlternatingBetweenRecordsWriteEachRecordItsOwnValues) {
  SetTlsData("DOM", "writer");
  const int32_t tag1 = Id("TAG1"), tag2 = Id("TAG2");
  const int32_t value = Tag("VALUE"), trendCount = Tag("TREND_COUNT"), setpoint = Tag("SETPOINT");
  WriteBatch batch;
  batch.Real(tag1, value, 1.5, 2000)
      .Real(tag2, value, 2.5, 2000)
      .Short(tag1, trendCount, 4)  // TAG1 grows: not replaced in place
      .Add(tag2, Tag("UNITS"), 4, "abcd", 4)
      .Real(tag1, value, 3.5, 2001)
      .Short(tag1, setpoint, 3)  // queues an activation between lookup and put
      .Real(tag2, value, 4.5, 2001)
      .Real(tag1, Tag("4 TREND"), 6.5, 2002)
      .Short(tag2, trendCount, 2)
      .Real(tag2, Tag("2 TREND"), 7.5, 2002);
  std::vector<ERRBLOCK> errors;
  ASSERT_EQ(batch.Write(errors), 10) << Message(errors[0]);

  EXPECT_EQ(*CurrentText("TAG1", "VALUE"), "3.5");
  EXPECT_EQ(*CurrentText("TAG2", "VALUE"), "4.5");
  EXPECT_EQ(*CurrentText("TAG1", "UNITS"), "degC");
  EXPECT_EQ(*CurrentText("TAG2", "UNITS"), "abcd");
  EXPECT_EQ(*CurrentText("TAG1", "SETPOINT"), "3");
  EXPECT_EQ(*CurrentText("TAG2", "SETPOINT"), "0");
  EXPECT_EQ(*CurrentText("TAG1", "1 TREND"), "1.5");
  EXPECT_EQ(*CurrentText("TAG1", "4 TREND"), "6.5");
  EXPECT_EQ(*CurrentText("TAG2", "2 TREND"), "7.5");
  EXPECT_FALSE(CurrentText("TAG2", "3 TREND").has_value());
  EXPECT_EQ(HistoryCount("TAG1", "VALUE"), 5 + 2);
  EXPECT_EQ(HistoryCount("TAG2", "VALUE"), 2);
  EXPECT_EQ(PendingActivations("VN_Task1"), 1);

  // A batch stopped by a refused item keeps the items before it; the next
  // batch starts afresh.
  WriteBatch stopped;
  stopped.Real(tag2, value, 8.5, 2003).Real(Id("OFFLINE"), setpoint, 1, 2003).Real(tag1, value, 9.5, 2003);
  EXPECT_EQ(stopped.Write(errors), 1);
  EXPECT_EQ(errors[1].ERRCODE, -12);
  WriteBatch next;
  next.Real(tag1, value, 10.5, 2004).Real(tag2, value, 11.5, 2004);
  ASSERT_EQ(next.Write(errors), 2) << Message(errors[0]);
  EXPECT_EQ(*CurrentText("TAG1", "VALUE"), "10.5");
  EXPECT_EQ(*CurrentText("TAG2", "VALUE"), "11.5");
  EXPECT_EQ(HistoryCount("TAG1", "VALUE"), 5 + 3);
  EXPECT_EQ(HistoryCount("TAG2", "VALUE"), 4);
  EXPECT_TRUE(CheckDatabase().ok());
}

TEST_F(ValuesTest, DefinitionRecordsExposeTheirColumnsThroughOccurrenceReads) {
  const int32_t definition = DEFINID(Id("TAG1"));
  int16_t header[2] = {};
  const int32_t headerTags[] = {0x100B0000, 0x100E0000};
  const int16_t headerTypes[] = {-3, -3};
  int16_t done = 0;
  ERRBLOCK error{};
  RDBVALS(definition, 2, headerTags, headerTypes, header, &done, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  ASSERT_EQ(header[0], 11);
  std::vector<int32_t> descriptions(11), selectors(11);
  std::vector<int16_t> dataTypes(11), repeatAreas(11);
  const int32_t tags[] = {0x10160000, 0x10150000, 0x10130000, 0x10170000};
  const int16_t types[] = {-1, -3, -3, -1};
  void* const buffers[] = {descriptions.data(), dataTypes.data(), repeatAreas.data(), selectors.data()};
  int16_t occurrences = 0, fields = 0;
  MRDBOCCS(definition, 4, tags, types, 1, 11, buffers, &occurrences, &fields, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(occurrences, 11);
  EXPECT_EQ(dataTypes[0], 3);
  EXPECT_EQ(repeatAreas[6], 6);
  EXPECT_EQ(selectors[2], Id("VN_OnOffAuto"));
  int16_t number = 0;
  DB2SHRT(descriptions[1], 0x100A0000, &number, &error);
  EXPECT_EQ(FieldTag(number), Tag("UNITS"));
  // first 1 and last 0 read nothing and succeed; last beyond the count fails.
  MRDBOCCS(definition, 4, tags, types, 1, 0, buffers, &occurrences, &fields, &error);
  EXPECT_EQ(error.ERRCODE, 0);
  MRDBOCCS(definition, 4, tags, types, 1, 12, buffers, &occurrences, &fields, &error);
  EXPECT_EQ(error.ERRCODE, -5);
}

TEST_F(ValuesTest, SelectorRecordsGiveTheirTextsAtTheirWidth) {
  const int32_t selector = Id("VN_OnOffAuto");
  FIELDDEFN definition{};
  int16_t dataType = 0;
  ERRBLOCK error{};
  FIELDDEFNINFO(selector, 0x10080000, 0, &definition, &dataType, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(definition.DATATYPE, 7);
  char texts[3 * 8];
  std::memset(texts, 0, sizeof texts);
  const int32_t tag = 0x10080000;
  const int16_t type = 7;
  void* const buffers[] = {texts};
  int16_t occurrences = 0, fields = 0;
  MRDBOCCS(selector, 1, &tag, &type, 1, 3, buffers, &occurrences, &fields, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(std::string(texts + 16, 7), "AUTO   ");
}

TEST_F(ValuesTest, FieldDefinitionsPermissionsAndHistoryFlags) {
  const int32_t tag1 = Id("TAG1");
  FIELDDEFN definition{};
  ERRBLOCK error{};
  FIELDDEFNINFO(tag1, Tag("SETPOINT"), 0, &definition, nullptr, &error);
  EXPECT_EQ(definition.CHGUSABLE, 1);
  EXPECT_EQ(definition.CHGUNUSABLE, 0);
  EXPECT_EQ(definition.DATATYPE, -18);
  EXPECT_STREQ(definition.NAME, "SETPOINT");
  FIELDDEFNINFO(tag1, Tag("DESCRIPTION"), 0, &definition, nullptr, &error);
  EXPECT_EQ(definition.OPERCHANGE, 0);
  EXPECT_EQ(definition.OPERSTRICT, 1);

  int32_t allowed = -1, level = -1;
  GETFLDPERMIS(tag1, Tag("VALUE"), 2, &allowed, &level, &error);
  EXPECT_EQ(allowed, 0);
  SetTlsData("DOM", "Writer");
  GETFLDPERMIS(tag1, Tag("VALUE"), 2, &allowed, &level, &error);
  EXPECT_EQ(allowed, 1);
  EXPECT_EQ(level, 2);
  RevokePermission("DOM\\writer", "VN_AnalogDef");
  GETFLDPERMIS(tag1, Tag("VALUE"), 2, &allowed, &level, &error);
  EXPECT_EQ(allowed, 1) << "the snapshot holds until the context is refreshed";
  REFRESHUSERCONTEXT(0, &error);
  GETFLDPERMIS(tag1, Tag("VALUE"), 2, &allowed, &level, &error);
  EXPECT_EQ(allowed, 0);

  const IDANDFT items[] = {
      {tag1, Tag("VALUE")}, {tag1, Tag("DESCRIPTION")}, {tag1, Tag("TASK_STATE")}, {tag1, Tag("UNITS")}};
  int32_t flags[4] = {};
  int32_t done = 0;
  FieldHistoryInfo(4, items, &done, flags, &error);
  EXPECT_EQ(done, 2);
  EXPECT_EQ(flags[0], 1);
  EXPECT_EQ(flags[1], 3);
  EXPECT_EQ(error.ERRCODE, -4);
}

TEST_F(ValuesTest, NullBuffersAndNegativeCountsAreErrors) {
  int16_t done = 5;
  ERRBLOCK error{};
  RDBVALS(Id("TAG1"), -1, nullptr, nullptr, nullptr, &done, &error);
  EXPECT_EQ(error.ERRCODE, -2);
  EXPECT_EQ(done, 0);
  const int32_t tag = Tag("MODE");
  RDBVALS(Id("TAG1"), 1, &tag, nullptr, nullptr, &done, &error);
  EXPECT_EQ(error.ERRCODE, -2);
  const int16_t unsupported = -9;
  int64_t sink = 0;
  RDBVALS(Id("TAG1"), 1, &tag, &unsupported, &sink, &done, &error);
  EXPECT_EQ(error.ERRCODE, -6);
  GETDATATYPES(1, nullptr, nullptr, nullptr);
  Reset();
  RDBVALS(1, 1, &tag, &unsupported, &sink, &done, &error);
  EXPECT_EQ(error.ERRCODE, -1);
}

}  // namespace
}  // namespace dorvik::testing
