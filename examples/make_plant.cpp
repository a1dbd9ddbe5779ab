// make_plant: writes the sample plant database (examples/plant.json) with
// the engine's builder. The file in the repository is this program's
// output; change the plant here and run
//   build/examples/make_plant examples/plant.json
// The plant is deterministic: the same program writes the same file.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iostream>
#include <numbers>
#include <string>
#include <vector>

#include "engine/control.h"

namespace {

using dorvik::DatabaseBuilder;
using dorvik::DefinitionOptions;
using dorvik::FieldLink;
using dorvik::FieldSpec;
using dorvik::HistoryPoint;
using dorvik::RecordLink;
using dorvik::RecordOptions;
using dorvik::Sample;
using dorvik::Timestamp;

constexpr int32_t kRecordKind3 = -3;
constexpr int32_t kRecordKind5 = -5;
constexpr int32_t kTaskKind = -19;

// History runs hourly from 2024-03-04T00:00:00Z to the current values' time
// 2024-03-07T00:00:00Z, the last point being the current value. The analogs'
// history reaches kEarlierHours further back, so that they hold a week (hours
// before kHistoryStart count as negative; later values stay as they were).
constexpr int64_t kHistoryStart = 1'709'510'400;
constexpr int64_t kHour = 3'600;
constexpr int kHistoryHours = 72;
constexpr int kEarlierHours = 96;
constexpr int64_t kNow = kHistoryStart + kHistoryHours * kHour;

// Ids are fixed so that they stay the same when the plant changes:
// definitions from 200, then one block of 100 per kind of record.
constexpr int32_t kSelectorId = 150;
constexpr int32_t kDefinitionIds = 200;
constexpr int32_t kAnalogIds = 1001;
constexpr int32_t kDiscreteIds = 1101;
constexpr int32_t kTextIds = 1201;
constexpr int32_t kCalcIds = 1301;
constexpr int32_t kQueryIds = 1401;
constexpr int32_t kMapIds = 1501;
constexpr int32_t kSystemIds = 1601;

double Round2(double value) { return std::round(value * 100.0) / 100.0; }
// Quarters are exact in the 4-byte reals of the trend area.
double RoundQuarter(double value) { return std::round(value * 4.0) / 4.0; }

struct AnalogTag {
  const char* name;
  const char* description;
  const char* units;
  double mean, swing, hiLimit, loLimit;
  int16_t faultFrom, faultTo;  // hours of bad-quality history (level 2)
};

// Process analogs of a small reactor unit. TI1010 and TI101 are a near
// miss for whole-word searches.
const std::vector<AnalogTag> kAnalogTags{
    {"TI101", "Reactor inlet temperature", "degC", 72.0, 6.0, 95.0, 40.0, 0, 0},
    {"TI102", "Reactor outlet temperature", "degC", 84.0, 7.5, 110.0, 50.0, 0, 0},
    {"TI1010", "Cooling water return temperature", "degC", 31.0, 2.5, 45.0, 10.0, 0, 0},
    {"PI201", "Reactor pressure", "bar", 4.2, 0.35, 6.0, 1.0, 30, 33},
    {"FI301", "Feed flow", "m3/h", 12.5, 1.8, 18.0, 2.0, 0, 0},
    {"LI401", "Product tank level", "%", 55.0, 20.0, 90.0, 10.0, 0, 0},
};

// A daily cycle plus a slower drift, per tag.
double AnalogAt(const AnalogTag& tag, int hour, int index) {
  const double day = 2.0 * std::numbers::pi * hour / 24.0;
  return Round2(tag.mean + tag.swing * std::sin(day + index) + 0.3 * tag.swing * std::cos(day / 3.0 + 2.0 * index));
}

void AddCatalog(DatabaseBuilder& plant) {
  auto id = [next = kDefinitionIds]() mutable { return DefinitionOptions{next++, {}, 0}; };
  auto withKind = [&](int32_t kind) {
    DefinitionOptions options = id();
    options.kinds = {kind};
    return options;
  };
  plant.Selector("VN_OnOffAutoSel", 7, {"OFF", "ON", "AUTO"}, 0, kSelectorId)
      .Definition("VN_AnalogDef",
                  {FieldSpec::Text("DESCRIPTION", 40).WithWriteProtection(1),
                   FieldSpec::Real("VALUE").WithQuality().WithHistory(), FieldSpec::Real("HI_LIMIT"),
                   FieldSpec::Real("LO_LIMIT"), FieldSpec::Text("UNITS", 12),
                   FieldSpec::Count("TREND_COUNT"), FieldSpec::Real("TREND", 4).InRepeatArea("TREND_COUNT"),
                   FieldSpec::RecordPointer("UPSTREAM_TAG"), FieldSpec::FieldPointer("UPSTREAM_VALUE")},
                  withKind(kRecordKind3))
      .Definition("VN_DiscreteDef",
                  {FieldSpec::Text("DESCRIPTION", 40).WithWriteProtection(1),
                   FieldSpec::Integer("STATE").WithQuality().WithHistory(),
                   FieldSpec::Integer("MODE").WithSelector("VN_OnOffAutoSel"),
                   FieldSpec::Integer("START_CMD").WithQuality().ActivatesTask("VN_SequenceTask", 5, 1, 0)},
                  withKind(kRecordKind3))
      .Definition("VN_TextDef",
                  {FieldSpec::Text("DESCRIPTION", 40).WithWriteProtection(1),
                   FieldSpec::Text("TEXT_VALUE", 80).WithQuality(), FieldSpec::Text("OPERATOR", 32)},
                  withKind(kRecordKind5))
      .Definition("VN_CalcDef",
                  {FieldSpec::Text("DESCRIPTION", 40), FieldSpec::Real("CALC_RESULT").WithQuality(),
                   FieldSpec::RecordPointer("CALC_INPUT"), FieldSpec::FieldPointer("CALC_TARGET"),
                   FieldSpec::Count("CALC_LINE_COUNT"),
                   FieldSpec::Text("CALC_LINE", 80).InRepeatArea("CALC_LINE_COUNT")},
                  id());
  // Query records keep their SQL in lines; the compressed kinds in files.
  for (const char* lines : {"QueryDef", "TextViewDef"}) {
    plant.Definition(lines,
                     {FieldSpec::Text("DESCRIPTION", 40), FieldSpec::Count("QUERY_LINE_COUNT"),
                      FieldSpec::Text("QUERY_LINE", 80).InRepeatArea("QUERY_LINE_COUNT")},
                     id());
  }
  for (const char* files : {"CompQueryDef", "ProcedureDef", "ViewDef"}) {
    plant.Definition(files, {FieldSpec::Text("DESCRIPTION", 40), FieldSpec::RecordPointer("QUERY_SOURCE")}, id());
  }
  plant.Definition("AtMapDef", {FieldSpec::Text("MAP_DefinitionRecord", 32), FieldSpec::Integer("MAP_IsDefault")}, id())
      .Definition("VN_BranchDef",
                  {FieldSpec::Count("PE_BranchCount"), FieldSpec::Text("PE_Branch", 32).InRepeatArea("PE_BranchCount")},
                  id())
      .Definition("VN_TaskDef", {FieldSpec::Text("DESCRIPTION", 40), FieldSpec::Integer("TASK_STATE")},
                  withKind(kTaskKind));
}

void AddAnalogs(DatabaseBuilder& plant) {
  for (std::size_t i = 0; i < kAnalogTags.size(); ++i) {
    const AnalogTag& tag = kAnalogTags[i];
    const int index = static_cast<int>(i);
    plant.Record(tag.name, "VN_AnalogDef", RecordOptions{kAnalogIds + index, true})
        .Set(tag.name, "DESCRIPTION", tag.description)
        .Set(tag.name, "UNITS", tag.units)
        .Set(tag.name, "HI_LIMIT", tag.hiLimit)
        .Set(tag.name, "LO_LIMIT", tag.loLimit)
        .Set(tag.name, "VALUE", Sample(AnalogAt(tag, kHistoryHours, index), 0, 0, Timestamp::FromSeconds(kNow)));
    std::vector<HistoryPoint> history;
    for (int hour = -kEarlierHours; hour <= kHistoryHours; ++hour) {
      const int16_t level = hour >= tag.faultFrom && hour < tag.faultTo ? 2 : 0;
      history.push_back({Timestamp::FromSeconds(kHistoryStart + hour * kHour), AnalogAt(tag, hour, index), level});
    }
    plant.History(tag.name, "VALUE", std::move(history));
  }
  // The last five hourly values of the reactor inlet, oldest first.
  std::vector<Sample> trend;
  for (int hour = kHistoryHours - 4; hour <= kHistoryHours; ++hour) {
    trend.emplace_back(RoundQuarter(AnalogAt(kAnalogTags[0], hour, 0)));
  }
  plant.SetOccurrences("TI101", "TREND", std::move(trend))
      .SetOccurrences("TI102", "TREND", {Sample(83.5), Sample(84.25)})
      .Set("TI102", "UPSTREAM_TAG", RecordLink{"TI101", 0})
      .Set("TI102", "UPSTREAM_VALUE", FieldLink{RecordLink{"TI101", 0}, "VALUE", 0})
      .Set("LI401", "UPSTREAM_TAG", RecordLink{"FI301", 0})
      .Set("LI401", "UPSTREAM_VALUE", FieldLink{RecordLink{"FI301", 0}, "VALUE", 0});
  // A spare input, out of service.
  plant.Record("AI_SPARE1", "VN_AnalogDef", RecordOptions{kAnalogIds + 90, false})
      .Set("AI_SPARE1", "DESCRIPTION", "Spare analog input")
      .Set("AI_SPARE1", "VALUE", Sample(0.0, 1, 3, Timestamp::FromSeconds(kHistoryStart)));
}

void AddDiscretes(DatabaseBuilder& plant) {
  constexpr int16_t kOff = 0, kOn = 1, kAuto = 2;
  struct Discrete {
    const char* name;
    const char* description;
    int16_t mode;
    std::vector<int> switches;  // hours at which STATE changes, starting at 0
  };
  const std::vector<Discrete> discretes{
      {"P101", "Feed pump", kAuto, {6, 18, 30, 42, 54, 66}},
      {"P102", "Cooling water pump", kOn, {}},
      {"XV501", "Reactor outlet valve", kOff, {12, 60}},
  };
  int32_t id = kDiscreteIds;
  for (const Discrete& discrete : discretes) {
    std::vector<HistoryPoint> history;
    int64_t state = discrete.mode == kOn ? 1 : 0;
    history.push_back({Timestamp::FromSeconds(kHistoryStart), state, 0});
    for (int hour : discrete.switches) {
      state = 1 - state;
      history.push_back({Timestamp::FromSeconds(kHistoryStart + hour * kHour), state, 0});
    }
    plant.Record(discrete.name, "VN_DiscreteDef", RecordOptions{id++, true})
        .Set(discrete.name, "DESCRIPTION", discrete.description)
        .Set(discrete.name, "MODE", discrete.mode)
        .Set(discrete.name, "STATE", Sample(state, 0, 0, history.back().time))
        .History(discrete.name, "STATE", std::move(history));
  }
}

void AddTexts(DatabaseBuilder& plant) {
  const Timestamp shiftStart = Timestamp::FromSeconds(kNow - 2 * kHour);
  plant.Record("BATCH_ID", "VN_TextDef", RecordOptions{kTextIds, true})
      .Set("BATCH_ID", "DESCRIPTION", "Current batch")
      .Set("BATCH_ID", "TEXT_VALUE", Sample("B-2024-0307-01", 0, 0, shiftStart))
      .Set("BATCH_ID", "OPERATOR", "PLANT\\operator1")
      .Record("RECIPE", "VN_TextDef", RecordOptions{kTextIds + 1, true})
      .Set("RECIPE", "DESCRIPTION", "Recipe in production")
      .Set("RECIPE", "TEXT_VALUE", Sample("Grade A, 72 degC inlet", 0, 0, shiftStart))
      .Record("SHIFT_NOTE", "VN_TextDef", RecordOptions{kTextIds + 2, true})
      .Set("SHIFT_NOTE", "DESCRIPTION", "Note of the shift leader")
      .Set("SHIFT_NOTE", "TEXT_VALUE", Sample("Cooling pump P102 serviced, running normally", 0, 0, shiftStart))
      .Set("SHIFT_NOTE", "OPERATOR", "PLANT\\shiftlead");
}

std::vector<Sample> Lines(std::initializer_list<const char*> lines) {
  std::vector<Sample> samples;
  for (const char* line : lines) samples.emplace_back(line);
  return samples;
}

// Calculation lines name tags as whole words, in quotes and parentheses,
// next to near misses (TI1010, XTI101, TI101_OLD) that a search for TI101
// must not report.
void AddCalculations(DatabaseBuilder& plant) {
  const double deltaT = Round2(AnalogAt(kAnalogTags[1], kHistoryHours, 1) - AnalogAt(kAnalogTags[0], kHistoryHours, 0));
  plant.Record("CALC_DELTA_T", "VN_CalcDef", RecordOptions{kCalcIds, true})
      .Set("CALC_DELTA_T", "DESCRIPTION", "Temperature rise across the reactor")
      .Set("CALC_DELTA_T", "CALC_RESULT", Sample(deltaT, 0, 0, Timestamp::FromSeconds(kNow)))
      .Set("CALC_DELTA_T", "CALC_INPUT", RecordLink{"TI101", 0})
      .Set("CALC_DELTA_T", "CALC_TARGET", FieldLink{RecordLink{"TI102", 0}, "VALUE", 0})
      .SetOccurrences("CALC_DELTA_T", "CALC_LINE",
                      Lines({"' Temperature rise across the reactor",
                             "DELTA = TI102.VALUE - TI101.VALUE",
                             "IF (TI101) > 90 THEN ALARM('TI101')",
                             "RESULT = DELTA"}))
      .Record("CALC_COOLING", "VN_CalcDef", RecordOptions{kCalcIds + 1, true})
      .Set("CALC_COOLING", "DESCRIPTION", "Cooling duty")
      .Set("CALC_COOLING", "CALC_INPUT", RecordLink{"TI1010", 0})
      .SetOccurrences("CALC_COOLING", "CALC_LINE",
                      Lines({"' Cooling duty from the water return temperature",
                             "DUTY = FI301.VALUE * (TI1010.VALUE - TI102.VALUE)",
                             "LIMIT = \"PI201\"",
                             "XTI101 = TI101_OLD",
                             "RESULT = DUTY"}))
      .Record("CALC_LEVEL_RATE", "VN_CalcDef", RecordOptions{kCalcIds + 2, true})
      .Set("CALC_LEVEL_RATE", "DESCRIPTION", "Rate of change of the tank level")
      .Set("CALC_LEVEL_RATE", "CALC_INPUT", RecordLink{"LI401", 0})
      .SetOccurrences("CALC_LEVEL_RATE", "CALC_LINE",
                      Lines({"RATE = (LI401.VALUE - LI401.TREND) / 3600", "IF P101.STATE = 0 THEN RATE = 0",
                             "RESULT = RATE"}));
}

// Query records: lines in QueryDef and TextViewDef records, files in the
// COMPRESS_SOURCE folder for the others (VW_PLANNED has no file yet).
void AddQueries(DatabaseBuilder& plant) {
  plant.Record("Q_DAILY_TEMPS", "QueryDef", RecordOptions{kQueryIds, true})
      .Set("Q_DAILY_TEMPS", "DESCRIPTION", "Daily reactor temperatures")
      .SetOccurrences("Q_DAILY_TEMPS", "QUERY_LINE",
                      Lines({"SELECT TAG, TIME, VALUE", "FROM VN_HISTORY", "WHERE TAG IN ('TI101', 'TI102')",
                             "ORDER BY TIME"}))
      .Record("TV_SHIFT_REPORT", "TextViewDef", RecordOptions{kQueryIds + 1, true})
      .Set("TV_SHIFT_REPORT", "DESCRIPTION", "Shift report view")
      .SetOccurrences("TV_SHIFT_REPORT", "QUERY_LINE",
                      Lines({"SELECT BATCH_ID.TEXT_VALUE AS BATCH,", "       LI401.VALUE AS LEVEL",
                             "FROM CURRENT_VALUES"}))
      .Record("CQ_FEED_SUMMARY", "CompQueryDef", RecordOptions{kQueryIds + 2, true})
      .Set("CQ_FEED_SUMMARY", "DESCRIPTION", "Hourly feed summary")
      .Set("CQ_FEED_SUMMARY", "QUERY_SOURCE", RecordLink{"FI301", 0})
      .Record("PR_SHIFT_CHANGE", "ProcedureDef", RecordOptions{kQueryIds + 3, true})
      .Set("PR_SHIFT_CHANGE", "DESCRIPTION", "Shift change procedure")
      .Record("VW_REACTOR", "ViewDef", RecordOptions{kQueryIds + 4, true})
      .Set("VW_REACTOR", "DESCRIPTION", "Reactor overview")
      .Record("VW_PLANNED", "ViewDef", RecordOptions{kQueryIds + 5, true})
      .Set("VW_PLANNED", "DESCRIPTION", "Planned view, no query file yet");
}

// Two map records for VN_AnalogDef (the second is the default), one for
// VN_DiscreteDef that is not marked default.
void AddMaps(DatabaseBuilder& plant) {
  struct Map {
    const char* name;
    const char* definition;
    int isDefault;
  };
  int32_t id = kMapIds;
  for (const Map& map : {Map{"MAP_ANALOG_FACEPLATE", "VN_AnalogDef", 0}, Map{"MAP_ANALOG_TREND", "VN_AnalogDef", 1},
                         Map{"MAP_DISCRETE", "VN_DiscreteDef", 0}}) {
    plant.Record(map.name, "AtMapDef", RecordOptions{id++, true})
        .Set(map.name, "MAP_DefinitionRecord", map.definition)
        .Set(map.name, "MAP_IsDefault", map.isDefault);
  }
}

void AddSystem(DatabaseBuilder& plant) {
  plant.SystemAccount("VNT\\vntsystem")
      .Environment("DORVIK_GROUP_NAME", "PLANT1")
      .Environment("VANTREL_VERSION", "17.0")
      .Environment("COMPRESS_SOURCE", "queries", true)
      .Environment("DORVIK_GROUP_FOLDER_NAME", "group", true)
      .Record("VN_TagsBranch", "VN_BranchDef", RecordOptions{kSystemIds, true})
      .SetOccurrences("VN_TagsBranch", "PE_Branch",
                      Lines({"VN_AnalogDef", "VN_DiscreteDef", "VN_TextDef", "VN_CalcDef"}))
      .Record("VN_SequenceTask", "VN_TaskDef", RecordOptions{kSystemIds + 1, true})
      .Set("VN_SequenceTask", "DESCRIPTION", "Start sequence of the feed pumps");
  // Everyone may write the process tags; the configuration stays with the
  // system account.
  for (const char* definition : {"VN_AnalogDef", "VN_DiscreteDef", "VN_TextDef"}) plant.Grant("*", definition, 2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_plant FILE\n";
    return EXIT_FAILURE;
  }
  try {
    DatabaseBuilder plant;
    AddCatalog(plant);
    AddSystem(plant);
    AddAnalogs(plant);
    AddDiscretes(plant);
    AddTexts(plant);
    AddCalculations(plant);
    AddQueries(plant);
    AddMaps(plant);
    dorvik::WriteDatabaseFile(plant, argv[1]);
  } catch (const std::exception& error) {
    std::cerr << "make_plant: " << error.what() << "\n";
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
