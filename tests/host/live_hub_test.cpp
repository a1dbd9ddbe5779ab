// The live values hub against the real store: values written by this or
// another process reach the subscribers that watch them, once; a slow
// subscriber gets the latest value and a missed count without slowing the
// others; every read runs as the subscriber's account and refuses what a
// read refuses; task activations are watched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <functional>
#include <string>
#include <vector>

#include "data/data_access.h"
#include "engine/control.h"
#include "host/live/live_hub.h"
#include "platform/fault.h"
#include "tests/support/child_process.h"
#include "tests/support/test_plant.h"

namespace vantrel::host::live {
namespace {

using contracts::DateTime;
using contracts::TagValue;
using contracts::TagValuesByNames;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;
using vantrel::testing::kTag1;
using vantrel::testing::kTag2;

constexpr const char* kTask = "VN_Task";
constexpr const char* kAlice = "VNT\\alice";
constexpr const char* kBob = "VNT\\bob";
constexpr auto kPatience = 10s;  // sanitizer builds are slow; a pass takes milliseconds

dorvik::DatabaseBuilder TaskPlant() {
  using dorvik::FieldSpec;
  dorvik::DatabaseBuilder builder = vantrel::testing::PlantBuilder();
  builder.Definition("VN_TaskDef", {FieldSpec::Integer("TASK_STATE")}, {.kinds = {-19}})
      .Definition("VN_CommandDef", {FieldSpec::Integer("START_CMD").ActivatesTask(kTask)}, {.kinds = {-3}})
      .Record(kTask, "VN_TaskDef")
      .Record("START1", "VN_CommandDef")
      .Grant("*", "VN_CommandDef", 2);
  return builder;
}

const DateTime kTime(2024, 3, 6, 12, 0, 0, 0, contracts::DateTimeKind::Utc);

void Write(const std::string& record, const std::string& field, contracts::Value value, int32_t status = 0) {
  access::DataAccess data;
  TagValuesByNames values;
  contracts::TagValues written;
  written.emplace_back(std::move(value), kTime, status, 0);
  values[record][field] = std::move(written);
  data.SetTagValues(values);
}

double Real(const LiveUpdate& update) { return std::get<double>(update.values.at(0).Value); }

class LiveHubTest : public ::testing::Test {
 protected:
  void SetUp() override { vantrel::testing::InstallDatabase(TaskPlant()); }

  // Updates taken from subscriber until done says enough or kPatience ends.
  static std::vector<LiveUpdate> Collect(LiveSubscriber& subscriber,
                                         const std::function<bool(const std::vector<LiveUpdate>&)>& done) {
    std::vector<LiveUpdate> all;
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (!done(all) && std::chrono::steady_clock::now() < end) {
      for (LiveUpdate& update : subscriber.WaitAndTake(50ms)) all.push_back(std::move(update));
    }
    return all;
  }
  static auto Count(std::size_t n) {
    return [n](const std::vector<LiveUpdate>& all) { return all.size() >= n; };
  }
};

TEST_F(LiveHubTest, SendsCurrentValuesThenEachChangeOnceToItsWatchers) {
  LiveHub hub(LiveHub::Options{.idleWait = 50ms});
  hub.Start();
  auto both = hub.Connect(kAlice);
  auto second = hub.Connect(kBob);
  EXPECT_EQ(hub.Subscribe(both, {{kTag1, {"VALUE"}}, {kTag2, {"VALUE"}}}), 2U);
  EXPECT_EQ(hub.Subscribe(second, {{kTag2, {"VALUE"}}}), 1U);

  const std::vector<LiveUpdate> first = both->Take();
  ASSERT_EQ(first.size(), 2U);
  EXPECT_EQ(first[0].record, kTag1);
  EXPECT_EQ(first[0].field, "VALUE");
  EXPECT_EQ(Real(first[0]), 12.5);
  EXPECT_EQ(first[0].values[0].Status, 1);
  EXPECT_EQ(Real(first[1]), 20.25);
  EXPECT_EQ(first[1].values[0].Level, 2);
  ASSERT_EQ(second->Take().size(), 1U);

  Write(kTag1, "VALUE", 30.5, 4);
  const std::vector<LiveUpdate> changed = Collect(*both, Count(1));
  ASSERT_EQ(changed.size(), 1U);
  EXPECT_EQ(changed[0].record, kTag1);
  EXPECT_EQ(Real(changed[0]), 30.5);
  EXPECT_EQ(changed[0].values[0].Status, 4);
  EXPECT_EQ(changed[0].values[0].Timestamp, kTime);
  EXPECT_EQ(changed[0].missed, 0U);

  // A write to a field nobody watches wakes the hub but sends nothing, and
  // the change already sent is not sent again.
  const uint64_t rounds = hub.rounds();
  Write(kTag1, "HI_LIMIT", 90.0);
  while (hub.rounds() == rounds) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(both->WaitAndTake(200ms).empty());
  EXPECT_TRUE(second->Take().empty());

  // Unsubscribed fields go quiet; the others still arrive.
  hub.Unsubscribe(*both, {{kTag1, {"VALUE"}}});
  Write(kTag1, "VALUE", 31.0);
  Write(kTag2, "VALUE", 21.0);
  const std::vector<LiveUpdate> after = Collect(*both, Count(1));
  ASSERT_EQ(after.size(), 1U);
  EXPECT_EQ(after[0].record, kTag2);
  EXPECT_EQ(Collect(*second, Count(1)).at(0).record, kTag2);
}

TEST_F(LiveHubTest, AWriteByAnotherProcessArrivesWithinASecond) {
  LiveHub hub;  // the watcher sleeps on the value word: an idle wait of 250 ms does not delay it
  hub.Start();
  auto subscriber = hub.Connect(kAlice);
  hub.Subscribe(subscriber, {{kTag2, {"VALUE"}}});
  ASSERT_EQ(subscriber->Take().size(), 1U);

  vantrel::testing::ChildProcess writer(LIVE_VALUE_WRITER_PATH, {dorvik::DatabasePath(), kTag2, "VALUE", "77.5", "1"});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(writer.ReadLine(), "written 1");
  const std::vector<LiveUpdate> got = Collect(*subscriber, Count(1));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(got.size(), 1U);
  EXPECT_EQ(Real(got[0]), 77.5);
  EXPECT_EQ(got[0].values[0].Status, 2);
  EXPECT_EQ(got[0].values[0].Level, 1);
  EXPECT_LT(elapsed, 1s);
  EXPECT_EQ(writer.Wait(), 0);
}

TEST_F(LiveHubTest, ASlowSubscriberGetsTheLatestValuesAndMissedCountsWithoutSlowingOthers) {
  // No watcher: each look is made here, so the counts are exact.
  LiveHub hub(LiveHub::Options{.queueLimit = 4});
  auto slow = hub.Connect(kAlice);
  auto fast = hub.Connect(kAlice);
  hub.Subscribe(slow, {{kTag1, {"VALUE"}}, {kTag2, {"VALUE"}}});
  hub.Subscribe(fast, {{kTag1, {"VALUE"}}});
  slow->Take();
  fast->Take();

  std::vector<double> fastSaw;
  for (int i = 1; i <= 50; ++i) {
    Write(kTag1, "VALUE", 100.0 + i);
    if (i == 25) Write(kTag2, "VALUE", 5.0);
    hub.RefreshValues();
    for (const LiveUpdate& update : fast->Take()) fastSaw.push_back(Real(update));
    EXPECT_LE(slow->waiting(), 4U + 2U) << "the queue grows past its bound at write " << i;
  }
  ASSERT_EQ(fastSaw.size(), 50U);
  EXPECT_EQ(fastSaw.back(), 150.0);

  const std::vector<LiveUpdate> queued = slow->Take();
  uint64_t tag1Changes = 0;
  double tag1Latest = 0;
  bool tag2Seen = false;
  for (const LiveUpdate& update : queued) {
    if (update.record == kTag1) {
      tag1Changes += 1 + update.missed;
      tag1Latest = Real(update);
    } else {
      tag2Seen = Real(update) == 5.0;
    }
  }
  EXPECT_EQ(tag1Changes, 50U) << "each change is either sent or counted as missed";
  EXPECT_EQ(tag1Latest, 150.0);
  EXPECT_TRUE(tag2Seen) << "a field changed once is not lost among another's changes";
  EXPECT_EQ(slow->missedTotal(), 50U + 1U - queued.size());

  // Caught up, it gets each change again.
  Write(kTag1, "VALUE", 7.0);
  hub.RefreshValues();
  const std::vector<LiveUpdate> next = slow->Take();
  ASSERT_EQ(next.size(), 1U);
  EXPECT_EQ(next[0].missed, 0U);
}

TEST_F(LiveHubTest, ReadsAsEachSubscribersAccountAndRefusesWhatAReadRefuses) {
  LiveHub hub(LiveHub::Options{.maxFieldsPerSubscriber = 3});
  auto alice = hub.Connect(kAlice);
  auto bob = hub.Connect(kBob);
  dorvik::EnableCallLog();
  dorvik::ClearCallLog();
  EXPECT_EQ(hub.Subscribe(alice, {{kTag1, {"VALUE", "NO_SUCH_FIELD"}}, {"NO_SUCH_RECORD", {"VALUE"}}}), 1U);
  const std::vector<LiveUpdate> answers = alice->Take();
  ASSERT_EQ(answers.size(), 3U);
  EXPECT_EQ(answers[0].kind, LiveUpdate::Kind::kValues);
  std::vector<std::string> refused;
  for (const LiveUpdate& update : answers) {
    if (update.kind == LiveUpdate::Kind::kRefused) refused.push_back(update.record + "." + update.field);
  }
  EXPECT_THAT(refused, ElementsAre(kTag1 + std::string(".NO_SUCH_FIELD"), "NO_SUCH_RECORD.VALUE"));

  // A read by names leaves out what the account cannot read; the refusal says so.
  access::DataAccess data;
  EXPECT_TRUE(data.GetTagValues(contracts::Tags{{"NO_SUCH_RECORD", {"VALUE"}}}).empty());
  EXPECT_EQ(answers[2].reason, "NO_SUCH_RECORD VALUE: no such record or field that VNT\\alice may read");
  // Names in another case are the same record and field, sent as asked.
  auto lower = hub.Connect(kAlice);
  EXPECT_EQ(hub.Subscribe(lower, {{"ti101", {"value"}}}), 1U);
  EXPECT_EQ(lower->Take().at(0).record, "ti101");
  hub.Disconnect(*lower);

  hub.Subscribe(bob, {{kTag2, {"VALUE"}}});
  dorvik::ClearCallLog();
  Write(kTag2, "VALUE", 1.0);
  dorvik::ClearCallLog();
  hub.RefreshValues();
  const std::vector<std::string> users = vantrel::testing::CallArguments("SetTlsData");
  EXPECT_THAT(users, Contains(HasSubstr("alice")));
  EXPECT_THAT(users, Contains(HasSubstr("bob")));
  ASSERT_EQ(bob->Take().size(), 2U);  // its first value and the change
  EXPECT_TRUE(alice->Take().empty());

  // The limit of fields a subscriber watches, and a subscriber without an account.
  const std::vector<std::string> past{"HI_LIMIT", "LO_LIMIT", "UNITS"};
  EXPECT_EQ(hub.Subscribe(alice, {{kTag2, past}}), 2U);
  const std::vector<LiveUpdate> limited = alice->Take();
  ASSERT_EQ(limited.size(), 3U);
  const auto over = std::find_if(limited.begin(), limited.end(),
                                 [](const LiveUpdate& update) { return update.kind == LiveUpdate::Kind::kRefused; });
  ASSERT_NE(over, limited.end());
  EXPECT_EQ(over->field, "UNITS");
  EXPECT_THAT(over->reason, HasSubstr("at most 3 fields"));
  auto nobody = hub.Connect("");
  EXPECT_EQ(hub.Subscribe(nobody, {{kTag1, {"VALUE"}}}), 0U);
  EXPECT_EQ(nobody->Take().at(0).kind, LiveUpdate::Kind::kRefused);
  dorvik::EnableCallLog(false);
}

TEST_F(LiveHubTest, TaskActivationsAreWatchedAndDisconnectedSubscribersForgotten) {
  LiveHub hub(LiveHub::Options{.idleWait = 50ms});
  hub.Start();
  auto subscriber = hub.Connect(kAlice);
  EXPECT_TRUE(hub.SubscribeTask(subscriber, kTask));
  EXPECT_FALSE(hub.SubscribeTask(subscriber, kTag1));  // not a task record
  const std::vector<LiveUpdate> first = subscriber->Take();
  ASSERT_EQ(first.size(), 2U);
  EXPECT_EQ(first[0].kind, LiveUpdate::Kind::kActivations);
  EXPECT_EQ(first[0].pending, 0);
  EXPECT_EQ(first[1].kind, LiveUpdate::Kind::kRefused);

  Write("START1", "START_CMD", int32_t{1});
  const std::vector<LiveUpdate> activated = Collect(*subscriber, Count(1));
  ASSERT_EQ(activated.size(), 1U);
  EXPECT_EQ(activated[0].record, kTask);
  EXPECT_EQ(activated[0].pending, 1);

  hub.Subscribe(subscriber, {{kTag1, {"VALUE"}}});
  subscriber->Take();
  hub.Disconnect(*subscriber);
  Write(kTag1, "VALUE", 3.0);
  hub.RefreshValues();
  EXPECT_TRUE(subscriber->Take().empty());
}

TEST(LiveSubscriberTest, TheQueueStaysBoundedWhateverArrives) {
  int ready = 0;
  LiveSubscriber subscriber(kAlice, 3, [&] { ++ready; });
  for (int round = 0; round < 100; ++round) {
    for (const char* field : {"A", "B", "C", "D", "E"}) {
      LiveUpdate update;
      update.record = "R";
      update.field = field;
      update.values.emplace_back(static_cast<double>(round), kTime, 0, 0);
      subscriber.Push(update);
    }
  }
  EXPECT_EQ(ready, 1) << "the sender is called when the queue stops being empty, not at each push";
  const std::vector<LiveUpdate> taken = subscriber.Take();
  EXPECT_LE(taken.size(), 3U + 5U);
  std::map<std::string, uint64_t> changes;
  for (const LiveUpdate& update : taken) changes[update.field] += 1 + update.missed;
  for (const auto& [field, count] : changes) EXPECT_EQ(count, 100U) << field;
  EXPECT_EQ(changes.size(), 5U);
  EXPECT_TRUE(subscriber.Take().empty());
}

}  // namespace
}  // namespace vantrel::host::live
