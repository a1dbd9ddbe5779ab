#include "session/session.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <filesystem>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/host.h"
#include "platform/identity.h"
#include "platform/operation_context.h"
#include "platform/time_zone.h"

namespace vantrel::access {

static_assert(std::is_same_v<VntShutdownDelegate, VantrelShutdownCallback>,
              "the session's callback type is the client library's");

namespace {

constexpr std::string_view kShutdownReason = "Vantrel is shutdown.";
constexpr std::string_view kLogFolderPattern = "Korvane/DiagnosticLogs/Vantrel/AccessServiceHost";
constexpr std::string_view kLogFileName = "VntAccessService.log";

#if defined(__cpp_lib_source_location)
// The function's own name out of a compiler's signature text:
// "R ns::Class::Name(args)::<lambda()>" gives "Name".
std::string_view SimpleFunctionName(std::string_view signature) {
  std::string_view name = signature.substr(0, signature.find('('));
  if (auto colons = name.rfind("::"); colons != std::string_view::npos) name.remove_prefix(colons + 2);
  if (auto blank = name.rfind(' '); blank != std::string_view::npos) name.remove_prefix(blank + 1);
  return name;
}
#endif

}  // namespace

Session::StaticMembers::StaticMembers() : LogTrace("VntLogSwitch", "Vnt Access trace switch") {
  s_fieldDefintionByDefId.reserve(512);
  s_fieldDefByFieldIdByDefId.reserve(512);
  s_mapRecordByDefId.reserve(64);
}

Session::StaticMembers& Session::Statics() {
  static StaticMembers statics;
  return statics;
}

Session::Session() : Session(false) {}

Session::Session(bool enableVntCallback) {
  Init();
  if (enableVntCallback) RegisterVntShutdownCallback();
}

Session::~Session() {
  Dispose();
  // First of all: no notification may reach a session being destroyed.
  m_delegateHandle = ShutdownEntryLease();
}

void Session::Dispose() {
  // Nothing to release: the link is the host's, and the callback stays
  // registered for as long as the session lives.
  disposed_ = true;
}

void Session::Init() {
  resource = ResourceTable::Open(kResourceTableName);
  // The caller's account from the call's security context; an empty one
  // names no caller, as the host treats it.
  std::string account;
  const auto* context = platform::OperationContext::Current();
  if (context != nullptr && context->SecurityContext && context->SecurityContext->WindowsIdentity) {
    account = *context->SecurityContext->WindowsIdentity;
  }
  if (account.empty()) account = platform::CurrentThreadAccount();
  const auto name = platform::AccountName::Parse(account);
  SetUserInfo(name.Domain, name.User);
}

void Session::RegisterVntShutdownCallback() {
  // A pooled entry point, perhaps one that an earlier, destroyed session
  // registered already: the client library keeps one entry per entry point,
  // so it holds no more of them than the most sessions alive at once.
  m_delegateHandle = ShutdownEntryLease([this](uint32_t code) { VntShutdownHandler(code); });
  m_myDelegate = m_delegateHandle.Entry();
  const auto threadId = static_cast<uint32_t>(::syscall(SYS_gettid));
  VantrelRegisterShutdownCallback(0, m_myDelegate, threadId);
}

void Session::VntShutdownHandler(uint32_t param) {
  if (VntShutdownEvents.Count() == 0) return;
  VntShutdownEvents.Raise(this, EventReason(std::string(kShutdownReason), static_cast<int32_t>(param)));
}

// --- Logging and error text -------------------------------------------------

void Session::AttachLogFileOnce() {
  auto& statics = Statics();
  if (statics.traceOn.load(std::memory_order_acquire)) return;
  std::lock_guard lock(statics.traceAttachLock);
  if (statics.traceOn.load(std::memory_order_relaxed)) return;
  ProcessLog::Instance().AddSink(FileLogSink::Open(platform::CommonApplicationDataFolder(),
                                                  std::filesystem::path(kLogFolderPattern), kLogFileName));
  statics.traceOn.store(true, std::memory_order_release);
}

void Session::LogError(const std::vector<std::string>& messages) {
  if (LogTrace().Level() == TraceLevel::Off || messages.empty()) return;
  AttachLogFileOnce();
  std::string line = fmt::format("{0}@{1} - ", platform::CurrentThreadAccount(),
                                 platform::Now().ToGeneralString());
  line += messages.front();
  for (std::size_t i = 1; i < messages.size(); ++i) line = fmt::format("{0}, {1}", line, messages[i]);
  ProcessLog::Instance().WriteLine(line, true);
}

#if defined(__cpp_lib_source_location)
void Session::LogDorvikError(const ERRBLOCK& errBlock, std::source_location caller) {
  LogDorvikError(errBlock, SimpleFunctionName(caller.function_name()));
}
#else
void Session::LogDorvikError(const ERRBLOCK& errBlock, const char* callerFunction) {
  LogDorvikError(errBlock, std::string_view(callerFunction));
}
#endif

void Session::LogDorvikError(const ERRBLOCK& errBlock, std::string_view operationName) {
  if (!LogTrace().IsEnabled(TraceLevel::Error)) return;
  LogError({std::string(operationName), GenerateVntErrorMessage(errBlock)});
}

std::string Session::GenerateVntErrorMessage(const ERRBLOCK& errBlock) {
  std::array<char, dorvik::api::kMessageBufferSize> text{};
  int16_t length = 0;
  ERRMESS(&errBlock, text.data(), &length);
  const auto count = std::clamp<std::size_t>(length < 0 ? 0 : static_cast<std::size_t>(length), 0, text.size());
  return platform::FromAscii(std::string_view(text.data(), count));
}

std::optional<std::string> Session::GetResourceString(std::string_view res) const {
  if (resource == nullptr) return std::nullopt;
  return resource->GetString(res);
}

}  // namespace vantrel::access
