// The ANSI and OEM code pages of the machine (GetACP, GetOEMCP), converted
// by the system.
#include <windows.h>

#include <limits>
#include <string>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/wide_windows.h"

namespace quilvane::platform {
namespace {

std::wstring FromCodePage(UINT code_page, std::string_view bytes) {
  if (bytes.empty()) return {};
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
    throw Error("text too long");
  const int n =
      MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) throw MakeSystemError("MultiByteToWideChar", static_cast<int>(GetLastError()));
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

// Characters the code page cannot hold become '?', never a look-alike
// ("best fit"), so a lossy conversion is always visible.
std::string ToCodePage(UINT code_page, std::string_view utf8, bool* lossless) {
  const std::wstring wide = Widen(utf8);
  if (lossless != nullptr) *lossless = true;
  if (wide.empty()) return {};
  // The UTF-7/UTF-8 code pages take neither the flag nor the default char.
  const bool plain = code_page == CP_UTF8 || code_page == CP_UTF7;
  const DWORD flags = plain ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* used = plain ? nullptr : &used_default;
  const int n = WideCharToMultiByte(code_page, flags, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, plain ? nullptr : "?", used);
  if (n <= 0) throw MakeSystemError("WideCharToMultiByte", static_cast<int>(GetLastError()));
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, flags, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      plain ? nullptr : "?", used);
  if (lossless != nullptr) *lossless = used_default == FALSE;
  return out;
}

}  // namespace

std::string Utf8ToAnsi(std::string_view utf8, bool* lossless) {
  return ToCodePage(GetACP(), utf8, lossless);
}
std::string AnsiToUtf8(std::string_view ansi) { return Narrow(FromCodePage(GetACP(), ansi)); }
std::string Utf8ToOem(std::string_view utf8, bool* lossless) {
  return ToCodePage(GetOEMCP(), utf8, lossless);
}
std::string OemToUtf8(std::string_view oem) { return Narrow(FromCodePage(GetOEMCP(), oem)); }

}  // namespace quilvane::platform
