#pragma once

#include <string>

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
// status.
int RunService();

// Runs one cycle at once, as a timer firing would: 0 when no error escaped.
int RunOnce();

}  // namespace quilvane::service
