#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/control.h"
#include "platform/exceptions.h"
#include "platform/identity.h"
#include "platform/operation_context.h"
#include "session/session.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using vantrel::testing::Calls;

// What the subscribers of a shutdown saw. Shared with the subscribers, which
// outlive the sessions they were added to.
struct Received {
  struct Call {
    int subscriber;
    Session* sender;
    std::string reason;
    int32_t code;
    std::thread::id thread;
  };
  std::mutex mutex;
  std::vector<Call> calls;
};

ServerShutdownHandler Recorder(int number, std::shared_ptr<Received> received) {
  return [number, received](Session* sender, const EventReason& e) {
    std::lock_guard lock(received->mutex);
    received->calls.push_back({number, sender, e.Reason, e.Code, std::this_thread::get_id()});
  };
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dorvik::Reset();
    vantrel::testing::InstallPlant();
    dorvik::EnableCallLog();
    received_ = std::make_shared<Received>();
  }
  void TearDown() override { dorvik::Reset(); }

  // The account that the last SetTlsData set, as the engine logged it.
  static std::string LastTlsAccount() {
    std::string account;
    for (const auto& call : dorvik::CallLog()) {
      if (call.function == "SetTlsData") account = call.arguments;
    }
    return account;
  }

  void Subscribe(Session& session, int number) { session.VntShutdownEvents += Recorder(number, received_); }

  // Raises a database shutdown and leaves the shutdown state again.
  static void RaiseShutdown(uint32_t code) {
    dorvik::Shutdown(code);
    dorvik::Restart();
  }

  std::shared_ptr<Received> received_;
};

TEST_F(SessionTest, UserContextIsTheCallersAccountElseTheThreads) {
  using platform::OperationContext;
  using platform::ServiceSecurityContext;
  const auto contextual = [](std::optional<OperationContext> context) {
    std::optional<platform::OperationContextScope> call;
    if (context) call.emplace(*context);
    Session session;
    return LastTlsAccount();
  };
  EXPECT_EQ(contextual(OperationContext{ServiceSecurityContext{"CORP\\alice"}}), "CORP\\alice");
  EXPECT_EQ(contextual(OperationContext{ServiceSecurityContext{"CORP\\bob\\extra"}}), "CORP\\bob");
  // Each part is cut to 256 characters.
  EXPECT_EQ(contextual(OperationContext{ServiceSecurityContext{std::string(300, 'D') + "\\" + std::string(300, 'u')}}),
            std::string(256, 'D') + "\\" + std::string(256, 'u'));

  const std::string own = platform::CurrentThreadAccount();
  EXPECT_EQ(contextual(std::nullopt), own);
  EXPECT_EQ(contextual(OperationContext{}), own);
  EXPECT_EQ(contextual(OperationContext{ServiceSecurityContext{}}), own);
  EXPECT_EQ(contextual(OperationContext{ServiceSecurityContext{""}}), own);
  platform::ImpersonationScope impersonation("IMP\\carol");
  EXPECT_EQ(contextual(std::nullopt), "IMP\\carol");
  EXPECT_EQ(Calls("SetTlsData"), 8);
}

// "DOM\ąlice" and "DOM\ęlice" would both reach the database as "DOM\?lice",
// one user context with one set of rights: such accounts are refused.
TEST_F(SessionTest, AccountsTheDatabaseCannotHoldAreRefused) {
  const std::vector<std::string> users{"\xC4\x85lice", "\xC4\x99lice", std::string("al\0ice", 6)};
  for (const std::string& user : users) {
    platform::OperationContextScope call(platform::OperationContext{platform::ServiceSecurityContext{"DOM\\" + user}});
    try {
      Session session;
      ADD_FAILURE() << "the account was taken";
    } catch (const platform::ArgumentException& error) {
      EXPECT_NE(std::string(error.what()).find("The account \"DOM\\"), std::string::npos) << error.what();
    }
    EXPECT_THROW(Session::SetUserInfo("DOM", user), platform::ArgumentException);
  }
  EXPECT_EQ(Calls("SetTlsData"), 0);
  Session::SetUserInfo("DOM", "\xC3\xA9lise");  // é is in the code page
  EXPECT_EQ(LastTlsAccount(), "DOM\\\xE9lise");
}

TEST_F(SessionTest, OnlySessionsWithTheCallbackFlagRegister) {
  { Session plain; }
  { Session withoutFlag(false); }
  EXPECT_EQ(Calls("VantrelRegisterShutdownCallback"), 0);

  Session first(true);
  Session second(true);
  EXPECT_EQ(Calls("VantrelRegisterShutdownCallback"), 2);
  const std::string thread = "thread=" + std::to_string(static_cast<uint32_t>(::syscall(SYS_gettid)));
  for (const auto& call : dorvik::CallLog()) {
    if (call.function == "VantrelRegisterShutdownCallback") {
      EXPECT_EQ(call.arguments, thread);
    }
  }
}

TEST_F(SessionTest, ShutdownReachesSubscribersInOrderOnTheLibrarysThread) {
  Session session(true);
  Subscribe(session, 1);
  Subscribe(session, 2);
  Session unregistered(false);
  Subscribe(unregistered, 3);
  Session silent(true);  // registered, without subscribers

  RaiseShutdown(0xFFFFFFFFu);
  ASSERT_EQ(received_->calls.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    const auto& call = received_->calls[i];
    EXPECT_EQ(call.subscriber, i + 1);
    EXPECT_EQ(call.sender, &session);
    EXPECT_EQ(call.reason, "Vantrel is shutdown.");
    EXPECT_EQ(call.code, -1);
    EXPECT_NE(call.thread, std::this_thread::get_id());
  }
}

TEST_F(SessionTest, DisposedSessionsForwardShutdownsDestroyedOnesNoLonger) {
  auto session = std::make_unique<Session>(true);
  Subscribe(*session, 1);
  session->Dispose();
  session->Dispose();
  RaiseShutdown(5);
  ASSERT_EQ(received_->calls.size(), 1u);
  EXPECT_EQ(received_->calls[0].sender, session.get());
  EXPECT_EQ(received_->calls[0].code, 5);

  const std::size_t entries = ShutdownEntryLease::EntriesMade();
  session.reset();
  RaiseShutdown(6);
  EXPECT_EQ(received_->calls.size(), 1u) << "the subscribers went with their session";

  // The next session takes over the entry point and its registration.
  Session next(true);
  Subscribe(next, 2);
  EXPECT_EQ(ShutdownEntryLease::EntriesMade(), entries);
  RaiseShutdown(7);
  ASSERT_GT(received_->calls.size(), 1u);
  for (std::size_t i = 1; i < received_->calls.size(); ++i) {
    EXPECT_EQ(received_->calls[i].subscriber, 2);
    EXPECT_EQ(received_->calls[i].sender, &next);
    EXPECT_EQ(received_->calls[i].code, 7);
  }
  EXPECT_EQ(Calls("VantrelRegisterShutdownCallback"), 2) << "one registration per session still";
}

TEST_F(SessionTest, SessionsMadeOneAfterAnotherNeedOneEntryPoint) {
  // A host constructing a session per call, the way services are used.
  constexpr int kSessions = 10'000;
  { Session warm(true); }  // the pool holds at least one entry from here on
  const std::size_t entries = ShutdownEntryLease::EntriesMade();
  dorvik::ClearCallLog();
  for (int i = 0; i < kSessions; ++i) Session perCall(true);
  EXPECT_EQ(ShutdownEntryLease::EntriesMade(), entries);
  EXPECT_EQ(Calls("VantrelRegisterShutdownCallback"), kSessions);
}

TEST_F(SessionTest, AThrowingSubscriberStaysInsideTheNotification) {
  Session session(true);
  Subscribe(session, 1);
  session.VntShutdownEvents += [](Session*, const EventReason&) { throw std::runtime_error("subscriber failed"); };
  RaiseShutdown(1);
  RaiseShutdown(2);
  ASSERT_EQ(received_->calls.size(), 2u);
  EXPECT_EQ(received_->calls[1].code, 2);
}

}  // namespace
}  // namespace vantrel::access
