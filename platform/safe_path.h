#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"

namespace quilvane::platform {

// Whether a user other than root and the folder's owner may delete, rename
// or put in place an entry of a folder owned by `folder_owner` with POSIX
// mode bits `folder_mode`. The entry belongs to `entry_owner` (nullopt: the
// name is free, and whoever gets there first takes it) and has
// `entry_links` hard links. A folder its group or everyone may write lets
// them, unless its sticky bit keeps them off an entry of root or of the
// folder's owner; an entry with other hard links may be one that someone
// linked to a file elsewhere.
bool OthersMayReplaceEntry(std::uint32_t folder_owner, std::uint32_t folder_mode,
                           std::optional<std::uint32_t> entry_owner, std::uint64_t entry_links);

// Running as root, why writing through `path` must be refused: it is, or
// passes through, a symbolic link, and the file it leads to (or a link on
// the way, or a folder above either) lies where another user could swap it
// for a link or hard link to a file of the system, which root would then
// write. nullopt when `path` is no link, when not running as root, and on
// Windows. Throws SystemError when the places cannot be examined.
std::optional<std::string> UntrustedLinkAsRoot(const std::string& path);

// WriteFileAtomically refused a path that UntrustedLinkAsRoot judges; what()
// is the reason.
class UntrustedLinkError : public Error {
 public:
  using Error::Error;
};

}  // namespace quilvane::platform
