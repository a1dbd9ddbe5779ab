// StaticFiles: the browser page's files (HTML, scripts, styles, the chart
// library), served read-only from one folder, the web root.
//
// Only plain names reach a file: each part of the path is letters, digits,
// '.', '-' or '_', never starting with '.', at most 16 parts and 512
// characters; a percent escape, a backslash, an empty part or an unknown
// extension is answered 404 without touching the disk. Every part is opened
// without following links (openat with O_NOFOLLOW from the root), and only
// a regular file of at most kMaxFileBytes is served: a link planted in the
// folder leads nowhere. There is no directory listing; "/" is index.html.
//
// The MIME type comes from a fixed table of extensions, never from the
// file. Answers carry an ETag (size and modification time) and
// "Cache-Control: no-cache", so a browser revalidates and gets 304 for an
// unchanged file.
//
// Thread-safe: the root's descriptor is only read after construction.
#ifndef VANTREL_HOST_WEB_STATIC_FILES_H_
#define VANTREL_HOST_WEB_STATIC_FILES_H_

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host/http_message.h"

namespace vantrel::host::web {

inline constexpr std::size_t kMaxFileBytes = 8 << 20;

class StaticFiles {
 public:
  // Opens root; throws std::runtime_error when it is not a folder.
  explicit StaticFiles(const std::filesystem::path& root);
  ~StaticFiles();
  StaticFiles(const StaticFiles&) = delete;
  StaticFiles& operator=(const StaticFiles&) = delete;

  // The answer to a GET or HEAD of path ("/", "/app.js", "/vendor/x.css").
  HttpResponse Serve(const HttpRequest& request, std::string_view path) const;

 private:
  int rootFd_ = -1;
};

// The MIME type of a file name by its extension, or nothing when the page
// serves no such kind of file.
std::optional<std::string> MimeTypeOf(std::string_view name);

// Whether path is one that StaticFiles would look for on disk.
bool IsPlainPath(std::string_view path);

}  // namespace vantrel::host::web

#endif  // VANTREL_HOST_WEB_STATIC_FILES_H_
