// QueryFolder: the folder of the query files, opened once for a search. The
// query file of a record is "{record}.sql" in that folder, and it is read
// only from inside the folder: a record name that is not a plain file name
// (a path separator, "." or "..", a zero byte, nothing) is refused, and so
// is a link that leads out of the folder, which the kernel checks as it
// resolves the name (openat2 beneath the folder; where the kernel lacks
// openat2, links are not followed at all). A file is read whole, at most
// kMaxFileBytes; a larger one is an error, not a partial search.
//
// Not thread-safe: the bytes of the file read last live in the folder.
#ifndef VANTREL_MANAGEMENT_QUERY_FOLDER_H_
#define VANTREL_MANAGEMENT_QUERY_FOLDER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace vantrel::access {

// An owned file descriptor, closed when its owner goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { Close(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  // Descriptors here are opened for reading only, so closing loses nothing
  // whatever close() answers.
  void Close() noexcept;

  int fd_ = -1;
};

class QueryFolder {
 public:
  static constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;

  enum class Status { kMissing, kRead, kRefused };
  struct File {
    Status status = Status::kMissing;
    std::string_view bytes;  // kRead: the file's bytes, valid until the next Read
    std::string refusal;     // kRefused: why the file is not read
  };

  // Opens folder. A folder that cannot be opened holds no files; Problem()
  // says why, unless it does not exist.
  explicit QueryFolder(const std::string& folder);

  // Reads the query file of record; path names it in messages. A missing
  // file, or a directory in its place, is kMissing. Throws IOException when
  // the file exists but cannot be opened or read, or is too large.
  File Read(std::string_view record, const std::string& path);

  const std::string& Problem() const { return problem_; }

  static bool IsPlainFileName(std::string_view name);

 private:
  void ReadAll(int file, const std::string& path, std::size_t expected);

  UniqueFd folder_;
  std::string problem_;
  std::string buffer_;
};

}  // namespace vantrel::access

#endif  // VANTREL_MANAGEMENT_QUERY_FOLDER_H_
