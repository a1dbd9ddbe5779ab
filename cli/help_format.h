// HelpFormatter: CLI11's help layout, made plainer for vntaccess: options
// show their value's name only (no "REQUIRED", no "TEXT"), the command list
// shows each command's first description line, and "SUBCOMMAND" reads
// "COMMAND".
#ifndef VANTREL_CLI_HELP_FORMAT_H_
#define VANTREL_CLI_HELP_FORMAT_H_

#include <algorithm>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace vantrel::cli {

// The first line of a description.
inline std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Whether an option takes a value (flags do not).
inline bool TakesValue(const CLI::Option& option) { return option.get_items_expected_max() != 0; }

// The commands declared inside a command ("env" of "server"), in order.
inline std::vector<const CLI::App*> InnerCommands(const CLI::App& command) {
  return command.get_subcommands([](const CLI::App*) { return true; });
}

// The inner command named name, or null.
inline const CLI::App* FindInnerCommand(const CLI::App& command, std::string_view name) {
  for (const CLI::App* inner : InnerCommands(command)) {
    if (inner->get_name() == name) return inner;
  }
  return nullptr;
}

// text with its lines broken at blanks to at most width columns; lines that
// start with a blank (tables, examples) are kept as they are.
inline std::string Wrap(const std::string& text, std::size_t width) {
  std::string out;
  std::size_t lineStart = 0;
  while (lineStart <= text.size()) {
    const std::size_t lineEnd = std::min(text.find('\n', lineStart), text.size());
    const std::string line = text.substr(lineStart, lineEnd - lineStart);
    if (!line.empty() && line.front() == ' ') {
      out += line;
    } else {
      std::size_t column = 0;
      std::size_t start = 0;
      while (start < line.size()) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        if (end > start) {
          if (column > 0 && column + 1 + (end - start) > width) {
            out += '\n';
            column = 0;
          } else if (column > 0) {
            out += ' ';
            ++column;
          }
          out.append(line, start, end - start);
          column += end - start;
        }
        start = end + 1;
      }
    }
    if (lineEnd == text.size()) break;
    out += '\n';
    lineStart = lineEnd + 1;
  }
  return out;
}

class HelpFormatter : public CLI::Formatter {
 public:
  static constexpr std::size_t kColumn = 26;
  static constexpr std::size_t kWidth = 100;

  HelpFormatter() {
    label("SUBCOMMAND", "COMMAND");
    label("Usage", "usage");
    label("Positionals", "Arguments");
    column_width(kColumn);
  }

  std::string make_option_opts(const CLI::Option* option) const override {
    if (option->get_positional() || !TakesValue(*option) || option->get_type_name().empty()) return "";
    return " " + option->get_type_name();
  }

  std::string make_option_desc(const CLI::Option* option) const override {
    return Wrap(option->get_description(), kWidth - kColumn);
  }

  std::string make_description(const CLI::App* app) const override {
    const std::string description = app->get_description();
    return description.empty() ? "" : Wrap(description, kWidth) + "\n\n";
  }

  std::string make_subcommand(const CLI::App* command) const override {
    std::stringstream out;
    CLI::detail::format_help(out, command->get_name(), FirstLine(command->get_description()), column_width_);
    return out.str();
  }
};

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_HELP_FORMAT_H_
