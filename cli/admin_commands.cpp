// Administration through the management service: create records, make
// them usable or unusable. Every name is resolved first; --dry-run says
// what would be done and does nothing; the report says exactly what was
// done, and the changes are kept before it is shown.
#include <algorithm>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "api/records.h"
#include "views/tool_services.h"
#include "cli/command.h"
#include "views/record_names.h"
#include "views/text_compare.h"
#include "data/data_access.h"
#include "engine/control.h"
#include "management/management.h"
#include "platform/codepage.h"
#include "platform/fault.h"
#include "platform/identity.h"

namespace vantrel::cli {
namespace {

std::string Join(const std::vector<std::string>& items, std::string_view separator = ", ") {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : std::string(separator)) + item;
  return text;
}

// names without the ones given before in another letter case (the database
// compares record names so).
std::vector<std::string> Distinct(const std::vector<std::string>& names) {
  std::vector<std::string> distinct;
  for (const auto& name : names) {
    const bool seen = std::any_of(distinct.begin(), distinct.end(),
                                  [&](const std::string& other) { return EqualsIgnoringCase(name, other); });
    if (!seen) distinct.push_back(name);
  }
  return distinct;
}

// --- create -----------------------------------------------------------------------------

struct CreateArgs {
  std::string definition;
  std::vector<std::string> names;
};

// Why name cannot be a new record's name as it stands, or nothing: the
// library would cut or change such a name, or the database refuse it.
std::optional<std::string> NameProblem(const std::string& name) {
  if (name.empty()) return "a record name cannot be empty";
  bool storable = false;
  try {
    storable = access::Session::IsStorableText(name);
  } catch (const std::exception&) {
    return fmt::format("'{}' is not valid UTF-8", name);
  }
  if (!storable) return fmt::format("'{}' has characters the database cannot store", name);
  if (platform::CharacterCount(name) > dorvik::api::kMaxNameLength) {
    return fmt::format("'{}...' is longer than {} characters", platform::CutToCharacters(name, 20),
                       dorvik::api::kMaxNameLength);
  }
  if (name.front() == ' ' || name.back() == ' ') return fmt::format("'{}' starts or ends with a blank", name);
  const bool control = std::any_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
  if (control) return fmt::format("'{}' holds a control character", name);
  // read, readonly and history-info take several records as TI101,TI102: a
  // name with a comma could be created but never named again.
  if (name.find(',') != std::string::npos) {
    return fmt::format("'{}' holds a comma, which separates record names (read TI101,TI102); choose a name "
                       "without one",
                       name);
  }
  return std::nullopt;
}

void DeclareCreate(CLI::App& app, CreateArgs& args) {
  app.add_option("DEFINITION", args.definition, "the definition record of the new records")->required();
  app.add_option("NAME", args.names, "names of the records to create")->required();
  app.callback([&args] {
    for (const auto& name : args.names) {
      if (const auto problem = NameProblem(name)) throw UsageError(*problem + "; nothing was created");
    }
    args.names = Distinct(args.names);
  });
}

// What a create does to each name.
struct CreatePlan {
  NamedRecord definition;
  std::vector<std::string> create;   // names no record has
  std::vector<std::string> existed;  // records of the definition already, as the database spells them
};

CreatePlan PlanCreate(const CreateArgs& args, CommandContext& context) {
  ToolAccess& access = context.Access();
  RecordNames resolver(access, context.Catalog());
  const auto definition = resolver.Definition(args.definition);
  resolver.Require();
  CreatePlan plan{*definition, {}, {}};
  std::vector<std::string> taken;
  for (const auto& name : args.names) {
    const int32_t id = access.GetRecordID(name);
    if (id <= 0) {
      plan.create.push_back(name);
    } else if (access.GetDefinitionRecordID(name) == definition->id) {
      plan.existed.push_back(access.RecordNameOf(id));
    } else {
      const int32_t other = access.GetDefinitionRecordID(name);
      taken.push_back(fmt::format("{} exists already, as a record of {}", access.RecordNameOf(id),
                                  access.RecordNameOf(other)));
    }
  }
  if (!taken.empty()) throw UsageError(fmt::format("{}; nothing was created", Join(taken)));
  return plan;
}

Shown CreateReport(const CreatePlan& plan, const std::vector<std::string>& created,
                   const std::vector<std::string>& refused, bool dryRun) {
  const std::string& definition = plan.definition.name;
  Shown shown;
  shown.table.columns = {{"RECORD"}, {"DEFINITION"}, {"RESULT"}};
  const auto& made = dryRun ? plan.create : created;
  for (const auto& name : made) shown.table.rows.push_back({name, definition, dryRun ? "would create" : "created"});
  for (const auto& name : plan.existed) shown.table.rows.push_back({name, definition, "existed"});
  for (const auto& name : refused) shown.table.rows.push_back({name, definition, "refused"});
  shown.json = Json{{"dryRun", dryRun},
                    {"definition", definition},
                    {dryRun ? "wouldCreate" : "created", made},
                    {"existed", plan.existed},
                    {"refused", refused}};
  std::vector<std::string> parts;
  if (!made.empty()) {
    parts.push_back(fmt::format("{} {} record{} of {}: {}", dryRun ? "would create" : "created", made.size(),
                                made.size() == 1 ? "" : "s", definition, Join(made)));
  }
  if (!plan.existed.empty()) {
    parts.push_back(fmt::format("{} {} already", Join(plan.existed), dryRun ? "exists" : "existed"));
  }
  if (!refused.empty()) parts.push_back(fmt::format("the database refused {}", Join(refused)));
  shown.sentence = (dryRun ? "dry run: " : "") + Join(parts, "; ");
  if (dryRun) shown.sentence += "; nothing was created";
  return shown;
}

// Why the database refused new records of definition (the library keeps
// the reason for its log): the checks the database makes that can be asked
// without creating anything. The names were checked before the call.
std::string CreateRefusalReason(const NamedRecord& definition, CommandContext& context) {
  if (const auto refusal = context.Access().WholeDatabaseRefusal()) return *refusal;
  const std::string account =
      context.Options().user.empty() ? platform::CurrentThreadAccount() : context.Options().user;
  // The rights are the definition record's own: ask them through a field it
  // has, one of the definition of definitions.
  const auto fields = context.Access().GetFieldDefinitions(context.Access().GetDefinitionID(definition.id));
  if (fields && !fields->empty()) {
    constexpr int32_t kWriteAccess = 2;
    const std::optional<int32_t> level = context.Access().RightsLevel(definition.id, fields->front().Number);
    if (level && *level < kWriteAccess) {
      return fmt::format("the account {} has no write right on {} (rights level {}), which creating its records "
                         "needs",
                         account, definition.name, *level);
    }
  }
  return fmt::format("{} takes no new records: it is one of the database's own definitions, or the database could "
                     "not keep the change",
                     definition.name);
}

ExitCode RunCreate(const CreateArgs& args, CommandContext& context) {
  const CreatePlan plan = PlanCreate(args, context);
  if (context.DryRun() || plan.create.empty()) {
    context.Out().Show(CreateReport(plan, {}, {}, context.DryRun()));
    return ExitCode::kDone;
  }
  contracts::IManagementService& management = context.Manage();
  contracts::TagNames exist;
  exist = management.CreateTags({{plan.definition.name, plan.create}});
  std::vector<std::string> created;
  std::vector<std::string> refused;
  for (const auto& name : plan.create) {
    const bool made = std::find(exist.begin(), exist.end(), name) != exist.end();
    (made ? created : refused).push_back(name);
  }
  const std::string why = CreateRefusalReason(plan.definition, context);
  if (created.empty()) {
    throw platform::Exception(fmt::format("the database refused to create {}: {}", Join(refused), why));
  }
  context.Out().Show(CreateReport(plan, created, refused, false));
  if (refused.empty()) return ExitCode::kDone;
  context.Out().Note(fmt::format("{}: the database refused to create {}: {}", kProgram, Join(refused), why));
  return ExitCode::kPartlyDone;
}

// --- usable and unusable --------------------------------------------------------------------

struct UsableArgs {
  std::vector<std::string> names;
};

void DeclareUsable(CLI::App& app, UsableArgs& args) { app.add_option("NAME", args.names, "record names")->required(); }

std::string StateWord(bool usable) { return usable ? "usable" : "unusable"; }

// Makes each record usable (or unusable) in turn, up to the first refusal.
ExitCode RunMakeUsable(const UsableArgs& args, CommandContext& context, bool usable) {
  contracts::IManagementService& management = context.Manage();
  RecordNames resolver(context.Access(), context.Catalog());
  std::vector<NamedRecord> records;
  for (const auto& name : Distinct(args.names)) {
    if (auto record = resolver.Record(name)) records.push_back(std::move(*record));
  }
  resolver.Require();
  contracts::TagIds ids;
  for (const NamedRecord& record : records) ids.push_back(record.id);
  const contracts::UsableByTagId states = management.AreTagsUsable(ids);
  std::vector<std::string> change;
  std::vector<std::string> already;
  for (const NamedRecord& record : records) (states.at(record.id) == usable ? already : change).push_back(record.name);

  std::vector<std::string> changed;
  std::optional<std::pair<std::string, std::string>> refused;  // the record and the database's reason
  std::vector<std::string> untried;
  if (!context.DryRun()) {
    for (const auto& name : change) {
      if (refused) {
        untried.push_back(name);
        continue;
      }
      try {
        management.MakeTagsUsable({name}, usable);
        changed.push_back(name);
      } catch (const platform::FaultException& fault) {
        refused.emplace(name, fault.what());
      }
    }
  }
  const std::string refusal =
      refused ? fmt::format("the database refused {}: {}", refused->first, refused->second) : "";
  if (changed.empty() && refused) throw platform::Exception(refusal + "; nothing was changed");
  const bool dryRun = context.DryRun();
  const auto& done = dryRun ? change : changed;
  const std::string word = StateWord(usable);
  Shown shown;
  shown.table.columns = {{"RECORD"}, {"RESULT"}};
  for (const auto& name : done) shown.table.rows.push_back({name, (dryRun ? "would make " : "made ") + word});
  for (const auto& name : already) shown.table.rows.push_back({name, word + " already"});
  if (refused) shown.table.rows.push_back({refused->first, "refused: " + refused->second});
  for (const auto& name : untried) shown.table.rows.push_back({name, "not tried"});
  shown.json = Json{{"dryRun", dryRun}, {dryRun ? "wouldMake" : "made", done}, {"already", already}};
  if (refused) shown.json["refused"] = Json{{"record", refused->first}, {"reason", refused->second}};
  if (!untried.empty()) shown.json["notTried"] = untried;
  std::vector<std::string> parts;
  if (!done.empty()) parts.push_back(fmt::format("{} {} {}", dryRun ? "would make" : "made", Join(done), word));
  if (!already.empty()) {
    parts.push_back(fmt::format("{} {} {} already", Join(already), already.size() == 1 ? "was" : "were", word));
  }
  if (refused) parts.push_back(refusal);
  if (!untried.empty()) parts.push_back(fmt::format("{} not tried", Join(untried)));
  shown.sentence = (dryRun ? "dry run: " : "") + Join(parts, "; ") + (dryRun ? "; nothing was changed" : "");
  context.Out().Show(shown);
  return refused ? ExitCode::kPartlyDone : ExitCode::kDone;
}

ExitCode RunUsable(const UsableArgs& args, CommandContext& context) { return RunMakeUsable(args, context, true); }
ExitCode RunUnusable(const UsableArgs& args, CommandContext& context) { return RunMakeUsable(args, context, false); }

const CommandRegistration kCreate({
    .name = "create",
    .summary = "create records of a definition",
    .description = "Names that exist already as records of the definition are reported as such; a name taken "
                   "by a record of another definition, or one the database cannot hold as it stands (empty, "
                   "longer than 256 characters, blanks at either end, control characters, characters outside "
                   "its code page), is refused before anything is created. New records are unusable until "
                   "'vntaccess usable NAME...'.",
    .examples = {"create VN_AnalogDef TI103 TI104", "--dry-run create VN_AnalogDef TI103 TI101",
                 "create VN_TextDef NOTE_2 --json"},
    .order = 50,
    .changesDatabase = true,
    .words = {WordKind::kDefinition, WordKind::kNone},
    .define = Define(DeclareCreate, RunCreate),
});

const CommandRegistration kUsable({
    .name = "usable",
    .summary = "make records usable",
    .description = "Records are made usable one after the other; at the first the database refuses, the rest "
                   "are not tried, and the report says which were made usable (exit code 5).",
    .examples = {"usable TI103 TI104", "--dry-run usable AI_SPARE1"},
    .order = 51,
    .changesDatabase = true,
    .words = {WordKind::kRecord},
    .define = Define(DeclareUsable, RunUsable),
});

const CommandRegistration kUnusable({
    .name = "unusable",
    .summary = "make records unusable (out of service)",
    .description = "Records are made unusable one after the other; at the first the database refuses, the rest "
                   "are not tried, and the report says which were made unusable (exit code 5).",
    .examples = {"unusable AI_SPARE1", "unusable TI103 TI104 --json"},
    .order = 52,
    .changesDatabase = true,
    .words = {WordKind::kRecord},
    .define = Define(DeclareUsable, RunUnusable),
});

}  // namespace
}  // namespace vantrel::cli
