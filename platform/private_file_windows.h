#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace quilvane::platform {

// Whether `dacl` lets every local user read (Everyone, Authenticated Users,
// Users or Interactive granted the read before any entry denies it); a
// null DACL grants everything. The rule behind ReadableByEveryLocalUser.
bool DaclReadableByEveryLocalUser(const ACL* dacl);

// The first account or group, other than SYSTEM, the Administrators and
// `owner` (when it is no group of every local user), that `dacl` grants
// read; nullopt when there is none. A null DACL grants everyone. The rule
// behind ReadPrivateFile; deny entries are not weighed, so a grant is
// enough to refuse.
std::optional<std::wstring> DaclReaderBeyondOwner(const ACL* dacl, const void* owner);

}  // namespace quilvane::platform
