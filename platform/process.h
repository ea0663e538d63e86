#pragma once

namespace quilvane::platform {

// Whether the system's service manager started this process rather than an
// operator at a terminal: on Linux, systemd's INVOCATION_ID is set and
// standard input is no terminal; on Windows, the process has no console and
// no standard handles (call it after the console was joined).
bool StartedByServiceManager();

// The id the system knows this process by.
unsigned long CurrentProcessId();

}  // namespace quilvane::platform
