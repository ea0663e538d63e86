#include <sys/statvfs.h>

#include <cerrno>

#include "platform/disk_space.h"
#include "platform/error.h"

namespace quilvane::platform {

std::uint64_t FreeDiskSpace(const std::string& dir) {
  struct statvfs st {};
  if (::statvfs(dir.c_str(), &st) != 0) throw MakeSystemError(dir, errno);
  // f_bavail: the blocks an unprivileged writer gets, not the root reserve.
  return static_cast<std::uint64_t>(st.f_bavail) * static_cast<std::uint64_t>(st.f_frsize);
}

}  // namespace quilvane::platform
