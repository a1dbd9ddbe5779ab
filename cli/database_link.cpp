#include "cli/database_link.h"

#include <cstdlib>
#include <filesystem>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "cli/errors.h"
#include "engine/control.h"
#include "platform/exceptions.h"

namespace vantrel::cli {
namespace {

void OpenAndAttach(const std::string& path) {
  try {
    dorvik::Open(path);
  } catch (const dorvik::DatabaseError& error) {
    throw DatabaseUnavailableError(fmt::format("cannot open the database: {}", error.what()));
  }
  if (INIDORV() == 0) throw DatabaseUnavailableError(fmt::format("cannot attach to the database {}", path));
}

}  // namespace

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
  OpenAndAttach(path_);
}

DatabaseLink::~DatabaseLink() {
  // Changes that KeepChanges did not keep are dropped, never saved on the
  // way out: detaching a database file would save them.
  if (dorvik::IsDirty()) {
    dorvik::Reset();
  } else {
    ENDDORV();
  }
}

void DatabaseLink::KeepChanges() {
  if (!dorvik::IsDirty()) return;
  try {
    dorvik::Save(path_);
    return;
  } catch (const dorvik::DatabaseError& error) {
    // What this process holds goes back to what the file holds, so that
    // later reads show what was really kept.
    std::string reloaded;
    try {
      dorvik::Reset();
      OpenAndAttach(path_);
    } catch (const std::exception& reload) {
      reloaded = fmt::format(" (and it could not be read back: {})", reload.what());
    }
    throw platform::Exception(fmt::format("the change was not kept: {}{}", error.what(), reloaded));
  }
}

}  // namespace vantrel::cli
