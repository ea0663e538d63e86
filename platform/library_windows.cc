// Run-time loading on Windows: LoadLibraryW with the system's search order
// (the executable's folder, the system folders, PATH).
#include <windows.h>

#include "platform/wide_windows.h"  // first: it undefines clashing macros

#include <cstring>
#include <utility>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/library.h"

namespace quilvane::platform {
namespace {

std::string MachineName(unsigned machine) {
  switch (machine) {
    case 0x8664:
      return "x64";
    case 0x014c:
      return "x86";
    case 0xAA64:
      return "arm64";
    case 0x01c4:
      return "arm";
    case 0x0200:
      return "ia64";
    default:
      return "machine " + std::to_string(machine);
  }
}

// Where the system would find `name`: the search LoadLibrary uses for a
// plain file name, close enough to name the file that failed to load.
std::string FindLibraryFile(const std::string& name) {
  wchar_t buf[MAX_PATH];
  const std::wstring wide = Widen(name);
  const std::wstring exe_dir = Widen(ExecutableDir());
  DWORD n = SearchPathW(exe_dir.c_str(), wide.c_str(), nullptr, MAX_PATH, buf, nullptr);
  if (n == 0 || n >= MAX_PATH)
    n = SearchPathW(nullptr, wide.c_str(), nullptr, MAX_PATH, buf, nullptr);
  if (n == 0 || n >= MAX_PATH) return {};
  return Narrow(std::wstring_view(buf, n));
}

}  // namespace

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

std::string DynamicLibrary::FilePath() const {
  if (handle_ == nullptr) return {};
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(static_cast<HMODULE>(handle_), path.data(),
                                     static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return {};
  path.resize(n);
  return Narrow(path);
}

DynamicLibrary DynamicLibrary::Load(const std::string& name, LibraryLoadFailure* failure) {
  DynamicLibrary lib;
  // No "cannot find the DLL" box from the system: a service has no desktop.
  const UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  lib.handle_ = LoadLibraryW(Widen(name).c_str());
  const DWORD err = GetLastError();
  SetErrorMode(old_mode);
  if (lib.handle_ == nullptr && failure != nullptr) {
    failure->message = SystemMessage(static_cast<int>(err));
    failure->foreign_architecture.clear();
    if (err == ERROR_BAD_EXE_FORMAT) {
      const std::string path = FindLibraryFile(name);
      const std::string arch = path.empty() ? std::string() : LibraryFileArchitecture(path);
      if (!arch.empty() && arch != ProcessArchitecture()) failure->foreign_architecture = arch;
    }
  }
  return lib;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

// The Windows client converts UTF-8 file names with the system's own
// functions, not through the C library's locale: nothing to set.
bool EnsureUtf8CharacterType() { return true; }

std::string ProcessArchitecture() {
#if defined(_M_X64) || defined(__x86_64__)
  return "x64";
#elif defined(_M_IX86) || defined(__i386__)
  return "x86";
#elif defined(_M_ARM64) || defined(__aarch64__)
  return "arm64";
#elif defined(_M_ARM) || defined(__arm__)
  return "arm";
#else
  return sizeof(void*) == 8 ? "64-bit" : "32-bit";
#endif
}

std::string LibraryFileArchitecture(const std::string& path) {
  // MZ header, e_lfanew at 0x3C, then "PE\0\0" and the machine field.
  std::uint8_t dos[64] = {};
  std::uint8_t pe[6] = {};
  try {
    File f(path, File::Mode::kRead);
    f.ReadExact(dos);
    if (dos[0] != 'M' || dos[1] != 'Z') return {};
    const std::uint32_t offset = std::uint32_t{dos[0x3C]} | (std::uint32_t{dos[0x3D]} << 8) |
                                 (std::uint32_t{dos[0x3E]} << 16) |
                                 (std::uint32_t{dos[0x3F]} << 24);
    if (offset < sizeof dos || offset > (1u << 20) ||
        offset + sizeof pe > static_cast<std::uint64_t>(f.Size())) {
      return {};
    }
    f.Seek(offset);
    f.ReadExact(pe);
  } catch (const Error&) {
    return {};
  }
  if (std::memcmp(pe, "PE\0\0", 4) != 0) return {};
  return MachineName(unsigned{pe[4]} | (unsigned{pe[5]} << 8));
}

}  // namespace quilvane::platform
