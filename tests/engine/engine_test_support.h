// Shared set-up of the engine tests: a small plant database built with the
// control interface, and helpers that call the C API as a client does.
#ifndef VANTREL_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H_
#define VANTREL_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "api/dorvik.h"
#include "engine/control.h"

namespace dorvik::testing {

// One sample of a history of doubles, as RHIS21DATA gives it back.
struct HistorySample {
  int64_t micros = 0;  // since 1970
  int16_t level = 0;
  double value = 0;
  bool operator==(const HistorySample&) const = default;
};

inline Timestamp At(int64_t seconds) { return Timestamp::FromSeconds(seconds); }

// A fresh folder in /dev/shm (or the temporary folder), removed with
// everything in it when the scope ends.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    namespace fs = std::filesystem;
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "dorvik-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::string FileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Analog, text, selector, repeat-area, pointer and task fields; three
// records of VN_AnalogDef (one unusable) and an external task record.
inline DatabaseBuilder PlantBuilder() {
  DatabaseBuilder builder;
  DefinitionOptions taskOptions;
  taskOptions.kinds = {-19};
  DefinitionOptions analogOptions;
  analogOptions.kinds = {-3};
  RecordOptions offline;
  offline.usable = false;
  builder.SystemAccount("VNT\\vntsystem")
      .Environment("DORVIK_GROUP_NAME", "GROUP1")
      .Environment("COMPRESS_SOURCE", "queries", true)
      .Folder("/data/plant")
      .Selector("VN_OnOffAuto", 7, {"OFF", "ON", "AUTO"})
      .Definition("VN_TaskDef", {FieldSpec::Integer("TASK_STATE")}, taskOptions)
      .Definition(
          "VN_AnalogDef",
          {FieldSpec::Real("VALUE").WithQuality().WithHistory(), FieldSpec::Text("UNITS", 8),
           FieldSpec::Integer("MODE").WithSelector("VN_OnOffAuto"), FieldSpec::Integer("COUNT32", 31),
           FieldSpec::Time("LAST_CHANGE"), FieldSpec::Count("TREND_COUNT"),
           FieldSpec::Real("TREND", 4).InRepeatArea("TREND_COUNT"), FieldSpec::RecordPointer("SOURCE"),
           FieldSpec::FieldPointer("SOURCE_FIELD"),
           FieldSpec::Integer("SETPOINT").WithQuality().WithWriteProtection(2).ActivatesTask("VN_Task1", 5, 7, 1),
           FieldSpec::Text("DESCRIPTION", 40).WithHistory(true).WithOperator(false, true)},
          analogOptions)
      .Record("VN_Task1", "VN_TaskDef")
      .Record("TAG1", "VN_AnalogDef")
      .Record("TAG2", "VN_AnalogDef")
      .Record("OFFLINE", "VN_AnalogDef", offline)
      .Set("TAG1", "VALUE", Sample(12.5, 1, 3, At(1000)))
      .Set("TAG1", "UNITS", "degC")
      .Set("TAG1", "MODE", 2)
      .SetOccurrences("TAG1", "TREND", {Sample(1.5), Sample(2.5), Sample(3.5)})
      .Set("TAG2", "SOURCE", RecordLink{"TAG1", 0})
      .Set("TAG2", "SOURCE_FIELD", FieldLink{RecordLink{"TAG1", 0}, "VALUE", 0})
      .History("TAG1", "VALUE",
               {{At(100), 1.0, 0}, {At(200), 2.0, 1}, {At(300), 3.0, 0}, {At(400), 4.0, 0}, {At(500), 5.0, 0}})
      .Grant("DOM\\writer", "VN_AnalogDef");
  return builder;
}

// Resets the engine and installs the plant for every test.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    Install(PlantBuilder());
  }
  void TearDown() override { Reset(); }

  static int32_t Id(std::string_view name) { return NAME2RECID(name.data(), static_cast<int16_t>(name.size())); }

  static int32_t Tag(std::string_view name) {
    int32_t tag = -1;
    ERRBLOCK error{};
    DECODFT(name.data(), static_cast<int16_t>(name.size()), &tag, &error);
    return tag;
  }

  static std::string Message(const ERRBLOCK& error) {
    char text[dorvik::api::kMessageBufferSize];
    int16_t length = 0;
    ERRMESS(&error, text, &length);
    return std::string(text, static_cast<std::size_t>(length));
  }

  // The whole history of the double field tag of record id (at most room
  // samples), oldest first; a failed read is a test failure.
  static std::vector<HistorySample> ReadDoubleHistory(int32_t id, int32_t tag, int32_t room) {
    std::vector<double> values(static_cast<std::size_t>(room));
    std::vector<XUSTS> times(values.size());
    std::vector<int16_t> levels(values.size());
    void* const buffers[] = {values.data()};
    const int16_t type = -6;
    const XUSTS from{0, 0}, to{INT32_MAX, 999'999};
    int32_t returned = 0;
    int16_t fieldsDone = 0;
    ERRBLOCK error{};
    RHIS21DATA(4, 0, 0, id, tag + 1, &from, &to, 1, &tag, &type, room, levels.data(), times.data(), buffers,
               &returned, &fieldsDone, &error);
    EXPECT_EQ(error.ERRCODE, 0) << Message(error);
    std::vector<HistorySample> samples;
    for (std::size_t i = 0; i < static_cast<std::size_t>(std::max(returned, 0)); ++i) {
      samples.push_back({int64_t{times[i].SECONDS} * 1'000'000 + times[i].MICROSECS, levels[i], values[i]});
    }
    return samples;
  }

  // Reads one item of type into a buffer of its size.
  static std::vector<std::byte> Read(int32_t id, int32_t tag, int16_t type, int32_t size, ERRBLOCK& error) {
    std::vector<std::byte> buffer(static_cast<std::size_t>(size));
    IDANDFT item{id, tag};
    int16_t done = 0;
    MRDBVALS(1, &item, &type, buffer.data(), &done, &error);
    return buffer;
  }

  static std::string ReadText(int32_t id, int32_t tag, ERRBLOCK& error, int16_t capacity = 64) {
    std::vector<char> text(static_cast<std::size_t>(capacity), '\0');
    TVANDQU record{};
    record.TEXT = text.data();
    record.LENGTH = capacity;
    IDANDFT item{id, tag};
    const int16_t type = dorvik::api::kTypeTextQuality;
    int16_t done = 0;
    MRDBVALS(1, &item, &type, &record, &done, &error);
    return std::string(text.data(), static_cast<std::size_t>(record.LENGTH));
  }

  // Writes one text with quality.
  static ERRBLOCK WriteText(int32_t id, int32_t tag, std::string text) {
    TVANDQU record{};
    record.TEXT = text.data();
    record.LENGTH = static_cast<int16_t>(text.size());
    IDANDFT item{id, tag};
    const int16_t type = dorvik::api::kTypeTextQuality;
    int16_t done = 0;
    ERRBLOCK error{};
    MWDBVALS(1, &item, &type, &record, &done, &error);
    return error;
  }

  static ERRBLOCK WriteDouble(int32_t id, int32_t tag, double value, int16_t status = 0, int16_t level = 0,
                              XUSTS time = {}) {
    DVANDQU record{value, status, level, time, 0};
    IDANDFT item{id, tag};
    const int16_t type = dorvik::api::kTypeDoubleQuality;
    int16_t done = 0;
    ERRBLOCK error{};
    MWDBVALS(1, &item, &type, &record, &done, &error);
    return error;
  }
};

}  // namespace dorvik::testing

#endif  // VANTREL_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H_
