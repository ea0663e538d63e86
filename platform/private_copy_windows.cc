// The copy is held open for its whole life without FILE_SHARE_WRITE or
// FILE_SHARE_DELETE: nobody else can write, rename or delete it, and
// FILE_FLAG_DELETE_ON_CLOSE removes it when the handle closes, also when
// the process dies. Readers open it with FILE_SHARE_DELETE (File::kRead).
#include <windows.h>

#include <sddl.h>

#include <vector>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/error.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/private_copy.h"
#include "platform/temporary_name.h"

namespace quilvane::platform {
namespace {

constexpr std::size_t kBlock = 1 << 20;
// P: protected (the folder's grants to Users do not reach it); SYSTEM, the
// Administrators and the file's owner only.
constexpr wchar_t kCopyDacl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)";

HANDLE CreateExclusive(const std::string& dir, const std::string& name, std::string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kCopyDacl, SDDL_REVISION_1, &sd,
                                                            nullptr)) {
    throw MakeSystemError(dir + name, static_cast<int>(GetLastError()));
  }
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = sd;
  sa.bInheritHandle = FALSE;
  for (int attempt = 0;; ++attempt) {
    path = dir + TemporaryName(name);
    const HANDLE h = CreateFileW(
        Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, &sa,
        CREATE_NEW,
        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr);
    const DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
      LocalFree(sd);
      return h;
    }
    if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt == 7) {
      LocalFree(sd);
      throw MakeSystemError(path, static_cast<int>(error));
    }
  }
}

}  // namespace

PrivateCopy::PrivateCopy(const std::string& source, const std::string& dir) {
  File in(source, File::Mode::kRead);
  const HANDLE h = CreateExclusive(dir, FileNameOf(source), path_);
  handle_ = reinterpret_cast<std::intptr_t>(h);
  try {
    std::vector<char> block(kBlock);
    while (const std::size_t n = in.Read(std::span<char>(block))) {
      DWORD written = 0;
      if (!WriteFile(h, block.data(), static_cast<DWORD>(n), &written, nullptr) || written != n) {
        throw MakeSystemError(path_, static_cast<int>(GetLastError()));
      }
    }
  } catch (...) {
    CloseHandle(h);  // deletes it
    handle_ = -1;
    throw;
  }
}

PrivateCopy::~PrivateCopy() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace quilvane::platform
