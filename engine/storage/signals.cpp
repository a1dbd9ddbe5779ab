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
#include <thread>

#include <fmt/format.h>

#include "engine/storage/env.h"
#include "engine/storage/store_files.h"

namespace dorvik::storage {

struct Signals::Page {
  uint32_t magic;
  uint32_t version;
  uint32_t wakeSeq;        // futex word
  uint32_t shutdownSeq;    // futex word
  uint32_t shuttingDown;
  uint32_t shutdownCode;
  uint32_t shutdownCount;
  uint32_t writerPid;      // the process holding the writer lock (0 none); OFD locks do not tell
  uint32_t valueSeq;       // futex word: bumped after each committed value write
  uint32_t catalogSeq;     // catalog generation: odd while a change of the catalog commits
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

// A new page's catalog generation: even, and unlike the one an earlier page
// left behind, so that a reader that outlived that page without its presence
// lock cannot mistake the new page's generation for one it cached under.
uint32_t FreshGeneration() {
  const auto ticks = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return static_cast<uint32_t>((ticks ^ (ticks >> 32) ^ static_cast<uint64_t>(::getpid()) << 16) & ~uint64_t{1});
}

void FutexWakeAll(const uint32_t& word) { ::syscall(SYS_futex, &word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

constexpr off_t kPresenceByte = 0;
constexpr off_t kAttachByte = 1;
constexpr off_t kWriterByte = 3;

struct flock ByteLock(short type, off_t byte) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return lock;
}

// Open file description lock on one byte, without waiting; false when it is
// held elsewhere or on an error.
bool TryLockByte(int fd, off_t byte, short type) {
  struct flock lock = ByteLock(type, byte);
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// Polls for the lock with a growing pause (1 ms to 50 ms) until deadline. A
// blocking F_OFD_SETLKW could wait for ever on a stopped process.
bool LockByteBefore(int fd, off_t byte, short type, std::chrono::steady_clock::time_point deadline) {
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (TryLockByte(fd, byte, type)) return true;
    if (errno != EAGAIN && errno != EACCES) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

// The kind of lock another description holds on byte (F_UNLCK when none).
short HeldAs(int fd, off_t byte) {
  struct flock lock = ByteLock(F_WRLCK, byte);
  if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return F_UNLCK;
  return lock.l_type;
}

[[noreturn]] void ThrowErrno(const char* what) {
  const int error = errno;
  throw StorageError(FromStorage(error), std::string(what) + ": " + std::strerror(error));
}

[[noreturn]] void ThrowRefused(const std::string& what) { throw StorageError(Outcome{kErrIo, EBUSY}, what); }

std::string Holder(pid_t pid) { return pid > 0 ? fmt::format("process {}", pid) : "another process"; }

long Seconds(std::chrono::milliseconds timeout) {
  return static_cast<long>(std::chrono::ceil<std::chrono::seconds>(timeout).count());
}

// How long an attaching process waits for one that has the lock table open
// but not yet this page (50 x 20 ms), before it calls the page replaced.
constexpr int kAttachGiveWays = 50;
constexpr std::chrono::milliseconds kAttachGiveWayPause{20};

// Serialises attaching with the other writers. A read lock there is never
// an engine's: a process that may only read the page cannot keep writers
// out with one, attaching goes on without it.
void LockAttach(int fd, std::chrono::milliseconds timeout) {
  if (LockByteBefore(fd, kAttachByte, F_WRLCK, std::chrono::steady_clock::now() + timeout)) return;
  if (errno != EAGAIN && errno != EACCES) ThrowErrno("signals lock");
  if (HeldAs(fd, kAttachByte) == F_RDLCK) return;
  throw StorageError(Outcome{kErrLocked, OfdLockHolder(fd, kAttachByte)},
                     fmt::format("{} has been attaching to the database for more than {} s",
                                 Holder(OfdLockHolder(fd, kAttachByte)), Seconds(timeout)));
}

}  // namespace

std::shared_ptr<Signals> Signals::Open(const std::filesystem::path& file, const SignalsOptions& options) {
  std::shared_ptr<Signals> signals(new Signals());
  const bool readOnly = options.readOnly;
  struct stat status {};
  const bool existed = ::lstat(file.c_str(), &status) == 0;
  if (!readOnly && !existed) {
    if (const pid_t user = LockTableUser(options.lockTableFd); user != 0) {
      ThrowRefused(fmt::format("signals is missing while {} uses the database: it was deleted; close every "
                               "process of the database first", Holder(user)));
    }
  }
  const int flags = (readOnly ? O_RDONLY : O_RDWR | O_CREAT) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  signals->fd_ = UniqueFd(::open(file.c_str(), flags, options.mode));
  const int fd = signals->fd_.get();
  if (fd >= 0 && (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
    throw StorageError(Outcome{kErrIo, EINVAL}, "signals is not a regular file: refused");
  }
  if (fd >= 0 && !readOnly) {
    if (!existed) SetModes(fd, options.mode, options.group, "signals");
    LockAttach(fd, options.lockTimeout);
    bool alone = TryLockByte(fd, kPresenceByte, F_WRLCK);
    // A process that opened the lock table a moment ago attaches here next and
    // needs the attach byte this process holds: it is given way a few times
    // before the page it has not joined yet is taken for a replaced one.
    for (int round = 0; alone && existed && round < kAttachGiveWays && LockTableUser(options.lockTableFd) != 0;
         ++round) {
      TryLockByte(fd, kPresenceByte, F_UNLCK);
      TryLockByte(fd, kAttachByte, F_UNLCK);
      std::this_thread::sleep_for(kAttachGiveWayPause);
      LockAttach(fd, options.lockTimeout);
      alone = TryLockByte(fd, kPresenceByte, F_WRLCK);
    }
    if (alone && existed) {
      if (const pid_t user = LockTableUser(options.lockTableFd); user != 0) {
        ThrowRefused(fmt::format("signals was replaced while {} uses the database; close every process of the "
                                 "database first", Holder(user)));
      }
    }
    if (static_cast<std::size_t>(status.st_size) < kPageSize && ::ftruncate(fd, kPageSize) != 0) {
      ThrowErrno("signals size");
    }
    void* mapped = ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) ThrowErrno("signals map");
    signals->page_ = static_cast<Page*>(mapped);
    signals->shared_ = signals->writable_ = true;
    if (alone || Load(signals->page_->magic) != kMagic || Load(signals->page_->version) != kVersion) {
      std::memset(mapped, 0, kPageSize);
      // An even generation no cache of an earlier page can hold by chance.
      Word(signals->page_->catalogSeq).store(FreshGeneration());
      Word(signals->page_->version).store(kVersion);
      Word(signals->page_->magic).store(kMagic);
    }
    // Presence; replaces the write lock taken when alone. Only an attaching
    // writer (which waits for byte 1, held here) or a foreign process holds
    // a write lock on byte 0.
    LockByteBefore(fd, kPresenceByte, F_RDLCK, std::chrono::steady_clock::now() + options.lockTimeout);
    TryLockByte(fd, kAttachByte, F_UNLCK);
    return signals;
  }
  if (fd >= 0 && static_cast<std::size_t>(status.st_size) >= kPageSize) {
    void* mapped = ::mmap(nullptr, kPageSize, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped != MAP_FAILED && static_cast<Page*>(mapped)->magic == kMagic) {
      // Waits out a writer's attach (its write lock on byte 0), never longer
      // than the time-out: without the lock the page is still read.
      LockByteBefore(fd, kPresenceByte, F_RDLCK,
                     std::chrono::steady_clock::now() + std::min(options.lockTimeout, std::chrono::milliseconds(1000)));
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

bool Signals::InUse(const std::filesystem::path& file) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  return fd.valid() && HeldAs(fd.get(), kPresenceByte) != F_UNLCK;
}

WriterGate Signals::LockWriter(std::chrono::milliseconds timeout) {
  WriterGate gate;
  if (!writable_ || !fd_.valid()) return gate;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  gate.local_ = std::unique_lock<std::timed_mutex>(writerMutex_, std::defer_lock);
  // By the system clock: a steady deadline makes the mutex wait in
  // pthread_mutex_clocklock, which the thread sanitizer of this toolchain
  // does not see, so it would take every later unlock for a wrong one.
  if (!gate.local_.try_lock_until(std::chrono::system_clock::now() + timeout)) {
    throw StorageError(Outcome{kErrLocked, ::getpid()},
                       fmt::format("another thread of this process has held the write lock for more than {} s",
                                   Seconds(timeout)));
  }
  if (!LockByteBefore(fd_.get(), kWriterByte, F_WRLCK, deadline)) {
    if (errno != EAGAIN && errno != EACCES) ThrowErrno("write lock");
    pid_t holder = HeldAs(fd_.get(), kWriterByte) == F_WRLCK ? WriterPid() : 0;
    if (holder <= 0) holder = OfdLockHolder(fd_.get(), kWriterByte);
    throw StorageError(Outcome{kErrLocked, holder},
                       fmt::format("the database's write lock has been held for more than {} s by {}",
                                   Seconds(timeout), Holder(holder)));
  }
  Word(page_->writerPid).store(static_cast<uint32_t>(::getpid()));
  gate.signals_ = this;
  return gate;
}

pid_t Signals::WriterPid() const { return static_cast<pid_t>(Load(page_->writerPid)); }

void Signals::UnlockWriter() noexcept {
  Word(page_->writerPid).store(0);
  TryLockByte(fd_.get(), kWriterByte, F_UNLCK);
}

WriterGate::WriterGate(WriterGate&& other) noexcept
    : signals_(std::exchange(other.signals_, nullptr)), local_(std::move(other.local_)) {}

WriterGate& WriterGate::operator=(WriterGate&& other) noexcept {
  if (this != &other) {
    Release();
    signals_ = std::exchange(other.signals_, nullptr);
    local_ = std::move(other.local_);
  }
  return *this;
}

void WriterGate::Release() noexcept {
  if (signals_ != nullptr) std::exchange(signals_, nullptr)->UnlockWriter();
  if (local_.owns_lock()) local_.unlock();
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

uint32_t Signals::CatalogGeneration() const { return Load(page_->catalogSeq); }

void Signals::BeginCatalogChange() {
  if (!writable_) return;
  // Odd, and not the value it had: a writer that died mid-change left it odd.
  const uint32_t now = Load(page_->catalogSeq);
  Word(page_->catalogSeq).fetch_add((now & 1U) != 0 ? 2U : 1U);
}

void Signals::EndCatalogChange() {
  if (!writable_) return;
  Word(page_->catalogSeq).fetch_add(1);
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
