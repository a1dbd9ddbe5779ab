// UniqueFd: owns one file descriptor and closes it when it goes. Close()
// reports the error of close(2) to callers who care; the destructor
// ignores it. Not thread-safe (an owner, like a unique_ptr).
#ifndef VANTREL_ENGINE_UNIQUE_FD_H_
#define VANTREL_ENGINE_UNIQUE_FD_H_

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace dorvik {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      (void)Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { (void)Close(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor; returns 0 or the errno of close(2).
  [[nodiscard]] int Close() noexcept {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace dorvik

#endif  // VANTREL_ENGINE_UNIQUE_FD_H_
