#include "global/vnt_global.h"

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine/control.h"
#include "native/base64.h"
#include "platform/fault.h"
#include "platform/identity.h"
#include "platform/registry.h"
#include "tests/support/test_plant.h"

namespace vantrel::access {

using namespace std::chrono_literals;
using vantrel::testing::Calls;

namespace {

constexpr const char* kAccountKey = R"(HKEY_LOCAL_MACHINE\SOFTWARE\Korvane\Vantrel\17.0\PLANT)";
constexpr const char* kCantImpersonate = "Failed to impersonate Vnt system account to initialize Vnt";

std::string Base64(const std::string& text) {
  std::array<char, 512> out{};
  uint32_t length = out.size() - 1;
  UUEncodeString(text.c_str(), static_cast<uint32_t>(text.size()), out.data(), &length);
  return std::string(out.data(), length);
}

// A REGEDIT4 string in quotes, with its backslashes and quotes escaped.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

// Named as VntGlobal's friend: reaches its mutex.
class VntGlobalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_ = std::filesystem::temp_directory_path() / ("vnt_global_test_" + std::to_string(::getpid()) + ".reg");
    ::setenv(platform::kRegistryFileVariable, registry_.c_str(), 1);
    ::unsetenv("DORVIK_GROUP_NAME");  // the engine falls back to the process's environment
    ::unsetenv("VANTREL_VERSION");
    WriteAccount(Base64("VNT\\vntsystem"));
    dorvik::Reset();
    vantrel::testing::InstallPlant();
    VntGlobal::Shutdown();
    dorvik::EnableCallLog();
    dorvik::ClearCallLog();
  }
  void TearDown() override {
    VntGlobal::SetLockTimeout(VntGlobal::kDefaultLockTimeout);
    VntGlobal::Shutdown();
    dorvik::Reset();
    ::unsetenv(platform::kRegistryFileVariable);
    std::filesystem::remove(registry_);
  }

  static std::timed_mutex& Mutex() { return VntGlobal::lockedObj(); }

  void WriteRegistry(const std::string& body) const {
    std::ofstream(registry_, std::ios::binary) << "REGEDIT4\n\n" << body;
  }
  void WriteAccount(const std::string& stored) const {
    WriteRegistry(std::string("[") + kAccountKey + "]\n\"VANTREL_SYSTEM_ACCOUNT\"=" + Quoted(stored) + "\n");
  }

  // The account that the last SetTlsData set, as the engine logged it.
  static std::string LastTlsAccount() {
    std::string account;
    for (const auto& call : dorvik::CallLog()) {
      if (call.function == "SetTlsData") account = call.arguments;
    }
    return account;
  }

  // The fault of an InitializeVantrel that could not set the system
  // account; the count and the link stay as they were.
  static std::optional<platform::FaultException> InitializeFault() {
    try {
      VntGlobal::InitializeVantrel();
    } catch (const platform::FaultException& fault) {
      EXPECT_EQ(VntGlobal::GetRefCount(), 0);
      EXPECT_EQ(Calls("INIDORV"), 0);
      return fault;
    }
    ADD_FAILURE() << "InitializeVantrel raised no fault";
    return std::nullopt;
  }

  // Holds the mutex on another thread until the returned holder ends.
  class MutexHolder {
   public:
    MutexHolder() {
      std::promise<void> taken;
      auto ready = taken.get_future();
      thread_ = std::jthread([this, taken = std::move(taken)]() mutable {
        std::lock_guard lock(Mutex());
        taken.set_value();
        release_.get_future().wait();
      });
      ready.wait();
    }
    ~MutexHolder() { release_.set_value(); }

   private:
    std::promise<void> release_;
    std::jthread thread_;
  };

  std::filesystem::path registry_;
};

TEST_F(VntGlobalTest, FirstInitializeOpensTheLinkAsTheSystemAccount) {
  EXPECT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 1);
  EXPECT_EQ(Calls("INIDORV"), 1);
  EXPECT_EQ(dorvik::Attachments(), 1);
  EXPECT_EQ(LastTlsAccount(), "VNT\\vntsystem");

  EXPECT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 2);
  EXPECT_EQ(Calls("INIDORV"), 1);
  EXPECT_EQ(Calls("SetTlsData"), 1);
}

TEST_F(VntGlobalTest, UninitializeClosesTheLinkWhenTheCountReachesZero) {
  ASSERT_TRUE(VntGlobal::InitializeVantrel());
  ASSERT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_TRUE(VntGlobal::UninitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 1);
  EXPECT_EQ(Calls("ENDDORV"), 0);
  EXPECT_TRUE(VntGlobal::UninitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 0);
  EXPECT_EQ(Calls("ENDDORV"), 1);
  EXPECT_EQ(dorvik::Attachments(), 0);
}

TEST_F(VntGlobalTest, SurplusReleasesAreUndoneWithoutOpening) {
  EXPECT_TRUE(VntGlobal::UninitializeVantrel());
  EXPECT_TRUE(VntGlobal::UninitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), -2);
  EXPECT_EQ(Calls("ENDDORV"), 0);

  EXPECT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 0);
  EXPECT_EQ(Calls("INIDORV"), 0);
  EXPECT_EQ(dorvik::Attachments(), 0);

  EXPECT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 1);
  EXPECT_EQ(Calls("INIDORV"), 1);
}

TEST_F(VntGlobalTest, ShutdownClosesTheLinkFromAnyCount) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(VntGlobal::InitializeVantrel());
  VntGlobal::Shutdown();
  EXPECT_EQ(VntGlobal::GetRefCount(), 0);
  EXPECT_EQ(Calls("ENDDORV"), 1);
  EXPECT_EQ(dorvik::Attachments(), 0);

  EXPECT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 1);
  EXPECT_EQ(Calls("INIDORV"), 2);

  // Also on a closed or surplus link.
  VntGlobal::Shutdown();
  VntGlobal::UninitializeVantrel();
  VntGlobal::Shutdown();
  EXPECT_EQ(VntGlobal::GetRefCount(), 0);
  EXPECT_EQ(Calls("ENDDORV"), 3);
}

TEST_F(VntGlobalTest, AccountDomainAndUserPieces) {
  WriteAccount(Base64(".\\svc"));
  ASSERT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(LastTlsAccount(), platform::MachineName() + "\\svc");

  VntGlobal::Shutdown();
  WriteAccount(Base64("DOM\\user\\extra"));
  ASSERT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(LastTlsAccount(), "DOM\\user");
}

TEST_F(VntGlobalTest, UnsetEnvironmentVariablesFaultWithTheStringTableText) {
  for (const char* variable : {"DORVIK_GROUP_NAME", "VANTREL_VERSION"}) {
    dorvik::SetEnvironment(variable, std::nullopt);
    const auto fault = InitializeFault();
    ASSERT_TRUE(fault.has_value()) << variable;
    EXPECT_EQ(fault->Reason(), kCantImpersonate);
    EXPECT_EQ(fault->Detail().ErrorType(), "ApplicationException");
    EXPECT_EQ(fault->Detail().Message(), kCantImpersonate);
    vantrel::testing::InstallPlant();
  }
  // The mutex was released on the way out.
  EXPECT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 1);
}

TEST_F(VntGlobalTest, MissingOrUnusableAccountSettingsFault) {
  // Nothing to read: the string table's text.
  for (const std::string& registry :
       {std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Vantrel\\17.0\\OTHER]\n\"VANTREL_SYSTEM_ACCOUNT\"=\"QUJD\"\n"),
        std::string("[") + kAccountKey + "]\n\"SOMETHING_ELSE\"=\"QUJD\"\n",
        std::string("[") + kAccountKey + "]\n\"VANTREL_SYSTEM_ACCOUNT\"=\"\"\n"}) {
    WriteRegistry(registry);
    const auto fault = InitializeFault();
    ASSERT_TRUE(fault.has_value()) << registry;
    EXPECT_EQ(fault->Reason(), kCantImpersonate) << registry;
  }
  std::filesystem::remove(registry_);
  EXPECT_TRUE(InitializeFault().has_value()) << "no registry file";

  // A value that does not decode, or decodes to no DOMAIN\user form.
  for (const std::string& stored : {std::string("QUJDR"), Base64("svcuser"), std::string("!!!!")}) {
    WriteAccount(stored);
    const auto fault = InitializeFault();
    ASSERT_TRUE(fault.has_value()) << stored;
    EXPECT_FALSE(fault->Reason().value_or("").empty()) << stored;
  }
}

TEST_F(VntGlobalTest, RefusedINIDORVReturnsFalseSilently) {
  dorvik::Shutdown(0);  // the engine refuses INIDORV until it restarts
  EXPECT_FALSE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 0);
  EXPECT_EQ(Calls("INIDORV"), 1);

  dorvik::Restart();
  EXPECT_TRUE(VntGlobal::InitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 1);
}

TEST_F(VntGlobalTest, MutexNotHadInTimeChangesNothing) {
  ASSERT_TRUE(VntGlobal::InitializeVantrel());
  ASSERT_TRUE(VntGlobal::InitializeVantrel());
  VntGlobal::SetLockTimeout(30ms);
  {
    MutexHolder holder;
    EXPECT_FALSE(VntGlobal::InitializeVantrel());
    EXPECT_FALSE(VntGlobal::UninitializeVantrel());
    EXPECT_EQ(VntGlobal::GetRefCount(), 2);  // read without the mutex
  }
  EXPECT_EQ(Calls("INIDORV"), 1);
  EXPECT_EQ(Calls("ENDDORV"), 0);
  EXPECT_TRUE(VntGlobal::UninitializeVantrel());
  EXPECT_EQ(VntGlobal::GetRefCount(), 1);
}

TEST_F(VntGlobalTest, ShutdownDoesNotWaitForAnInitializeInProgress) {
  std::future<bool> initialized;
  {
    MutexHolder holder;
    initialized = std::async(std::launch::async, [] { return VntGlobal::InitializeVantrel(); });
    std::this_thread::sleep_for(20ms);  // let it wait for the mutex
    auto shutdown = std::async(std::launch::async, [] { VntGlobal::Shutdown(); });
    ASSERT_EQ(shutdown.wait_for(5s), std::future_status::ready) << "Shutdown waited for the mutex";
    EXPECT_EQ(initialized.wait_for(0s), std::future_status::timeout);
  }
  EXPECT_TRUE(initialized.get());
  EXPECT_EQ(VntGlobal::GetRefCount(), 1);
}

}  // namespace vantrel::access
