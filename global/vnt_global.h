// VntGlobal: the process's single link to the database. The host takes a
// reference with InitializeVantrel before it serves calls and gives it back
// with UninitializeVantrel (or closes the link at once with Shutdown); the
// first reference switches the calling thread to the installation's system
// account and opens the link. All members are process-wide and thread-safe:
// opening and closing are serialised by one mutex taken with a time-out.
#ifndef VANTREL_GLOBAL_VNT_GLOBAL_H_
#define VANTREL_GLOBAL_VNT_GLOBAL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::access {

class VntGlobal {
 public:
  VntGlobal() = default;

  // Takes one reference, opening the link when it is closed. False when the
  // mutex was not had in time or the database did not open; a service fault
  // when the system account cannot be set.
  static bool InitializeVantrel();
  // Gives back one reference, closing the link when the count reaches zero.
  // False only when the mutex was not had in time.
  static bool UninitializeVantrel();
  // The reference count, read without the mutex.
  static int32_t GetRefCount();
  // Closes the link now and zeroes the count, without the mutex.
  static void Shutdown();

  static constexpr std::chrono::milliseconds kDefaultLockTimeout{10'000};
  // How long Initialize/Uninitialize wait for the mutex (tests shorten it).
  static void SetLockTimeout(std::chrono::milliseconds timeout);

 private:
  friend class VntGlobalTest;

  static std::optional<std::string> GetResourceString(std::string_view resource);
  static bool DoVntSysAccount();

  static std::atomic<int32_t>& counter();
  static std::timed_mutex& lockedObj();
  static std::atomic<std::chrono::milliseconds::rep>& lockTimeout();
};

}  // namespace vantrel::access

#endif  // VANTREL_GLOBAL_VNT_GLOBAL_H_
