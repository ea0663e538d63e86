#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/file.h"

namespace quilvane::platform {

// `dir` ready for a file name to be appended: a separator is added unless
// `dir` is empty or already ends with '/' or the host's separator.
inline std::string WithTrailingSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '/' && dir.back() != PathSeparator()) dir += PathSeparator();
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
