// Management's reference search: the name pattern, the keys and texts of the
// three sources, query files (encodings, line ends, names and links that
// would leave the query folder, special and oversized files), failures and
// repeated names, the lines grep finds, and the sample plant end to end.
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "engine/control.h"
#include "management/management.h"
#include "management/name_search.h"
#include "management/query_folder.h"
#include "platform/codepage.h"
#include "tests/support/fault_of.h"
#include "tests/support/log_capture.h"
#include "tests/support/plant_copy.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

namespace fs = std::filesystem;
using contracts::ReferenceInfo;
using contracts::TagReference;
using contracts::TagReferences;
using dorvik::FieldSpec;
using dorvik::RecordLink;
using dorvik::Sample;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using vantrel::testing::FaultOf;

constexpr auto kCalc = contracts::ReferenceSourceTypeEnum::Calculation;
constexpr auto kFields = contracts::ReferenceSourceTypeEnum::RecordReference;
constexpr auto kSql = contracts::ReferenceSourceTypeEnum::SqlQuery;

struct ManagementPeer : Management {
  using Management::EscapeMetaCharacter;
  using Management::kMetaCharacters;
};

std::vector<Sample> Lines(std::initializer_list<const char*> lines) { return {lines.begin(), lines.end()}; }

// The keys of a name's entry, in order.
std::vector<std::string> Keys(const TagReference& entry) {
  std::vector<std::string> keys;
  for (const auto& [key, info] : entry) keys.push_back(key);
  return keys;
}

// ASCII text in UTF-16 or UTF-32 code units of the given byte order.
std::string Widen(std::string_view text, std::size_t unit, bool bigEndian) {
  std::string wide;
  for (const char c : text) {
    std::string code(unit, '\0');
    code[bigEndian ? unit - 1 : 0] = c;
    wide += code;
  }
  return wide;
}

bool KernelHasOpenat2() {
  errno = 0;
  ::syscall(SYS_openat2, -1, "", nullptr, 0);
  return errno != ENOSYS && errno != EPERM;
}

// Query records, calculations and tags over a query folder of its own.
class ReferenceSearchTest : public ::testing::Test {
 protected:
  ReferenceSearchTest() : root_(plantFolder_.Folder()), queries_(root_ / "queries") {
    fs::create_directories(queries_);
    const auto lines = [](const char* count, const char* line) {
      return std::vector<FieldSpec>{FieldSpec::Count(count), FieldSpec::Text(line, 80).InRepeatArea(count)};
    };
    builder_.Environment("COMPRESS_SOURCE", queries_.string())
        .Definition("VN_AnalogDef", {FieldSpec::Real("VALUE")})
        .Definition("VN_CalcDef", lines("CALC_LINE_COUNT", "CALC_LINE"))
        .Definition("QueryDef", lines("QUERY_LINE_COUNT", "QUERY_LINE"))
        .Definition("TextViewDef", lines("QUERY_LINE_COUNT", "QUERY_LINE"))
        .Definition("VN_LinkDef",
                    {FieldSpec::RecordPointer("F1"), FieldSpec::RecordPointer("F2"), FieldSpec::RecordPointer("F3")});
    for (const char* definition : {"CompQueryDef", "ProcedureDef", "ViewDef"}) {
      builder_.Definition(definition, {FieldSpec::RecordPointer("QUERY_SOURCE")});
    }
    for (const char* tag : {"TAG1", "TAG2", "NOBODY"}) builder_.Record(tag, "VN_AnalogDef");
  }
  void Install() {
    vantrel::testing::InstallDatabase(builder_);
    dorvik::EnableCallLog();
  }
  void TearDown() override { dorvik::EnableCallLog(false); }
  // A record of CompQueryDef and its query file.
  void Query(const std::string& record, std::string_view bytes) {
    builder_.Record(record, "CompQueryDef");
    std::ofstream(queries_ / (record + ".sql"), std::ios::binary) << bytes;
  }
  std::string Info(const TagReferences& references, const std::string& name, const std::string& key) {
    const auto entry = references.find(name);
    if (entry == references.end() || !entry->second.contains(key)) return "(none)";
    return entry->second.at(key).Info;
  }

  vantrel::testing::PlantCopy plantFolder_;  // a folder of its own, removed afterwards
  fs::path root_;
  fs::path queries_;
  dorvik::DatabaseBuilder builder_;
  Management management;
};

TEST_F(ReferenceSearchTest, NamesMatchAsWholeWordsQuotedOrNotWithoutRegardToCase) {
  builder_.Record("CALC1", "VN_CalcDef")
      .SetOccurrences("CALC1", "CALC_LINE",
                      Lines({"X = TAG10 + MYTAG1 + TAG1_OLD + ATAG1", "Y = 'tag1'", "Z = TAG1.VALUE",
                             "W = (TAG1) + A.B", "V = AxB + TAG-", "U = TAG-X + \"Tag1\"", "T = TAG-'X|TAG1|",
                             "S = \xC4TAG1 + TAG1\xE9 + 1TAG1", "R = \xABTAG1\xBB", "Q = A^[].${}*()+|?<>\\B + AB"}));
  Install();
  const TagReferences found =
      management.FindReferencesBySource({"TAG1", "tag1", "A.B", "TAG-", "A^[].${}*()+|?<>\\B"}, kCalc);
  EXPECT_EQ(found.at("TAG1").at("CALC1 (CALC_LINE)"),
            (ReferenceInfo{kCalc, "Line(s): 2, 3, 4, 6, 7, 9", "VN_CalcDef (Shared Calc)"}));
  EXPECT_EQ(Info(found, "tag1", "CALC1 (CALC_LINE)"), "Line(s): 2, 3, 4, 6, 7, 9");
  EXPECT_EQ(Info(found, "A.B", "CALC1 (CALC_LINE)"), "Line(s): 4");
  EXPECT_EQ(Info(found, "TAG-", "CALC1 (CALC_LINE)"), "Line(s): 6, 7") << "a word character must follow TAG-";
  EXPECT_EQ(Info(found, "A^[].${}*()+|?<>\\B", "CALC1 (CALC_LINE)"), "Line(s): 10");
  // With the field definitions cached, the lines of the definition are read in one request.
  dorvik::ClearCallLog();
  management.FindReferencesBySource({"TAG1", "A.B"}, kCalc);
  EXPECT_EQ(dorvik::CallCount("MRDBVALS"), 1);
}

TEST(EscapeMetaCharacterTest, EscapesEachOfTheSixteenOnceAndNothingElse) {
  std::string escaped;
  for (const char c : ManagementPeer::kMetaCharacters) escaped.append({'\\', c});
  EXPECT_EQ(ManagementPeer::kMetaCharacters.size(), 16u);
  EXPECT_EQ(ManagementPeer::EscapeMetaCharacter(ManagementPeer::kMetaCharacters), escaped);
  EXPECT_EQ(ManagementPeer::EscapeMetaCharacter("a-b #/,'\"~ \xC3\xA9"), "a-b #/,'\"~ \xC3\xA9");
}

// The search finds names through their longest ASCII run that matches only
// ASCII without case; a PCRE2 whose case rules grow must show up here.
TEST(NamePatternTest, OnlyKAndSMatchCharactersBeyondAsciiWithoutCase) {
  std::string beyond;
  for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) platform::AppendUtf8(beyond, c);
  }
  std::set<std::pair<char, std::string>> matches;
  for (char c = '!'; c <= '~'; ++c) {
    const std::string pattern = ManagementPeer::EscapeMetaCharacter(std::string(1, c));
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                     PCRE2_UTF | PCRE2_UCP | PCRE2_CASELESS, &error, &offset, nullptr);
    ASSERT_NE(code, nullptr);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    for (PCRE2_SIZE at = 0;
         pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(beyond.data()), beyond.size(), at, 0, data, nullptr) > 0;) {
      const PCRE2_SIZE* span = pcre2_get_ovector_pointer(data);
      matches.emplace(c, beyond.substr(span[0], span[1] - span[0]));
      at = span[1];
    }
    pcre2_match_data_free(data);
    pcre2_code_free(code);
  }
  EXPECT_THAT(matches, ElementsAre(Pair('K', "\u212A"), Pair('S', "\u017F"), Pair('k', "\u212A"), Pair('s', "\u017F")));
  EXPECT_EQ(NamePattern::Anchor("FLASK_1"), "fla");
  EXPECT_EQ(NamePattern::Anchor("\xC3\x84Kiss.Me"), ".me");
}

TEST_F(ReferenceSearchTest, RecordFieldsAreListedPerReferringRecordAndEveryNameGetsAnEntry) {
  builder_.Record("LINKS", "VN_LinkDef")
      .Set("LINKS", "F1", RecordLink{"TAG1"})
      .Set("LINKS", "F2", RecordLink{"TAG2"})
      .Set("LINKS", "F3", RecordLink{"TAG1"});
  Install();
  const TagReferences all = management.FindReferences({"TAG1", "NOBODY", "NO_SUCH_TAG"});
  EXPECT_EQ(all.at("TAG1"), (TagReference{{"LINKS", {kFields, "Field(s):F1, F3", "VN_LinkDef"}}}));
  EXPECT_TRUE(all.at("NOBODY").empty());
  EXPECT_TRUE(all.at("NO_SUCH_TAG").empty());
  EXPECT_TRUE(management.FindReferencesBySource({"NOBODY"}, kCalc).empty());
  EXPECT_TRUE(management.FindReferencesBySource({"NOBODY"}, kSql).empty());

  dorvik::ClearCallLog();
  management.FindReferencesBySource({"TAG1"}, kFields);
  const std::vector<std::string> cursors = vantrel::testing::CallArguments("NXTREFER");
  ASSERT_EQ(cursors.size(), 3u) << "two references, then the end";
  EXPECT_EQ(cursors.front(), fmt::format("target={} at=0/0x0", management.GetTagID("TAG1")));
}

TEST_F(ReferenceSearchTest, QueryLinesAndQueryFilesAreKeyedByRecord) {
  builder_.Record("Q1", "QueryDef")
      .SetOccurrences("Q1", "QUERY_LINE", Lines({"SELECT TAG1", "FROM X"}))
      .Record("TV1", "TextViewDef")
      .SetOccurrences("TV1", "QUERY_LINE", Lines({"--", "tag2, tag1"}))
      .Record("PR1", "ProcedureDef")
      .Record("VW1", "ViewDef");
  Query("CQ1", "SELECT TAG2\nFROM TAG1\nWHERE 'TAG2'\n");
  builder_.Set("CQ1", "QUERY_SOURCE", RecordLink{"TAG1"});
  std::ofstream(queries_ / "PR1.sql") << "EXEC TAG1";
  Install();
  const TagReferences found = management.FindReferences({"TAG1", "TAG2"});
  EXPECT_EQ(found.at("TAG1"), (TagReference{{"CQ1", {kFields, "Field(s):QUERY_SOURCE", "CompQueryDef"}},
                                            {"Q1 (QUERY_LINE)", {kSql, "Line(s): 1", "QueryDef"}},
                                            {"TV1 (QUERY_LINE)", {kSql, "Line(s): 2", "TextViewDef"}},
                                            {"CQ1 (QUERY_LINE)", {kSql, "Line(s): 2", "CompQueryDef"}},
                                            {"PR1", {kSql, "Line(s): 1", "ProcedureDef"}}}));
  EXPECT_EQ(found.at("TAG2"), (TagReference{{"TV1 (QUERY_LINE)", {kSql, "Line(s): 2", "TextViewDef"}},
                                            {"CQ1", {kSql, "Line(s): 1, 3", "CompQueryDef"}}}));

  dorvik::ClearCallLog();
  EXPECT_EQ(management.FindReferencesBySource({"TAG1", "TAG1", "TAG2"}, kSql),
            management.FindReferencesBySource({"TAG1", "TAG2"}, kSql))
      << "a name given twice is searched once";
  EXPECT_EQ(dorvik::CallCount("c21_getenv"), 2);
  EXPECT_EQ(dorvik::CallCount("SetTlsData"), 2) << "one reading session per query-record search";

  dorvik::SetEnvironment("COMPRESS_SOURCE", std::nullopt);
  EXPECT_THAT(Keys(management.FindReferencesBySource({"TAG1"}, kSql).at("TAG1")),
              ElementsAre("Q1 (QUERY_LINE)", "TV1 (QUERY_LINE)"));
}

TEST_F(ReferenceSearchTest, QueryFilesAreReadInTheirEncodingWithEveryLineEnd) {
  const std::string text = "x\nTAG1 y\rz 'tag1'\r\n\r\nTAG1";  // lines 2, 3 and 5 name TAG1
  Query("UTF8", text);
  Query("UTF8_BOM", "\xEF\xBB\xBF" + text);
  Query("UTF16LE", "\xFF\xFE" + Widen(text, 2, false));
  Query("UTF16BE", "\xFE\xFF" + Widen(text, 2, true));
  Query("UTF32LE", std::string("\xFF\xFE\0\0", 4) + Widen(text, 4, false));
  Query("UTF32BE", std::string("\0\0\xFE\xFF", 4) + Widen(text, 4, true));
  Query("UTF16_NO_BOM", Widen(text, 2, false));  // read as UTF-8: NUL between the letters
  Query("INVALID", "\xFFTAG1\xFE\nTA\xFFG1\n\xE2\x82TAG1\xC0");
  // Letters, marks (U+0301) and connectors (U+203F) are word characters,
  // other numbers than decimal digits (U+00B2, U+2167) are not.
  Query("UNICODE",
        "fla\u017F\u212A_1 \u00C4TAG1 TAG1\u00E9 1TAG1 TAG1\u0301 \u203FTAG1\n\u00ABTAG1\u00BB\n"
        "\u00B2TAG1\u2167");
  Install();
  const TagReferences found = management.FindReferencesBySource({"TAG1", "FLASK_1"}, kSql);
  for (const char* record : {"UTF8", "UTF8_BOM", "UTF16LE", "UTF16BE", "UTF32LE", "UTF32BE"}) {
    EXPECT_EQ(Info(found, "TAG1", record), "Line(s): 2, 3, 5") << record;
  }
  EXPECT_EQ(Info(found, "TAG1", "UTF16_NO_BOM"), "(none)");
  EXPECT_EQ(Info(found, "TAG1", "INVALID"), "Line(s): 1, 3") << "a replacement character is no word character";
  EXPECT_EQ(Info(found, "TAG1", "UNICODE"), "Line(s): 2, 3");
  EXPECT_EQ(Info(found, "FLASK_1", "UNICODE"), "Line(s): 1") << "long s and the Kelvin sign match s and k";
}

TEST_F(ReferenceSearchTest, QueryFilesOutsideTheFolderAreNeverRead) {
  std::ofstream(root_ / "OUTSIDE.sql") << "TAG1";
  fs::create_directories(queries_ / "SUB");
  std::ofstream(queries_ / "SUB" / "INNER.sql") << "TAG1";
  for (const char* unsafe :
       {"../OUTSIDE", "SUB/INNER", "..", "SUB\\INNER", "LINK_OUT", "LINK_ABS", "LINK_IN", "FIFO", "DIR", "PLAIN"}) {
    builder_.Record(unsafe, "CompQueryDef");
  }
  fs::create_symlink("../OUTSIDE.sql", queries_ / "LINK_OUT.sql");
  fs::create_symlink(root_ / "OUTSIDE.sql", queries_ / "LINK_ABS.sql");
  fs::create_symlink("SUB/INNER.sql", queries_ / "LINK_IN.sql");
  ASSERT_EQ(::mkfifo((queries_ / "FIFO.sql").c_str(), 0600), 0);
  fs::create_directory(queries_ / "DIR.sql");
  std::ofstream(queries_ / "PLAIN.sql") << "TAG1";
  Install();
  vantrel::testing::LogCapture log;
  const TagReferences found = management.FindReferencesBySource({"TAG1"}, kSql);
  if (KernelHasOpenat2()) {
    EXPECT_THAT(Keys(found.at("TAG1")), ElementsAre("LINK_IN", "PLAIN")) << "a link within the folder is followed";
  } else {
    EXPECT_THAT(Keys(found.at("TAG1")), ElementsAre("PLAIN")) << "without openat2 no link is followed";
  }
  EXPECT_EQ(log.Count("is not searched"), KernelHasOpenat2() ? 7u : 8u) << "the directory is skipped silently";
  EXPECT_EQ(log.Count("The query file of ../OUTSIDE is not searched: the record name is not a plain file name."), 1u);
  EXPECT_EQ(log.Count("LINK_ABS is not searched: its query file is a link that leads out of the query folder"),
            KernelHasOpenat2() ? 1u : 0u);
  EXPECT_EQ(log.Count("FIFO is not searched: its query file is not a regular file"), 1u);

  for (const std::string& name :
       std::vector<std::string>{"", ".", "..", "a/b", "a\\b", "/abs", std::string("A\0B", 3)}) {
    EXPECT_FALSE(QueryFolder::IsPlainFileName(name)) << name;
  }
  EXPECT_TRUE(QueryFolder::IsPlainFileName("...Q 1"));
}

TEST_F(ReferenceSearchTest, BinaryFilesAreSearchedWhileOversizedOrUnopenableOnesFailTheSearch) {
  Query("BINARY", std::string("\0\x01\xFF\xFE\0 \x80\nx TAG1\0y\n\xC0\xC1", 16));
  builder_.Record("HUGE", "CompQueryDef").Record("SOCKET", "CompQueryDef");
  Install();
  EXPECT_EQ(Info(management.FindReferencesBySource({"TAG1"}, kSql), "TAG1", "BINARY"), "Line(s): 2");

  std::ofstream(queries_ / "HUGE.sql").close();
  fs::resize_file(queries_ / "HUGE.sql", QueryFolder::kMaxFileBytes + 1);
  EXPECT_THAT(FaultOf([&] { management.FindReferencesBySource({"TAG1"}, kSql); }).Reason().value_or(""),
              HasSubstr("HUGE.sql is larger than 67108864 bytes"));
  fs::remove(queries_ / "HUGE.sql");

  // A socket is there but cannot be opened, whoever asks.
  const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = (queries_ / "SOCKET.sql").string();
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::copy(path.begin(), path.end(), address.sun_path);
  ASSERT_EQ(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(socket);
  EXPECT_THAT(FaultOf([&] { management.FindReferences({"TAG1"}); }).Reason().value_or(""),
              HasSubstr("Could not open the query file " + path));
}

TEST_F(ReferenceSearchTest, FailuresEndTheSearchWithTheirMessage) {
  builder_.Record("CALC1", "VN_CalcDef").SetOccurrences("CALC1", "CALC_LINE", Lines({"TAG1"}));
  Install();
  const auto unknown =
      FaultOf([&] { management.FindReferencesBySource({"TAG1"}, static_cast<contracts::ReferenceSourceTypeEnum>(7)); });
  EXPECT_EQ(unknown.Reason(), "Unknown reference source: 7");
  EXPECT_EQ(unknown.Detail().ErrorType(), "InvalidOperationException");
  EXPECT_THAT(FaultOf([&] { management.FindReferencesBySource({"TAG\xFF"}, kCalc); }).Reason().value_or(""),
              HasSubstr("The tag name TAG\uFFFD is not valid UTF-8"));
  // A line count that cannot be read leaves the lines absent.
  dorvik::InjectFault("DB2SHRT", -900);
  EXPECT_THAT(FaultOf([&] { management.FindReferences({"TAG1"}); }).Reason().value_or(""),
              HasSubstr("The record CALC1 has no value in CALC_LINE"));
  dorvik::InjectFault("MRDBVALS", -900);
  EXPECT_THAT(FaultOf([&] { management.FindReferences({"TAG1"}); }).Reason().value_or(""),
              HasSubstr("Failed to get value for CALC1"));
}

// Runs grep on files and gives, per file, the numbers of the lines it found.
std::map<std::string, std::set<int32_t>> GrepLines(const std::string& word, const std::vector<std::string>& files) {
  std::vector<std::string> arguments{"grep", "-inwE", "-H", "-a", "--", word};
  arguments.insert(arguments.end(), files.begin(), files.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  char locale[] = "LC_ALL=C";
  char* envp[] = {locale, nullptr};
  int pipe[2];
  EXPECT_EQ(::pipe(pipe), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe[0]);
  pid_t child = 0;
  EXPECT_EQ(::posix_spawnp(&child, "grep", &actions, nullptr, argv.data(), envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  std::string output;
  char chunk[4096];
  for (ssize_t got; (got = ::read(pipe[0], chunk, sizeof chunk)) > 0;) output.append(chunk, static_cast<size_t>(got));
  ::close(pipe[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  std::map<std::string, std::set<int32_t>> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) {
    const std::size_t colon = line.find(':');
    const std::string record = fs::path(line.substr(0, colon)).stem().string();
    lines[record].insert(std::stoi(line.substr(colon + 1)));
  }
  return lines;
}

TEST_F(ReferenceSearchTest, FindsTheLinesGrepFinds) {
  const std::vector<std::string> names{"TAG1", "Flow_2", "x9"};
  std::vector<std::string> words{"=", ",", ";", "(", ")", ".", "-", "'", "\"", "|", "SELECT", "7", "_", "A"};
  for (const std::string& name : names) {
    for (const std::string& near : {name, "MY" + name, name + "0", name + "_", "_" + name, name.substr(1),
                                    name.substr(0, name.size() - 1), "'" + name + "'", name + ".VALUE", "9" + name}) {
      words.push_back(near);
    }
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    words.push_back(lower);
  }
  std::mt19937 random(20240307);
  std::vector<std::string> files;
  for (int file = 0; file < 40; ++file) {
    const std::string record = fmt::format("F{:02}", file);
    std::string text;
    for (int line = 0; line < 60; ++line) {
      for (int word = static_cast<int>(random() % 7); word > 0; --word) {
        text += words[random() % words.size()] + (random() % 3 == 0 ? "" : " ");
      }
      text += random() % 4 == 0 ? "\r\n" : "\n";
    }
    Query(record, text);
    files.push_back((queries_ / (record + ".sql")).string());
  }
  Install();
  const TagReferences found = management.FindReferencesBySource(names, kSql);
  for (const std::string& name : names) {
    std::map<std::string, std::set<int32_t>> ours;
    for (const auto& [record, info] : found.at(name)) {
      std::istringstream numbers(info.Info.substr(std::string("Line(s):").size()));
      for (std::string number; std::getline(numbers, number, ',');) ours[record].insert(std::stoi(number));
    }
    EXPECT_EQ(ours, GrepLines(name, files)) << name;
  }
}

TEST(SamplePlantReferencesTest, FindsReferencesInEverySource) {
  dorvik::Reset();
  const vantrel::testing::PlantCopy plant(true);
  dorvik::Open(plant.File());
  Session::RefreshAll();
  Management management;
  const TagReferences found = management.FindReferences({"TI101", "FI301", "P101"});
  EXPECT_EQ(found.at("TI101"),
            (TagReference{{"CALC_DELTA_T (CALC_LINE)", {kCalc, "Line(s): 2, 3", "VN_CalcDef (Shared Calc)"}},
                          {"TI102", {kFields, "Field(s):UPSTREAM_TAG, UPSTREAM_VALUE", "VN_AnalogDef"}},
                          {"CALC_DELTA_T", {kFields, "Field(s):CALC_INPUT", "VN_CalcDef"}},
                          {"Q_DAILY_TEMPS (QUERY_LINE)", {kSql, "Line(s): 3", "QueryDef"}},
                          {"CQ_FEED_SUMMARY", {kSql, "Line(s): 8", "CompQueryDef"}},
                          {"VW_REACTOR", {kSql, "Line(s): 3", "ViewDef"}}}));
  EXPECT_EQ(found.at("FI301").at("CQ_FEED_SUMMARY").Info, "Field(s):QUERY_SOURCE");
  EXPECT_EQ(found.at("FI301").at("CQ_FEED_SUMMARY (QUERY_LINE)").Info, "Line(s): 5");
  EXPECT_EQ(found.at("P101").at("PR_SHIFT_CHANGE"), (ReferenceInfo{kSql, "Line(s): 6", "ProcedureDef"}))
      << "a file with CR LF line ends";
  dorvik::Reset();
}

}  // namespace
}  // namespace vantrel::access
