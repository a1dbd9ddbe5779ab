#include "server/external_task.h"

#include <exception>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "platform/exceptions.h"
#include "session/session.h"

namespace vantrel::access {
namespace {

constexpr std::string_view kLoopName = "DoTaskWork";

// The session's process-wide log and error texts, which need no session.
class SessionServices : public Session {
 public:
  using Session::GenerateVntErrorMessage;
  using Session::LogError;
};

// Runs a callback on the task thread; an error it raises is logged, never
// lets the thread end by itself. Logging failures are dropped: the log never
// fails the task.
template <typename Call>
void RunCallback(std::string_view which, Call&& call) noexcept {
  std::string failure;
  try {
    std::forward<Call>(call)();
    return;
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "an error that is not an exception";
  }
  try {
    SessionServices::LogError({std::string(kLoopName), fmt::format("The {} callback failed: {}", which, failure)});
  } catch (...) {
  }
}

}  // namespace

ExternalTask::~ExternalTask() {
  std::lock_guard lock(startLock_);
  ReleaseTaskThread();
}

void ExternalTask::Start(ShutdownAction shutdownAction, TaskActivatedAction taskActivatedAction) {
  std::lock_guard lock(startLock_);
  ReleaseTaskThread();
  callbacks_ = std::make_shared<const TaskCallbacks>(
      TaskCallbacks{std::move(shutdownAction), std::move(taskActivatedAction)});
  if (!CheckVntInitialized()) throw platform::Exception("Vnt is not up and running!");

  int32_t taskRecordId = 0;
  ERRBLOCK error{};
  EXTSKINI(&taskRecordId, &error);
  if (error.ERRCODE != 0) {
    throw platform::Exception(
        fmt::format("Cannot initialize external task because {0}", GenerateVntErrorMessage(error)));
  }
  m_taskRecordId = taskRecordId;
  try {
    m_taskThread = std::jthread(&ExternalTask::DoTaskWork, m_taskRecordId, callbacks_);
  } catch (...) {
    EXTSKEND();  // no loop will end the binding
    throw;
  }
}

bool ExternalTask::CheckVntInitialized() {
  if (DBMAPPED() != 0) return true;
  if (m_VntInitialized) {
    // The link this object opened is gone: close our attachment before
    // opening a new one.
    ENDDORV();
    m_VntInitialized = false;
  }
  m_VntInitialized = INIDORV() != 0;
  return m_VntInitialized;
}

std::string ExternalTask::GenerateVntErrorMessage(const ERRBLOCK& errBlock) {
  if (errBlock.ERRCODE == 0) return {};
  return SessionServices::GenerateVntErrorMessage(errBlock);
}

void ExternalTask::ReleaseTaskThread() {
  if (!m_taskThread.joinable()) return;
  m_taskThread.request_stop();
  m_taskThread.detach();
}

void ExternalTask::DoTaskWork(std::stop_token stop, int32_t taskRecordId,
                              std::shared_ptr<const TaskCallbacks> callbacks) {
  // A stop request is looked at after each database call and callback.
  while (!stop.stop_requested()) {
    int32_t activatedRecordId = -1;
    int32_t fieldTag = -1;
    int16_t priority = -1;
    int16_t activationCode = -1;
    int8_t cosTail = 0;
    ERRBLOCK error{};
    EXTASKCHK(&activatedRecordId, &fieldTag, &priority, &activationCode, &cosTail, &error);
    if (stop.stop_requested()) break;
    if (error.ERRCODE == dorvik::api::kErrShuttingDown) {
      if (callbacks->m_shutdownAction) RunCallback("shutdown", [&] { callbacks->m_shutdownAction(); });
      break;
    }
    if (callbacks->m_taskActivatedAction) {
      RunCallback("activation", [&] {
        callbacks->m_taskActivatedAction(TaskActivationInfo(taskRecordId, activatedRecordId, fieldTag, priority,
                                                            activationCode, cosTail, error.ERRCODE,
                                                            GenerateVntErrorMessage(error)));
      });
      if (stop.stop_requested()) break;
    }
    EXTSKWAI();
  }
  EXTSKEND();
}

}  // namespace vantrel::access
