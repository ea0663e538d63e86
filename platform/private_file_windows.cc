// A file for secrets: created with CREATE_NEW under a protected DACL that
// grants full control to SYSTEM and to the Administrators group only (no
// inherited entries, so the folder's grants to Users do not reach it).
#include <windows.h>

#include <sddl.h>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/private_file.h"

namespace quilvane::platform {
namespace {

// P: protected (inheritance blocked); FA: full access; SY: LocalSystem;
// BA: BUILTIN\Administrators.
constexpr wchar_t kPrivateDacl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

class LocalMemory {
 public:
  LocalMemory() = default;
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() {
    if (p_ != nullptr) LocalFree(p_);
  }
  PSECURITY_DESCRIPTOR* out() { return &p_; }
  PSECURITY_DESCRIPTOR get() const { return p_; }

 private:
  PSECURITY_DESCRIPTOR p_ = nullptr;
};

}  // namespace

void CreatePrivateFile(const std::string& path, std::string_view bytes) {
  LocalMemory sd;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateDacl, SDDL_REVISION_1, sd.out(),
                                                            nullptr)) {
    throw MakeSystemError(path, static_cast<int>(GetLastError()));
  }
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = sd.get();
  sa.bInheritHandle = FALSE;
  const std::wstring wide = Widen(path);
  HANDLE h =
      CreateFileW(wide.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
      throw FileExistsError(path + ": already exists");
    }
    throw MakeSystemError(path, static_cast<int>(code));
  }
  DWORD error = 0;
  size_t done = 0;
  while (error == 0 && done < bytes.size()) {
    const size_t left = bytes.size() - done;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(h, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      error = GetLastError();
      if (error == 0) error = ERROR_WRITE_FAULT;
    }
    done += written;
  }
  if (error == 0 && !FlushFileBuffers(h)) error = GetLastError();
  if (!CloseHandle(h) && error == 0) error = GetLastError();
  if (error != 0) {
    DeleteFileW(wide.c_str());
    throw MakeSystemError(path, static_cast<int>(error));
  }
}

}  // namespace quilvane::platform
