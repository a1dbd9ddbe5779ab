#include "cli/completion.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <fmt/format.h>

#include "cli/app.h"
#include "cli/database_link.h"
#include "views/field_resolver.h"
#include "cli/help_format.h"
#include "views/name_catalog.h"
#include "views/text_compare.h"
#include "views/tool_services.h"

namespace vantrel::cli {
namespace {

bool IsOptionWord(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && !(std::isdigit(static_cast<unsigned char>(word[1])) != 0);
}

const CLI::Option* FindOption(const CLI::App* command, const CLI::App& app, const std::string& word) {
  const std::string name = word.substr(0, word.find('='));
  for (const CLI::App* scope = command != nullptr ? command : &app; scope != nullptr; scope = scope->get_parent()) {
    if (const CLI::Option* option = scope->get_option_no_throw(name)) return option;
  }
  return nullptr;
}

std::vector<std::string> OptionNames(const CLI::App* command, const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* scope = command != nullptr ? command : &app; scope != nullptr; scope = scope->get_parent()) {
    for (const CLI::Option* option : scope->get_options()) {
      for (const auto& name : option->get_lnames()) names.push_back("--" + name);
    }
  }
  return names;
}

// Where the command line stands before the word being completed.
struct Position {
  const CLI::App* command = nullptr;
  const CommandEntry* entry = nullptr;
  std::vector<std::string> positionals;
  std::string pendingOption;  // an option still waiting for its value
};

Position Walk(const CLI::App& app, const std::vector<std::string>& words, std::size_t index) {
  Position position;
  for (std::size_t i = 0; i < index && i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!position.pendingOption.empty()) {
      position.pendingOption.clear();
    } else if (IsOptionWord(word)) {
      const CLI::Option* option = FindOption(position.command, app, word);
      if (option != nullptr && TakesValue(*option) && word.find('=') == std::string::npos) {
        position.pendingOption = word;
      }
    } else if (position.command == nullptr) {
      position.entry = FindCommand(word);
      if (position.entry != nullptr) position.command = app.get_subcommand(word);
    } else if (position.positionals.empty() && FindInnerCommand(*position.command, word) != nullptr) {
      position.command = FindInnerCommand(*position.command, word);  // "server env"
    } else {
      position.positionals.push_back(word);
    }
  }
  return position;
}

std::string FirstRecord(const std::string& records) { return records.substr(0, records.find(',')); }

// The candidates for positional word number n of the command.
std::vector<std::string> PositionalCandidates(const Position& position, std::string& head, const std::string& prefix,
                                              CompletionNames* names) {
  const std::size_t n = position.positionals.size();
  const auto positionals = position.command->get_options([](const CLI::Option* o) { return o->get_positional(); });
  if (!positionals.empty()) {
    const std::string& positional = positionals[std::min(n, positionals.size() - 1)]->get_name();
    const auto choices = position.entry->optionValues.find(positional);
    if (choices != position.entry->optionValues.end()) return choices->second;
  }
  const auto& kinds = position.entry->words;
  if (kinds.empty() || names == nullptr) return {};
  const auto& p = position.positionals;
  switch (kinds[std::min(n, kinds.size() - 1)]) {
    case WordKind::kRecords:
      head = prefix.substr(0, prefix.rfind(',') == std::string::npos ? 0 : prefix.rfind(',') + 1);
      return names->Records();
    case WordKind::kRecord: return names->Records();
    case WordKind::kDefinition: return names->Definitions();
    case WordKind::kField: return p.empty() ? std::vector<std::string>{} : names->Fields(FirstRecord(p[0]));
    case WordKind::kValue: return p.size() < 2 ? std::vector<std::string>{} : names->Values(p[0], p[1]);
    case WordKind::kNone: return {};
  }
  return {};
}

std::vector<std::string> CommandWords() {
  std::vector<std::string> words;
  for (const CommandEntry* entry : Commands()) {
    if (!entry->hidden) words.push_back(entry->name);
  }
  return words;
}

}  // namespace

std::vector<std::string> Complete(const std::vector<std::string>& words, std::size_t index, CompletionNames* names) {
  GlobalOptions global;
  const BuiltApp built = BuildApp(global, LineSource::kProgram);
  const Position position = Walk(*built.app, words, index);
  const std::string prefix = index < words.size() ? words[index] : "";
  std::string head;  // kept in front of each candidate (records before the last comma)
  std::vector<std::string> candidates;
  if (!position.pendingOption.empty()) {
    if (position.entry != nullptr) {
      const auto choices = position.entry->optionValues.find(position.pendingOption);
      if (choices != position.entry->optionValues.end()) candidates = choices->second;
    }
  } else if (IsOptionWord(prefix) || prefix == "-") {
    candidates = OptionNames(position.command, *built.app);
  } else if (position.command == nullptr) {
    candidates = CommandWords();
  } else if (!InnerCommands(*position.command).empty() && position.command->get_parent() == built.app.get()) {
    for (const CLI::App* inner : InnerCommands(*position.command)) candidates.push_back(inner->get_name());
  } else {
    candidates = PositionalCandidates(position, head, prefix, names);
  }
  const std::string_view last = std::string_view(prefix).substr(head.size());
  std::vector<std::string> matches;
  for (const auto& candidate : candidates) {
    if (StartsWithIgnoringCase(candidate, last)) matches.push_back(head + candidate);
  }
  std::sort(matches.begin(), matches.end());
  matches.erase(std::unique(matches.begin(), matches.end()), matches.end());
  return matches;
}

// --- Names from the database ------------------------------------------------------

DatabaseNames::DatabaseNames(NameCatalog& catalog) : catalog_(catalog) {}
DatabaseNames::~DatabaseNames() { catalog_.Use(nullptr); }

ToolAccess& DatabaseNames::Access() {
  if (!access_) access_ = MakeLocalToolAccess();
  return *access_;
}

std::vector<std::string> DatabaseNames::Records() {
  catalog_.Use(&Access());
  return catalog_.Records();
}

std::vector<std::string> DatabaseNames::Definitions() {
  catalog_.Use(&Access());
  return catalog_.Definitions();
}

std::vector<std::string> DatabaseNames::Fields(const std::string& record) {
  const int32_t id = Access().GetRecordID(record);
  if (id <= 0) return {};
  std::vector<std::string> names;
  if (const auto fields = Access().GetFieldDefinitions(Access().GetDefinitionID(id))) {
    for (const auto& field : *fields) names.push_back(field.Name);
  }
  return names;
}

std::vector<std::string> DatabaseNames::Values(const std::string& record, const std::string& field) {
  try {
    FieldResolver resolver(Access(), catalog_);
    const std::vector<ResolvedField> resolved = resolver.Resolve({record}, {field});
    std::vector<std::string> texts;
    for (const auto& [number, text] : resolved.front().selectors) texts.push_back(text);
    return texts;
  } catch (const std::exception&) {
    return {};  // not a field of that record: nothing to offer
  }
}

// --- Shell scripts ---------------------------------------------------------------------

int RunCompletionRequest(const std::vector<std::string>& args, std::ostream& out) {
  if (args.size() < 3) return static_cast<int>(ExitCode::kUsage);
  char* end = nullptr;
  const long index = std::strtol(args[1].c_str(), &end, 10);
  if (end == args[1].c_str() || *end != '\0' || index < 1) return static_cast<int>(ExitCode::kUsage);
  const std::vector<std::string> words(args.begin() + 3, args.end());  // after the program name
  std::string database;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--database" && i + 1 < words.size()) database = words[i + 1];
    if (words[i].rfind("--database=", 0) == 0) database = words[i].substr(11);
  }
  std::unique_ptr<DatabaseLink> link;
  NameCatalog catalog;
  std::unique_ptr<DatabaseNames> names;
  try {
    if (!database.empty() || std::getenv("DORVIK_DATABASE") != nullptr) {
      link = std::make_unique<DatabaseLink>(database);
      names = std::make_unique<DatabaseNames>(catalog);
    }
  } catch (const std::exception&) {
    // No database: complete what needs none.
  }
  for (const auto& candidate : Complete(words, static_cast<std::size_t>(index - 1), names.get())) {
    out << candidate << "\n";
  }
  return static_cast<int>(ExitCode::kDone);
}

std::string CompletionScript(std::string_view shell) {
  if (shell == "bash") {
    return R"(# bash completion of vntaccess: source this file, or save it as
# ~/.local/share/bash-completion/completions/vntaccess
_vntaccess() {
  local IFS=$'\n'
  COMPREPLY=($("${COMP_WORDS[0]}" __complete "$COMP_CWORD" "${COMP_WORDS[@]}" 2>/dev/null))
}
complete -o default -F _vntaccess vntaccess
)";
  }
  if (shell == "zsh") {
    return R"(#compdef vntaccess
# zsh completion of vntaccess: source this file after compinit, or save it
# as _vntaccess in a folder of $fpath
_vntaccess() {
  local -a candidates
  candidates=("${(@f)$("${words[1]}" __complete $((CURRENT - 1)) "${words[@]}" 2>/dev/null)}")
  if [[ -n "${candidates[1]}" ]]; then
    compadd -Q -a candidates
  else
    _files
  fi
}
if [[ "${zsh_eval_context[-1]}" != loadautofunc ]]; then compdef _vntaccess vntaccess; fi
)";
  }
  throw UsageError(fmt::format("no completion for '{}'; shells: bash, zsh", shell));
}

}  // namespace vantrel::cli
