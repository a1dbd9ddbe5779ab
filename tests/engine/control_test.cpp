// The builder's checks and the conversions a client sees through it.
#include <cstring>

#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

std::string BuildError(DatabaseBuilder builder) {
  try {
    Install(builder);
  } catch (const DatabaseError& error) {
    return error.what();
  }
  return "built";
}

DatabaseBuilder WithDefinition(std::vector<FieldSpec> fields) {
  DatabaseBuilder builder;
  builder.Definition("VN_TestDef", std::move(fields));
  return builder;
}

class ControlTest : public EngineTest {};

TEST_F(ControlTest, BuilderRejectsInconsistentDefinitions) {
  EXPECT_EQ(BuildError(WithDefinition({FieldSpec::Real("A").InRepeatArea("MISSING")})),
            "database builder: definition \"VN_TestDef\": field \"A\": the definition has no count field \"MISSING\"");
  EXPECT_EQ(BuildError(WithDefinition({FieldSpec::Integer("N"), FieldSpec::Real("A").InRepeatArea("N")})),
            "database builder: definition \"VN_TestDef\": field \"A\": \"N\" is not a count field of the fixed area");
  EXPECT_EQ(BuildError(WithDefinition({FieldSpec::Real("A"), FieldSpec::Real("a")})),
            "database builder: definition \"VN_TestDef\": the field \"a\" is listed twice");
  EXPECT_EQ(BuildError(WithDefinition({FieldSpec::Integer("A").WithSelector("NOPE")})),
            "database builder: definition \"VN_TestDef\": field \"A\": \"NOPE\" is not a selector record");
  EXPECT_EQ(BuildError(WithDefinition({FieldSpec::Text("A", 0)})),
            "database builder: definition \"VN_TestDef\": field \"A\": a character field has length 1 to 4096");
  EXPECT_EQ(BuildError(WithDefinition({FieldSpec::Integer("1BAD")})),
            "database builder: definition \"VN_TestDef\": field \"1BAD\": \"1BAD\" is not a valid field name");
  EXPECT_EQ(BuildError(WithDefinition({FieldSpec::Integer("A").ActivatesTask("VN_TestDef")})),
            "database builder: definition \"VN_TestDef\": \"VN_TestDef\" is not an external task record");
  DefinitionOptions options;
  options.kinds = {-4};
  DatabaseBuilder kinds;
  kinds.Definition("VN_TestDef", {}, options);
  EXPECT_EQ(BuildError(std::move(kinds)), "database builder: definition \"VN_TestDef\": record kind -4 is not one of -3, -5, -19");
}

TEST_F(ControlTest, BuilderRejectsBadRecordsAndValues) {
  DatabaseBuilder builder = WithDefinition({FieldSpec::Integer("SMALL", 7, false), FieldSpec::Count("C"),
                                            FieldSpec::Real("R").InRepeatArea("C")});
  builder.Record("REC", "VN_TestDef").Set("REC", "SMALL", 300);
  EXPECT_EQ(BuildError(std::move(builder)),
            "database builder: record \"REC\"/values/SMALL: the value is not valid for the field: value out of range");
  DatabaseBuilder repeated = WithDefinition({FieldSpec::Count("C"), FieldSpec::Real("R").InRepeatArea("C")});
  repeated.Record("REC", "VN_TestDef").Set("REC", "R", 1.0);
  EXPECT_EQ(BuildError(std::move(repeated)),
            "database builder: record \"REC\"/values/R: a repeated field takes a list or \"N NAME\"");
  DatabaseBuilder history = WithDefinition({FieldSpec::Real("R")});
  history.Record("REC", "VN_TestDef").History("REC", "R", {{At(1), 1.0, 0}});
  EXPECT_EQ(BuildError(std::move(history)), "database builder: history of \"REC\" \"R\": the field keeps no history");
  DatabaseBuilder names;
  names.Definition("SAME", {}).Record("same", "SAME");
  EXPECT_EQ(BuildError(std::move(names)), "database builder: record \"same\": the record name \"same\" is already used");
  EXPECT_THROW(DatabaseBuilder().Set("NOBODY", "F", 1), DatabaseError);
}

TEST_F(ControlTest, OccurrencesSetByNumberGrowTheArea) {
  DatabaseBuilder builder = WithDefinition({FieldSpec::Count("C"), FieldSpec::Text("T", 6).InRepeatArea("C")});
  builder.Record("REC", "VN_TestDef").Set("REC", "3 T", "third");
  Install(builder);
  EXPECT_EQ(*CurrentText("REC", "C"), "3");
  EXPECT_EQ(*CurrentText("REC", "1 T"), "");
  EXPECT_EQ(*CurrentText("REC", "3 T"), "third");

  // Text occurrences read as TVANDQU records, one per slot.
  std::vector<std::vector<char>> texts(3, std::vector<char>(10));
  std::vector<TVANDQU> slots(3);
  for (std::size_t i = 0; i < 3; ++i) {
    slots[i].TEXT = texts[i].data();
    slots[i].LENGTH = 10;
  }
  int32_t tag = Tag("T");
  const int16_t type = -24;
  void* const buffers[] = {slots.data()};
  int16_t occurrences = 0, fields = 0;
  ERRBLOCK error{};
  MRDBOCCS(Id("REC"), 1, &tag, &type, 1, 3, buffers, &occurrences, &fields, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(fields, 1);
  EXPECT_EQ(std::string(slots[2].TEXT, static_cast<std::size_t>(slots[2].LENGTH)), "third");
  EXPECT_EQ(slots[0].LENGTH, 0);
}

TEST_F(ControlTest, TimesConvertBetweenTextAndXusts) {
  EXPECT_EQ(Timestamp::Parse("1970-01-01T00:00:01.5Z").micros, 1'500'000);
  EXPECT_EQ(Timestamp::Parse("3/7/2024 9:05:01").micros, Timestamp::Parse("2024-03-07T09:05:01Z").micros);
  EXPECT_EQ(Timestamp::Parse("1969-12-31T23:59:59Z").micros, -1'000'000);
  EXPECT_THROW(Timestamp::Parse("2024-02-30"), DatabaseError);
  EXPECT_THROW(Timestamp::Parse("yesterday"), DatabaseError);

  SetTlsData("DOM", "writer");
  const int32_t tag1 = Id("TAG1"), change = Tag("LAST_CHANGE");
  EXPECT_EQ(WriteText(tag1, change, "2024-03-07T09:05:01.25Z").ERRCODE, 0);
  ERRBLOCK error{};
  EXPECT_EQ(ReadText(tag1, change, error), "2024-03-07T09:05:01.25Z");
  IDANDFT item{tag1, change};
  const int16_t type = -17;
  XUSTS time{};
  int16_t done = 0;
  MRDBVALS(1, &item, &type, &time, &done, &error);
  EXPECT_EQ(time.MICROSECS, 250000);
  // MICROSECS of a million or more carry into the seconds.
  XUSTS carried{100, 1'500'000};
  MWDBVALS(1, &item, &type, &carried, &done, &error);
  MRDBVALS(1, &item, &type, &time, &done, &error);
  EXPECT_EQ(time.SECONDS, 101);
  EXPECT_EQ(time.MICROSECS, 500000);
  EXPECT_EQ(WriteText(tag1, change, "not a time").ERRCODE, -7);
  // Times and numbers do not convert into each other.
  const int16_t asInt = -4;
  int32_t number = 0;
  MRDBVALS(1, &item, &asInt, &number, &done, &error);
  EXPECT_EQ(error.ERRCODE, -7);
}

TEST_F(ControlTest, RealsRoundHalfToEvenAndRejectWhatDoesNotFit) {
  SetTlsData("DOM", "writer");
  const int32_t tag1 = Id("TAG1"), value = Tag("VALUE");
  IDANDFT item{tag1, value};
  const int16_t type = -4;
  int32_t number = 0;
  int16_t done = 0;
  ERRBLOCK error{};
  for (const auto& [real, rounded] : std::vector<std::pair<double, int32_t>>{{2.5, 2}, {3.5, 4}, {-2.5, -2}, {2.4999, 2}}) {
    WriteDouble(tag1, value, real);
    MRDBVALS(1, &item, &type, &number, &done, &error);
    EXPECT_EQ(number, rounded) << real;
  }
  WriteDouble(tag1, value, 1e12);
  MRDBVALS(1, &item, &type, &number, &done, &error);
  EXPECT_EQ(error.ERRCODE, -8);
  // A float32 field keeps float precision and shows the float's text form.
  const IDANDFT trend{tag1, Tag("TREND") + 1};
  const int16_t real = -6;
  const double tenth = 0.1;
  MWDBVALS(1, &trend, &real, &tenth, &done, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(*CurrentText("TAG1", "1 TREND"), "0.1");
}

TEST_F(ControlTest, FixedWidthWritesDropOnlyTheTrailingPadding) {
  SetTlsData("DOM", "writer");
  IDANDFT item{Id("TAG1"), Tag("UNITS")};
  const int16_t type = 8;
  int16_t done = 0;
  ERRBLOCK error{};
  MWDBVALS(1, &item, &type, "  ab    ", &done, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(*CurrentText("TAG1", "UNITS"), "  ab");
  const int16_t wide = 10;
  MWDBVALS(1, &item, &wide, "abcdefghij", &done, &error);
  EXPECT_EQ(error.ERRCODE, -9) << "a text longer than the field is refused, not cut";
  EXPECT_EQ(*CurrentText("TAG1", "UNITS"), "  ab");
}

TEST_F(ControlTest, DataTypeFaultsHitOnlyTheChosenItem) {
  InjectFault("GETDATATYPES", -50, 1);
  const IDANDFT items[] = {{Id("TAG1"), Tag("VALUE")}, {Id("TAG1"), Tag("VALUE")}, {Id("TAG1"), Tag("VALUE")}};
  int16_t types[3];
  ERRBLOCK errors[3];
  GETDATATYPES(3, items, types, errors);
  EXPECT_EQ(errors[0].ERRCODE, 0);
  EXPECT_EQ(errors[1].ERRCODE, -50);
  EXPECT_EQ(errors[2].ERRCODE, 0);
  EXPECT_EQ(types[2], -21);
}

}  // namespace
}  // namespace dorvik::testing
