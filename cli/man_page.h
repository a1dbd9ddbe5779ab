// The manual page of vntaccess (roff, section 1), generated from the same
// CLI11 declarations as --help: every global option, every command with its
// arguments, options and examples, the time forms and the exit codes.
#ifndef VANTREL_CLI_MAN_PAGE_H_
#define VANTREL_CLI_MAN_PAGE_H_

#include <string>

#include <CLI/CLI.hpp>

namespace vantrel::cli {

std::string ManPage(const CLI::App& root);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_MAN_PAGE_H_
