#pragma once

#include <cstdint>
#include <string>

namespace quilvane::platform {

// The bytes that this process may still write on the volume holding the
// folder `dir` (quotas and reserved blocks left out). Throws
// platform::SystemError naming `dir` when the system cannot tell.
std::uint64_t FreeDiskSpace(const std::string& dir);

}  // namespace quilvane::platform
