#pragma once

// The folder the Windows platform tests work in.
#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/wide_windows.h"

namespace quilvane::platform {

// A fresh folder under the system's temporary folder, removed afterwards.
// Its name holds non-ASCII letters: paths travel as UTF-8.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    const std::wstring dir = std::wstring(base) + L"quilvane-ção-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(GetTickCount64());
    CreateDirectoryW(dir.c_str(), nullptr);
    wide_ = dir;
    path_ = Narrow(dir) + "\\";
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(wide_), ignored);
  }
  std::string operator()(const std::string& name) const { return path_ + name; }

 private:
  std::wstring wide_;
  std::string path_;
};

}  // namespace quilvane::platform
