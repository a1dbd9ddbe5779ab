// ExternalTask: makes the host process one of the database's external tasks.
// Start binds the process to its task record and runs the task loop on a
// thread of its own: the loop checks for an activation, hands what the check
// found to the activation callback, waits for the next activation and
// repeats, until the database shuts down, which it reports to the shutdown
// callback. The object opens its own link to the database when none is
// mapped into the process.
//
//   ExternalTask task;
//   task.Start([] { OnDatabaseShutdown(); },
//              [](const TaskActivationInfo& info) { if (info.ActivatedRecordId > 0) Serve(info); });
//
// Threads. Start may be called from any thread; calls on one object are
// serialised. The callbacks run on the task thread, one call at a time. A
// loop keeps the callbacks of the Start that made it, so a restart's
// callbacks only ever reach the new loop.
//
// Ending a loop. A loop ends at the database's shutdown (after the shutdown
// callback), or when a later Start or the object's destruction asks it to.
// Neither waits for the thread, which may be blocked waiting for an
// activation: the request takes effect when the thread next returns from a
// database call or a callback, and from then on the loop calls no callback.
// Either way the loop calls EXTSKEND once and its thread ends.
//
// A callback that throws. The task thread catches the error and writes the
// operation name "DoTaskWork" and the error's message to the service log
// (when the trace switch is not Off). An activation callback's error leaves
// the loop running: it goes on waiting for the next activation. After a
// shutdown callback's error the loop ends as it would have anyway.
//
// Process exit. The process does not wait for a task thread: one blocked
// waiting for an activation ends with the process, wherever exit() finds it.
// Until it runs a callback the thread touches only its own state and the
// client library, which is never torn down, so static destruction neither
// waits for it nor pulls anything from under it. A host that must not run
// callbacks during exit destroys its ExternalTask before.
#ifndef VANTREL_SERVER_EXTERNAL_TASK_H_
#define VANTREL_SERVER_EXTERNAL_TASK_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "api/records.h"
#include "server/task_activation_info.h"

namespace vantrel::access {

class ExternalTask {
 public:
  using ShutdownAction = std::function<void()>;
  using TaskActivatedAction = std::function<void(const TaskActivationInfo&)>;

  ExternalTask() = default;
  // Asks the task thread, if any, to stop, without waiting for it.
  ~ExternalTask();
  ExternalTask(const ExternalTask&) = delete;
  ExternalTask& operator=(const ExternalTask&) = delete;

  // Asks the thread of an earlier Start to stop (without waiting), keeps the
  // callbacks (either may be empty), binds the process to its task record
  // and starts a new task loop. Returns without waiting for an activation.
  // Throws Exception "Vnt is not up and running!" when no link can be had,
  // and "Cannot initialize external task because {0}" with the database's
  // message when the binding fails; no thread is started then.
  void Start(ShutdownAction shutdownAction, TaskActivatedAction taskActivatedAction);

 private:
  // The callbacks of one Start; never changed once made.
  struct TaskCallbacks {
    ShutdownAction m_shutdownAction;
    TaskActivatedAction m_taskActivatedAction;
  };

  // True when the database is mapped, or when this object could open a link.
  bool CheckVntInitialized();
  // The error block's text; empty for success.
  static std::string GenerateVntErrorMessage(const ERRBLOCK& errBlock);
  // The task loop, the body of the task thread.
  static void DoTaskWork(std::stop_token stop, int32_t taskRecordId, std::shared_ptr<const TaskCallbacks> callbacks);
  // Asks the current task thread to stop and lets it go.
  void ReleaseTaskThread();

  std::mutex startLock_;
  int32_t m_taskRecordId = 0;                      // guarded by startLock_
  std::shared_ptr<const TaskCallbacks> callbacks_;  // guarded by startLock_
  bool m_VntInitialized = false;                   // guarded by startLock_; a link of our own is open
  std::jthread m_taskThread;                       // guarded by startLock_; never joined
};

}  // namespace vantrel::access

#endif  // VANTREL_SERVER_EXTERNAL_TASK_H_
