#include "cli/database_link.h"

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "cli/errors.h"
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

}  // namespace vantrel::cli
