// LiveHub: live current values for clients that watch fields of records by
// name (the WebSocket /v1/live, the page's values table). A watcher thread
// sleeps on the database's value word (dorvik::WaitValueChange), which moves
// after every committed value write by any process; then it reads every
// watched field through the library as each subscriber's account, the way
// a remote call of GetTagValues runs, and pushes each field whose values
// changed to the subscribers that watch it, once. Thread-safe.
//
// Rights: a subscription is a read. A record or field whose read faults for
// the account (unknown, or refused by the database's grants) is answered by
// a kRefused update carrying the read's reason, and not watched.
//
// Back-pressure: each subscriber has a bounded queue (LiveSubscriber); the
// hub never waits for a subscriber. The hub reads once per account per
// change: subscribers of one account share the read.
//
// Reads block on the database: Subscribe reads on the calling thread (a
// worker's, never an I/O thread's). The thread's database user context is
// the subscriber's account afterwards, as after any call made as a caller.
//
//   LiveHub hub;
//   hub.Start();
//   auto subscriber = hub.Connect("VNT\\operator");
//   hub.Subscribe(subscriber, {{"TI101", {"VALUE"}}});
//   for (LiveUpdate& update : subscriber->WaitAndTake(1s)) ...
#ifndef VANTREL_HOST_LIVE_LIVE_HUB_H_
#define VANTREL_HOST_LIVE_LIVE_HUB_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contracts/collections.h"
#include "host/live/live_subscriber.h"

namespace vantrel::host::live {

class LiveHub {
 public:
  struct Options {
    std::size_t queueLimit = 1024;                 // updates waiting per subscriber before coalescing
    std::size_t maxFieldsPerSubscriber = 10'000;   // fields (and tasks) one subscriber may watch
    std::chrono::milliseconds idleWait{250};       // longest sleep before the watcher looks again
  };

  LiveHub();
  explicit LiveHub(Options options);
  // Stops the watcher; waits at most idleWait for it.
  ~LiveHub();
  LiveHub(const LiveHub&) = delete;
  LiveHub& operator=(const LiveHub&) = delete;

  // Starts the watcher thread; a second call does nothing.
  void Start();

  // A new subscriber reading as account ("DOMAIN\name", proven by the host).
  std::shared_ptr<LiveSubscriber> Connect(std::string account, std::function<void()> onReady = {});
  // Forgets the subscriber and everything it watches.
  void Disconnect(const LiveSubscriber& subscriber);

  // Reads the fields of tags as the subscriber's account, queues their
  // current values (kValues) and watches them from then on; each refused
  // field is queued as kRefused. Fields past maxFieldsPerSubscriber are
  // refused. Returns how many fields of tags are now watched.
  std::size_t Subscribe(const std::shared_ptr<LiveSubscriber>& subscriber, const contracts::Tags& tags);
  void Unsubscribe(const LiveSubscriber& subscriber, const contracts::Tags& tags);
  // Watches the pending activations of a task record: queues the count now
  // and whenever it changes (kActivations); kRefused for a record that is
  // not an external task.
  bool SubscribeTask(const std::shared_ptr<LiveSubscriber>& subscriber, const std::string& task);

  // One look at every watched field (the watcher's step after the value
  // word moved), and at every watched task. Callers other than the watcher:
  // tests and benchmarks without Start.
  void RefreshValues();
  void RefreshTasks();

  // Looks the watcher made (for tests and benchmarks).
  uint64_t rounds() const { return rounds_.load(); }

 private:
  // The fields one subscriber watches, with the values last sent for each.
  using SentValues = std::map<std::string, std::map<std::string, contracts::TagValues>>;
  struct Watch {
    std::shared_ptr<LiveSubscriber> subscriber;
    SentValues fields;
    std::size_t fieldCount = 0;
    std::map<std::string, int32_t> tasks;  // pending activations last sent
  };
  using Pushes = std::vector<std::pair<std::shared_ptr<LiveSubscriber>, LiveUpdate>>;
  // What the subscribers of one account watch together, and what the last
  // look read for them: a look compares each field once per account and
  // visits only the subscribers of the fields that changed.
  struct AccountWatch {
    contracts::Tags fields;  // the union, rebuilt when stale
    bool stale = true;
    SentValues lastRead;
  };

  void Run(std::stop_token stop);
  Watch* Find(const LiveSubscriber& subscriber);  // mutex_ held
  // What changed for the subscribers of account, given a read of their fields.
  void Compare(const std::string& account, const contracts::TagValuesByNames& read, Pushes& pushes);
  // The union of the fields account's subscribers watch; mutex_ held.
  const contracts::Tags& FieldsOf(const std::string& account);
  void Refuse(const std::string& account, const std::string& record, const std::string& field,
              const std::string& reason, Pushes& pushes);

  const Options options_;
  std::mutex readMutex_;  // one reader at a time: a subscription's first values never race a look
  std::mutex mutex_;
  std::map<const LiveSubscriber*, Watch> watches_;  // guarded by mutex_
  std::map<std::string, AccountWatch> accounts_;    // guarded by mutex_
  std::atomic<uint64_t> rounds_{0};
  std::jthread watcher_;
};

}  // namespace vantrel::host::live

#endif  // VANTREL_HOST_LIVE_LIVE_HUB_H_
