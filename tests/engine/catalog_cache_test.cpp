// The catalog cache of one process: the single-item catalog calls answer
// from it as they answered from the store, log as before, and follow every
// change of the catalog made here through the catalog generation. Changes
// made by other processes, and writers dying mid-change, are in
// multiprocess_test.cpp.
#include <cerrno>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "engine/errors.h"
#include "engine/folded_name.h"
#include "engine_test_support.h"

namespace dorvik::testing {
namespace {

using dorvik::api::kKindDefinition;

class CatalogCacheTest : public EngineTest {
 protected:
  static std::string RecordName(int32_t id) {
    char name[dorvik::api::kNameBufferSize] = {};
    int16_t length = -1;
    GETNAMDB_LNAME(&id, name, &length);
    return std::string(name, static_cast<std::size_t>(length));
  }

  static std::string FieldName(int32_t id, int32_t tag) {
    char name[dorvik::api::kFieldNameBufferSize] = {};
    int16_t length = -1;
    GETFTDB_LNAME(id, tag, name, &length);
    return std::string(name, static_cast<std::size_t>(length));
  }

  // Every catalog answer about a record, as one line to compare.
  static std::string Answers(int32_t id, std::string_view name) {
    return fmt::format("{} {} {} {} {} {} [{}] [{}] [{}]", Id(name), DEFINID(id), RECTYPEOK(id, -3),
                       RECTYPEOK(id, -19), RECTYPEOK(id, kKindDefinition), VALIDUSA(id), RecordName(id),
                       FieldName(id, Tag("VALUE")), FieldName(id, Tag("TREND") + 2));
  }

  static ERRBLOCK Create(int32_t id, std::string_view name) {
    ERRBLOCK error{};
    CREATERECORD(id, Id("VN_AnalogDef"), 0, 0, name.data(), static_cast<int16_t>(name.size()), &error);
    return error;
  }
};

TEST_F(CatalogCacheTest, WarmAnswersAreTheStoresAnswersAndLogTheSameCalls) {
  const int32_t analog = Id("VN_AnalogDef"), tag1 = Id("TAG1");
  ASSERT_GT(analog, 0);
  const std::vector<std::pair<int32_t, std::string>> asked = {
      {tag1, "TAG1"}, {Id("OFFLINE"), "offline"}, {Id("VN_Task1"), "VN_TASK1"}, {analog, "VN_AnalogDef"},
      {Id("VN_OnOffAuto"), "VN_OnOffAuto"}, {7777, "NO_SUCH"}, {0, " TAG2 "}, {-4, ""}};
  EnableCallLog();
  std::vector<std::string> cold;
  for (const auto& [id, name] : asked) cold.push_back(Answers(id, name));
  const std::vector<LoggedCall> coldLog = CallLog();
  const CatalogCacheState filled = CatalogCacheInfo();
  ClearCallLog();
  for (std::size_t i = 0; i < asked.size(); ++i) {
    EXPECT_EQ(Answers(asked[i].first, asked[i].second), cold[i]) << asked[i].second;
  }
  const std::vector<LoggedCall> warmLog = CallLog();
  ASSERT_EQ(warmLog.size(), coldLog.size());
  for (std::size_t i = 0; i < warmLog.size(); ++i) {
    EXPECT_EQ(warmLog[i].function, coldLog[i].function);
    EXPECT_EQ(warmLog[i].arguments, coldLog[i].arguments);
  }
  const CatalogCacheState warm = CatalogCacheInfo();
  EXPECT_EQ(warm.records, filled.records) << "warm calls add nothing";
  EXPECT_EQ(warm.names, filled.names);
  EXPECT_GE(filled.records, asked.size() - 1);  // id 0 and -4 share "no record"
  EXPECT_EQ(warm.generation % 2, 0u);
  // What the answers are, not only that they repeat.
  EXPECT_EQ(cold[0], fmt::format("{} {} 1 0 0 1 [TAG1] [VALUE] [2 TREND]", tag1, analog));
  EXPECT_EQ(cold[1], fmt::format("{} {} 1 0 0 0 [OFFLINE] [VALUE] [2 TREND]", Id("OFFLINE"), analog));
  EXPECT_EQ(cold[2], fmt::format("{} {} 0 1 0 1 [VN_Task1] [] []", Id("VN_Task1"), Id("VN_TaskDef")));
  EXPECT_EQ(RECTYPEOK(analog, kKindDefinition), 1);
  EXPECT_EQ(cold[5], "0 0 0 0 0 0 [] [] []");
  EXPECT_EQ(cold[6], fmt::format("{} 0 0 0 0 0 [] [] []", Id("TAG2")));
  EXPECT_EQ(Id(" TAG2 "), Id("tag2")) << "blanks trimmed, case folded";
}

// GETDATATYPES answers a record's own fields without an occurrence from the
// cache and reads the record for the rest: both give what the store gives.
TEST_F(CatalogCacheTest, DataTypesFromTheCacheEqualThoseReadFromTheRecord) {
  const int32_t tag1 = Id("TAG1"), trend = Tag("TREND");
  const std::vector<IDANDFT> items = {
      {tag1, Tag("VALUE")}, {tag1, Tag("UNITS")}, {tag1, trend}, {tag1, trend + 2}, {tag1, trend + 9},
      {tag1, Tag("TASK_STATE")}, {7777, Tag("VALUE")}, {tag1, 0x1002 << 16}, {Id("VN_OnOffAuto"), 0x1008 << 16},
      {Id("VN_Task1"), Tag("TASK_STATE")}};
  const auto typesAndCodes = [&] {
    std::vector<int16_t> types(items.size());
    std::vector<ERRBLOCK> errors(items.size());
    GETDATATYPES(static_cast<int32_t>(items.size()), items.data(), types.data(), errors.data());
    std::string line;
    for (std::size_t i = 0; i < items.size(); ++i) {
      line += fmt::format("{}:{}/{} ", types[i], errors[i].ERRCODE, errors[i].ERRDETAIL);
    }
    return line;
  };
  const std::string cold = typesAndCodes();
  EXPECT_EQ(typesAndCodes(), cold);
  std::vector<int16_t> types(items.size());
  std::vector<ERRBLOCK> errors(items.size());
  GETDATATYPES(static_cast<int32_t>(items.size()), items.data(), types.data(), errors.data());
  EXPECT_EQ(errors[0].ERRCODE, 0);
  EXPECT_EQ(types[1], 8) << "UNITS holds 8 characters";
  EXPECT_EQ(errors[3].ERRCODE, 0) << "occurrence 2 of 3";
  EXPECT_EQ(types[3], types[2]);
  EXPECT_EQ(errors[4].ERRCODE, kErrOccurrence) << "occurrence 9 of 3";
  EXPECT_EQ(errors[5].ERRCODE, kErrFieldNotFound);
  EXPECT_EQ(errors[5].ERRDETAIL, Tag("TASK_STATE"));
  EXPECT_EQ(errors[6].ERRCODE, kErrRecordNotFound);
  EXPECT_EQ(errors[6].ERRDETAIL, 7777);
  EXPECT_EQ(types[7], 256) << "every record has a name";
  EXPECT_EQ(types[8], 7) << "selector texts are as wide as the selector";
  EXPECT_EQ(errors[9].ERRCODE, 0);
}

TEST_F(CatalogCacheTest, ChangesMadeHereAreSeenByTheNextCallAndMoveTheGeneration) {
  SetTlsData("VNT", "vntsystem");
  const int32_t analog = Id("VN_AnalogDef");
  // Absent answers are kept too, so the change must reach them.
  EXPECT_EQ(DEFINID(7000), 0);
  EXPECT_EQ(Id("NEW"), 0);
  EXPECT_EQ(RecordName(7000), "");
  const uint32_t before = CatalogCacheInfo().generation;
  ASSERT_EQ(Create(7000, "NEW").ERRCODE, 0);
  EXPECT_EQ(CatalogCacheInfo().generation, before + 2);
  EXPECT_EQ(DEFINID(7000), analog);
  EXPECT_EQ(Id("new"), 7000);
  EXPECT_EQ(RECTYPEOK(7000, -3), 1);
  EXPECT_EQ(RecordName(7000), "NEW");
  EXPECT_EQ(FieldName(7000, Tag("UNITS")), "UNITS");

  // A write of values changes no catalog entry: the cache stays.
  const CatalogCacheState kept = CatalogCacheInfo();
  ASSERT_EQ(WriteDouble(7000, Tag("VALUE"), 3.5).ERRCODE, 0);
  EXPECT_EQ(CatalogCacheInfo().generation, kept.generation);
  EXPECT_EQ(DEFINID(7000), analog);
  EXPECT_EQ(CatalogCacheInfo().records, kept.records);

  // Usable flags are catalog: the change empties the cache.
  ERRBLOCK error{};
  EXPECT_EQ(VALIDUSA(7000), 0) << "a new record starts unusable";
  MAKUSABL(7000, &error);
  ASSERT_EQ(error.ERRCODE, 0);
  EXPECT_EQ(CatalogCacheInfo().generation, kept.generation + 2);
  EXPECT_EQ(VALIDUSA(7000), 1);
  EXPECT_EQ(DEFINID(7000), analog);
  EXPECT_EQ(CatalogCacheInfo().records, 1u) << "the entries of the old generation are gone";
  MAKUSABL(7000, &error);  // no change, no commit: the generation stays
  EXPECT_EQ(CatalogCacheInfo().generation, kept.generation + 2);
}

TEST_F(CatalogCacheTest, ACommitThatFailsLeavesTheGenerationEvenAndNothingOfItCached) {
  SetTlsData("VNT", "vntsystem");
  EXPECT_EQ(DEFINID(7001), 0);
  const uint32_t before = CatalogCacheInfo().generation;
  InjectStorageFault(StorageOp::kCommit, ENOSPC);
  EXPECT_EQ(Create(7001, "LOST").ERRCODE, kErrDatabaseFull);
  const uint32_t after = CatalogCacheInfo().generation;
  EXPECT_EQ(after % 2, 0u);
  EXPECT_NE(after, before) << "readers must look again: they cannot tell what the commit did";
  EXPECT_EQ(DEFINID(7001), 0);
  EXPECT_EQ(Id("LOST"), 0);
  // A refusal before any write (the name is taken) commits nothing and changes nothing.
  EXPECT_EQ(Create(7001, "TAG1").ERRCODE, kErrNameInUse);
  EXPECT_EQ(CatalogCacheInfo().generation, after);
  ASSERT_EQ(Create(7001, "FOUND").ERRCODE, 0);
  EXPECT_EQ(Id("FOUND"), 7001);
}

TEST_F(CatalogCacheTest, AReplacedDatabaseStartsWithAnEmptyCache) {
  EXPECT_GT(Id("TAG1"), 0);
  EXPECT_GT(CatalogCacheInfo().records, 0u);
  DatabaseBuilder other;
  other.Definition("OTHER_DEF", {FieldSpec::Real("VALUE")}).Record("TAG1_ELSEWHERE", "OTHER_DEF");
  Install(other);
  EXPECT_EQ(CatalogCacheInfo().records, 0u);
  EXPECT_EQ(Id("TAG1"), 0) << "nothing of the old database is answered";
  EXPECT_EQ(DEFINID(Id("TAG1_ELSEWHERE")), Id("OTHER_DEF"));
  Reset();
  EXPECT_EQ(DEFINID(Id("TAG1_ELSEWHERE")), 0);
  EXPECT_EQ(CatalogCacheInfo().generation, 0u);
}

// The cache's name keys hash and compare a word at a time, with short tails
// read by overlapping loads: every length and every byte position must agree
// with the byte-by-byte rule, bytes from 0x80 and the ASCII neighbours of the
// letters included.
TEST(FoldedNameTest, HashAndEqualityAgreeWithTheByteByByteRuleAtEveryLengthAndPosition) {
  const FoldedHash hash;
  const FoldedEqual equal;
  const auto fold = [](std::string text) {
    for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return text;
  };
  const std::string alphabet = "aZ_9@[`{\x80\xC9\xFF";
  for (std::size_t length = 0; length <= 40; ++length) {
    std::string name;
    for (std::size_t i = 0; i < length; ++i) name += alphabet[(i * 7 + length) % alphabet.size()];
    const std::string folded = fold(name);
    std::string upper = name;
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    EXPECT_TRUE(equal(name, upper)) << length;
    EXPECT_EQ(hash(name), hash(upper)) << length;
    EXPECT_EQ(hash(name), hash(folded)) << length;
    // The cache's way: the caller's name folded once, its keys kept folded.
    const FoldedWords words(upper);
    EXPECT_EQ(words.Hash(), hash(name)) << length;
    EXPECT_TRUE(words.Equals(folded)) << length;
    EXPECT_FALSE(words.Equals(folded + "a")) << length;
    for (std::size_t at = 0; at < length; ++at) {
      for (const char other : alphabet) {
        std::string changed = name;
        changed[at] = other;
        EXPECT_EQ(equal(name, changed), fold(name) == fold(changed)) << length << " at " << at;
        EXPECT_EQ(FoldedWords(changed).Equals(folded), fold(name) == fold(changed)) << length << " at " << at;
      }
    }
    EXPECT_FALSE(equal(name, name + "a")) << length;
  }
  // Past the longest record name the words hold nothing, and equal nothing.
  const std::string longest(FoldedWords::kMaxBytes, 'q');
  EXPECT_TRUE(FoldedWords(std::string(FoldedWords::kMaxBytes, 'Q')).Equals(longest));
  EXPECT_FALSE(FoldedWords(longest + "q").Equals(longest + "q"));
}

}  // namespace
}  // namespace dorvik::testing
