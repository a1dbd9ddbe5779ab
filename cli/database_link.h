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

#include <string>

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

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_DATABASE_LINK_H_
