#include "engine/storage/signals.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "engine/storage/env.h"

namespace dorvik::storage {

struct Signals::Page {
  uint32_t magic;
  uint32_t version;
  uint32_t wakeSeq;        // futex word
  uint32_t shutdownSeq;    // futex word
  uint32_t shuttingDown;
  uint32_t shutdownCode;
  uint32_t shutdownCount;
  uint32_t valueSeq;       // futex word: bumped after each committed value write
};

namespace {

constexpr uint32_t kMagic = 0x47535644;  // "DVSG"
constexpr uint32_t kVersion = 1;
constexpr std::size_t kPageSize = 4096;
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free, "futex words must be lock-free atomics");

std::atomic_ref<uint32_t> Word(uint32_t& word) { return std::atomic_ref<uint32_t>(word); }
uint32_t Load(const uint32_t& word) { return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(word)).load(); }

void FutexWait(const uint32_t& word, uint32_t seen, bool bounded) {
  // EAGAIN (the word moved on), EINTR and ETIMEDOUT all just return to the
  // caller's loop.
  struct timespec limit {0, Signals::kReadOnlyWaitMs * 1'000'000L};
  ::syscall(SYS_futex, &word, FUTEX_WAIT, seen, bounded ? &limit : nullptr, nullptr, 0);
}

void FutexWakeAll(const uint32_t& word) { ::syscall(SYS_futex, &word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

// Open file description lock on one byte; false when it is held elsewhere
// (wait = false) or on an error.
bool LockByte(int fd, off_t byte, short type, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  int rc;
  do {
    rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

void ThrowErrno(const char* what) {
  const int error = errno;
  throw StorageError(FromStorage(error), std::string(what) + ": " + std::strerror(error));
}

}  // namespace

std::shared_ptr<Signals> Signals::Open(const std::filesystem::path& file, bool readOnly) {
  std::shared_ptr<Signals> signals(new Signals());
  const int flags = (readOnly ? O_RDONLY : O_RDWR | O_CREAT) | O_CLOEXEC | O_NOFOLLOW;
  signals->fd_ = UniqueFd(::open(file.c_str(), flags, 0644));
  const int fd = signals->fd_.get();
  struct stat status {};
  if (fd >= 0 && !readOnly) {
    if (!LockByte(fd, 1, F_WRLCK, true)) ThrowErrno("signals lock");
    const bool alone = LockByte(fd, 0, F_WRLCK, false);
    if (::fstat(fd, &status) != 0) ThrowErrno("signals");
    if (static_cast<std::size_t>(status.st_size) < kPageSize && ::ftruncate(fd, kPageSize) != 0) {
      ThrowErrno("signals size");
    }
    void* mapped = ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) ThrowErrno("signals map");
    signals->page_ = static_cast<Page*>(mapped);
    signals->shared_ = signals->writable_ = true;
    if (alone || Load(signals->page_->magic) != kMagic || Load(signals->page_->version) != kVersion) {
      std::memset(mapped, 0, kPageSize);
      Word(signals->page_->version).store(kVersion);
      Word(signals->page_->magic).store(kMagic);
    }
    LockByte(fd, 0, F_RDLCK, true);  // presence; replaces the write lock taken when alone
    LockByte(fd, 1, F_UNLCK, false);
    return signals;
  }
  if (fd >= 0 && ::fstat(fd, &status) == 0 && static_cast<std::size_t>(status.st_size) >= kPageSize) {
    void* mapped = ::mmap(nullptr, kPageSize, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped != MAP_FAILED && static_cast<Page*>(mapped)->magic == kMagic) {
      LockByte(fd, 0, F_RDLCK, false);
      signals->page_ = static_cast<Page*>(mapped);
      signals->shared_ = true;
      return signals;
    }
    if (mapped != MAP_FAILED) ::munmap(mapped, kPageSize);
  }
  if (!readOnly) ThrowErrno("signals");
  // A reader with no page to share keeps a private one.
  void* mapped = ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) ThrowErrno("signals page");
  signals->page_ = static_cast<Page*>(mapped);
  signals->fd_ = UniqueFd();
  return signals;
}

Signals::~Signals() {
  if (page_ != nullptr) ::munmap(page_, kPageSize);
}

uint32_t Signals::WakeSeq() const { return Load(page_->wakeSeq); }

void Signals::Wake() {
  if (writable_) Word(page_->wakeSeq).fetch_add(1);
  FutexWakeAll(page_->wakeSeq);
}

void Signals::WaitWake(uint32_t seen) const { FutexWait(page_->wakeSeq, seen, !writable_); }

uint32_t Signals::ShutdownSeq() const { return Load(page_->shutdownSeq); }

void Signals::WaitShutdown(uint32_t seen) const { FutexWait(page_->shutdownSeq, seen, !writable_); }

uint32_t Signals::ValueSeq() const { return Load(page_->valueSeq); }

void Signals::ValuesChanged() {
  if (!writable_) return;
  Word(page_->valueSeq).fetch_add(1);
  FutexWakeAll(page_->valueSeq);
}

void Signals::WaitValues(uint32_t seen, int timeoutMs) const {
  const long millis = std::max(0, writable_ ? timeoutMs : std::min(timeoutMs, kReadOnlyWaitMs));
  struct timespec limit {millis / 1000, (millis % 1000) * 1'000'000L};
  ::syscall(SYS_futex, &page_->valueSeq, FUTEX_WAIT, seen, &limit, nullptr, 0);
}

void Signals::Nudge() const {
  FutexWakeAll(page_->wakeSeq);
  FutexWakeAll(page_->shutdownSeq);
}

void Signals::Retire() {
  retired_.store(true);
  if (writable_) {
    Word(page_->wakeSeq).fetch_add(1);
    Word(page_->shutdownSeq).fetch_add(1);
    Word(page_->valueSeq).fetch_add(1);
  }
  Nudge();
  FutexWakeAll(page_->valueSeq);
}

bool Signals::ShuttingDown() const { return Load(page_->shuttingDown) != 0; }
uint32_t Signals::ShutdownCode() const { return Load(page_->shutdownCode); }
uint32_t Signals::ShutdownCount() const { return Load(page_->shutdownCount); }

bool Signals::BeginShutdown(uint32_t code, uint32_t& count) {
  if (!writable_) return false;
  Word(page_->shutdownCode).store(code);
  Word(page_->shuttingDown).store(1);
  count = Word(page_->shutdownCount).fetch_add(1) + 1;
  Word(page_->shutdownSeq).fetch_add(1);
  Word(page_->wakeSeq).fetch_add(1);
  FutexWakeAll(page_->shutdownSeq);
  FutexWakeAll(page_->wakeSeq);
  return true;
}

bool Signals::EndShutdown() {
  if (!writable_) return false;
  Word(page_->shuttingDown).store(0);
  Word(page_->shutdownSeq).fetch_add(1);
  Word(page_->wakeSeq).fetch_add(1);
  FutexWakeAll(page_->shutdownSeq);
  FutexWakeAll(page_->wakeSeq);
  return true;
}

}  // namespace dorvik::storage
