#include <windows.h>

#include "platform/process.h"

namespace quilvane::platform {
namespace {

bool HasHandle(DWORD which) {
  const HANDLE h = GetStdHandle(which);
  return h != nullptr && h != INVALID_HANDLE_VALUE;
}

}  // namespace

bool StartedByServiceManager() {
  // A service has neither a console nor standard handles; a command prompt,
  // a script or a redirected run has at least one.
  return GetConsoleWindow() == nullptr && !HasHandle(STD_INPUT_HANDLE) &&
         !HasHandle(STD_OUTPUT_HANDLE) && !HasHandle(STD_ERROR_HANDLE);
}

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }

}  // namespace quilvane::platform
