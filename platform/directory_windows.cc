// Folder listings on Windows: the W functions, names narrowed to UTF-8.
#include <windows.h>

#include "platform/wide_windows.h"  // first: it undefines clashing macros

#include "platform/directory.h"
#include "platform/error.h"

namespace quilvane::platform {

std::vector<std::string> ListDirectory(const std::string& path) {
  std::string pattern = path.empty() ? std::string(".") : path;
  if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAW data{};
  const HANDLE find = FindFirstFileExW(Widen(pattern).c_str(), FindExInfoBasic, &data,
                                       FindExSearchNameMatch, nullptr, 0);
  std::vector<std::string> names;
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A folder without entries has none to give, not even "." (a root).
    if (error == ERROR_FILE_NOT_FOUND) return names;
    throw MakeSystemError(path, static_cast<int>(error));
  }
  do {
    const std::wstring_view name(data.cFileName);
    if (name != L"." && name != L"..") names.push_back(Narrow(name));
  } while (FindNextFileW(find, &data));
  const DWORD error = GetLastError();
  FindClose(find);
  if (error != ERROR_NO_MORE_FILES) throw MakeSystemError(path, static_cast<int>(error));
  return names;
}

}  // namespace quilvane::platform
