// DatabaseLink: the one place where vntaccess opens the database and
// attaches to it. Everything else in the tool reaches the database through
// the library's services while a link is alive.
//
// A database is a store folder that any number of processes share; every
// write the database acknowledges is already durable, so the link has
// nothing to save when it ends.
//
// One link per process, used by the thread that made it.
#ifndef VANTREL_CLI_DATABASE_LINK_H_
#define VANTREL_CLI_DATABASE_LINK_H_

#include <memory>
#include <string>

#include "contracts/operation_table.h"

namespace vantrel::cli {

class DatabaseLink {
 public:
  // Opens the database at path, or the one DORVIK_DATABASE names when path
  // is empty, and attaches to it. Throws DatabaseUnavailableError.
  explicit DatabaseLink(const std::string& path);
  ~DatabaseLink();
  DatabaseLink(const DatabaseLink&) = delete;
  DatabaseLink& operator=(const DatabaseLink&) = delete;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// RemoteLink: the three services of an access service host (vntaccess
// --server), through vantrel_client, with the caller's credentials: a token
// from VNTACCESS_TOKEN, or the login name of --user with its password from
// VNTACCESS_PASSWORD or else the first line of standard input.
//
// Used by the thread that made it.
class RemoteLink {
 public:
  // Throws DatabaseUnavailableError when the URL or the CA file is wrong.
  RemoteLink(const std::string& url, const std::string& caFile, const std::string& user);
  ~RemoteLink();
  RemoteLink(const RemoteLink&) = delete;
  RemoteLink& operator=(const RemoteLink&) = delete;

  contracts::ServiceSet Services();

 private:
  struct Remote;
  std::unique_ptr<Remote> services_;
};

// The host URL of --server or VNTACCESS_SERVER; empty in process.
std::string ServerUrl(const std::string& option);

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_DATABASE_LINK_H_
