// Commands about the tool itself, which need no database: help, the
// completion scripts and the manual page. Their texts are made from the
// command-line declarations while parsing, when those are at hand.
#include <iostream>

#include "cli/app.h"
#include "cli/command.h"
#include "cli/completion.h"
#include "cli/man_page.h"

namespace vantrel::cli {
namespace {

// The text a tool command prints, made once the command line is parsed.
struct TextArgs {
  std::string topic;
  std::string text;
};

ExitCode PrintText(const TextArgs& args, CommandContext& context) {
  context.Out().Stream() << args.text;
  return ExitCode::kDone;
}

void DeclareHelp(CLI::App& app, TextArgs& args) {
  app.add_option("COMMAND", args.topic, "the command to explain (default: all of them)");
  app.callback([&app, &args] { args.text = HelpText(*app.get_parent(), args.topic); });
}

void DeclareCompletion(CLI::App& app, TextArgs& args) {
  app.add_option("SHELL", args.topic, "bash or zsh")->required();
  app.callback([&args] { args.text = CompletionScript(args.topic); });
}

void DeclareMan(CLI::App& app, TextArgs& args) {
  app.callback([&app, &args] { args.text = ManPage(*app.get_parent()); });
}

const CommandRegistration kHelp({
    .name = "help",
    .summary = "how to use vntaccess, or one of its commands",
    .examples = {"help", "help history"},
    .order = 90,
    .needsDatabase = false,
    .define = Define(DeclareHelp, PrintText),
});

const CommandRegistration kCompletion({
    .name = "completion",
    .summary = "the shell completion script for bash or zsh",
    .description = "Load it into the running shell with: source <(vntaccess completion bash)",
    .examples = {"completion bash > ~/.local/share/bash-completion/completions/vntaccess",
                 "completion zsh > ~/.zfunc/_vntaccess"},
    .order = 91,
    .needsDatabase = false,
    .optionValues = {{"SHELL", {"bash", "zsh"}}},
    .define = Define(DeclareCompletion, PrintText),
});

const CommandRegistration kMan({
    .name = "man",
    .summary = "the manual page, in roff (man -l <(vntaccess man))",
    .order = 92,
    .needsDatabase = false,
    .hidden = true,
    .define = Define(DeclareMan, PrintText),
});

}  // namespace
}  // namespace vantrel::cli
