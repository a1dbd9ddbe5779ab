#include "host/live/live_hub.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <exception>
#include <utility>

#include <fmt/format.h>

#include "data/data_access.h"
#include "engine/control.h"
#include "management/management.h"
#include "platform/fault.h"
#include "platform/operation_context.h"

namespace vantrel::host::live {
namespace {

using contracts::Tags;
using contracts::TagValuesByNames;

// A read of current values as account, through the same declaration and
// impersonation as a remote GetTagValues call.
TagValuesByNames ReadAs(const std::string& account, const Tags& tags) {
  platform::OperationContext context;
  context.SecurityContext = platform::ServiceSecurityContext{account};
  platform::OperationContextScope scope(std::move(context));
  return platform::ServeOperation(access::DataAccess::kOperations, "GetTagValues", [&] {
    access::DataAccess data;
    return data.GetTagValues(tags);
  });
}

// The reason a read gives for a fault, as a caller of the read sees it.
std::string ReasonOf(const std::exception& error) {
  if (const auto* fault = dynamic_cast<const platform::FaultException*>(&error)) {
    if (fault->Reason()) return *fault->Reason();
  }
  return error.what();
}

struct FieldRefusal {
  std::string record;
  std::string field;
  std::string reason;
};

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return std::toupper(static_cast<unsigned char>(x)) ==
                                                std::toupper(static_cast<unsigned char>(y)); });
}

// The values a read filed for record.field: the read names records and
// fields as the database spells them, which may differ in case from the
// request.
template <typename Map>
auto FindNamed(Map& map, const std::string& name) -> decltype(map.find(name)) {
  auto found = map.find(name);
  if (found != map.end()) return found;
  for (auto it = map.begin(); it != map.end(); ++it) {
    if (SameName(it->first, name)) return it;
  }
  return map.end();
}

const contracts::TagValues* Answered(const TagValuesByNames& read, const std::string& record,
                                     const std::string& field) {
  const auto named = FindNamed(read, record);
  if (named == read.end()) return nullptr;
  const auto values = FindNamed(named->second, field);
  return values == named->second.end() ? nullptr : &values->second;
}

// Reads tags as account and files the answer under the names of the
// request. A read by names leaves out what the account cannot read (no
// such record or field); when the whole read faults, each field is read
// alone so that one refused field does not hide the others.
TagValuesByNames ReadFields(const std::string& account, const Tags& tags, std::vector<FieldRefusal>& refused) {
  TagValuesByNames answer;
  bool whole = true;
  try {
    answer = ReadAs(account, tags);
  } catch (const std::exception&) {
    whole = false;
  }
  TagValuesByNames read;
  for (auto record = tags.begin(); record != tags.end(); ++record) {
    for (const std::string& field : record->second) {
      if (!whole) {
        try {
          answer = ReadAs(account, Tags{{record->first, {field}}});
        } catch (const std::exception& error) {
          refused.push_back({record->first, field, ReasonOf(error)});
          continue;
        }
      }
      if (const contracts::TagValues* values = Answered(answer, record->first, field)) {
        read[record->first][field] = *values;
      } else {
        refused.push_back({record->first, field,
                           fmt::format("{} {}: no such record or field that {} may read", record->first, field,
                                       account)});
      }
    }
  }
  return read;
}

// Whether task names an external task record, asked as account.
bool IsTask(const std::string& account, const std::string& task) {
  platform::OperationContext context;
  context.SecurityContext = platform::ServiceSecurityContext{account};
  platform::OperationContextScope scope(std::move(context));
  return platform::ServeOperation(access::Management::kOperations, "GetTagTypeByName", [&] {
    access::Management management;
    return management.GetTagTypeByName(task) == contracts::TagTypeEnum::RecordKind19;
  });
}

LiveUpdate RefusedUpdate(const std::string& record, const std::string& field, std::string reason) {
  LiveUpdate update;
  update.kind = LiveUpdate::Kind::kRefused;
  update.record = record;
  update.field = field;
  update.reason = std::move(reason);
  return update;
}

LiveUpdate ValuesUpdate(const std::string& record, const std::string& field, contracts::TagValues values) {
  LiveUpdate update;
  update.kind = LiveUpdate::Kind::kValues;
  update.record = record;
  update.field = field;
  update.values = std::move(values);
  return update;
}

void Deliver(std::vector<std::pair<std::shared_ptr<LiveSubscriber>, LiveUpdate>>& pushes) {
  for (auto& [subscriber, update] : pushes) subscriber->Push(std::move(update));
  pushes.clear();
}

}  // namespace

LiveHub::LiveHub() : LiveHub(Options{}) {}

LiveHub::LiveHub(Options options) : options_(options) {}

LiveHub::~LiveHub() {
  if (watcher_.joinable()) {
    watcher_.request_stop();
    watcher_.join();
  }
}

void LiveHub::Start() {
  if (!watcher_.joinable()) watcher_ = std::jthread([this](std::stop_token stop) { Run(std::move(stop)); });
}

void LiveHub::Run(std::stop_token stop) {
  // Each word is loaded before the look it starts, so a commit after the
  // look moves the word and the next wait returns at once.
  // The first look covers what changed between a subscription and the
  // watcher's start.
  uint32_t valuesSeen = dorvik::ValueChangeSeq();
  uint32_t tasksSeen = dorvik::TaskChangeSeq();
  RefreshValues();
  RefreshTasks();
  while (!stop.stop_requested()) {
    dorvik::WaitValueChange(valuesSeen, static_cast<int>(options_.idleWait.count()));
    const uint32_t values = dorvik::ValueChangeSeq();
    const uint32_t tasks = dorvik::TaskChangeSeq();
    if (values != valuesSeen) {
      valuesSeen = values;
      RefreshValues();
    }
    if (tasks != tasksSeen || values != valuesSeen) {
      tasksSeen = tasks;
      RefreshTasks();
    }
  }
}

std::shared_ptr<LiveSubscriber> LiveHub::Connect(std::string account, std::function<void()> onReady) {
  auto subscriber = std::make_shared<LiveSubscriber>(std::move(account), options_.queueLimit, std::move(onReady));
  std::lock_guard lock(mutex_);
  watches_[subscriber.get()].subscriber = subscriber;
  return subscriber;
}

void LiveHub::Disconnect(const LiveSubscriber& subscriber) {
  std::lock_guard lock(mutex_);
  watches_.erase(&subscriber);
  accounts_[subscriber.account()].stale = true;
}

LiveHub::Watch* LiveHub::Find(const LiveSubscriber& subscriber) {
  const auto found = watches_.find(&subscriber);
  return found == watches_.end() ? nullptr : &found->second;
}

std::size_t LiveHub::Subscribe(const std::shared_ptr<LiveSubscriber>& subscriber, const Tags& tags) {
  Pushes pushes;
  std::size_t watched = 0;
  {
    std::lock_guard reading(readMutex_);
    // Fields past the subscriber's limit are refused before anything is read.
    Tags wanted;
    {
      std::lock_guard lock(mutex_);
      Watch* watch = Find(*subscriber);
      if (watch == nullptr) return 0;
      std::size_t room = options_.maxFieldsPerSubscriber - std::min(options_.maxFieldsPerSubscriber,
                                                                     watch->fieldCount + watch->tasks.size());
      for (auto record = tags.begin(); record != tags.end(); ++record) {
        for (const std::string& field : record->second) {
          if (room == 0) {
            pushes.emplace_back(subscriber, RefusedUpdate(record->first, field,
                                                          fmt::format("a subscriber watches at most {} fields",
                                                                      options_.maxFieldsPerSubscriber)));
            continue;
          }
          --room;
          wanted[record->first].push_back(field);
        }
      }
    }
    std::vector<FieldRefusal> refused;
    const TagValuesByNames read = wanted.empty() ? TagValuesByNames{} : ReadFields(subscriber->account(), wanted,
                                                                                    refused);
    std::lock_guard lock(mutex_);
    Watch* watch = Find(*subscriber);
    if (watch == nullptr) return 0;
    accounts_[subscriber->account()].stale = true;
    for (auto record = read.begin(); record != read.end(); ++record) {
      for (auto field = record->second.begin(); field != record->second.end(); ++field) {
        auto [sent, added] = watch->fields[record->first].try_emplace(field->first, field->second);
        if (added) ++watch->fieldCount;
        sent->second = field->second;
        pushes.emplace_back(subscriber, ValuesUpdate(record->first, field->first, field->second));
        ++watched;
      }
    }
    for (const FieldRefusal& refusal : refused) {
      pushes.emplace_back(subscriber, RefusedUpdate(refusal.record, refusal.field, refusal.reason));
    }
  }
  Deliver(pushes);
  return watched;
}

void LiveHub::Unsubscribe(const LiveSubscriber& subscriber, const Tags& tags) {
  std::lock_guard lock(mutex_);
  Watch* watch = Find(subscriber);
  if (watch == nullptr) return;
  accounts_[subscriber.account()].stale = true;
  for (auto record = tags.begin(); record != tags.end(); ++record) {
    const auto fields = watch->fields.find(record->first);
    if (fields == watch->fields.end()) continue;
    for (const std::string& field : record->second) watch->fieldCount -= fields->second.erase(field);
    if (fields->second.empty()) watch->fields.erase(fields);
  }
}

bool LiveHub::SubscribeTask(const std::shared_ptr<LiveSubscriber>& subscriber, const std::string& task) {
  LiveUpdate update;
  update.record = task;
  try {
    if (!IsTask(subscriber->account(), task)) {
      throw platform::ArgumentException(fmt::format("{} is not an external task record", task));
    }
    update.pending = dorvik::PendingActivations(task);
    update.kind = LiveUpdate::Kind::kActivations;
  } catch (const std::exception& error) {
    update.kind = LiveUpdate::Kind::kRefused;
    update.reason = ReasonOf(error);
  }
  {
    std::lock_guard lock(mutex_);
    Watch* watch = Find(*subscriber);
    if (watch == nullptr) return false;
    if (update.kind == LiveUpdate::Kind::kActivations) {
      if (watch->fieldCount + watch->tasks.size() >= options_.maxFieldsPerSubscriber) {
        update.kind = LiveUpdate::Kind::kRefused;
        update.reason = fmt::format("a subscriber watches at most {} fields", options_.maxFieldsPerSubscriber);
      } else {
        watch->tasks[task] = update.pending;
      }
    }
  }
  const bool watched = update.kind == LiveUpdate::Kind::kActivations;
  subscriber->Push(std::move(update));
  return watched;
}

void LiveHub::RefreshValues() {
  std::lock_guard reading(readMutex_);
  ++rounds_;
  std::vector<std::pair<std::string, Tags>> byAccount;
  {
    std::lock_guard lock(mutex_);
    for (auto state = accounts_.begin(); state != accounts_.end();) {
      const Tags& fields = FieldsOf(state->first);
      if (fields.empty()) {
        state = accounts_.erase(state);  // nobody of that account watches anything now
        continue;
      }
      byAccount.emplace_back(state->first, fields);
      ++state;
    }
  }
  Pushes pushes;
  for (const auto& [account, tags] : byAccount) {
    std::vector<FieldRefusal> refused;
    const TagValuesByNames read = ReadFields(account, tags, refused);
    std::lock_guard lock(mutex_);
    Compare(account, read, pushes);
    for (const FieldRefusal& refusal : refused) Refuse(account, refusal.record, refusal.field, refusal.reason, pushes);
  }
  Deliver(pushes);
}

const Tags& LiveHub::FieldsOf(const std::string& account) {
  AccountWatch& state = accounts_[account];
  if (!state.stale) return state.fields;
  state.fields.clear();
  std::map<std::string, std::map<std::string, bool>> seen;
  for (const auto& [key, watch] : watches_) {
    if (watch.subscriber->account() != account) continue;
    for (const auto& [record, fields] : watch.fields) {
      for (const auto& [field, sent] : fields) {
        if (seen[record].emplace(field, true).second) state.fields[record].push_back(field);
      }
    }
  }
  state.stale = false;
  return state.fields;
}

void LiveHub::Compare(const std::string& account, const TagValuesByNames& read, Pushes& pushes) {
  // The fields whose values moved since the account's last look.
  SentValues& last = accounts_[account].lastRead;
  std::vector<std::pair<std::string, std::string>> moved;
  for (auto record = read.begin(); record != read.end(); ++record) {
    for (auto field = record->second.begin(); field != record->second.end(); ++field) {
      auto [before, added] = last[record->first].try_emplace(field->first, field->second);
      if (!added && before->second == field->second) continue;
      before->second = field->second;
      moved.emplace_back(record->first, field->first);
    }
  }
  if (moved.empty()) return;
  for (auto& [key, watch] : watches_) {
    if (watch.subscriber->account() != account) continue;
    for (const auto& [record, field] : moved) {
      const auto fields = watch.fields.find(record);
      if (fields == watch.fields.end()) continue;
      const auto sent = fields->second.find(field);
      const contracts::TagValues& now = last[record][field];
      // A subscriber that joined after the last look may hold these already.
      if (sent == fields->second.end() || sent->second == now) continue;
      sent->second = now;
      pushes.emplace_back(watch.subscriber, ValuesUpdate(record, field, now));
    }
  }
}

// Stops watching record.field for account's subscribers that watch it and
// tells them why; mutex_ held. For a field refused now that was read before
// (its record deleted, the account's rights changed).
void LiveHub::Refuse(const std::string& account, const std::string& record, const std::string& field,
                     const std::string& reason, Pushes& pushes) {
  const LiveUpdate update = RefusedUpdate(record, field, reason);
  for (auto& [key, watch] : watches_) {
    if (watch.subscriber->account() != account) continue;
    const auto fields = watch.fields.find(record);
    if (fields == watch.fields.end() || fields->second.erase(field) == 0) continue;
    accounts_[account].stale = true;
    --watch.fieldCount;
    if (fields->second.empty()) watch.fields.erase(fields);
    pushes.emplace_back(watch.subscriber, update);
  }
}

void LiveHub::RefreshTasks() {
  std::vector<std::pair<std::shared_ptr<LiveSubscriber>, std::string>> watched;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [key, watch] : watches_) {
      for (const auto& [task, sent] : watch.tasks) watched.emplace_back(watch.subscriber, task);
    }
  }
  std::map<std::string, int32_t> counts;
  for (const auto& [subscriber, task] : watched) {
    if (counts.contains(task)) continue;
    try {
      counts[task] = dorvik::PendingActivations(task);
    } catch (const std::exception&) {
      counts[task] = 0;  // the task record is gone: nothing waits for it
    }
  }
  Pushes pushes;
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, watch] : watches_) {
      for (auto& [task, sent] : watch.tasks) {
        const auto count = counts.find(task);
        if (count == counts.end() || count->second == sent) continue;
        sent = count->second;
        LiveUpdate update;
        update.kind = LiveUpdate::Kind::kActivations;
        update.record = task;
        update.pending = sent;
        pushes.emplace_back(watch.subscriber, std::move(update));
      }
    }
  }
  Deliver(pushes);
}

}  // namespace vantrel::host::live
