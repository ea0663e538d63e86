#pragma once

#include <string>

namespace quilvane::platform {

// "<name>.<16 hex digits>.tmp", the digits (lower case) from the system's
// random source: a name for a temporary file that another user cannot
// guess and plant a file or a link at first.
std::string TemporaryName(const std::string& name);

}  // namespace quilvane::platform
