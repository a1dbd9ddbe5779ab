#include "cli/shell.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>

#include <editline/readline.h>
#include <fmt/format.h>

#include "cli/app.h"
#include "cli/completion.h"
#include "cli/database_link.h"
#include "views/name_catalog.h"

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

// Ctrl-C at the prompt: the line typed so far is dropped and a new prompt
// shown, as shells do. The handler only notes it; the key reader below sees
// its read interrupted and ends the line.
volatile sig_atomic_t interruptedAtPrompt = 0;

void NoteInterrupt(int /*signal*/) { interruptedAtPrompt = 1; }

// libedit's key reader: one byte of the terminal; EOF for the end of input
// and for an interrupted read, after which readline returns no line.
int ReadKey(FILE* input) {
  for (;;) {
    unsigned char key = 0;
    const ssize_t count = ::read(::fileno(input), &key, 1);
    if (count == 1) return key;
    if (count < 0 && errno == EINTR && interruptedAtPrompt == 0) continue;
    return EOF;
  }
}

// SIGINT noted while the prompt waits; the previous handling (the default:
// end the process) while a command runs, so that Ctrl-C stops a long
// command as it does outside the shell. The history is saved after every
// line, so such an end loses none of it.
class PromptInterrupts {
 public:
  PromptInterrupts() {
    struct sigaction note {};
    note.sa_handler = NoteInterrupt;
    sigemptyset(&note.sa_mask);
    note.sa_flags = 0;  // no SA_RESTART: the read must return
    ::sigaction(SIGINT, &note, &previous_);
  }
  ~PromptInterrupts() { ::sigaction(SIGINT, &previous_, nullptr); }
  PromptInterrupts(const PromptInterrupts&) = delete;
  PromptInterrupts& operator=(const PromptInterrupts&) = delete;

 private:
  struct sigaction previous_ {};
};

// A line read at the prompt; nothing at the end of input (Ctrl-D). A line
// interrupted by Ctrl-C comes back empty.
std::optional<std::string> ReadPromptLine() {
  interruptedAtPrompt = 0;
  const PromptInterrupts interrupts;
  const std::unique_ptr<char, FreeLine> line(readline(kPrompt));
  if (line != nullptr) return std::string(line.get());
  if (interruptedAtPrompt == 0) return std::nullopt;
  std::cout << "^C" << std::endl;
  return std::string();
}

void RunInteractive(ShellSession& session, NameCatalog& catalog) {
  DatabaseNames names(catalog);
  completionNames = &names;
  rl_readline_name = "vntaccess";
  rl_attempted_completion_function = CompleteLine;
  rl_catch_signals = 0;  // SIGINT is handled here (PromptInterrupts)
  rl_getc_function = ReadKey;
  static char wordBreaks[] = " \t\n\"'";
  rl_completer_word_break_characters = wordBreaks;
  using_history();
  stifle_history(kHistoryLines);
  const std::string history = HistoryFile();
  if (!history.empty()) read_history(history.c_str());
  for (;;) {
    const std::optional<std::string> line = ReadPromptLine();
    if (!line) {
      std::cout << std::endl;  // Ctrl-D leaves the prompt's line open
      break;
    }
    if (!line->empty()) {
      add_history(line->c_str());
      if (!history.empty()) write_history(history.c_str());
    }
    if (!session.RunLine(*line)) break;
  }
  if (!history.empty()) write_history(history.c_str());
  completionNames = nullptr;
}

// Which of two exit codes a script that goes on after failures ends with:
// the graver one, from a part done (mildest) through a wrong line, a name
// not found and a refused operation to a database that cannot be opened.
ExitCode Graver(ExitCode a, ExitCode b) {
  auto rank = [](ExitCode code) {
    switch (code) {
      case ExitCode::kDone: return 0;
      case ExitCode::kPartlyDone: return 1;
      case ExitCode::kUsage: return 2;
      case ExitCode::kNotFound: return 3;
      case ExitCode::kServiceFault: return 4;
      case ExitCode::kDatabaseUnavailable: return 5;
    }
    return 4;
  };
  return rank(b) > rank(a) ? b : a;
}

// Lines of input run one after another. The first that fails ends the
// script with its exit code, naming its line; with keepGoing every line runs
// and the script ends with the gravest code.
ExitCode RunScript(ShellSession& session, std::istream& input, const std::string& source, bool keepGoing) {
  ExitCode worst = ExitCode::kDone;
  std::vector<std::string> failed;
  std::string line;
  for (int64_t number = 1; std::getline(input, line); ++number) {
    const bool goOn = session.RunLine(line);
    const ExitCode code = session.LastExitCode();
    if (code != ExitCode::kDone) {
      if (!keepGoing) {
        std::cerr << fmt::format("{}: stopped at line {} of {} (exit code {}); the lines after it did not run\n",
                                 kProgram, number, source, static_cast<int>(code));
        return code;
      }
      failed.push_back(std::to_string(number));
      worst = Graver(worst, code);
    }
    if (!goOn) break;
  }
  if (!failed.empty()) {
    std::string lines;
    for (const auto& number : failed) lines += (lines.empty() ? "" : ", ") + number;
    std::cerr << fmt::format("{}: {} line{} of {} failed: {} (exit code {})\n", kProgram, failed.size(),
                             failed.size() == 1 ? "" : "s", source, lines, static_cast<int>(worst));
  }
  return worst;
}

// "quit", "exit" or "\q" alone on a line (before splitting, as "\q" would
// split into "q").
bool IsLeaveWord(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text == "quit" || text == "exit" || text == "\\q";
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
  last_ = ExitCode::kDone;
  if (IsLeaveWord(text)) return false;
  std::vector<std::string> words;
  try {
    words = SplitWords(text);
  } catch (const UsageError& error) {
    err_ << kProgram << ": " << error.what() << "\n";
    last_ = ExitCode::kUsage;
    return true;
  }
  if (words.empty() || words.front().rfind('#', 0) == 0) return true;
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
  if (!global.script.empty()) {
    std::ifstream file(global.script);
    if (!file) {
      std::cerr << fmt::format("{}: -f: cannot read {}: {}\n", kProgram, global.script, std::strerror(errno));
      return ExitCode::kUsage;
    }
    return RunScript(session, file, global.script, global.keepGoing);
  }
  if (::isatty(STDIN_FILENO) != 1) return RunScript(session, std::cin, "standard input", global.keepGoing);
  std::cerr << fmt::format("{} {} on {}; 'help' lists the commands, tab completes, 'quit' or Ctrl-D leaves.\n",
                           kProgram, VNTACCESS_VERSION, link->Path());
  RunInteractive(session, catalog);
  return ExitCode::kDone;
}

}  // namespace vantrel::cli
