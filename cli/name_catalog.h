// NameCatalog: the names of the database's definition records and of their
// records, listed on first use and kept, for "did you mean" suggestions and
// completion. It reads the client API's record list directly, 500 names a
// call. Used by one thread while a DatabaseLink is alive.
#ifndef VANTREL_CLI_NAME_CATALOG_H_
#define VANTREL_CLI_NAME_CATALOG_H_

#include <optional>
#include <string>
#include <vector>

namespace vantrel::cli {

class NameCatalog {
 public:
  // Definition record names, sorted.
  const std::vector<std::string>& Definitions();
  // Every record of every definition, and the definitions themselves, sorted.
  const std::vector<std::string>& Records();
  // Forgets the lists; the next request lists again (after records were added).
  void Forget();

 private:
  void Load();

  std::optional<std::vector<std::string>> definitions_;
  std::vector<std::string> records_;
};

}  // namespace vantrel::cli

#endif  // VANTREL_CLI_NAME_CATALOG_H_
