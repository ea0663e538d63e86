#include <windows.h>

#include "platform/wide_windows.h"  // first: it undefines clashing macros

#include "platform/disk_space.h"
#include "platform/error.h"

namespace quilvane::platform {

std::uint64_t FreeDiskSpace(const std::string& dir) {
  ULARGE_INTEGER available{};
  // The caller's share: quotas count, as they do for the files written.
  if (!GetDiskFreeSpaceExW(Widen(dir).c_str(), &available, nullptr, nullptr)) {
    throw MakeSystemError(dir, static_cast<int>(GetLastError()));
  }
  return available.QuadPart;
}

}  // namespace quilvane::platform
