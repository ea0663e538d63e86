#include <unistd.h>

#include <cstdlib>

#include "platform/process.h"

namespace quilvane::platform {

bool StartedByServiceManager() {
  // systemd gives every service invocation its id; a shell that inherited
  // one is still told apart by its terminal.
  const char* id = std::getenv("INVOCATION_ID");
  return id != nullptr && *id != '\0' && !::isatty(STDIN_FILENO);
}

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace quilvane::platform
