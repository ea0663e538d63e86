/* The installer's custom action that locks the program's folder down before
 * any file is installed into it:
 *
 *   protect_folder.exe FOLDER
 *
 * The service runs quilvane.exe from FOLDER as LocalSystem and loads
 * fbclient.dll from beside it, so whoever can write there runs code as
 * LocalSystem. Wherever FOLDER is (a folder made under D:\ inherits the
 * right of every user to create and change files there), it gets the
 * Administrators as owner and a protected ACL: full control for SYSTEM and
 * the Administrators, read and execute for Users, nothing inherited from
 * its parent. A missing FOLDER is created with that ACL; in an existing one
 * (an upgrade, a folder made beforehand) every entry takes the folder's ACL
 * and the Administrators as owner, except an entry whose own ACL is
 * protected (a Quilvane.ini holding SenhaFTP, a private key), which stays
 * as its owner made it. Links are never followed: a FOLDER that is a link,
 * a link (reparse point) or a file with hard links in it, and a drive's root
 * are refused.
 *
 * Run by the installer from its own copy (the Binary table), not from
 * FOLDER, where another user could have replaced it. Exit status 0 when the
 * folder is locked, 1 otherwise (the installation then rolls back).
 */
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* SYSTEM, Administrators: full control; Users: read and execute (FRFX). */
#define ACES(flags) L"(A;" flags L";FA;;;SY)(A;" flags L";FA;;;BA)(A;" flags L";0x1200a9;;;BU)"
static const wchar_t kFolder[] = L"O:BAD:PAI" ACES(L"OICI");
/* What an entry inherits from the folder, as inheritance would write it. */
static const wchar_t kInheritedFile[] = L"O:BAD:AI" ACES(L"ID");
static const wchar_t kInheritedDir[] = L"O:BAD:AI" ACES(L"OICIID");

/* Taking ownership from another user and replacing an ACL that does not
 * grant us WRITE_DAC need these; LocalSystem holds them, disabled. */
static void EnablePrivileges(void) {
  static const wchar_t* const kNames[] = {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME, SE_BACKUP_NAME};
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    TOKEN_PRIVILEGES p = {1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (LookupPrivilegeValueW(NULL, kNames[i], &p.Privileges[0].Luid)) {
      AdjustTokenPrivileges(token, FALSE, &p, 0, NULL, NULL);
    }
  }
  CloseHandle(token);
}

static PSECURITY_DESCRIPTOR Descriptor(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = NULL;
  return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, NULL)
             ? sd
             : NULL;
}

/* Opens PATH itself, a link rather than what it points to. */
static HANDLE OpenEntry(const wchar_t* path, DWORD access) {
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                     NULL);
}

/* Writes the owner and the DACL of SDDL onto the open entry. */
static int Apply(HANDLE h, const wchar_t* sddl, SECURITY_INFORMATION protection) {
  PSECURITY_DESCRIPTOR sd = Descriptor(sddl);
  if (!sd) return 0;
  PSID owner = NULL;
  PACL dacl = NULL;
  BOOL defaulted = FALSE, present = FALSE;
  int ok = GetSecurityDescriptorOwner(sd, &owner, &defaulted) &&
           GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present &&
           SetSecurityInfo(h, SE_FILE_OBJECT,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | protection,
                           owner, NULL, dacl, NULL) == ERROR_SUCCESS;
  LocalFree(sd);
  return ok;
}

/* Whether the entry's ACL is protected: someone made it private on purpose. */
static int IsProtected(HANDLE h) {
  PSECURITY_DESCRIPTOR sd = NULL;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, NULL, NULL, &sd) !=
      ERROR_SUCCESS) {
    return 0;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const int result =
      GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED) != 0;
  LocalFree(sd);
  return result;
}

static wchar_t* Join(const wchar_t* dir, const wchar_t* name) {
  const size_t n = wcslen(dir) + 1 + wcslen(name) + 1;
  wchar_t* p = malloc(n * sizeof *p);
  if (p) swprintf(p, n, L"%ls\\%ls", dir, name);
  return p;
}

/* Locks one entry of the folder: its owner and, unless protected, its ACL. */
static int ResetEntry(const wchar_t* path, int is_dir) {
  HANDLE h = OpenEntry(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  /* A hard link is also a file elsewhere (a system DLL, say), whose ACL is
   * not ours to replace; nor is it ours to leave writable. */
  int ok = GetFileInformationByHandle(h, &info) && (is_dir || info.nNumberOfLinks == 1);
  if (ok && !IsProtected(h)) {
    ok = Apply(h, is_dir ? kInheritedDir : kInheritedFile, UNPROTECTED_DACL_SECURITY_INFORMATION);
  }
  CloseHandle(h);
  return ok;
}

/* Gives every entry under DIR the folder's ACL, depth first. A link there
 * (a junction to C:\Windows, say) is refused, neither followed nor kept:
 * the service would write through it as LocalSystem. */
static int ResetEntries(const wchar_t* dir) {
  wchar_t* pattern = Join(dir, L"*");
  if (!pattern) return 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  free(pattern);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  int ok = 1;
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    wchar_t* path = Join(dir, found.cFileName);
    const int is_dir = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    /* The entry is locked before it is listed: nobody adds to it meanwhile. */
    ok = path && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         ResetEntry(path, is_dir) && (!is_dir || ResetEntries(path));
    free(path);
  } while (ok && FindNextFileW(search, &found));
  FindClose(search);
  return ok;
}

/* Creates the folders above PATH that are missing, with what they inherit. */
static void CreateParents(wchar_t* path) {
  /* Past the drive ("C:\") or the share ("\\server\share\"). */
  wchar_t* p = path;
  if (wcsncmp(p, L"\\\\", 2) == 0) {
    p = wcschr(p + 2, L'\\');
    if (p) p = wcschr(p + 1, L'\\');
  } else {
    p = wcschr(p, L'\\');
  }
  while (p && (p = wcschr(p + 1, L'\\')) != NULL) {
    *p = L'\0';
    CreateDirectoryW(path, NULL);
    *p = L'\\';
  }
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 1;
  const size_t len = wcslen(argv[1]);
  wchar_t* folder = malloc((len + 1) * sizeof *folder);
  if (!folder) return 1;
  wcscpy(folder, argv[1]);
  for (size_t n = len; n > 0 && (folder[n - 1] == L'\\' || folder[n - 1] == L'/'); --n) {
    folder[n - 1] = L'\0';
  }
  /* A drive's root is everybody's: its ACL is not ours to replace. */
  const size_t n = wcslen(folder);
  if (n < 3 || folder[n - 1] == L':' || wcschr(folder, L'\\') == NULL) {
    free(folder);
    return 1;
  }
  EnablePrivileges();
  CreateParents(folder);

  int ok = 0;
  SECURITY_ATTRIBUTES locked = {sizeof locked, Descriptor(kFolder), FALSE};
  if (locked.lpSecurityDescriptor && CreateDirectoryW(folder, &locked)) {
    ok = 1; /* new, and locked from its first moment */
  } else if (GetLastError() == ERROR_ALREADY_EXISTS) {
    HANDLE h = OpenEntry(folder, READ_CONTROL | WRITE_DAC | WRITE_OWNER);
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE) {
      /* A link would lock whatever it points to: refused. */
      ok = GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           Apply(h, kFolder, PROTECTED_DACL_SECURITY_INFORMATION);
      CloseHandle(h);
    }
    ok = ok && ResetEntries(folder);
  }
  if (locked.lpSecurityDescriptor) LocalFree(locked.lpSecurityDescriptor);
  free(folder);
  return ok ? 0 : 1;
}
