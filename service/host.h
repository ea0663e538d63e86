#pragma once

#include <string>

#include "platform/env.h"

namespace quilvane::service {

// "Quilvane - Sincronizador de Preço de Produtos", the service's display name.
extern const char kDisplayName[];
// The service's name, `SrvQuilvane`.
extern const char kServiceName[];

// Registers the service with the system's service manager (a systemd unit on
// Linux). Prints "Service installed successfully" unless silent; on failure
// prints the failure text to standard error. Returns the exit status.
int InstallService(bool silent);
int UninstallService(bool silent);

// Runs the daemon in the foreground until told to stop; returns the exit
// status. `env` gives the clock and regional settings to the module.
int RunService(platform::Env& env);

// Runs one cycle at once, as a timer firing would: 0 when no error escaped.
int RunOnce(platform::Env& env);

}  // namespace quilvane::service
