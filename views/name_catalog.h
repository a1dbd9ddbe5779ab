// NameCatalog: the names of the database's definition records and of their
// records, listed on first use and kept, for "did you mean" suggestions and
// completion. It lists them through the command's services (ToolAccess:
// the client API's record list in process, the management service through
// a host), which each command names with Use. Used by one thread.
#ifndef VANTREL_VIEWS_NAME_CATALOG_H_
#define VANTREL_VIEWS_NAME_CATALOG_H_

#include <optional>
#include <string>
#include <vector>

namespace vantrel::cli {

class ToolAccess;

class NameCatalog {
 public:
  // The services the next listing asks (null: none; a listing is then empty).
  void Use(ToolAccess* source) { source_ = source; }
  // Definition record names, sorted.
  const std::vector<std::string>& Definitions();
  // Every record of every definition, and the definitions themselves, sorted.
  const std::vector<std::string>& Records();
  // Forgets the lists; the next request lists again (after records were added).
  void Forget();

 private:
  void Load();

  ToolAccess* source_ = nullptr;
  std::optional<std::vector<std::string>> definitions_;
  std::vector<std::string> records_;
};

}  // namespace vantrel::cli

#endif  // VANTREL_VIEWS_NAME_CATALOG_H_
