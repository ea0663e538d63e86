#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

namespace quilvane::platform {

// The file to be created is already there; it was left untouched.
class FileExistsError : public Error {
 public:
  using Error::Error;
};

// Creates `path` holding `bytes`, readable and writable by its owner only
// (mode 0600 on POSIX; on Windows a protected ACL granting SYSTEM and the
// Administrators group alone). Never replaces a file: throws FileExistsError
// "<path>: already exists" when one is there, and SystemError for other
// failures, after removing what it had created. Flushed to the storage
// device before it returns.
void CreatePrivateFile(const std::string& path, std::string_view bytes);

// Whether every local user of the machine can read the file at `path`: on
// POSIX, read permission for others and every folder above passable by
// them; on Windows, a DACL that lets Everyone, Authenticated Users, Users
// or Interactive read it (or no DACL at all). Throws SystemError when the
// file's permissions cannot be read.
bool ReadableByEveryLocalUser(const std::string& path);

}  // namespace quilvane::platform
