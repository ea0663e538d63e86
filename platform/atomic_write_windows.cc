// Replacing a file in one step on Windows: a temporary file beside it,
// created where no link can lead elsewhere, then put in its place with
// ReplaceFileW, which keeps the old file's owner and security.
#include <windows.h>

#include <optional>
#include <string>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/error.h"
#include "platform/file.h"
#include "platform/safe_path.h"
#include "platform/temporary_file.h"

namespace quilvane::platform {

namespace {

// The file a path names once a symbolic link is followed, so that the real
// file is replaced, not the link; the path itself when it names no link or
// the link cannot be resolved.
std::wstring FinalPath(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  const HANDLE h =
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;
  std::wstring out(MAX_PATH, L'\0');
  DWORD n =
      GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), VOLUME_NAME_DOS);
  if (n >= out.size() && n < 32768) {
    out.resize(n);
    n = GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), VOLUME_NAME_DOS);
  }
  CloseHandle(h);
  if (n == 0 || n >= out.size()) return path;
  out.resize(n);
  return out;
}

}  // namespace

// Root has no counterpart here: the temporary file is never opened through a
// reparse point, and the folder's ACL is the install's to set.
std::optional<std::string> UntrustedLinkAsRoot(const std::string&) { return std::nullopt; }

void WriteFileAtomically(const std::string& path, std::string_view bytes) {
  const std::wstring target = FinalPath(Widen(path));
  const DWORD current = GetFileAttributesW(target.c_str());
  if (current != INVALID_FILE_ATTRIBUTES && (current & FILE_ATTRIBUTE_READONLY) != 0) {
    throw MakeSystemError(path, ERROR_ACCESS_DENIED);
  }
  std::string temp_name;
  // Removed on any failure once `f` has closed it (an open file cannot be
  // deleted), unless it holds the only copy of the new content.
  TemporaryFile temp;
  File f = CreateTemporaryBeside(Narrow(target), temp_name);
  temp = TemporaryFile(temp_name);
  f.Write(bytes);
  f.Sync();
  f.Close();
  if (current == INVALID_FILE_ATTRIBUTES) {
    RenameFile(temp_name, Narrow(target));
    temp.Keep();  // renamed: nothing left to remove
    return;
  }
  // ReplaceFileW keeps the old file's owner, security and creation time,
  // which a rename over it would lose.
  if (!ReplaceFileW(target.c_str(), Widen(temp_name).c_str(), nullptr,
                    REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    const DWORD err = GetLastError();
    if (err != ERROR_UNABLE_TO_MOVE_REPLACEMENT && err != ERROR_UNABLE_TO_REMOVE_REPLACED &&
        err != ERROR_INVALID_PARAMETER && err != ERROR_NOT_SUPPORTED &&
        err != ERROR_INVALID_FUNCTION) {
      throw MakeSystemError(path, static_cast<int>(err));
    }
    // The old file is gone (the first case) or untouched (the others: a
    // file system without the call): a plain rename still gives the new
    // content. In the first case the temporary file is all that is left,
    // so it must survive a failed rename.
    const bool temp_is_the_only_copy = err == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
    if (temp_is_the_only_copy) temp.Keep();
    try {
      RenameFile(temp_name, Narrow(target));
    } catch (const SystemError& e) {
      if (!temp_is_the_only_copy) throw;
      throw KeptTemporaryFileError(e, temp_name);
    }
  }
  temp.Keep();  // replaced: nothing left to remove
  // The attributes too (hidden, system, archive), which not every
  // implementation of ReplaceFileW carries over; the content is written
  // whatever this gives.
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD now = GetFileAttributesW(target.c_str());
  if (now != INVALID_FILE_ATTRIBUTES && (now & kKept) != (current & kKept)) {
    const DWORD wanted = (now & ~(kKept | FILE_ATTRIBUTE_NORMAL)) | (current & kKept);
    SetFileAttributesW(target.c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted);
  }
}

}  // namespace quilvane::platform
