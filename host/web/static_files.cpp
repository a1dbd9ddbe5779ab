#include "host/web/static_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include <fmt/format.h>

namespace vantrel::host::web {
namespace {

constexpr std::size_t kMaxPathChars = 512;
constexpr std::size_t kMaxParts = 16;

// Owns one file descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

HttpResponse NotFound(std::string_view path) {
  HttpResponse response;
  response.status = 404;
  response.body = fmt::format(R"({{"error": "no page file {}"}})", IsPlainPath(path) ? path : "by that name");
  return response;
}

std::vector<std::string_view> Parts(std::string_view path) {
  std::vector<std::string_view> parts;
  path.remove_prefix(1);
  while (!path.empty()) {
    const auto slash = path.find('/');
    parts.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
    if (path.empty()) parts.emplace_back();  // a trailing slash: an empty part
  }
  return parts;
}

bool PlainPart(std::string_view part) {
  if (part.empty() || part.front() == '.') return false;
  for (const unsigned char c : part) {
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '_') return false;
  }
  return true;
}

// Reads the whole of fd (a regular file of size bytes).
std::optional<std::string> ReadAll(int fd, std::size_t size) {
  std::string content(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, content.data() + done, size - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    done += static_cast<std::size_t>(got);
  }
  return content;
}

bool EtagMatches(std::string_view ifNoneMatch, std::string_view etag) {
  if (ifNoneMatch == "*") return true;
  while (!ifNoneMatch.empty()) {
    const auto comma = ifNoneMatch.find(',');
    std::string_view candidate = ifNoneMatch.substr(0, comma);
    while (!candidate.empty() && candidate.front() == ' ') candidate.remove_prefix(1);
    while (!candidate.empty() && candidate.back() == ' ') candidate.remove_suffix(1);
    if (candidate.rfind("W/", 0) == 0) candidate.remove_prefix(2);
    if (candidate == etag) return true;
    if (comma == std::string_view::npos) break;
    ifNoneMatch.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

std::optional<std::string> MimeTypeOf(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kTypes{{
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
      {".woff2", "font/woff2"},
      {".txt", "text/plain; charset=utf-8"},
  }};
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view extension = name.substr(dot);
  for (const auto& [known, type] : kTypes) {
    if (extension == known) return std::string(type);
  }
  return std::nullopt;
}

bool IsPlainPath(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.size() > kMaxPathChars) return false;
  if (path == "/") return true;
  const auto parts = Parts(path);
  if (parts.size() > kMaxParts) return false;
  for (const auto part : parts) {
    if (!PlainPart(part)) return false;
  }
  return MimeTypeOf(parts.back()).has_value();
}

StaticFiles::StaticFiles(const std::filesystem::path& root) {
  rootFd_ = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd_ < 0) {
    throw std::runtime_error(fmt::format("the web root {} cannot be opened: {}", root.string(), std::strerror(errno)));
  }
}

StaticFiles::~StaticFiles() { ::close(rootFd_); }

HttpResponse StaticFiles::Serve(const HttpRequest& request, std::string_view path) const {
  if (path == "/") path = "/index.html";
  if (!IsPlainPath(path)) return NotFound(path);
  const auto parts = Parts(path);
  Descriptor folder(::dup(rootFd_));
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    Descriptor next(::openat(folder.get(), std::string(parts[i]).c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) return NotFound(path);
    folder = std::move(next);
  }
  const Descriptor file(::openat(folder.get(), std::string(parts.back()).c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) > kMaxFileBytes) {
    return NotFound(path);
  }
  HttpResponse response;
  const std::string etag = fmt::format("\"{:x}-{:x}{:09x}\"", status.st_size, status.st_mtim.tv_sec,
                                       status.st_mtim.tv_nsec);
  response.contentType = *MimeTypeOf(parts.back());
  response.headers = {{"ETag", etag}, {"Cache-Control", "no-cache"}};
  if (EtagMatches(request.ifNoneMatch, etag)) {
    response.status = 304;
    return response;
  }
  auto content = ReadAll(file.get(), static_cast<std::size_t>(status.st_size));
  if (!content) return NotFound(path);
  if (request.method != "HEAD") response.body = std::move(*content);
  return response;
}

}  // namespace vantrel::host::web
