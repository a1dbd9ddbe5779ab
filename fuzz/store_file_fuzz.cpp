// A damaged data file. A small database is built once; each input is a list
// of edits to a copy of its data.mdb (bits flipped, bytes overwritten, in
// place), written to a fresh folder. The copy is then opened, checked,
// every record read through the C API (current values of every field, the
// reference walk), the history of every history field read both ways, and
// the database exported. The property: no crash, no hang, no read outside
// the file, and every answer either a clean one or a refusal with a reason;
// export refuses a database whose check fails.
//
// The edits stay in place: a file cut short is refused when the store is
// opened, which a folder of its own tests.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "api/dorvik.h"
#include "engine/control.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_files.h"

namespace {

namespace fs = std::filesystem;
namespace api = dorvik::api;
using vantrel::fuzz::FileBytes;
using vantrel::fuzz::ScratchFolder;

constexpr int kMaxEdits = 16;

// Every kind of stored value: reals with quality and history, texts with
// history, a selector, a repeat area, pointers, times; settings and grants.
dorvik::DatabaseBuilder SmallPlant() {
  using dorvik::FieldSpec;
  using dorvik::Sample;
  using dorvik::Timestamp;
  dorvik::DatabaseBuilder builder;
  builder.SystemAccount("VNT\\vntsystem")
      .Environment("DORVIK_GROUP_NAME", "PLANT")
      .Environment("COMPRESS_SOURCE", "queries", true)
      .Selector("VN_ModeSel", 7, {"OFF", "ON", "AUTO"})
      .Definition("VN_TaskDef", {FieldSpec::Integer("TASK_STATE")}, {.kinds = {-19}})
      .Definition("VN_AnalogDef",
                  {FieldSpec::Text("DESCRIPTION", 40).WithHistory(),
                   FieldSpec::Real("VALUE").WithQuality().WithHistory(), FieldSpec::Real("LO_LIMIT", 4),
                   FieldSpec::Integer("MODE", 15).WithSelector("VN_ModeSel"),
                   FieldSpec::Integer("COUNTER", 31).WithQuality().WithHistory(), FieldSpec::Count("TREND_COUNT"),
                   FieldSpec::Real("TREND").InRepeatArea("TREND_COUNT"), FieldSpec::RecordPointer("LINK"),
                   FieldSpec::FieldPointer("SOURCE"), FieldSpec::Time("STAMP"),
                   FieldSpec::Integer("SETPOINT").ActivatesTask("VN_Task1", 5, 7, 1)},
                  {.kinds = {-3}})
      .Record("VN_Task1", "VN_TaskDef");
  std::vector<dorvik::HistoryPoint> reals, counts;
  for (int i = 0; i < 40; ++i) {
    reals.push_back({Timestamp::FromSeconds(1'700'000'000 + 10 * i), i * 1.5, static_cast<int16_t>(i % 3)});
    counts.push_back({Timestamp::FromSeconds(1'700'000'000 + 7 * i), static_cast<double>(i), 0});
  }
  for (const char* tag : {"TI100", "TI101", "TI102"}) {
    builder.Record(tag, "VN_AnalogDef")
        .Set(tag, "DESCRIPTION", std::string("Reactor ") + tag)
        .Set(tag, "VALUE", Sample(12.5, 1, 0, Timestamp::FromSeconds(1'700'000'000)))
        .Set(tag, "MODE", 2)
        .SetOccurrences(tag, "TREND", {Sample(1.0), Sample(2.0), Sample(3.0)})
        .Set(tag, "LINK", dorvik::RecordLink{"TI100"})
        .Set(tag, "SOURCE", dorvik::FieldLink{{"TI100"}, "VALUE"})
        .Set(tag, "STAMP", Timestamp::FromSeconds(1'700'000'100))
        .History(tag, "VALUE", reals)
        .History(tag, "COUNTER", counts);
  }
  builder.History("TI100", "DESCRIPTION",
                  {{Timestamp::FromSeconds(1'700'000'000), std::string("started"), 0},
                   {Timestamp::FromSeconds(1'700'000'060), std::string("running"), 0}})
      .Grant("*", "VN_AnalogDef", 2)
      .Grant("DOM\\operator", "TI101", 1);
  return builder;
}

// The sound database's data file, and the ids and field tags to read.
struct Pristine {
  ScratchFolder scratch{"store-fuzz"};
  std::string dataFile;
  std::vector<int32_t> ids;
  std::vector<int32_t> fieldTags;
  std::vector<int32_t> historyTags;
};

int32_t TagOf(const char* field) {
  int32_t tag = 0;
  ERRBLOCK error{};
  DECODFT(field, static_cast<int16_t>(std::strlen(field)), &tag, &error);
  return tag;
}

std::unique_ptr<Pristine> MakePristine() {
  auto made = std::make_unique<Pristine>();
  const fs::path database = made->scratch.Path() / "pristine.db";
  dorvik::CreateDatabase(SmallPlant(), database.string());
  made->dataFile = FileBytes(database / "data.mdb");
  dorvik::Open(database.string(), {.readOnly = true});
  for (int32_t id = 1; id < 140; ++id) made->ids.push_back(id);
  for (const char* field : {"DESCRIPTION", "VALUE", "LO_LIMIT", "MODE", "COUNTER", "TREND_COUNT", "LINK", "SOURCE",
                            "STAMP", "SETPOINT", "TASK_STATE"}) {
    made->fieldTags.push_back(TagOf(field));
  }
  made->fieldTags.push_back(TagOf("TREND") + 2);
  for (const int32_t tag : {api::kFieldName, api::kFieldSelectorTexts + 1, api::kFieldCount, api::kFieldDataType}) {
    made->fieldTags.push_back(tag);
  }
  for (const char* field : {"VALUE", "COUNTER", "DESCRIPTION"}) made->historyTags.push_back(TagOf(field));
  dorvik::Reset();
  return made;
}

const Pristine& ThePristine() {
  static const std::unique_ptr<Pristine> pristine(MakePristine());
  return *pristine;
}

// The input as edits of the data file: each flips bits of a byte or
// overwrites a few bytes, at an offset anywhere in the file.
std::string Damaged(const std::string& pristine, FuzzedDataProvider& input) {
  std::string file = pristine;
  for (int k = 0; k < kMaxEdits && input.remaining_bytes() > 0; ++k) {
    const bool flip = input.ConsumeBool();
    const std::size_t at = input.ConsumeIntegralInRange<std::size_t>(0, file.size() - 1);
    if (flip) {
      file[at] = static_cast<char>(file[at] ^ static_cast<char>(input.ConsumeIntegralInRange<uint8_t>(1, 255)));
    } else {
      const std::string bytes = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<std::size_t>(1, 8));
      file.replace(at, std::min(bytes.size(), file.size() - at), bytes.substr(0, file.size() - at));
    }
  }
  return file;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Every answer is a code: 0, or an error whose message the engine gives.
void ExpectAnswered(const ERRBLOCK& error) {
  if (error.ERRCODE == 0) return;
  char text[api::kMessageBufferSize];
  int16_t length = -1;
  ERRMESS(&error, text, &length);
  FUZZ_CHECK(length > 0 && length <= static_cast<int16_t>(sizeof text), "an error has a message");
}

void ReadCurrentValues(const Pristine& pristine) {
  for (const int32_t id : pristine.ids) {
    for (const int32_t tag : pristine.fieldTags) {
      std::vector<char> text(64, '\0');
      TVANDQU record{};
      record.TEXT = text.data();
      record.LENGTH = static_cast<int16_t>(text.size());
      const IDANDFT item{id, tag};
      const int16_t type = api::kTypeTextQuality;
      int16_t done = -1;
      ERRBLOCK error{};
      MRDBVALS(1, &item, &type, &record, &done, &error);
      ExpectAnswered(error);
      FUZZ_CHECK(error.ERRCODE != 0 || (record.LENGTH >= 0 && record.LENGTH < static_cast<int16_t>(text.size())),
                 "a text read fits its buffer");
      double value = 0;
      const int16_t real = api::kTypeDouble;
      MRDBVALS(1, &item, &real, &value, &done, &error);
      ExpectAnswered(error);
    }
  }
}

void WalkReferences(const Pristine& pristine) {
  for (const int32_t target : {pristine.ids[0], 101, 102}) {
    int32_t record = 0, fieldTag = 0;
    for (int steps = 0;; ++steps) {
      FUZZ_CHECK(steps < 10'000, "a reference walk ends");
      NXTREFER(target, 0, &record, &fieldTag);
      if (record == 0) break;
    }
  }
}

void ReadHistories(const Pristine& pristine) {
  constexpr int32_t kCount = 64;
  for (const int32_t id : pristine.ids) {
    if (id < 100) continue;
    for (int32_t tag : pristine.historyTags) {
      double values[kCount] = {};
      XUSTS times[kCount] = {};
      int16_t levels[kCount] = {};
      void* const buffers[] = {values};
      const int16_t type = api::kTypeDouble;
      const XUSTS from{0, 0}, to{INT32_MAX, 0};
      int32_t returned = -1;
      int16_t fieldsDone = 0;
      ERRBLOCK error{};
      RHIS21DATA(4, 0, 1, id, tag + 1, &from, &to, 1, &tag, &type, kCount, levels, times, buffers, &returned,
                 &fieldsDone, &error);
      ExpectAnswered(error);
      FUZZ_CHECK(returned <= kCount, "a history read stays within its count");
      RHIS21REV(0, 0, 0, 0, id, tag + 1, &to, &from, 1, &tag, &type, kCount, levels, times, buffers, &returned,
                &fieldsDone, &error);
      ExpectAnswered(error);
      FUZZ_CHECK(returned <= kCount, "a history read stays within its count");
    }
  }
}

// Opens, checks, reads and exports the damaged copy in folder.
void Exercise(const Pristine& pristine, const fs::path& folder) {
  try {
    dorvik::Open(folder.string(), {.readOnly = true});
  } catch (const dorvik::DatabaseError& refused) {
    FUZZ_CHECK(*refused.what() != '\0', "a refusal gives a reason");
    return;
  }
  SetTlsData("VNT", "vntsystem");
  bool clean = false;
  bool pagesSound = true;
  try {
    const dorvik::CheckReport report = dorvik::CheckDatabase();
    clean = report.ok();
    for (const std::string& fault : report.faults) pagesSound = pagesSound && fault.rfind("data file: ", 0) != 0;
  } catch (const dorvik::DatabaseError& refused) {
    FUZZ_CHECK(*refused.what() != '\0', "a failed check gives a reason");
  }
  // Damaged pages are LMDB's to walk, which trusts them: the check's audit
  // finds them and export refuses them; reads are for files whose pages
  // are sound and whose entries may not be.
  if (pagesSound) {
    ReadCurrentValues(pristine);
    WalkReferences(pristine);
    ReadHistories(pristine);
  }
  const fs::path exported = folder.parent_path() / "export.json";
  try {
    dorvik::ExportDatabase(exported.string());
    FUZZ_CHECK(clean, "a database whose check fails is not exported");
  } catch (const dorvik::DatabaseError& refused) {
    FUZZ_CHECK(*refused.what() != '\0', "a refused export gives a reason");
  }
  std::error_code ignored;
  fs::remove(exported, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const Pristine& pristine = ThePristine();
  FuzzedDataProvider input(data, size);
  const fs::path folder = pristine.scratch.Path() / "damaged.db";
  fs::create_directory(folder);
  WriteFile(folder / "data.mdb", Damaged(pristine.dataFile, input));
  Exercise(pristine, folder);
  dorvik::Reset();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return 0;
}
