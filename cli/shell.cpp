#include "cli/shell.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include <editline/readline.h>
#include <fmt/format.h>

#include "cli/app.h"
#include "cli/completion.h"
#include "cli/database_link.h"
#include "cli/name_catalog.h"

namespace vantrel::cli {
namespace {

constexpr const char* kPrompt = "vntaccess> ";
constexpr int kHistoryLines = 1000;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The options the shell was started with stand for every line that does
// not say otherwise.
void ApplyDefaults(GlobalOptions& line, const GlobalOptions& defaults) {
  if (line.output.format == Format::kText) line.output.format = defaults.output.format;
  line.output.utc = line.output.utc || defaults.output.utc;
  line.dryRun = line.dryRun || defaults.dryRun;
  if (line.user.empty()) line.user = defaults.user;
}

// --- libedit -------------------------------------------------------------------------

// The completion state of the one interactive shell of the process.
CompletionNames* completionNames = nullptr;
std::vector<std::string> completionMatches;
std::size_t completionNext = 0;

char* NextMatch(const char* /*text*/, int state) {
  if (state == 0) completionNext = 0;
  if (completionNext >= completionMatches.size()) return nullptr;
  return ::strdup(completionMatches[completionNext++].c_str());  // libedit frees it
}

char** CompleteLine(const char* text, int start, int /*end*/) {
  std::vector<std::string> words;
  try {
    words = SplitWords(std::string_view(rl_line_buffer, static_cast<std::size_t>(start)));
  } catch (const std::exception&) {
    rl_attempted_completion_over = 1;
    return nullptr;  // inside an open quote: nothing to offer
  }
  words.emplace_back(text);
  try {
    completionMatches = Complete(words, words.size() - 1, completionNames);
  } catch (const std::exception&) {
    completionMatches.clear();
  }
  // No candidates: let libedit complete file names (--database, --plot).
  rl_attempted_completion_over = completionMatches.empty() ? 0 : 1;
  if (completionMatches.empty()) return nullptr;
  return rl_completion_matches(text, NextMatch);
}

std::string HistoryFile() {
  if (const char* file = std::getenv("VNTACCESS_HISTORY")) return file;
  const char* home = std::getenv("HOME");
  return home != nullptr ? std::string(home) + "/.vntaccess_history" : "";
}

struct FreeLine {
  void operator()(char* line) const { std::free(line); }
};

void RunInteractive(ShellSession& session, NameCatalog& catalog) {
  DatabaseNames names(catalog);
  completionNames = &names;
  rl_readline_name = "vntaccess";
  rl_attempted_completion_function = CompleteLine;
  static char wordBreaks[] = " \t\n\"'";
  rl_completer_word_break_characters = wordBreaks;
  using_history();
  stifle_history(kHistoryLines);
  const std::string history = HistoryFile();
  if (!history.empty()) read_history(history.c_str());
  for (;;) {
    const std::unique_ptr<char, FreeLine> line(readline(kPrompt));
    if (line == nullptr) break;
    if (line.get()[0] != '\0') add_history(line.get());
    if (!session.RunLine(line.get())) break;
  }
  if (!history.empty()) write_history(history.c_str());
  completionNames = nullptr;
}

}  // namespace

std::vector<std::string> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char quote = '\0';
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != '\0') {
      if (c == quote) {
        quote = '\0';
      } else if (c == '\\' && quote == '"' && i + 1 < line.size()) {
        word += line[++i];
      } else {
        word += c;
      }
    } else if (IsBlank(c)) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      inWord = true;
      if (c == '\'' || c == '"') {
        quote = c;
      } else if (c == '\\' && i + 1 < line.size()) {
        word += line[++i];
      } else {
        word += c;
      }
    }
  }
  if (quote != '\0') throw UsageError(fmt::format("the line has an unclosed {} quote", quote));
  if (inWord) words.push_back(std::move(word));
  return words;
}

bool ShellSession::RunLine(std::string_view text) {
  std::vector<std::string> words;
  try {
    words = SplitWords(text);
  } catch (const UsageError& error) {
    err_ << kProgram << ": " << error.what() << "\n";
    last_ = ExitCode::kUsage;
    return true;
  }
  if (words.empty() || words.front().rfind('#', 0) == 0) return true;
  if (words.size() == 1 && (words.front() == "quit" || words.front() == "exit")) return false;
  CommandLine line;
  try {
    line = ParseCommandLine(words, LineSource::kShell);
  } catch (const UsageError& error) {
    err_ << kProgram << ": " << error.what() << "\n";
    last_ = ExitCode::kUsage;
    return true;
  }
  if (line.text) {
    out_ << *line.text << std::flush;
    last_ = ExitCode::kDone;
  } else if (line.command == nullptr) {
    err_ << kProgram << ": no command; 'help' lists them, 'quit' leaves\n";
    last_ = ExitCode::kUsage;
  } else {
    ApplyDefaults(line.global, defaults_);
    const bool attached = NeedsDatabase(*line.command, *line.invocation);
    last_ = Execute(line, attached ? &link_ : nullptr, catalog_, out_, err_, terminal_);
    if (line.command->changesDatabase) catalog_.Forget();
  }
  return true;
}

ExitCode RunShell(const GlobalOptions& global, bool terminal) {
  std::unique_ptr<DatabaseLink> link;
  try {
    link = std::make_unique<DatabaseLink>(global.database);
  } catch (const DatabaseUnavailableError& error) {
    std::cerr << kProgram << ": " << error.what() << "\n";
    return ExitCode::kDatabaseUnavailable;
  }
  NameCatalog catalog;
  ShellSession session(global, *link, catalog, std::cout, std::cerr, terminal);
  if (::isatty(STDIN_FILENO) == 1) {
    std::cerr << fmt::format("{} {} on {}; 'help' lists the commands, tab completes, 'quit' leaves.\n", kProgram,
                             VNTACCESS_VERSION, link->Path());
    RunInteractive(session, catalog);
  } else {
    std::string line;
    while (std::getline(std::cin, line) && session.RunLine(line)) {
    }
  }
  return ExitCode::kDone;
}

}  // namespace vantrel::cli
