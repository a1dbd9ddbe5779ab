// task RECORD: this process becomes the database's external task RECORD
// and prints a line for each activation, until Ctrl-C (SIGINT) or SIGTERM,
// or until the database shuts down; both end it with exit code 0.
//
// Threads. The library's task thread calls back; the callbacks only queue
// what they were told (TaskEvents) and wake the command's thread, which
// prints, looks names up and watches for the stop signals. So one thread
// writes the output and the database session stays on the thread that made
// it. The stop signals are blocked before the task thread starts (which
// inherits the mask) and read from a descriptor, never handled
// asynchronously.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "views/tool_services.h"
#include "cli/command.h"
#include "views/name_catalog.h"
#include "views/record_names.h"
#include "cli/stop_signals.h"
#include "data/data_access.h"
#include "management/management.h"
#include "platform/exceptions.h"
#include "platform/time_zone.h"
#include "server/external_task.h"

namespace vantrel::cli {
namespace {

using access::TaskActivationInfo;
using contracts::DateTime;

// The engine binds the process to the task record this variable names.
constexpr const char* kTaskVariable = "DORVIK_TASK_NAME";
constexpr std::size_t kTaskRecordsNamed = 5;

[[noreturn]] void ThrowSystemError(std::string_view what) {
  throw platform::Exception(fmt::format("cannot {}: {}", what, std::strerror(errno)));
}

// What the task thread reports: an activation or a failed check, or the
// database's shutdown.
struct TaskEvent {
  bool shutdown = false;
  TaskActivationInfo info;
  DateTime received;
};

// Events from the task thread to the command's thread, in the order they
// happened. Push from any thread; the command's thread waits until Fd() is
// readable, then Takes them. The callbacks share it, so it lives for as
// long as the task thread may still call them.
class TaskEvents {
 public:
  TaskEvents() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) ThrowSystemError("wait for the task");
  }
  ~TaskEvents() { ::close(fd_); }
  TaskEvents(const TaskEvents&) = delete;
  TaskEvents& operator=(const TaskEvents&) = delete;

  int Fd() const { return fd_; }

  void Push(TaskEvent event) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
    }
    const uint64_t one = 1;
    // Adding to the counter cannot fail short of 2^64 events.
    [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
  }

  std::vector<TaskEvent> Take() {
    uint64_t count = 0;
    // Resets the counter (EAGAIN when it is 0 already).
    [[maybe_unused]] const ssize_t read = ::read(fd_, &count, sizeof count);
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  const int fd_;
  std::mutex mutex_;
  std::vector<TaskEvent> events_;  // guarded by mutex_
};

// DORVIK_TASK_NAME set to the task for the life of the object, then as it was.
class TaskNameScope {
 public:
  explicit TaskNameScope(const std::string& task) {
    if (const char* value = std::getenv(kTaskVariable)) previous_ = value;
    ::setenv(kTaskVariable, task.c_str(), 1);
  }
  ~TaskNameScope() {
    if (previous_) {
      ::setenv(kTaskVariable, previous_->c_str(), 1);
    } else {
      ::unsetenv(kTaskVariable);
    }
  }
  TaskNameScope(const TaskNameScope&) = delete;
  TaskNameScope& operator=(const TaskNameScope&) = delete;

 private:
  std::optional<std::string> previous_;
};

// Ends the process's binding to its task when the command ends, which also
// wakes a task thread still waiting for an activation, so that it ends.
struct TaskBinding {
  TaskBinding() = default;
  ~TaskBinding() { EXTSKEND(); }
  TaskBinding(const TaskBinding&) = delete;
  TaskBinding& operator=(const TaskBinding&) = delete;
};

bool IsTaskRecord(int32_t id) { return RECTYPEOK(id, dorvik::api::kKindExternalTask) != 0; }

// "; task records: VN_SequenceTask", or "" when the database has none.
std::string TaskRecordsHint(access::Management& management, NameCatalog& catalog) {
  std::vector<std::string> tasks;
  for (const std::string& definition : catalog.Definitions()) {
    const contracts::TagIdentifiers records = management.GetTagIdentifiersByDefinition(definition);
    if (records.empty() || !IsTaskRecord(records.front().RecordID())) continue;
    for (const auto& record : records) tasks.push_back(record.Name);
  }
  std::string text;
  for (std::size_t i = 0; i < tasks.size() && i < kTaskRecordsNamed; ++i) text += (i == 0 ? "" : ", ") + tasks[i];
  if (tasks.size() > kTaskRecordsNamed) text += ", ...";
  return text.empty() ? "; the database has no task records" : "; task records: " + text;
}

// The task record named, as the database spells it.
std::string TaskRecord(const std::string& name, CommandContext& context) {
  // A task runs on the database's machine only (not through --server).
  access::Management management;
  RecordNames resolver(context.Access(), context.Catalog());
  const auto record = resolver.Record(name);
  resolver.Require();
  if (IsTaskRecord(record->id)) return record->name;
  const std::string what = record->IsDefinition() ? "a definition" : "a record of " + record->definition;
  throw NotFoundError(fmt::format("{} is not a task record: it is {}{}", record->name, what,
                                  TaskRecordsHint(management, context.Catalog())));
}

// The lines of the activations, as they come.
class ActivationLines {
 public:
  ActivationLines(Output& output, ToolAccess& access)
      : rows_(output, {{"TIME"}, {"RECORD"}, {"FIELD"}, {"PRIORITY", true}, {"CODE", true}, {"ERROR"}}),
        access_(access) {}

  int64_t Activations() const { return activations_; }

  void Show(const TaskEvent& event) {
    const TaskActivationInfo& info = event.info;
    Json json{{"time", JsonTime(event.received)}, {"timeMs", EpochMilliseconds(event.received)}};
    std::vector<Cell> row{event.received, "", "", "", "", ""};
    if (info.ActivatedRecordId > 0) {
      ++activations_;
      const std::string record = RecordName(info.ActivatedRecordId);
      const std::string field = FieldLabel(info.ActivatedRecordId, info.FieldTag);
      row = {event.received, record, field, std::to_string(info.Priority), std::to_string(info.ActivationCode), ""};
      json.update(Json{{"record", record},
                       {"field", field},
                       {"priority", info.Priority},
                       {"code", info.ActivationCode},
                       {"tail", info.COSTail}});
    }
    if (info.ErrorCode != 0) {
      const std::string message = info.ErrorMessage.value_or("");
      row.back() = fmt::format("error {}: {}", info.ErrorCode, message);
      json["error"] = Json{{"code", info.ErrorCode}, {"message", message}};
    }
    rows_.Add(row, json);
  }

 private:
  std::string RecordName(int32_t id) {
    const std::string name = RecordNameOf(id);
    return name.empty() ? fmt::format("#{}", id) : name;
  }

  // "START_CMD", or "TREND[2]" for an occurrence.
  std::string FieldLabel(int32_t record, int32_t tag) {
    const std::string name = access_.GetAttributeName(record, dorvik::api::BaseTag(tag));
    if (name.empty()) return fmt::format("0x{:08X}", static_cast<uint32_t>(tag));
    const int32_t occurrence = dorvik::api::OccurrenceOf(tag);
    return occurrence > 0 ? fmt::format("{}[{}]", name, occurrence) : name;
  }

  RowStream rows_;
  ToolAccess& access_;
  int64_t activations_ = 0;
};

struct TaskArgs {
  std::string record;
};

void DeclareTask(CLI::App& app, TaskArgs& args) {
  app.add_option("RECORD", args.record, "the task record this process becomes")->required();
}

std::string Activations(int64_t count) { return fmt::format("{} activation{}", count, count == 1 ? "" : "s"); }

ExitCode RunTask(const TaskArgs& args, CommandContext& context) {
  const std::string task = TaskRecord(args.record, context);
  ActivationLines lines(context.Out(), context.Access());
  StopSignals stop;  // before the task thread starts, which inherits the mask
  const auto events = std::make_shared<TaskEvents>();
  const TaskNameScope name(task);
  const TaskBinding binding;
  access::ExternalTask external;
  external.Start(
      [events] {
        events->Push(TaskEvent{true, {}, platform::UtcNow()});
      },
      [events](const TaskActivationInfo& info) {
        // Every check calls back; only activations and failed checks are news.
        if (info.ActivatedRecordId > 0 || info.ErrorCode != 0) {
          events->Push(TaskEvent{false, info, platform::UtcNow()});
        }
      });
  context.Out().Note(fmt::format("{}: {} is waiting for activations; Ctrl-C stops it", kProgram, task));
  for (;;) {
    std::array<pollfd, 2> watched{{{events->Fd(), POLLIN, 0}, {stop.Fd(), POLLIN, 0}}};
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError("wait for the task");
    }
    // Activations that came before a stop signal are shown first.
    for (const TaskEvent& event : events->Take()) {
      if (event.shutdown) {
        context.Out().Note(fmt::format("{}: the database shut down; {} ended after {}", kProgram, task,
                                       Activations(lines.Activations())));
        return ExitCode::kDone;
      }
      lines.Show(event);
    }
    if (const int signal = stop.Take(); signal != 0) {
      context.Out().Note(fmt::format("{}: stopped {} ({}) after {}", kProgram, task,
                                     signal == SIGINT ? "Ctrl-C" : "SIGTERM", Activations(lines.Activations())));
      return ExitCode::kDone;
    }
  }
}

const CommandRegistration kTask({
    .name = "task",
    .summary = "run as the database's external task and show its activations",
    .description = "This process becomes the task RECORD (a task record, as 'type' tells) and prints a line for "
                   "each activation: when it came, the record and field that activated the task, its priority "
                   "and code, and the error of a check that failed. It runs until Ctrl-C or SIGTERM, or until "
                   "the database shuts down, and exits with 0 then. --json prints one object per line.",
    .examples = {"task VN_SequenceTask", "task VN_SequenceTask --json | jq -c '{record, field}'"},
    .order = 60,
    .words = {WordKind::kRecord},
    .define = Define(DeclareTask, RunTask),
});

}  // namespace
}  // namespace vantrel::cli
