// OpenOptions: how a process opens or makes a database (read-only, address
// space, writer lock time-out, the group a new one is shared with). A plain
// value.
#ifndef VANTREL_ENGINE_OPEN_OPTIONS_H_
#define VANTREL_ENGINE_OPEN_OPTIONS_H_

#include <chrono>
#include <cstddef>
#include <string>

namespace dorvik {

// How to open (or make) a database.
struct OpenOptions {
  bool readOnly = false;    // also when the user may not write the data file
  std::size_t mapSize = 0;  // bytes of address space for the data (0: 16 GiB); a write past it fails
  // Longest wait of a write for the database's write lock, held by another
  // process or thread; then the write fails with "database is locked" (-33,
  // the holder's pid as detail). 0: $DORVIK_LOCK_TIMEOUT seconds, else 30 s.
  std::chrono::milliseconds lockTimeout{0};
  // A new database only: the group it is shared with (folder 2750, data.mdb
  // and signals 0640, lock.mdb 0660, see FORMAT.md); empty: private (folder
  // 0700, files 0600). The process must belong to the group (or be root).
  std::string group{};
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_OPEN_OPTIONS_H_
