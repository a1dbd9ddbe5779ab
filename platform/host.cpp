#include "platform/host.h"

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <utility>

namespace vantrel::platform {
namespace {

constexpr const char* kProgramDataVariable = "PROGRAMDATA";
constexpr const char* kDefaultApplicationDataFolder = "/var/lib";

// The replaceable handlers; an empty function stands for the default.
struct Handlers {
  std::mutex mutex;
  MessageBoxHandler messageBox;
  ProcessExitHandler processExit;
};

Handlers& TheHandlers() {
  static Handlers handlers;
  return handlers;
}

template <typename Handler>
Handler Swap(Handler& slot, Handler replacement) {
  std::lock_guard lock(TheHandlers().mutex);
  std::swap(slot, replacement);
  return replacement;
}

template <typename Handler>
Handler Copy(const Handler& slot) {
  std::lock_guard lock(TheHandlers().mutex);
  return slot;
}

}  // namespace

std::optional<std::string> HostSetting(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::filesystem::path CommonApplicationDataFolder() {
  const auto programData = HostSetting(kProgramDataVariable);
  if (programData && !programData->empty()) return *programData;
  return kDefaultApplicationDataFolder;
}

void ShowMessageBox(const std::string& text, const std::string& caption) {
  // Called outside the lock, so that a handler may itself replace handlers.
  if (const MessageBoxHandler handler = Copy(TheHandlers().messageBox)) {
    handler(text, caption);
    return;
  }
  std::cerr << caption << ": " << text << std::endl;
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  return Swap(TheHandlers().messageBox, std::move(handler));
}

void ExitProcess(int code) {
  if (const ProcessExitHandler handler = Copy(TheHandlers().processExit)) {
    // A handler that wants the process to go on must leave by throwing;
    // one that returns has only watched, and the process exits after it.
    handler(code);
  }
  std::exit(code);
}

ProcessExitHandler SetProcessExitHandler(ProcessExitHandler handler) {
  return Swap(TheHandlers().processExit, std::move(handler));
}

}  // namespace vantrel::platform
