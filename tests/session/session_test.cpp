#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/dorvik.h"
#include "engine/control.h"
#include "platform/identity.h"
#include "platform/operation_context.h"
#include "session/session.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {
namespace {

using vantrel::testing::Calls;

class ResourceSession : public Session {
 public:
  using Session::GenerateVntErrorMessage;
  using Session::GetResourceString;
};

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

TEST_F(SessionTest, UserContextIsTheCallersAccountFromTheOperationContext) {
  {
    platform::OperationContextScope call(
        platform::OperationContext{platform::ServiceSecurityContext{"CORP\\alice"}});
    Session session;
    EXPECT_EQ(LastTlsAccount(), "CORP\\alice");
  }
  {
    platform::OperationContextScope call(
        platform::OperationContext{platform::ServiceSecurityContext{"CORP\\bob\\extra"}});
    Session session;
    EXPECT_EQ(LastTlsAccount(), "CORP\\bob");
  }
  {
    // Each part is cut to 256 characters.
    platform::OperationContextScope call(platform::OperationContext{
        platform::ServiceSecurityContext{std::string(300, 'D') + "\\" + std::string(300, 'u')}});
    Session session;
    EXPECT_EQ(LastTlsAccount(), std::string(256, 'D') + "\\" + std::string(256, 'u'));
  }
}

TEST_F(SessionTest, UserContextFallsBackToTheThreadsAccount) {
  const std::string own = platform::CurrentThreadAccount();
  {
    Session session;
    EXPECT_EQ(LastTlsAccount(), own);
  }
  {
    platform::OperationContextScope call(platform::OperationContext{});
    Session session;
    EXPECT_EQ(LastTlsAccount(), own);
  }
  {
    platform::OperationContextScope call(platform::OperationContext{platform::ServiceSecurityContext{}});
    Session session;
    EXPECT_EQ(LastTlsAccount(), own);
  }
  {
    platform::ImpersonationScope impersonation("IMP\\carol");
    Session session;
    EXPECT_EQ(LastTlsAccount(), "IMP\\carol");
  }
  EXPECT_EQ(Calls("SetTlsData"), 4);
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

TEST_F(SessionTest, DisposedAndDestroyedSessionsStillForwardShutdowns) {
  auto session = std::make_unique<Session>(true);
  Subscribe(*session, 1);
  session->Dispose();
  session->Dispose();
  RaiseShutdown(5);
  ASSERT_EQ(received_->calls.size(), 1u);
  EXPECT_EQ(received_->calls[0].sender, session.get());
  EXPECT_EQ(received_->calls[0].code, 5);

  session.reset();
  RaiseShutdown(7);
  ASSERT_EQ(received_->calls.size(), 2u);
  EXPECT_EQ(received_->calls[1].sender, nullptr);
  EXPECT_EQ(received_->calls[1].reason, "Vantrel is shutdown.");
  EXPECT_EQ(received_->calls[1].code, 7);
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

TEST_F(SessionTest, StringTableAndErrorText) {
  ResourceSession session;
  EXPECT_EQ(session.GetResourceString("CantImprSysAcctError"),
            "Failed to impersonate Vnt system account to initialize Vnt");
  EXPECT_EQ(session.GetResourceString("FieldInfo"), "Field(s):");
  EXPECT_EQ(session.GetResourceString("VntNotUpError"),
            "Failed to intialize Vantrel. It may not be up and running yet");
  EXPECT_EQ(session.GetResourceString("LineInfo"), "Line(s):");
  EXPECT_EQ(session.GetResourceString("MakeTagError"), "Make tag {0} {1} with error {2}.");
  EXPECT_EQ(session.GetResourceString("SharedCalc"), "Shared Calc");
  EXPECT_EQ(session.GetResourceString("UnknownReferenceSourceError"), "Unknown reference source: {0}");
  EXPECT_EQ(session.GetResourceString("NoSuchEntry"), std::nullopt);

  // The text is ERRMESS's, byte for byte, also for a block without an error.
  ERRBLOCK error{};
  int32_t fieldTag = -1;
  DECODFT("NO_SUCH_FIELD", 13, &fieldTag, &error);
  ASSERT_NE(error.ERRCODE, 0);
  for (const ERRBLOCK& block : {error, ERRBLOCK{}}) {
    char text[78] = {};
    int16_t length = 0;
    ERRMESS(&block, text, &length);
    EXPECT_EQ(session.GenerateVntErrorMessage(block), std::string(text, static_cast<std::size_t>(length)));
  }
}

}  // namespace
}  // namespace vantrel::access
