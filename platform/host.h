// Host and machine services: the host's configuration settings, the common
// application-data folder, message boxes and process exit. The last two are
// replaceable so that tests and tools can observe them.
#ifndef VANTREL_PLATFORM_HOST_H_
#define VANTREL_PLATFORM_HOST_H_

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace vantrel::platform {

// A host configuration setting (here: the environment variable of that
// name, e.g. "VntLogSwitch"), or nothing when unset.
std::optional<std::string> HostSetting(const std::string& name);

// The machine's common application-data folder: $PROGRAMDATA when set,
// else /var/lib.
std::filesystem::path CommonApplicationDataFolder();

// Shows a message box without owner window and with an OK button. The
// default handler writes "caption: text" and a line end to standard error.
// Handlers are process-wide; replacing one is thread-safe.
using MessageBoxHandler = std::function<void(const std::string& text, const std::string& caption)>;
void ShowMessageBox(const std::string& text, const std::string& caption);
// Replaces the handler; returns the previous one (null when that was the
// default). Null restores the default.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// Ends the process with code: calls the exit handler, if one is set, then
// std::exit(code). ExitProcess never returns: a handler that must keep the
// process alive (a test, a tool) leaves by throwing; a handler that returns
// has only observed the exit.
using ProcessExitHandler = std::function<void(int code)>;
[[noreturn]] void ExitProcess(int code);
// Replaces the exit handler; returns the previous one. Null: none.
ProcessExitHandler SetProcessExitHandler(ProcessExitHandler handler);

}  // namespace vantrel::platform

#endif  // VANTREL_PLATFORM_HOST_H_
