// The JSON import of a database from any bytes. The import either refuses
// the file with a reason (a DatabaseError, nothing left behind) or makes a
// database that opens, checks clean, and exports to a file that imports and
// exports again to the same bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/control.h"
#include "fuzz/fuzz_check.h"

namespace {

namespace fs = std::filesystem;

// A folder of this process for the files of one input, emptied after it and
// removed at exit; in memory when it can be, where the store's flushes cost
// nothing.
class ScratchFolder {
 public:
  ScratchFolder() {
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "import-fuzz.XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "a scratch folder");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

const fs::path& Scratch() {
  static const ScratchFolder folder;
  return folder.Path();
}

std::string FileText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
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
    FUZZ_CHECK(FileText(scratch / "first.json") == FileText(scratch / "second.json"),
               "import then export gives back the bytes export wrote");
  }
  for (const char* name : {"first.db", "second.db", "first.json", "second.json"}) fs::remove_all(scratch / name);
  return 0;
}
