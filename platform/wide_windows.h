#pragma once

// Windows only: the conversions between the UTF-8 held in memory and the
// UTF-16 of the system's W functions.
#include <windows.h>

// platform/file.h has functions of these names; the W functions are called
// by their own names.
#undef DeleteFile
#undef SetFileAttributes
#undef GetFileAttributes

#include <string>
#include <string_view>

namespace quilvane::platform {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace quilvane::platform
