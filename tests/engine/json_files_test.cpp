// JSON database files: import into a new database, export, their round
// trips, files in other shapes, and the errors of bad files.
#include <sys/stat.h>

#include <filesystem>

#include <fmt/format.h>

#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;

class JsonFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }

  // Imports JSON text written to "plant.json" into a new database and opens it.
  void ImportText(const std::string& text) {
    WriteFile(folder_ / "plant.json", text);
    ImportDatabase((folder_ / "plant.json").string(), (folder_ / "plant.db").string());
    Open((folder_ / "plant.db").string());
  }

  // The error of importing text, from "plant.json" on.
  std::string ImportError(const std::string& text) {
    fs::remove_all(folder_ / "plant.db");
    try {
      ImportText(text);
    } catch (const DatabaseError& error) {
      const std::string message = error.what();
      const std::size_t at = message.find("plant.json");
      return at == std::string::npos ? message : message.substr(at);
    }
    return "imported";
  }

  static std::string Minimal(const std::string& body) {
    return R"({"format": "dorvik-database", "version": 1)" + body + "}";
  }

  TemporaryFolder folder_;
};

TEST_F(JsonFilesTest, ExportImportExportGivesTheSameText) {
  DatabaseBuilder builder = PlantBuilder();
  builder.Set("TAG2", "UNITS", "\xB0" "C \x80")  // degree sign and euro sign of the code page
      .Set("TAG2", "LAST_CHANGE", At(1'700'000'000))
      .Set("TAG2", "VALUE", Sample(-0.1, 0, 0, Timestamp{123456789}))
      .Set("TAG2", "DESCRIPTION", "tab\tand \"quotes\"")
      .SetOccurrences("TAG2", "TREND", std::vector<Sample>(300, Sample(0.5)))
      // Samples of one time beyond a chunk's capacity keep their order.
      .History("TAG2", "VALUE", std::vector<HistoryPoint>(400, HistoryPoint{At(7), 1.0, 0}))
      .History("TAG2", "VALUE", {{At(5), 2.0, 3}, {At(7), 3.0, 0}, {At(6), 4.0, 0}})
      .History("TAG1", "DESCRIPTION", {{At(1), "first", 0}, {At(2), "", 1}});
  WriteDatabaseFile(builder, (folder_ / "first.json").string());
  ImportDatabase((folder_ / "first.json").string(), (folder_ / "plant.db").string());
  Open((folder_ / "plant.db").string());
  ExportDatabase((folder_ / "second.json").string());
  const std::string first = FileText(folder_ / "first.json");
  EXPECT_EQ(first, FileText(folder_ / "second.json"));
  EXPECT_NE(first.find("\"\u00B0C \u20AC\""), std::string::npos);
  EXPECT_NE(first.find("2023-11-14T22:13:20Z"), std::string::npos);
  EXPECT_EQ(*CurrentText("TAG2", "UNITS"), "\xB0" "C \x80");
  EXPECT_EQ(*CurrentText("TAG2", "VALUE"), "-0.1");
  EXPECT_EQ(*CurrentText("TAG2", "DESCRIPTION"), "tab\tand \"quotes\"");
  EXPECT_EQ(*CurrentText("TAG2", "TREND_COUNT"), "300");
  EXPECT_EQ(HistoryCount("TAG2", "VALUE"), 403);
  const CheckReport report = CheckDatabase();
  EXPECT_TRUE(report.ok()) << report.faults.front();
  EXPECT_EQ(report.samples, 403 + 5 + 2);
}

TEST_F(JsonFilesTest, ExportedDatabasesImportWithTheirWritesAndFolders) {
  Install(PlantBuilder());
  SetTlsData("VNT", "vntsystem");
  ERRBLOCK error{};
  CREATERECORD(5000, NAME2RECID("VN_AnalogDef", 12), 0, 0, "CREATED", 7, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  ExportDatabase((folder_ / "plant.json").string());
  Reset();
  ImportDatabase((folder_ / "plant.json").string(), (folder_ / "plant.db").string());
  Open((folder_ / "plant.db").string());
  EXPECT_EQ(NAME2RECID("CREATED", 7), 5000);
  // A relative folder variable resolves next to the database.
  EXPECT_STREQ(c21_getenv("COMPRESS_SOURCE"), (folder_.path() / "queries").c_str());
  EXPECT_EQ(HistoryCount("TAG1", "VALUE"), 5);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder_.path())) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"plant.db", "plant.json"})) << "no temporary file or folder is left";
  EXPECT_TRUE(fs::exists(folder_ / "plant.db/data.mdb"));
}

TEST_F(JsonFilesTest, FilesInOtherShapesImportAsTheFormatAllows) {
  // Records before the catalog, entries without ids, a pointer to a later
  // record: the file is read whole first and built as before.
  ImportText(Minimal(R"(, "records": [{"name": "A", "definition": "D", "values": {"P": "B"}},
                                      {"name": "B", "definition": "D", "values": {"P": "A", "N": 3}}],
                        "definitions": [{"name": "D", "fields": [{"name": "P", "type": "pointer", "length": 4},
                                                                {"name": "N", "type": "integer", "length": 79}]}],
                        "history": [])"));
  EXPECT_EQ(*CurrentText("A", "P"), "B");
  EXPECT_EQ(*CurrentText("B", "P"), "A");
  EXPECT_EQ(NAME2RECID("D", 1), 102) << "ids are taken in order, the fields the definition names first";
  // The exporter's shape with a forward pointer streams and resolves it at
  // the end; a history sample may hold a pointer object.
  Reset();
  fs::remove_all(folder_ / "plant.db");
  ImportText(Minimal(R"(, "fields": [{"name": "P", "number": 1, "id": 100}, {"name": "F", "number": 2, "id": 104}],
      "definitions": [{"id": 101, "name": "D", "fields": [{"name": "P", "type": "pointer", "length": 4},
                                                        {"name": "F", "type": "pointer", "length": 8, "history": 1}]}],
      "records": [{"id": 102, "name": "A", "definition": "D", "values": {"P": "B"}},
                  {"id": 103, "name": "B", "definition": "D"}],
      "history": [{"record": "A", "field": "F",
                   "samples": [["2024-01-01T00:00:00Z", {"record": "B", "field": "P"}],
                               ["2024-01-01T00:01:00Z", "A", 2]]}])"));
  EXPECT_EQ(*CurrentText("A", "P"), "B");
  EXPECT_EQ(HistoryCount("A", "F"), 2);
  EXPECT_EQ(ImportError(Minimal(
                R"(, "history": [{"record": "A", "field": "F", "samples": [["2024-01-01T00:00:00Z", 1, 2, 3]]}])")),
            "plant.json: /history/0/samples/0: expected [time, value] or [time, value, level]");
}

// A streamed import of more entries than it reads between dropping the
// store's mapped pages, with history entries looking up records scattered
// over the store: every value and sample reads back, and the free id after
// the import is the gap in the file's ids (found without walking the records),
// then the id past a record that came without one.
TEST_F(JsonFilesTest, ALongStreamedImportKeepsEveryEntryAndItsFreeId) {
  constexpr int kRecords = 1200, kGap = 1000, kFirst = 102;
  std::string records, history;
  for (int i = 0; i < kRecords; ++i) {
    if (i == kGap) continue;
    records += fmt::format(R"({}{{"id": {}, "name": "R{}", "definition": "D", "values": {{"V": {}}}}})",
                           records.empty() ? "" : ",", kFirst + i, i, i);
    if (i % 7 == 0) {
      history += fmt::format(R"({}{{"record": "R{}", "field": "V", "samples": [["2024-01-01T00:00:00Z", {}],
                                                                                ["2024-01-01T00:01:00Z", {}]]}})",
                             history.empty() ? "" : ",", i, i, -i);
    }
  }
  const std::string catalog = R"(, "fields": [{"name": "V", "number": 1, "id": 100}],
      "definitions": [{"id": 101, "name": "D", "fields": [{"name": "V", "type": "integer", "length": 79,
                                                          "history": 1}]}])";
  ImportText(Minimal(catalog + R"(, "records": [)" + records + R"(], "history": [)" + history + "]"));
  for (int i = 0; i < kRecords; i += 7) {
    if (i == kGap) continue;
    EXPECT_EQ(*CurrentText(fmt::format("R{}", i), "V"), std::to_string(i)) << "record " << i;
    EXPECT_EQ(HistoryCount(fmt::format("R{}", i), "V"), 2) << "record " << i;
  }
  int32_t next = 0;
  NXTFREE(1, &next);
  EXPECT_EQ(next, kFirst + kGap);

  // A record without an id takes the gap; the free id is then past the last.
  Reset();
  fs::remove_all(folder_ / "plant.db");
  ImportText(Minimal(catalog + R"(, "records": [)" + records + R"(, {"name": "LATE", "definition": "D"}])" +
                     R"(, "history": [)" + history + "]"));
  EXPECT_EQ(NAME2RECID("LATE", 4), kFirst + kGap);
  NXTFREE(1, &next);
  EXPECT_EQ(next, kFirst + kRecords);
}

TEST_F(JsonFilesTest, ErrorsNameTheFileThePathAndTheProblem) {
  EXPECT_NE(ImportError("{").find("plant.json: not valid JSON"), std::string::npos);
  EXPECT_EQ(ImportError("[]"), "plant.json: /: expected an object");
  EXPECT_EQ(ImportError(R"({"format": "other", "version": 1})"), "plant.json: /format: expected \"dorvik-database\"");
  EXPECT_EQ(ImportError(R"({"version": 1})"), "plant.json: /format: missing");
  EXPECT_EQ(ImportError(Minimal(R"(, "colour": 1)")), "plant.json: /colour: unknown key");
  EXPECT_EQ(ImportError(Minimal(R"(, "definitions": [{"name": "D", "fields": [{"name": "F", "type": "float"}]}])")),
            "plant.json: /definitions/0/fields/0/type: unknown type name");
  EXPECT_EQ(ImportError(
                Minimal(R"(, "definitions": [{"name": "D", "fields": [{"name": "F", "type": "real", "length": 5}]}])")),
            "plant.json: /definitions/0/fields/0: a real field has length 4 or 8");
  const std::string definitions = R"(, "definitions": [{"name": "D", "fields": [)"
                                  R"({"name": "F", "type": "integer", "length": 79},)"
                                  R"({"name": "P", "type": "pointer", "length": 4}]}])";
  EXPECT_EQ(
      ImportError(Minimal(definitions + R"(, "records": [{"name": "R", "definition": "D", "values": {"F": "x"}}])")),
      "plant.json: /records/0/values/F: the value is not valid for the field: value does not convert");
  EXPECT_EQ(ImportError(
                Minimal(definitions + R"(, "records": [{"name": "R", "definition": "D", "values": {"P": "NOBODY"}}])")),
            "plant.json: /records/0/values/P: the value is not valid for the field: referenced record not found");
  EXPECT_EQ(ImportError(Minimal(definitions + R"(, "records": [{"name": "R", "definition": "X"}])")),
            "plant.json: /records/0: \"X\" is not a definition record");
  EXPECT_EQ(ImportError(Minimal(
                definitions + R"(, "records": [{"name": "R", "definition": "D"}, {"name": "r", "definition": "D"}])")),
            "plant.json: /records/1: the record name \"r\" is already used");
  EXPECT_EQ(ImportError(Minimal(R"(, "records": [{"id": 5, "name": "R", "definition": "D"}])")),
            "plant.json: /records/0: id 5 lies outside 100 to 9999999");
  EXPECT_EQ(ImportError(Minimal(R"(, "history": [{"record": "R", "field": "F", "samples": [[1, 2]]}])")),
            "plant.json: /history/0/samples/0/0: expected a time like \"2024-03-07T09:05:01Z\"");
  EXPECT_EQ(ImportError(Minimal(R"(, "selectors": [{"name": "S", "width": 2, "texts": ["ABC"]}])")),
            "plant.json: /selectors/0: the text \"ABC\" is wider than 2");
  EXPECT_EQ(ImportError(Minimal(R"(, "fields": [{"name": "A", "number": 70000}])")),
            "plant.json: /fields/0/number: out of range 0 to 4095");
  EXPECT_EQ(ImportError(Minimal(R"(, "environment": [{"name": "E", "value": "\uD83D\uDE00"}])")),
            "plant.json: /environment/0/value: the text has a character the code page lacks");
  // A number beyond a double is bad JSON, not an escaping exception.
  EXPECT_NE(ImportError(Minimal(R"(, "fields": [{"name": "A", "number": 1e999}])")).find("plant.json: not valid JSON"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(folder_ / "plant.db")) << "a failed import leaves no database behind";
}

TEST_F(JsonFilesTest, MissingFilesExistingDatabasesAndUnwritableTargetsAreReported) {
  EXPECT_THROW(ImportDatabase("/nonexistent/folder/plant.json", (folder_ / "a.db").string()), DatabaseError);
  WriteFile(folder_ / "plant.json", Minimal(""));
  fs::create_directory(folder_ / "taken.db");
  EXPECT_THROW(ImportDatabase((folder_ / "plant.json").string(), (folder_ / "taken.db").string()), DatabaseError);
  Install(PlantBuilder());
  EXPECT_THROW(ExportDatabase("/nonexistent/folder/plant.json"), DatabaseError);
  EXPECT_THROW(ExportDatabase((folder_ / "taken.db").string()), DatabaseError) << "a folder is not replaced";
}

// The file is renamed onto the name itself: the exporter's own link there is
// replaced, and the file it pointed at keeps its text. The new file is
// private.
TEST_F(JsonFilesTest, ExportReplacesALinkAtTheNameNotWhatItPointsAt) {
  Install(PlantBuilder());
  WriteFile(folder_ / "real.json", "old");
  ::chmod((folder_ / "real.json").c_str(), 0640);
  fs::create_symlink(folder_ / "real.json", folder_ / "link.json");
  ExportDatabase((folder_ / "link.json").string());
  EXPECT_FALSE(fs::is_symlink(folder_ / "link.json"));
  EXPECT_NE(FileText(folder_ / "link.json").find("dorvik-database"), std::string::npos);
  EXPECT_EQ(FileText(folder_ / "real.json"), "old");
  struct stat status {};
  ASSERT_EQ(::lstat((folder_ / "link.json").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace dorvik::testing
