#pragma once

#include <windows.h>

namespace quilvane::platform {

// Whether `dacl` lets every local user read (Everyone, Authenticated Users,
// Users or Interactive granted the read before any entry denies it); a
// null DACL grants everything. The rule behind ReadableByEveryLocalUser.
bool DaclReadableByEveryLocalUser(const ACL* dacl);

}  // namespace quilvane::platform
