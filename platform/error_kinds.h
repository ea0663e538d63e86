#pragma once

// The few kinds of system failure that callers act on differently, whatever
// the system's own numbers (errno on POSIX, GetLastError() on Windows).
#include <cerrno>

#include "platform/error.h"

namespace quilvane::platform {

// The file, or a folder on its path, does not exist.
inline bool IsNotFound(const SystemError& e) {
#ifdef _WIN32
  return e.code() == 2 || e.code() == 3;  // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND
#else
  return e.code() == ENOENT || e.code() == ENOTDIR;
#endif
}

// No room left on the device (or in the user's quota).
inline bool IsDiskFull(const SystemError& e) {
#ifdef _WIN32
  return e.code() == 112 || e.code() == 39;  // ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL
#else
  return e.code() == ENOSPC || e.code() == EDQUOT;
#endif
}

}  // namespace quilvane::platform
