#include "engine/unfinished_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace dorvik {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kImportTag = ".importing-";
constexpr std::string_view kExportTag = ".exporting-";
constexpr std::size_t kRandomLength = 6;  // the XXXXXX of mkdtemp and mkostemp
// Folders below an entry are removed this deep at most: an import's folder
// is flat, a trial import's folder holds one import folder.
constexpr int kMaxRemoveDepth = 4;

// One registered entry. state: 0 free, 1 being filled by its owner or
// removed by a handler, 2 registered (path may be read).
struct Slot {
  std::atomic<int> state{0};
  char path[PATH_MAX] = {};
};

Slot g_slots[kMaxUnfinishedEntries];

static_assert(std::atomic<int>::is_always_lock_free, "the registry is read in signal handlers");

// Removes name in folder `parent`, a folder with what it holds. Never
// follows a symbolic link (unlinkat removes the link itself). Only
// async-signal-safe calls: a handler runs it.
void RemoveAt(int parent, const char* name, int depth) noexcept {
  if (::unlinkat(parent, name, 0) == 0 || (errno != EISDIR && errno != EPERM) || depth > kMaxRemoveDepth) return;
  const int folder = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return;
  alignas(8) char buffer[2048];
  // Removing entries while reading the folder may hide some from the
  // reading: read again from the start until a pass finds nothing.
  for (int pass = 0; pass < 8; ++pass) {
    bool found = false;
    ::lseek(folder, 0, SEEK_SET);
    for (;;) {
      const long n = ::syscall(SYS_getdents64, folder, buffer, sizeof buffer);
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
        at += entry->d_reclen;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        found = true;
        RemoveAt(folder, entry->d_name, depth + 1);
      }
    }
    if (!found) break;
  }
  ::close(folder);
  ::unlinkat(parent, name, AT_REMOVEDIR);
}

void RemovePath(const char* path) noexcept { RemoveAt(AT_FDCWD, path, 0); }

[[noreturn]] void Fail(const fs::path& target, std::string_view what, int error) {
  throw DatabaseError(fmt::format("{}: {}: {}", target.string(), what, std::strerror(error)));
}

// Holds an OFD read lock on the whole of the entry at path, so that a
// sweep by another process sees that its maker lives.
UniqueFd LockEntry(const fs::path& path, bool folder) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (folder ? O_DIRECTORY : 0)));
  if (!fd.valid()) return fd;
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  (void)::fcntl(fd.get(), F_OFD_SETLK, &lock);
  return fd;
}

// Whether some process holds a lock on the entry (opened without blocking
// and without following a link).
bool IsLocked(int folderFd, const char* name) {
  const UniqueFd fd(::openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return true;  // cannot tell: leave it
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (::fcntl(fd.get(), F_OFD_GETLK, &probe) != 0) return true;
  return probe.l_type != F_UNLCK;
}

bool IsAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH); }

// The maker's process id of an entry name, with whether it is a folder
// (import) or a file (export); 0 when the name is not an entry's.
pid_t EntryPid(std::string_view name, bool& folder) {
  if (name.size() < 2 || name.front() != '.') return 0;
  std::size_t tag = name.rfind(kImportTag);
  folder = tag != std::string_view::npos;
  if (!folder) tag = name.rfind(kExportTag);
  if (tag == std::string_view::npos || tag == 0) return 0;
  std::string_view rest = name.substr(tag + kImportTag.size());
  const std::size_t dash = rest.find('-');
  if (dash == 0 || dash == std::string_view::npos || rest.size() - dash - 1 != kRandomLength || dash > 9) return 0;
  pid_t pid = 0;
  for (char c : rest.substr(0, dash)) {
    if (c < '0' || c > '9') return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

bool IsAbandoned(int folderFd, const char* name) {
  bool folder = false;
  const pid_t pid = EntryPid(name, folder);
  if (pid == 0) return false;
  struct stat info {};
  if (::fstatat(folderFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (info.st_uid != ::geteuid() || (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode))) return false;
  return !IsAlive(pid) && !IsLocked(folderFd, name);
}

}  // namespace

UnfinishedEntry::UnfinishedEntry(const fs::path& target, UnfinishedKind kind) {
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string_view tag = kind == UnfinishedKind::kImport ? kImportTag : kExportTag;
  std::string pattern = (folder / fmt::format(".{}{}{}-XXXXXX", target.filename().string(), tag, ::getpid())).string();
  if (kind == UnfinishedKind::kImport) {
    if (::mkdtemp(pattern.data()) == nullptr) Fail(target, "cannot make a folder beside it", errno);
  } else {
    writeFd_ = UniqueFd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!writeFd_.valid()) Fail(target, "cannot create a file beside it", errno);
  }
  path_ = pattern;
  Register();
  lockFd_ = LockEntry(path_, kind == UnfinishedKind::kImport);
}

UnfinishedEntry::~UnfinishedEntry() {
  if (kept_) return;
  (void)writeFd_.Close();
  RemovePath(path_.c_str());
  Unregister();
}

void UnfinishedEntry::Keep() noexcept {
  kept_ = true;
  Unregister();
  (void)lockFd_.Close();
}

void UnfinishedEntry::Register() {
  // A handler may run after the process changed its working folder.
  std::error_code error;
  const fs::path absolute = fs::absolute(path_, error);
  if (error || absolute.native().size() >= PATH_MAX) return;
  for (int i = 0; i < kMaxUnfinishedEntries; ++i) {
    int expected = 0;
    if (!g_slots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) continue;
    std::memcpy(g_slots[i].path, absolute.c_str(), absolute.native().size() + 1);
    g_slots[i].state.store(2, std::memory_order_release);
    slot_ = i;
    return;
  }
}

void UnfinishedEntry::Unregister() noexcept {
  if (slot_ < 0) return;
  // A handler removing the entry in another thread holds the slot (1) until
  // it is done; the slot is free again only after that.
  for (int expected = 2; !g_slots[slot_].state.compare_exchange_weak(expected, 0, std::memory_order_acq_rel);
       expected = 2) {
    if (expected == 0) break;
    ::sched_yield();
  }
  slot_ = -1;
}

void SweepUnfinished(const fs::path& folder) noexcept {
  const UniqueFd folderFd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folderFd.valid()) return;
  DIR* listing = ::fdopendir(::dup(folderFd.get()));
  if (listing == nullptr) return;
  // Names first, removals after: removing while reading may skip entries.
  std::vector<std::string> abandoned;
  try {
    while (const dirent* entry = ::readdir(listing)) {
      if (IsAbandoned(folderFd.get(), entry->d_name)) abandoned.emplace_back(entry->d_name);
    }
  } catch (const std::bad_alloc&) {
    // What was found so far is removed; the rest waits for the next sweep.
  }
  ::closedir(listing);
  for (const std::string& name : abandoned) RemoveAt(folderFd.get(), name.c_str(), 0);
}

void RemoveUnfinishedEntries() noexcept {
  for (Slot& slot : g_slots) {
    // Claiming the slot keeps its owner from reusing it meanwhile.
    int expected = 2;
    if (!slot.state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) continue;
    RemovePath(slot.path);
    slot.state.store(0, std::memory_order_release);
  }
}

}  // namespace dorvik
