#include "cli/man_page.h"

#include <sstream>

#include <fmt/format.h>

#include "cli/command.h"
#include "views/errors.h"
#include "cli/help_format.h"
#include "views/time_parse.h"

namespace vantrel::cli {
namespace {

// Text safe in roff: backslashes escaped, minus signs as such, no line
// starting with a control character.
std::string Roff(std::string_view text) {
  std::string out;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

std::string OptionHeading(const CLI::Option& option) {
  std::string names;
  for (const auto& name : option.get_snames()) names += fmt::format("{}\\fB\\-{}\\fR", names.empty() ? "" : ", ", name);
  for (const auto& name : option.get_lnames()) {
    names += fmt::format("{}\\fB\\-\\-{}\\fR", names.empty() ? "" : ", ", Roff(name));
  }
  if (TakesValue(option) && !option.get_type_name().empty()) {
    names += fmt::format(" \\fI{}\\fR", Roff(option.get_type_name()));
  }
  return names;
}

void WriteOptions(std::ostream& out, const CLI::App& app, bool positional) {
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_positional() != positional) continue;
    const std::string heading =
        positional ? fmt::format("\\fI{}\\fR", Roff(option->get_name())) : OptionHeading(*option);
    out << ".TP\n" << heading << "\n" << Roff(option->get_description()) << "\n";
  }
}

// A command and the commands inside it ("server env"), each under its own
// heading; the examples of the entry follow the outer one.
void WriteCommand(std::ostream& out, const CLI::App& command, const CommandEntry& entry,
                  const std::string& prefix = "") {
  std::string usage;
  for (const CLI::Option* option : command.get_options()) {
    if (option->get_positional()) usage += " " + option->get_name();
  }
  const std::string name = prefix.empty() ? command.get_name() : prefix + " " + command.get_name();
  out << fmt::format(".SS \"{}{}\"\n", Roff(name), Roff(usage));
  out << Roff(command.get_description()) << "\n";
  WriteOptions(out, command, true);
  WriteOptions(out, command, false);
  if (prefix.empty() && !entry.examples.empty()) {
    out << ".PP\nExamples:\n.RS\n.nf\n";
    for (const auto& example : entry.examples) out << Roff(fmt::format("{} {}", kProgram, example)) << "\n";
    out << ".fi\n.RE\n";
  }
  for (const CLI::App* inner : InnerCommands(command)) WriteCommand(out, *inner, entry, name);
}

}  // namespace

std::string ManPage(const CLI::App& root) {
  std::ostringstream out;
  out << fmt::format(".TH VNTACCESS 1 \"\" \"{} {}\" \"User Commands\"\n", kProgram, VNTACCESS_VERSION);
  out << ".SH NAME\nvntaccess \\- read, write and trend the tags of a Vantrel database\n";
  out << ".SH SYNOPSIS\n.B vntaccess\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGUMENTS\\fR]\n.br\n"
         ".B vntaccess\n\\fB\\-\\-database\\fR \\fIPATH\\fR [\\fIOPTIONS\\fR]\n";
  out << ".SH DESCRIPTION\n" << Roff(root.get_description()) << "\n";
  out << ".PP\nIn the shell each line is a command as on the command line, without \\fBvntaccess\\fR; "
         "\\fBquit\\fR or end of input leaves it. Tab completes commands, options, record and field names.\n";
  out << ".SH OPTIONS\nGlobal options go before or after the command.\n";
  WriteOptions(out, root, false);
  out << ".SH COMMANDS\n";
  for (const CommandEntry* entry : Commands()) {
    if (entry->hidden) continue;
    for (const CLI::App* command :
         root.get_subcommands([&](const CLI::App* sub) { return sub->get_name() == entry->name; })) {
      WriteCommand(out, *command, *entry);
    }
  }
  out << ".SH TIMES\n.nf\n" << Roff(kTimeForms) << ".fi\n";
  out << ".SH EXIT STATUS\n";
  for (const auto& [code, meaning] : kExitCodes) {
    out << fmt::format(".TP\n.B {}\n{}\n", static_cast<int>(code), Roff(meaning));
  }
  out << ".SH ENVIRONMENT\n"
         ".TP\n.B DORVIK_DATABASE\nthe database opened when \\fB\\-\\-database\\fR is not given\n"
         ".TP\n.B TZ\nthe local time zone of times shown and typed\n"
         ".TP\n.B VNTACCESS_HISTORY\nthe shell's history file (default ~/.vntaccess_history; empty: none)\n";
  out << ".SH SEE ALSO\n\\fBvntaccess completion bash\\fR, \\fBvntaccess completion zsh\\fR\n";
  return out.str();
}

}  // namespace vantrel::cli
