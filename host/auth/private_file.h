// Private files: read only when they are regular files of this process's
// user that group and others cannot touch; replaced atomically. The users
// file is kept this way because it holds password and token hashes.
//
// Functions are thread-safe; each failure throws UsersFileError whose
// message names the path and the reason.
#ifndef VANTREL_HOST_AUTH_PRIVATE_FILE_H_
#define VANTREL_HOST_AUTH_PRIVATE_FILE_H_

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace vantrel::host::auth {

// The whole content of path, at most maxBytes. Refuses a symbolic link, a
// file that is not regular, one owned by another user, or one with any
// access bit for group or others. A missing file throws as well.
std::string ReadPrivateFile(const std::filesystem::path& path, size_t maxBytes);

// Writes text to a new temporary file beside path (mode 0600), flushes it
// to disk and renames it over path. Refuses when path is a symbolic link,
// not a regular file, or owned by another user; the old file then stays.
void ReplacePrivateFile(const std::filesystem::path& path, std::string_view text);

}  // namespace vantrel::host::auth

#endif  // VANTREL_HOST_AUTH_PRIVATE_FILE_H_
