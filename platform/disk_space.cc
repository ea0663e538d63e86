#include "platform/disk_space.h"

namespace quilvane::platform {

void RequireFreeSpace(const std::string& dir, std::uint64_t bytes) {
  std::uint64_t free_bytes = 0;
  try {
    free_bytes = FreeDiskSpace(dir);
  } catch (const SystemError&) {
    return;
  }
  if (free_bytes < bytes) {
    throw NoRoomError("espaço livre insuficiente em " + dir + ": " + std::to_string(free_bytes) +
                      " bytes livres, " + std::to_string(bytes) + " necessários");
  }
}

}  // namespace quilvane::platform
