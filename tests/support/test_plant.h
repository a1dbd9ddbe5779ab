// A small database built in code for the library's tests: analog records
// with quality, history, limits, a selector, a repeat area of trend values
// and pointer fields. InstallPlant() replaces the engine's current database.
#ifndef VANTREL_TESTS_SUPPORT_TEST_PLANT_H_
#define VANTREL_TESTS_SUPPORT_TEST_PLANT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/tag_value.h"
#include "engine/control.h"

namespace vantrel::testing {

// Names of the plant's definitions, records and fields.
inline constexpr const char* kAnalogDef = "VN_AnalogDef";
inline constexpr const char* kModeSelector = "VN_ModeSel";
inline constexpr const char* kTag1 = "TI100";
inline constexpr const char* kTag2 = "TI101";
inline constexpr const char* kTag3 = "TI102";

// The builder of the plant, for tests that add to it before installing.
dorvik::DatabaseBuilder PlantBuilder();

// Builds and installs the plant, clears the call log and faults, and
// empties the library's field definition cache.
void InstallPlant();
void InstallDatabase(const dorvik::DatabaseBuilder& builder);

// Calls of one API function logged since the last ClearCallLog, and their
// argument texts in order.
int32_t Calls(const char* function);
std::vector<std::string> CallArguments(const char* function);

// The double values of a list, in order.
std::vector<double> Reals(const contracts::TagValues& values);

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_SUPPORT_TEST_PLANT_H_
