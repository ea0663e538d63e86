#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/file.h"

namespace quilvane::platform {

// Paths here are split the way the sites' settings and archives are written,
// whatever the host: '/' and '\\' both end a folder, and ':' ends a drive
// ("C:"). A folder therefore keeps a trailing '\\' on POSIX too, so that
// FolderOf(path) + FileNameOf(path) is always `path` again.

// The file's name: what follows the last '/', '\\' or ':'; all of `path` when
// it has none.
inline std::string FileNameOf(std::string_view path) {
  const auto cut = path.find_last_of("/\\:");
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

// The folder, up to and with its last '/', '\\' or ':'; "" for a bare name.
inline std::string FolderOf(std::string_view path) {
  const auto cut = path.find_last_of("/\\:");
  return std::string(cut == std::string_view::npos ? std::string_view() : path.substr(0, cut + 1));
}

// The folder without its trailing separator, except a root ("/", "C:\\",
// "C:"), which keeps it; "" for a bare name.
inline std::string FolderWithoutSeparator(std::string_view path) {
  std::string folder = FolderOf(path);
  const size_t n = folder.size();
  const bool root = n == 1 || folder[n - 1] == ':' || (n == 3 && folder[1] == ':');
  if (n > 0 && !root) folder.pop_back();
  return folder;
}

// `dir` ready for a file name to be appended: the host's separator is added
// unless `dir` is empty or already ends with '/' or '\\'.
inline std::string WithTrailingSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += PathSeparator();
  return dir;
}

// `path` as a setting names a file: an absolute path as it is, any other
// relative to `dir` (with its trailing separator). Absolute: a leading '/'
// or '\\', or, on Windows, a drive letter with its colon.
inline std::string PathBeside(const std::string& dir, const std::string& path) {
  const bool absolute = !path.empty() && (path[0] == '/' || path[0] == '\\');
  const bool drive = PathSeparator() == '\\' && path.size() >= 2 && path[1] == ':' &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return absolute || drive ? path : WithTrailingSeparator(dir) + path;
}

// The texts of a file that cannot be opened or created, as the operator reads
// them in the log: `Cannot open file "<path>"`, and with a system error code
// its message after ". ".
inline std::string CannotOpenFileText(std::string_view path) {
  return "Cannot open file \"" + std::string(path) + "\"";
}
inline std::string CannotOpenFileText(std::string_view path, int code) {
  return CannotOpenFileText(path) + ". " + SystemMessage(code);
}
inline std::string CannotCreateFileText(std::string_view path) {
  return "Cannot create file \"" + std::string(path) + "\"";
}
inline std::string CannotCreateFileText(std::string_view path, int code) {
  return CannotCreateFileText(path) + ". " + SystemMessage(code);
}

}  // namespace quilvane::platform
