// TaskActivationInfo: what one activation check of an external task found,
// as the task's activation callback receives it. Plain data; copy freely.
#ifndef VANTREL_SERVER_TASK_ACTIVATION_INFO_H_
#define VANTREL_SERVER_TASK_ACTIVATION_INFO_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace vantrel::access {

class TaskActivationInfo {
 public:
  // Every number 0, no message.
  TaskActivationInfo() = default;
  TaskActivationInfo(int32_t taskRecordId, int32_t activatedRecordId, int32_t fieldTag, int32_t priority,
                     int32_t activationCode, int8_t cosTail, int32_t errorCode, std::optional<std::string> error)
      : TaskRecordId(taskRecordId),
        ActivatedRecordId(activatedRecordId),
        FieldTag(fieldTag),
        Priority(priority),
        ActivationCode(activationCode),
        COSTail(cosTail),
        ErrorCode(errorCode),
        ErrorMessage(std::move(error)) {}

  int32_t TaskRecordId = 0;       // the task record the process is bound to
  int32_t ActivatedRecordId = 0;  // the activating record; -1 when the check found none
  int32_t FieldTag = 0;           // the activating field; -1 when none
  int32_t Priority = 0;           // -1 when none
  int32_t ActivationCode = 0;     // -1 when none
  int8_t COSTail = 0;             // the activation's tail byte; 0 when none
  int32_t ErrorCode = 0;          // the check's error code, 0 for success
  std::optional<std::string> ErrorMessage;  // the error's text, empty for success

  friend bool operator==(const TaskActivationInfo&, const TaskActivationInfo&) = default;
};

}  // namespace vantrel::access

#endif  // VANTREL_SERVER_TASK_ACTIVATION_INFO_H_
