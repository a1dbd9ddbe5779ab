#include "tests/support/test_plant.h"

#include "session/session.h"

namespace vantrel::testing {

using dorvik::FieldSpec;
using dorvik::Sample;
using dorvik::Timestamp;

dorvik::DatabaseBuilder PlantBuilder() {
  dorvik::DatabaseBuilder builder;
  builder.SystemAccount("VNT\\vntsystem")
      .Environment("DORVIK_GROUP_NAME", "PLANT")
      .Environment("VANTREL_VERSION", "17.0")
      .Selector(kModeSelector, 7, {"OFF", "ON", "AUTO"})
      .Definition(kAnalogDef,
                  {FieldSpec::Text("DESCRIPTION", 40),
                   FieldSpec::Real("VALUE").WithQuality().WithHistory(),
                   FieldSpec::Real("HI_LIMIT"),
                   FieldSpec::Real("LO_LIMIT", 4),
                   FieldSpec::Text("UNITS", 12),
                   FieldSpec::Integer("MODE", 15).WithSelector(kModeSelector),
                   FieldSpec::Integer("COUNTER", 31).WithQuality(),
                   FieldSpec::Integer("SMALL", 15).WithQuality(),
                   FieldSpec::Count("TREND_COUNT"),
                   FieldSpec::Real("TREND").InRepeatArea("TREND_COUNT"),
                   FieldSpec::RecordPointer("LINK"),
                   FieldSpec::FieldPointer("SOURCE"),
                   FieldSpec::Time("STAMP"),
                   FieldSpec::Text("NOTE", 8).WithWriteProtection(0)},
                  {.kinds = {-3}});
  for (const char* tag : {kTag1, kTag2, kTag3}) builder.Record(tag, kAnalogDef);
  builder.Set(kTag1, "DESCRIPTION", "Reactor inlet temperature")
      .Set(kTag1, "VALUE", Sample(12.5, 1, 0, Timestamp::FromSeconds(1'700'000'000, 250'000)))
      .Set(kTag1, "HI_LIMIT", 80.0)
      .Set(kTag1, "UNITS", "degC")
      .Set(kTag1, "MODE", 2)
      .SetOccurrences(kTag1, "TREND", {Sample(1.0), Sample(2.0), Sample(3.0)})
      .Set(kTag1, "LINK", dorvik::RecordLink{kTag2})
      .Set(kTag1, "SOURCE", dorvik::FieldLink{{kTag2}, "VALUE"})
      .Set(kTag1, "STAMP", Timestamp::FromSeconds(1'700'000'100))
      .Set(kTag2, "DESCRIPTION", "Reactor outlet temperature")
      .Set(kTag2, "VALUE", Sample(20.25, 0, 2, Timestamp::FromSeconds(1'700'000'050)))
      .Grant("*", kAnalogDef, 2);
  return builder;
}

void InstallDatabase(const dorvik::DatabaseBuilder& builder) {
  dorvik::Install(builder);
  dorvik::ClearCallLog();
  dorvik::ClearFaults();
  access::Session::RefreshAll();
}

void InstallPlant() { InstallDatabase(PlantBuilder()); }

int32_t Calls(const char* function) { return dorvik::CallCount(function); }

std::vector<std::string> CallArguments(const char* function) {
  std::vector<std::string> arguments;
  for (const auto& call : dorvik::CallLog()) {
    if (call.function == function) arguments.push_back(call.arguments);
  }
  return arguments;
}

std::vector<double> Reals(const contracts::TagValues& values) {
  std::vector<double> reals;
  for (const auto& value : values) reals.push_back(std::get<double>(value.Value));
  return reals;
}

}  // namespace vantrel::testing
