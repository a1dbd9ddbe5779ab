// The database file: round trips and validation errors.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

namespace fs = std::filesystem;

fs::path Folder() {
  const fs::path folder = fs::temp_directory_path() / ("dorvik_file_test_" + std::to_string(::getpid()));
  fs::create_directories(folder);
  return folder;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Opens JSON text written to "plant.json" of a fresh folder.
void OpenText(const std::string& text) {
  const fs::path path = Folder() / "plant.json";
  std::ofstream(path, std::ios::binary) << text;
  Open(path.string());
}

std::string Minimal(const std::string& body) {
  return R"({"format": "dorvik-database", "version": 1)" + body + "}";
}

// The error of opening text, without the folder before "plant.json".
std::string LoadError(const std::string& text) {
  try {
    OpenText(text);
  } catch (const DatabaseError& error) {
    const std::string message = error.what();
    const std::size_t at = message.find("plant.json");
    return at == std::string::npos ? message : message.substr(at);
  }
  return "loaded";
}

TEST(DatabaseFileTest, LoadSaveLoadGivesTheSameDatabase) {
  DatabaseBuilder builder = PlantBuilder();
  builder.Set("TAG2", "UNITS", "\xB0" "C \x80")  // degree sign and euro sign of the code page
      .Set("TAG2", "LAST_CHANGE", At(1'700'000'000))
      .Set("TAG2", "VALUE", Sample(-0.1, 0, 0, Timestamp{123456789}))
      .Set("TAG2", "DESCRIPTION", "tab\tand \"quotes\"");
  const fs::path folder = Folder();
  WriteDatabaseFile(builder, (folder / "first.json").string());
  Reset();
  Open((folder / "first.json").string());
  Save((folder / "second.json").string());
  const std::string first = ReadFile(folder / "first.json");
  EXPECT_EQ(first, ReadFile(folder / "second.json"));
  EXPECT_NE(first.find("\"\u00B0C \u20AC\""), std::string::npos);
  EXPECT_NE(first.find("2023-11-14T22:13:20Z"), std::string::npos);
  EXPECT_EQ(*CurrentText("TAG2", "UNITS"), "\xB0" "C \x80");
  EXPECT_EQ(*CurrentText("TAG2", "VALUE"), "-0.1");
  EXPECT_EQ(*CurrentText("TAG2", "DESCRIPTION"), "tab\tand \"quotes\"");
  Reset();
  fs::remove_all(folder);
}

TEST(DatabaseFileTest, SavedFilesOpenAndKeepRecordsWritten) {
  Reset();
  Install(PlantBuilder());
  const fs::path folder = Folder();
  const std::string path = (folder / "plant.json").string();
  SetTlsData("VNT", "vntsystem");
  ERRBLOCK error{};
  CREATERECORD(5000, NAME2RECID("VN_AnalogDef", 12), 0, 0, "CREATED", 7, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  Save(path);
  Reset();
  Open(path);
  EXPECT_EQ(NAME2RECID("CREATED", 7), 5000);
  EXPECT_STREQ(c21_getenv("COMPRESS_SOURCE"), (folder / "queries").c_str());
  EXPECT_EQ(HistoryCount("TAG1", "VALUE"), 5);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << "no temporary file is left";
  Reset();
  fs::remove_all(folder);
}

TEST(DatabaseFileTest, ErrorsNameTheFileThePathAndTheProblem) {
  EXPECT_NE(LoadError("{").find("plant.json: not valid JSON"), std::string::npos);
  EXPECT_EQ(LoadError("[]"), "plant.json: /: expected an object");
  EXPECT_EQ(LoadError(R"({"format": "other", "version": 1})"), "plant.json: /format: expected \"dorvik-database\"");
  EXPECT_EQ(LoadError(Minimal(R"(, "colour": 1)")), "plant.json: /colour: unknown key");
  EXPECT_EQ(LoadError(Minimal(R"(, "definitions": [{"name": "D", "fields": [{"name": "F", "type": "float"}]}])")),
            "plant.json: /definitions/0/fields/0/type: unknown type name");
  EXPECT_EQ(LoadError(Minimal(R"(, "definitions": [{"name": "D", "fields": [{"name": "F", "type": "real", "length": 5}]}])")),
            "plant.json: /definitions/0/fields/0: a real field has length 4 or 8");
  const std::string definitions =
      R"(, "definitions": [{"name": "D", "fields": [{"name": "F", "type": "integer", "length": 79}, {"name": "P", "type": "pointer", "length": 4}]}])";
  EXPECT_EQ(LoadError(Minimal(definitions + R"(, "records": [{"name": "R", "definition": "D", "values": {"F": "x"}}])")),
            "plant.json: /records/0/values/F: the value is not valid for the field: value does not convert");
  EXPECT_EQ(LoadError(Minimal(definitions + R"(, "records": [{"name": "R", "definition": "D", "values": {"P": "NOBODY"}}])")),
            "plant.json: /records/0/values/P: the value is not valid for the field: referenced record not found");
  EXPECT_EQ(LoadError(Minimal(definitions + R"(, "records": [{"name": "R", "definition": "X"}])")),
            "plant.json: /records/0: \"X\" is not a definition record");
  EXPECT_EQ(LoadError(Minimal(definitions + R"(, "records": [{"name": "R", "definition": "D"}, {"name": "r", "definition": "D"}])")),
            "plant.json: /records/1: the record name \"r\" is already used");
  EXPECT_EQ(LoadError(Minimal(R"(, "records": [{"id": 5, "name": "R", "definition": "D"}])")),
            "plant.json: /records/0: id 5 lies outside 100 to 9999999");
  EXPECT_EQ(LoadError(Minimal(R"(, "history": [{"record": "R", "field": "F", "samples": [[1, 2]]}])")),
            "plant.json: /history/0/samples/0/0: expected a time like \"2024-03-07T09:05:01Z\"");
  EXPECT_EQ(LoadError(Minimal(R"(, "selectors": [{"name": "S", "width": 2, "texts": ["ABC"]}])")),
            "plant.json: /selectors/0: the text \"ABC\" is wider than 2");
  EXPECT_EQ(LoadError(Minimal(R"(, "fields": [{"name": "A", "number": 70000}])")),
            "plant.json: /fields/0/number: out of range 0 to 4095");
  EXPECT_EQ(LoadError(Minimal(R"(, "environment": [{"name": "E", "value": "\uD83D\uDE00"}])")),
            "plant.json: /environment/0/value: the text has a character the code page lacks");
}

TEST(DatabaseFileTest, MissingFilesAndUnwritableTargetsAreReported) {
  EXPECT_THROW(Open("/nonexistent/folder/plant.json"), DatabaseError);
  Install(PlantBuilder());
  EXPECT_THROW(Save("/nonexistent/folder/plant.json"), DatabaseError);
  Reset();
}

}  // namespace
}  // namespace dorvik::testing
