// A file for secrets: created with CREATE_NEW under a protected DACL that
// grants full control to SYSTEM and to the Administrators group only (no
// inherited entries, so the folder's grants to Users do not reach it).
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <initializer_list>

#include "platform/wide_windows.h"  // first: it undefines clashing macros
#include "platform/private_file.h"
#include "platform/private_file_windows.h"

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

bool DaclReadableByEveryLocalUser(const ACL* dacl) {
  if (dacl == nullptr) return true;  // no DACL: everyone has full access
  // The groups every local user belongs to; Everyone first, since a deny
  // for it denies them all.
  constexpr WELL_KNOWN_SID_TYPE kEveryLocalUser[] = {WinWorldSid, WinAuthenticatedUserSid,
                                                     WinBuiltinUsersSid, WinInteractiveSid};
  constexpr int kGroups = 4;
  BYTE sids[kGroups][SECURITY_MAX_SID_SIZE];
  for (int i = 0; i < kGroups; ++i) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    if (!CreateWellKnownSid(kEveryLocalUser[i], nullptr, sids[i], &size)) {
      throw MakeSystemError("CreateWellKnownSid", static_cast<int>(GetLastError()));
    }
  }
  constexpr ACCESS_MASK kRead = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
  bool denied[kGroups] = {};
  // Access checks walk the entries in order: the first that grants or
  // denies the read decides.
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &entry)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    const bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    if (!allow && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    // Both entry kinds share the layout: header, mask, then the SID.
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if ((ace->Mask & kRead) == 0) continue;
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    for (int g = 0; g < kGroups; ++g) {
      if (!EqualSid(sid, sids[g])) continue;
      if (!allow) {
        denied[g] = true;
      } else if (!denied[g] && !denied[0]) {
        return true;
      }
    }
  }
  return false;
}

namespace {

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring out(text);
  LocalFree(text);
  return out;
}

bool IsAnyOf(PSID sid, std::initializer_list<WELL_KNOWN_SID_TYPE> types) {
  for (const WELL_KNOWN_SID_TYPE type : types) {
    if (IsWellKnownSid(sid, type)) return true;
  }
  return false;
}

}  // namespace

std::optional<std::wstring> DaclReaderBeyondOwner(const ACL* dacl, const void* owner) {
  if (dacl == nullptr) return std::wstring(L"S-1-1-0");  // no DACL: Everyone
  PSID owner_sid = const_cast<void*>(owner);
  // An owner that is a group of every local user is no owner to trust.
  const bool owner_counts = owner_sid != nullptr && IsValidSid(owner_sid) &&
                            !IsAnyOf(owner_sid, {WinWorldSid, WinAuthenticatedUserSid,
                                                 WinBuiltinUsersSid, WinInteractiveSid});
  constexpr ACCESS_MASK kRead = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &entry)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if ((ace->Mask & kRead) == 0) continue;
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if (IsAnyOf(sid, {WinLocalSystemSid, WinBuiltinAdministratorsSid})) continue;
    if (owner_counts &&
        (EqualSid(sid, owner_sid) || IsWellKnownSid(sid, WinCreatorOwnerRightsSid))) {
      continue;
    }
    return SidText(sid);
  }
  return std::nullopt;
}

std::string ReadPrivateFile(const std::string& path, std::size_t max_size) {
  const HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw MakeSystemError(path, static_cast<int>(GetLastError()));
  PSID owner = nullptr;
  PACL dacl = nullptr;
  LocalMemory sd;
  const DWORD status =
      GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, sd.out());
  if (status != ERROR_SUCCESS) {
    CloseHandle(h);
    throw MakeSystemError(path, static_cast<int>(status));
  }
  if (const auto reader = DaclReaderBeyondOwner(dacl, owner)) {
    CloseHandle(h);
    throw ExposedFileError(path +
                           ": legível por outros além de SYSTEM, Administradores e o dono (" +
                           Narrow(*reader) + "); tire deles a leitura: icacls \"" + path +
                           "\" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F");
  }
  std::string bytes(max_size + 1, '\0');
  size_t size = 0;
  DWORD error = 0;
  while (size < bytes.size()) {
    DWORD got = 0;
    const size_t left = bytes.size() - size;
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    if (!ReadFile(h, bytes.data() + size, chunk, &got, nullptr)) {
      error = GetLastError();
      break;
    }
    if (got == 0) break;
    size += got;
  }
  CloseHandle(h);
  if (error != 0) throw MakeSystemError(path, static_cast<int>(error));
  bytes.resize(size);
  return bytes;
}

bool ReadableByEveryLocalUser(const std::string& path) {
  PACL dacl = nullptr;
  LocalMemory sd;
  const DWORD status =
      GetNamedSecurityInfoW(Widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, sd.out());
  if (status != ERROR_SUCCESS) throw MakeSystemError(path, static_cast<int>(status));
  return DaclReadableByEveryLocalUser(dacl);
}

}  // namespace quilvane::platform
