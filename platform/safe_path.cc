#include "platform/safe_path.h"

namespace quilvane::platform {

bool OthersMayReplaceEntry(std::uint32_t folder_owner, std::uint32_t folder_mode,
                           std::optional<std::uint32_t> entry_owner, std::uint64_t entry_links) {
  constexpr std::uint32_t kGroupOrOtherWrite = 0022;
  constexpr std::uint32_t kSticky = 01000;
  if ((folder_mode & kGroupOrOtherWrite) == 0) return false;
  if (!entry_owner || entry_links > 1) return true;
  const bool sticky_keeps_it =
      (folder_mode & kSticky) != 0 && (*entry_owner == 0 || *entry_owner == folder_owner);
  return !sticky_keeps_it;
}

}  // namespace quilvane::platform
