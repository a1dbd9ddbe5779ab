// Parsing command lines: everything here runs without a database, and a
// line that is wrong is refused before any database would be opened.
#include "cli/app.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/data_commands.h"
#include "engine/control.h"

namespace vantrel::cli {
namespace {

using ::testing::HasSubstr;

std::string Refusal(const std::vector<std::string>& args, LineSource source = LineSource::kProgram) {
  try {
    ParseCommandLine(args, source);
  } catch (const UsageError& error) {
    return error.what();
  }
  ADD_FAILURE() << "accepted";
  return {};
}

template <typename Args>
const Args& ArgsOf(const CommandLine& line) {
  return dynamic_cast<const BoundInvocation<Args>&>(*line.invocation).args;
}

TEST(CommandLineTest, MistakesAreRefusedWithOneLineAndASuggestion) {
  EXPECT_EQ(Refusal({"history", "TI101", "VALUE", "--form", "-1h"}),
            "unknown option --form (did you mean --from?) (vntaccess history --help)");
  EXPECT_EQ(Refusal({"reed", "TI101", "VALUE"}), "unknown command 'reed' (did you mean read?) (vntaccess --help)");
  EXPECT_THAT(Refusal({"read", "TI101", "VALUE", "--jsn"}), HasSubstr("unknown option --jsn (did you mean --json?)"));
  EXPECT_THAT(Refusal({"read"}), HasSubstr("read: RECORD is required"));
  EXPECT_THAT(Refusal({"write", "TI101", "VALUE", "-.5"}),
              HasSubstr("'-.5' reads as an option; write the number as -0.5"));
  EXPECT_THAT(Refusal({"read-ids", "12", "0x20000", "x"}), HasSubstr("read-ids: field tag: 'x' is not a number"));
  EXPECT_THAT(Refusal({"read", "TI101,,TI102", "VALUE"}), HasSubstr("empty record name"));
  EXPECT_THAT(Refusal({"read", "TI101", "VALUE", "--json", "--csv"}), HasSubstr("excludes"));
  EXPECT_THAT(Refusal({"history", "TI101", "VALUE", "--max", "0"}),
              HasSubstr("--max: 0 is out of range (1 to 100000)"));
  EXPECT_THAT(Refusal({"history", "TI101", "VALUE", "--outsiders", "Both"}),
              HasSubstr("kinds: None, BeforeA, AfterA, BothA"));
  EXPECT_THAT(Refusal({"history", "TI101", "VALUE", "--to", "friday"}), HasSubstr("--to: 'friday' is not a time"));
  EXPECT_THAT(Refusal({"write", "TI101", "VALUE", "1", "--status", "99999999"}),
              HasSubstr("write: --status: 99999999 is out of range"));
  EXPECT_THAT(Refusal({"write", "P101", "MODE", "yes", "--type", "bool"}), HasSubstr("use true, false, 1 or 0"));
  EXPECT_THAT(Refusal({"write", "TI101", "VALUE", "1", "--type", "real"}), HasSubstr("'real' is not a value type"));
  EXPECT_THAT(Refusal({"call", "GetTagValue", "{}"}),
              HasSubstr("no operation GetTagValue (did you mean GetTagValues?)"));
  EXPECT_THAT(Refusal({"call", "GetTagValues", "{\"TI101\": \"VALUE\"}"}), HasSubstr("/TI101: expected an array"));
  EXPECT_THAT(Refusal({"call", "SetTagValues", "{"}), HasSubstr("the argument of SetTagValues does not fit"));
  EXPECT_THAT(Refusal({"call", "management.GetFieldName", R"({"tagId": 1})"}), HasSubstr("/fieldId: missing"));
  EXPECT_THAT(Refusal({"call", "server.GetTagID", R"("TI101")"}), HasSubstr("no operation server.GetTagID"));
  EXPECT_THAT(Refusal({"call", "GetServerVersion", "[1]"}), HasSubstr("GetServerVersion takes no argument"));
  EXPECT_THAT(Refusal({"call", "GetTagID"}), HasSubstr("the argument is missing"));
  EXPECT_THAT(Refusal({"help", "hist"}), HasSubstr("no command 'hist' (did you mean history?)"));
  EXPECT_THAT(Refusal({"--database", "other.json", "read", "TI101", "VALUE"}, LineSource::kShell),
              HasSubstr("the shell stays on the database it opened"));
  EXPECT_THAT(Refusal({"--version"}, LineSource::kShell), HasSubstr("unknown option --version"));
  // Names a new record cannot have, refused before any database is opened.
  EXPECT_THAT(Refusal({"create", "VN_AnalogDef", "TI103", " TI104"}),
              HasSubstr("create: ' TI104' starts or ends with a blank; nothing was created"));
  EXPECT_THAT(Refusal({"create", "VN_AnalogDef", ""}), HasSubstr("a record name cannot be empty"));
  EXPECT_THAT(Refusal({"create", "VN_AnalogDef", "TAB\tNAME"}), HasSubstr("holds a control character"));
  EXPECT_THAT(Refusal({"create", "VN_AnalogDef", std::string(257, 'T')}), HasSubstr("longer than 256 characters"));
  EXPECT_THAT(Refusal({"create", "VN_AnalogDef", "\xE6\x97\xA5"}), HasSubstr("characters the database cannot store"));
  EXPECT_THAT(Refusal({"create", "VN_AnalogDef", "\xFF"}), HasSubstr("is not valid UTF-8"));
  EXPECT_THAT(Refusal({"records", "VN_AnalogDef", "--like", ""}), HasSubstr("--like: the pattern is empty"));
  // Commands inside a command: the innermost one is named.
  EXPECT_THAT(Refusal({"server"}), HasSubstr("server: A subcommand is required (vntaccess server --help)"));
  EXPECT_EQ(Refusal({"server", "env"}), "server env: NAME is required (vntaccess server env --help)");
  EXPECT_THAT(Refusal({"server", "env", "X", "--jsn"}),
              HasSubstr("unknown option --jsn (did you mean --json?) (vntaccess server env --help)"));
  EXPECT_FALSE(dorvik::IsLoaded());  // none of this needed a database
}

TEST(CommandLineTest, ArgumentsArriveCheckedAndTyped) {
  const CommandLine read =
      ParseCommandLine({"read", "TI101,TI102", "VALUE", "TREND[2]", "--csv", "--utc"}, LineSource::kProgram);
  EXPECT_EQ(read.command->name, "read");
  EXPECT_EQ(ArgsOf<ReadArgs>(read).records, (std::vector<std::string>{"TI101", "TI102"}));
  EXPECT_EQ(ArgsOf<ReadArgs>(read).fields, (std::vector<std::string>{"VALUE", "TREND[2]"}));
  EXPECT_EQ(read.global.output.format, Format::kCsv);
  EXPECT_TRUE(read.global.output.utc);

  const CommandLine ids = ParseCommandLine({"read-ids", "0x0C", "0x00070002", "131072"}, LineSource::kProgram);
  EXPECT_EQ(ArgsOf<ReadIdsArgs>(ids).record, 12);
  EXPECT_EQ(ArgsOf<ReadIdsArgs>(ids).fieldTags, (std::vector<int32_t>{0x00070002, 0x00020000}));

  // Options may come before or after the command, negative numbers are values.
  const CommandLine write =
      ParseCommandLine({"--dry-run", "write", "TI101", "VALUE", "-5", "--type", "int32", "--status", "3", "--level",
                        "2", "--time", "2024-03-07T01:00:00Z", "--user", "PLANT\\op"},
                       LineSource::kProgram);
  const auto& written = ArgsOf<WriteArgs>(write);
  EXPECT_TRUE(write.global.dryRun);
  EXPECT_EQ(write.global.user, "PLANT\\op");
  EXPECT_EQ(written.typedValues, (std::vector<contracts::Value>{int32_t{-5}}));
  EXPECT_EQ(written.status, int16_t{3});
  EXPECT_EQ(written.level, int16_t{2});
  EXPECT_EQ(written.time, contracts::DateTime(2024, 3, 7, 1, 0, 0, 0, contracts::DateTimeKind::Utc));

  const CommandLine history =
      ParseCommandLine({"history", "TI101", "VALUE", "--outsiders", "botha", "--max", "10"}, LineSource::kProgram);
  const auto& asked = ArgsOf<HistoryArgs>(history);
  EXPECT_EQ(asked.outsiders, contracts::OutsidersRequestTypeEnum::BothA);
  EXPECT_EQ(asked.max, 10);
  // Without --from: the last 24 hours up to now.
  EXPECT_EQ(asked.To(), asked.now);
  EXPECT_EQ(asked.From(), asked.now.AddSeconds(-86400));
  const CommandLine before =
      ParseCommandLine({"history", "TI101", "VALUE", "--to", "2024-03-07T00:00:00Z"}, LineSource::kProgram);
  EXPECT_EQ(ArgsOf<HistoryArgs>(before).From(),
            contracts::DateTime(2024, 3, 6, 0, 0, 0, 0, contracts::DateTimeKind::Utc));

  const CommandLine like =
      ParseCommandLine({"records", "--like", "TI*", "VN_AnalogDef", "--like", "p?01"}, LineSource::kProgram);
  EXPECT_EQ(like.command->name, "records");
  EXPECT_TRUE(NeedsDatabase(*like.command, *like.invocation));
  // Of the server values, only the history limit needs no database.
  const CommandLine limit = ParseCommandLine({"server", "history-limit", "--json"}, LineSource::kProgram);
  EXPECT_FALSE(NeedsDatabase(*limit.command, *limit.invocation));
  EXPECT_EQ(limit.global.output.format, Format::kJson);
  const CommandLine folder = ParseCommandLine({"server", "group-folder"}, LineSource::kProgram);
  EXPECT_TRUE(NeedsDatabase(*folder.command, *folder.invocation));

  const CommandLine call = ParseCommandLine({"call", "GetTagValues", R"({"TI101": ["VALUE"]})"}, LineSource::kProgram);
  EXPECT_EQ(std::get<contracts::Tags>(ArgsOf<CallArgs>(call).request).at("TI101"), contracts::FieldNames{"VALUE"});
  // The other services' operations: named alone or after their service; several parameters by name.
  const CommandLine fieldName =
      ParseCommandLine({"call", "management.GetFieldName", R"({"tagId": 12, "fieldId": 131072})"},
                       LineSource::kProgram);
  EXPECT_EQ(ArgsOf<CallArgs>(fieldName).call->Argument<int32_t>(1), 131072);
  const CommandLine limitCall = ParseCommandLine({"call", "GetMaxHistorySizePerCall"}, LineSource::kProgram);
  EXPECT_EQ(ArgsOf<CallArgs>(limitCall).call->operation().service, contracts::ServiceKind::kServer);
  EXPECT_EQ(ParseCommandLine({}, LineSource::kProgram).command, nullptr);  // the shell
}

TEST(CommandLineTest, HelpAndVersionAreTexts) {
  const auto version = ParseCommandLine({"--version"}, LineSource::kProgram).text;
  ASSERT_TRUE(version);
  EXPECT_THAT(*version, HasSubstr("vntaccess 17."));
  const auto program = ParseCommandLine({"--help"}, LineSource::kProgram).text;
  ASSERT_TRUE(program);
  for (const char* part : {"Commands:", "history", "Exit codes:", "5  part of what was asked", "-1h, -90m"}) {
    EXPECT_THAT(*program, HasSubstr(part));
  }
  const auto history = ParseCommandLine({"history", "-h"}, LineSource::kProgram).text;
  ASSERT_TRUE(history);
  for (const char* part : {"usage: vntaccess history", "--outsiders KIND", "BothC", "Examples:", "--plot trend.svg"}) {
    EXPECT_THAT(*history, HasSubstr(part));
  }
  const auto inner = ParseCommandLine({"server", "env", "--help"}, LineSource::kProgram).text;
  ASSERT_TRUE(inner);
  for (const char* part : {"usage: vntaccess server env [OPTIONS] NAME...", "vntaccess server env DORVIK_GROUP_NAME",
                           "Global options"}) {
    EXPECT_THAT(*inner, HasSubstr(part));
  }
  // Every command has an example in its help.
  for (const CommandEntry* entry : Commands()) {
    EXPECT_TRUE(entry->hidden || !entry->examples.empty()) << entry->name;
  }
}

}  // namespace
}  // namespace vantrel::cli
