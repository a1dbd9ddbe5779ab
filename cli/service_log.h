// The library's service log (VntLogSwitch, below PROGRAMDATA), opened
// before a command runs. The library opens it at its first error line;
// when its folder cannot be made, the library's error about the folder
// would stand in for the error it was logging. Opened early, a folder that
// cannot be made is told once and the log switched off for the process, so
// that the command's own error reaches the user. Used by the thread that
// runs commands.
#ifndef VANTREL_CLI_SERVICE_LOG_H_
#define VANTREL_CLI_SERVICE_LOG_H_

#include <optional>
#include <string>

namespace vantrel::cli {

// Opens the service log when logging is on (writing one line that says
// the tool started). Nothing when it is off or opened; else why it cannot
// be opened, and logging is off from then on. Once per process: later calls
// return nothing.
std::optional<std::string> OpenServiceLog();

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_SERVICE_LOG_H_
