// The JSON import of a database from any bytes. The import either refuses
// the file with a reason (a DatabaseError, nothing left behind) or makes a
// database that opens, checks clean, and exports to a file that imports and
// exports again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/control.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_files.h"

namespace {

namespace fs = std::filesystem;

// A folder of this process for the files of one input, emptied after it and
// removed at exit.
const fs::path& Scratch() {
  static const vantrel::fuzz::ScratchFolder folder("import-fuzz");
  return folder.Path();
}

// Imports json into store; false when the import refused it.
bool Imported(const fs::path& json, const fs::path& store) {
  try {
    dorvik::ImportDatabase(json.string(), store.string());
    return true;
  } catch (const dorvik::DatabaseError& refused) {
    FUZZ_CHECK(*refused.what() != '\0', "a refusal gives a reason");
    FUZZ_CHECK(!fs::exists(store), "a refused import leaves no database behind");
    return false;
  }
}

// Opens store, checks it and writes it to json.
void CheckAndExport(const fs::path& store, const fs::path& json) {
  dorvik::Open(store.string(), {.readOnly = true});
  FUZZ_CHECK(dorvik::CheckDatabase().ok(), "an imported database checks clean");
  dorvik::ExportDatabase(json.string());
  dorvik::Reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const fs::path& scratch = Scratch();
  const fs::path input = scratch / "input.json";
  {
    std::ofstream file(input, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  if (Imported(input, scratch / "first.db")) {
    CheckAndExport(scratch / "first.db", scratch / "first.json");
    FUZZ_CHECK(Imported(scratch / "first.json", scratch / "second.db"), "an exported file imports");
    CheckAndExport(scratch / "second.db", scratch / "second.json");
    FUZZ_CHECK(vantrel::fuzz::FileBytes(scratch / "first.json") == vantrel::fuzz::FileBytes(scratch / "second.json"),
               "import then export gives back the bytes export wrote");
  }
  for (const char* name : {"first.db", "second.db", "first.json", "second.json"}) fs::remove_all(scratch / name);
  return 0;
}
