#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace quilvane::platform {

// The bytes that this process may still write on the volume holding the
// folder `dir` (quotas and reserved blocks left out). Throws
// platform::SystemError naming `dir` when the system cannot tell.
std::uint64_t FreeDiskSpace(const std::string& dir);

// Too little room on the volume for what is about to be written.
class NoRoomError : public Error {
 public:
  using Error::Error;
};

// Throws NoRoomError unless the volume holding `dir` has `bytes` free. A
// volume whose free space the system cannot tell is not refused: the write
// itself then reports a full disk.
void RequireFreeSpace(const std::string& dir, std::uint64_t bytes);

}  // namespace quilvane::platform
