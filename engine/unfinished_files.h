// UnfinishedEntry: a hidden file or folder beside a name while what will
// bear the name is being made: an import's store folder, an export's JSON
// file. It is renamed onto the name once whole; until then it must not
// outlive the process that makes it, whatever ends that process:
//
//   - the owner's destructor removes it when the work fails;
//   - RemoveUnfinishedEntries(), async-signal-safe, removes every entry of
//     this process at once: a tool calls it from its SIGINT/SIGTERM handler
//     and then re-raises the signal;
//   - SweepUnfinished(folder) removes what killed processes left in a folder
//     (a SIGKILL runs no handler): the next import or export into the folder
//     calls it.
//
// An entry is named ".NAME.importing-PID-XXXXXX" (a folder) or
// ".NAME.exporting-PID-XXXXXX" (a file), PID its maker's process id. While
// it lives, its maker holds an open file description lock (F_OFD_SETLK) on
// it. A sweep removes an entry only when it is owned by the sweeping user,
// no lock is held on it and no process with its PID is alive: the lock
// covers pid reuse and other pid namespaces, the PID the moment between
// making an entry and locking it.
//
//   UnfinishedEntry folder(target, UnfinishedKind::kImport);
//   BuildStoreIn(folder.Path());
//   Rename(folder.Path(), target);
//   folder.Keep();
//
// Thread-safe: entries are made and dropped by any thread; at most
// kMaxUnfinishedEntries live at once in a process (more are made, but only
// their owner and the sweep remove them).
#ifndef VANTREL_ENGINE_UNFINISHED_FILES_H_
#define VANTREL_ENGINE_UNFINISHED_FILES_H_

#include <filesystem>

#include "engine/database_error.h"
#include "engine/unique_fd.h"

namespace dorvik {

inline constexpr int kMaxUnfinishedEntries = 16;

enum class UnfinishedKind {
  kImport,  // a folder, mode 0700
  kExport,  // a file, mode 0600, open for writing
};

class DORVIK_CONTROL_EXPORT UnfinishedEntry {
 public:
  // Makes the entry in target's folder. Throws DatabaseError naming target
  // when it cannot be made.
  UnfinishedEntry(const std::filesystem::path& target, UnfinishedKind kind);
  // Removes the entry unless Keep() was called.
  ~UnfinishedEntry();
  UnfinishedEntry(const UnfinishedEntry&) = delete;
  UnfinishedEntry& operator=(const UnfinishedEntry&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // kExport: the descriptor to write with (-1 once closed).
  int WriteFd() const { return writeFd_.get(); }
  // kExport: closes the write descriptor; 0 or the errno of close(2).
  [[nodiscard]] int CloseWrite() noexcept { return writeFd_.Close(); }
  // The entry was renamed into place: it is neither removed nor registered
  // any more.
  void Keep() noexcept;

 private:
  void Register();
  void Unregister() noexcept;

  std::filesystem::path path_;
  UniqueFd writeFd_;
  UniqueFd lockFd_;  // holds the lock that tells sweeps the entry is alive
  int slot_ = -1;    // registration for RemoveUnfinishedEntries, -1 without one
  bool kept_ = false;
};

// Removes the entries of killed imports and exports in folder (see above).
// Never fails: what cannot be removed stays.
DORVIK_CONTROL_EXPORT void SweepUnfinished(const std::filesystem::path& folder) noexcept;

// Removes every entry this process is making. Async-signal-safe.
DORVIK_CONTROL_EXPORT void RemoveUnfinishedEntries() noexcept;

}  // namespace dorvik

#endif  // VANTREL_ENGINE_UNFINISHED_FILES_H_
