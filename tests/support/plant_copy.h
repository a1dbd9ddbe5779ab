// PlantCopy: a copy of the sample plant (examples/plant.json, and when asked
// its query folder examples/queries) in a temporary folder of its own,
// removed when the copy goes: a test that changes the database or the query
// files never reaches the files in the source tree. The including test is
// compiled with VANTREL_SOURCE_DIR, the source tree's root.
#ifndef VANTREL_TESTS_SUPPORT_PLANT_COPY_H_
#define VANTREL_TESTS_SUPPORT_PLANT_COPY_H_

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

namespace vantrel::testing {

class PlantCopy {
 public:
  explicit PlantCopy(bool withQueries = false) : folder_(NewFolder()) {
    const std::filesystem::path examples = std::filesystem::path(VANTREL_SOURCE_DIR) / "examples";
    std::filesystem::create_directories(folder_);
    std::filesystem::copy_file(examples / "plant.json", folder_ / "plant.json",
                               std::filesystem::copy_options::overwrite_existing);
    if (withQueries) std::filesystem::copy(examples / "queries", folder_ / "queries");
  }
  ~PlantCopy() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  PlantCopy(const PlantCopy&) = delete;
  PlantCopy& operator=(const PlantCopy&) = delete;

  std::string File() const { return (folder_ / "plant.json").string(); }
  const std::filesystem::path& Folder() const { return folder_; }

 private:
  static std::filesystem::path NewFolder() {
    static std::atomic<int> copies{0};
    return std::filesystem::temp_directory_path() /
           ("vantrel-plant-" + std::to_string(::getpid()) + "-" + std::to_string(copies++));
  }

  std::filesystem::path folder_;
};

}  // namespace vantrel::testing

#endif  // VANTREL_TESTS_SUPPORT_PLANT_COPY_H_
