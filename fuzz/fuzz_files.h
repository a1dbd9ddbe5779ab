// Files for fuzz targets that work on disk: a scratch folder of the process
// and the reading of a whole file. Header only, as the targets are single
// files linked one by one. Not thread-safe; a fuzz target runs one input at
// a time.
#ifndef VANTREL_FUZZ_FUZZ_FILES_H_
#define VANTREL_FUZZ_FUZZ_FILES_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz/fuzz_check.h"

namespace vantrel::fuzz {

// A folder of this process, removed with everything in it when destroyed; in
// memory when it can be, where the store's flushes cost nothing. The name
// starts with prefix so that a leftover one tells which target made it.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::string_view prefix) {
    namespace fs = std::filesystem;
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / (std::string(prefix) + ".XXXXXX")).string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "a scratch folder");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The bytes of the file at path; empty when it cannot be read.
inline std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace vantrel::fuzz

#endif  // VANTREL_FUZZ_FUZZ_FILES_H_
