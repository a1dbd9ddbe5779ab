// DatabaseLink: the one place where vntaccess opens the database, attaches
// to it and makes the changes of its commands durable. Everything else in
// the tool reaches the database through the library's services while a
// link is alive.
//
// Today a database is a JSON file that this process loads; KeepChanges
// saves it (atomically) when a command changed it, and reports when that
// fails. Detaching never saves: a change is kept by KeepChanges or not at
// all, so that a command never reports a change it did not keep.
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

  // Makes every change made since the last call durable. Throws
  // platform::Exception ("... was not kept: <reason>") when it cannot.
  void KeepChanges();

 private:
  std::string path_;
};

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_DATABASE_LINK_H_
