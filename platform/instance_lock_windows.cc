// LockFileEx on a byte far past the content: Windows locks are mandatory, so
// the bytes that name the holder stay readable by the one who finds it
// taken. The system releases the lock when the process ends.
#include <windows.h>

#include <sddl.h>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/error.h"
#include "platform/instance_lock.h"
#include "platform/process.h"

namespace quilvane::platform {
namespace {

// P: protected (the folder's grants to Users do not reach it); SYSTEM, the
// Administrators and the file's owner only: whoever may open it may lock it,
// and so stop every cycle.
constexpr wchar_t kLockDacl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)";
constexpr DWORD kLockOffsetHigh = 1;  // 4 GiB: never part of the content

OVERLAPPED LockRange() {
  OVERLAPPED range{};
  range.OffsetHigh = kLockOffsetHigh;
  return range;
}

void Truncate(HANDLE h) {
  LARGE_INTEGER zero{};
  if (SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)) SetEndOfFile(h);
}

}  // namespace

std::optional<InstanceLock> InstanceLock::TryTake(const std::string& path, std::string_view what) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockDacl, SDDL_REVISION_1, &sd,
                                                            nullptr)) {
    throw MakeSystemError(path, static_cast<int>(GetLastError()));
  }
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = sd;
  sa.bInheritHandle = FALSE;
  // A reparse point in its place is opened as itself, never followed.
  const HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD open_error = GetLastError();
  LocalFree(sd);
  if (h == INVALID_HANDLE_VALUE) throw MakeSystemError(path, static_cast<int>(open_error));
  OVERLAPPED range = LockRange();
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return std::nullopt;
    throw MakeSystemError(path, static_cast<int>(error));
  }
  InstanceLock lock(reinterpret_cast<std::intptr_t>(h));
  // Who holds it is only for the message of the next one: a failure to say
  // so does not give the lock up.
  const std::string content = FormatLockHolder({CurrentProcessId(), std::string(what)});
  Truncate(h);
  DWORD written = 0;
  WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  return lock;
}

void InstanceLock::Release() noexcept {
  if (handle_ == -1) return;
  const HANDLE h = reinterpret_cast<HANDLE>(handle_);
  handle_ = -1;
  // Emptied first: the file stays (removing it would let a later process
  // lock a new file while another waits on the old one).
  Truncate(h);
  OVERLAPPED range = LockRange();
  UnlockFileEx(h, 0, 1, 0, &range);
  CloseHandle(h);
}

}  // namespace quilvane::platform
