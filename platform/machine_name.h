#pragma once

#include <string>

namespace quilvane::platform {

// This machine's name as the system gives it: COMPUTERNAME when set (Windows
// always sets it), else the first line of /etc/hostname; empty when neither
// can be read.
std::string MachineName();

}  // namespace quilvane::platform
