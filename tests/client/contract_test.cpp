// The service contracts' expectations, run twice: against the library's
// services in this process, and through vantrel_client against a host
// listening over TLS on a loopback port (same process, same database). Then
// what only a remote caller meets: the certificate check and the host's
// refusals.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client/remote_services.h"
#include "data/data_access.h"
#include "host/http_server.h"
#include "host/worker_pool.h"
#include "management/management.h"
#include "platform/fault.h"
#include "platform/operation_context.h"
#include "server/server_management.h"
#include "tests/host/host_fixture.h"

namespace vantrel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A self-signed certificate for 127.0.0.1, made by the openssl command in a
// private temporary folder that goes with it.
class TestCertificate {
 public:
  TestCertificate() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vnt-cert-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout " + Key() + " -out " + Certificate() + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
  }
  ~TestCertificate() { std::filesystem::remove_all(folder_); }
  std::string Certificate() const { return (folder_ / "cert.pem").string(); }
  std::string Key() const { return (folder_ / "key.pem").string(); }

 private:
  std::filesystem::path folder_;
};

// The three services of one backend, as the writer account.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual contracts::IAccessService& Access() = 0;
  virtual contracts::IManagementService& Manage() = 0;
  virtual contracts::IServerManagementService& Server() = 0;
};

class InProcess : public Backend {
 public:
  contracts::IAccessService& Access() override { return access_; }
  contracts::IManagementService& Manage() override { return management_; }
  contracts::IServerManagementService& Server() override { return server_; }

 private:
  platform::OperationContextScope caller_{platform::OperationContext{platform::ServiceSecurityContext{"VNT\\writer"}}};
  access::DataAccess access_;
  access::Management management_;
  access::ServerManagement server_;
};

// A host on a free loopback port over TLS, and the client's services on it.
class ThroughHost : public Backend {
 public:
  explicit ThroughHost(const std::string& token = "writer") {
    host::ServerOptions options{"127.0.0.1", 0, host::TlsFiles{certificate_.Certificate(), certificate_.Key()}, 1,
                                limits_};
    server_ = std::make_unique<host::HttpServer>(options, pool_, [this](const host::HttpRequest& request) {
      return dispatcher_.Handle(request);
    });
    server_->Start();
    session_ = Session(token);
    access_ = client::RemoteAccessService(session_);
    management_ = client::RemoteManagementService(session_);
    serverManagement_ = client::RemoteServerManagementService(session_);
  }
  ~ThroughHost() override {
    access_ = client::RemoteAccessService(nullptr);  // the client's connection goes first
    management_ = client::RemoteManagementService(nullptr);
    serverManagement_ = client::RemoteServerManagementService(nullptr);
    session_.reset();
    server_->Stop(std::chrono::seconds(1));
  }

  std::shared_ptr<client::RemoteSession> Session(const std::string& token, const std::string& caFile = "") {
    return std::make_shared<client::RemoteSession>(client::RemoteOptions{
        .url = server_->Url(), .caFile = caFile.empty() ? certificate_.Certificate() : caFile, .token = token});
  }
  contracts::IAccessService& Access() override { return access_; }
  contracts::IManagementService& Manage() override { return management_; }
  contracts::IServerManagementService& Server() override { return serverManagement_; }

 private:
  TestCertificate certificate_;
  TokenAuthenticator authenticator_;
  host::CallRunner runner_{kHostAccount};
  host::HostLimits limits_;
  host::Dispatcher dispatcher_{authenticator_, runner_, limits_};
  host::WorkerPool pool_{2, 16, [this] { runner_.RestoreHostContext(); }};
  std::unique_ptr<host::HttpServer> server_;
  std::shared_ptr<client::RemoteSession> session_;
  client::RemoteAccessService access_{nullptr};
  client::RemoteManagementService management_{nullptr};
  client::RemoteServerManagementService serverManagement_{nullptr};
};

class ContractTest : public HostTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    if (GetParam()) {
      backend_ = std::make_unique<ThroughHost>();
    } else {
      backend_ = std::make_unique<InProcess>();
    }
  }
  void TearDown() override { backend_.reset(); }

  std::unique_ptr<Backend> backend_;
};

TEST_P(ContractTest, ReadsByNamesAndByIdsAgree) {
  const auto byNames = backend_->Access().GetTagValues(contracts::Tags{{"TI101", {"VALUE", "UNITS"}}});
  EXPECT_EQ(std::get<double>(byNames.at("TI101").at("VALUE").at(0).Value), 12.5);
  EXPECT_EQ(std::get<std::string>(byNames.at("TI101").at("UNITS").at(0).Value), "degC");
  const int32_t record = backend_->Manage().GetTagID("TI101");
  const int32_t field = backend_->Manage().GetFieldID("VALUE");
  ASSERT_GT(record, 0);
  const auto byIds = backend_->Access().GetTagValues(contracts::TagsById{{record, {field}}});
  EXPECT_EQ(byIds.at(record).at(field), byNames.at("TI101").at("VALUE"));
  EXPECT_EQ(backend_->Manage().GetTagName(record), "TI101");
}

TEST_P(ContractTest, WritesAreReadBack) {
  contracts::TagValues values(1);
  values[0].Value = 42.5;
  backend_->Access().SetTagValues(contracts::TagValuesByNames{{"TI101", {{"VALUE", values}}}});
  const auto read = backend_->Access().GetTagValues(contracts::Tags{{"TI101", {"VALUE"}}});
  EXPECT_EQ(std::get<double>(read.at("TI101").at("VALUE").at(0).Value), 42.5);
}

TEST_P(ContractTest, FaultsCarryTheServiceException) {
  try {
    backend_->Access().GetTagValues(contracts::Tags{{"TI101", {}}});
    FAIL() << "no fault";
  } catch (const platform::FaultException& fault) {
    EXPECT_EQ(fault.Detail().ErrorType(), "ApplicationException");
    ASSERT_TRUE(fault.Reason());
    EXPECT_THAT(*fault.Reason(), HasSubstr("field list is empty"));
  }
}

TEST_P(ContractTest, ManagementAndServerAnswerTheSame) {
  EXPECT_THAT(backend_->Manage().GetAllDefinitionTags(), ::testing::Contains(kDefinition));
  const auto records = backend_->Manage().GetTagNamesByDefinition({kDefinition});
  EXPECT_THAT(records.at(kDefinition), ElementsAre("TI101", "TI102"));
  EXPECT_THAT(backend_->Manage().FindNonexistingTags({"TI101", "NOPE"}), ElementsAre("NOPE"));
  EXPECT_EQ(backend_->Manage().GetServerVersion().Major, 17);
  auto& manage = backend_->Manage();
  EXPECT_EQ(manage.GetFieldName(manage.GetTagID("TI101"), manage.GetFieldID("UNITS")), "UNITS");
  EXPECT_EQ(backend_->Server().GetMaxHistorySizePerCall(), 10000);
  EXPECT_EQ(backend_->Server().GetVntEnvironmentVariable("DORVIK_GROUP_NAME"), "PLANT");
}

INSTANTIATE_TEST_SUITE_P(Backends, ContractTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ThroughHost" : "InProcess"; });

using RemoteTest = HostTest;

TEST_F(RemoteTest, TheHostsRefusalsAreHostErrors) {
  ThroughHost host;
  client::RemoteServerManagementService server(host.Session("writer"));
  try {
    server.SetTLSData("5C2E9A41-7B3D-4F06-A8E2-19D4C6B07F3A", "VNT\\boss");
    FAIL() << "not refused";
  } catch (const client::HostError& error) {
    EXPECT_EQ(error.Status(), 403);
    EXPECT_THAT(error.what(), HasSubstr("impersonate role"));
  }
  client::RemoteManagementService forged(host.Session("forged"));
  try {
    forged.GetServerVersion();
    FAIL() << "not refused";
  } catch (const client::HostError& error) {
    EXPECT_EQ(error.Status(), 401);
  }
}

TEST_F(RemoteTest, AHostWhoseCertificateIsNotTrustedIsNotTalkedTo) {
  ThroughHost host;
  TestCertificate other;
  client::RemoteManagementService untrusting(host.Session("writer", other.Certificate()));
  EXPECT_THROW(untrusting.GetServerVersion(), client::ConnectionError);
}

}  // namespace
}  // namespace vantrel::testing
