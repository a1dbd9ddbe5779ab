#include "python/module/database_link.h"

#include <filesystem>
#include <mutex>
#include <stdexcept>

#include <fmt/format.h>

#include "api/dorvik.h"
#include "engine/control.h"

namespace vantrel::python {
namespace {

struct LinkState {
  std::mutex mutex;
  std::string path;  // guarded by mutex; empty while detached
  int users = 0;     // guarded by mutex
};

LinkState& State() {
  static LinkState state;
  return state;
}

}  // namespace

void DatabaseLink::Open(const std::string& path) {
  std::error_code error;
  const auto absolute = std::filesystem::absolute(path, error);
  const std::string chosen = error ? path : absolute.lexically_normal().string();
  LinkState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.users > 0) {
    if (state.path != chosen) {
      throw std::runtime_error(
          fmt::format("the database {} is open in this process; close it before opening {}", state.path, chosen));
    }
    ++state.users;
    return;
  }
  try {
    dorvik::Open(chosen);
  } catch (const dorvik::DatabaseError& failure) {
    throw std::runtime_error(fmt::format("cannot open the database: {}", failure.what()));
  }
  if (INIDORV() == 0) throw std::runtime_error(fmt::format("cannot attach to the database {}", chosen));
  state.path = chosen;
  state.users = 1;
}

void DatabaseLink::Close() {
  LinkState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.users == 0) return;
  if (--state.users > 0) return;
  ENDDORV();
  state.path.clear();
}

std::string DatabaseLink::OpenPath() {
  LinkState& state = State();
  std::lock_guard lock(state.mutex);
  return state.path;
}

}  // namespace vantrel::python
