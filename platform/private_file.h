#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace quilvane::platform {

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

// A secret file that users other than its owner may read: what() says who
// may and what to do.
class ExposedFileError : public Error {
 public:
  using Error::Error;
};

// Reads a secret (the signing key) of at most `max_size` bytes; a longer file
// yields `max_size` + 1 bytes, for the caller to refuse. Refuses, with
// ExposedFileError, a file that others than its owner may read: on POSIX any
// permission bit for its group or others; on Windows a DACL granting read to
// anyone but SYSTEM, the Administrators and the file's owner (or no DACL).
// Judged on the open file, so the bytes read are those of the file judged.
// SystemError when it cannot be opened or read (a dangling link, no
// permission).
std::string ReadPrivateFile(const std::string& path, std::size_t max_size);

}  // namespace quilvane::platform
