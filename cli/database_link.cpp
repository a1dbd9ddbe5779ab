#include "cli/database_link.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "views/errors.h"
#include "client/remote_services.h"
#include "engine/control.h"

namespace vantrel::cli {

DatabaseLink::DatabaseLink(const std::string& path) {
  std::string chosen = path;
  if (chosen.empty()) {
    const char* variable = std::getenv("DORVIK_DATABASE");
    if (variable != nullptr) chosen = variable;
  }
  if (chosen.empty()) {
    throw DatabaseUnavailableError("no database: name one with --database PATH or the DORVIK_DATABASE variable");
  }
  std::error_code error;
  const auto absolute = std::filesystem::absolute(chosen, error);
  path_ = error ? chosen : absolute.string();
  try {
    dorvik::Open(path_);
  } catch (const dorvik::DatabaseError& failure) {
    throw DatabaseUnavailableError(fmt::format("cannot open the database: {}", failure.what()));
  }
  if (INIDORV() == 0) {
    const std::string why = dorvik::LastOpenError();
    throw DatabaseUnavailableError(why.empty() ? fmt::format("cannot attach to the database {}", path_)
                                               : fmt::format("cannot attach: {}", why));
  }
}

DatabaseLink::~DatabaseLink() { ENDDORV(); }

struct RemoteLink::Remote {
  std::shared_ptr<client::RemoteSession> session;
  client::RemoteAccessService access{session};
  client::RemoteManagementService management{session};
  client::RemoteServerManagementService server{session};
};

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

}  // namespace

RemoteLink::RemoteLink(const std::string& url, const std::string& caFile, const std::string& user) {
  // --user names DOMAIN\user; the host proves the user and adds its own domain.
  const std::string login = user.substr(user.find('\\') == std::string::npos ? 0 : user.rfind('\\') + 1);
  client::RemoteOptions options{.url = url, .caFile = caFile, .user = login, .token = Variable("VNTACCESS_TOKEN")};
  if (options.token.empty() && !user.empty()) {
    options.password = Variable("VNTACCESS_PASSWORD");
    if (options.password.empty()) std::getline(std::cin, options.password);
  }
  try {
    services_ = std::make_unique<Remote>(Remote{std::make_shared<client::RemoteSession>(options)});
  } catch (const std::exception& error) {
    throw DatabaseUnavailableError(fmt::format("cannot reach the host {}: {}", url, error.what()));
  }
}

RemoteLink::~RemoteLink() = default;

contracts::ServiceSet RemoteLink::Services() {
  return contracts::ServiceSet{&services_->access, &services_->management, &services_->server};
}

std::string ServerUrl(const std::string& option) { return option.empty() ? Variable("VNTACCESS_SERVER") : option; }

}  // namespace vantrel::cli
