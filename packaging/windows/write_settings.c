/* The installer's custom action that writes the site's settings file on its
 * first installation:
 *
 *   write_settings.exe FILE SECTION KEY=VALUE...
 *
 * creates FILE with the section and each pair whose value is not empty, in
 * the system's ANSI code page with CR LF line ends, as the program reads it.
 * An existing FILE is never touched: an upgrade or a second installation
 * keeps the operator's settings. A file given a SenhaFTP is readable by
 * SYSTEM and the Administrators alone, not by every user of the machine as
 * the program's folder would let it be. Exit status 0 when the file exists
 * afterwards, 1 otherwise (the installation then rolls back).
 */
#include <windows.h>

#include <sddl.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static int Append(char** out, size_t* len, size_t* cap, const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, NULL, 0, NULL, NULL);
  if (n <= 0) return 0;
  if (*len + (size_t)n > *cap) {
    size_t grown = (*cap + (size_t)n) * 2;
    char* p = realloc(*out, grown);
    if (!p) return 0;
    *out = p;
    *cap = grown;
  }
  WideCharToMultiByte(CP_ACP, 0, text, -1, *out + *len, n, NULL, NULL);
  *len += (size_t)n - 1; /* without the terminating zero */
  return 1;
}

/* Whether the pairs give the site's own FTP password. */
static int HoldsPassword(int argc, wchar_t** argv) {
  static const wchar_t kKey[] = L"SenhaFTP=";
  const size_t n = sizeof kKey / sizeof kKey[0] - 1;
  for (int i = 3; i < argc; ++i) {
    if (_wcsnicmp(argv[i], kKey, n) == 0 && argv[i][n] != L'\0') return 1;
  }
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 1;
  char* text = NULL;
  size_t len = 0, cap = 0;
  int ok = Append(&text, &len, &cap, L"[") && Append(&text, &len, &cap, argv[2]) &&
           Append(&text, &len, &cap, L"]\r\n");
  for (int i = 3; ok && i < argc; ++i) {
    const wchar_t* eq = wcschr(argv[i], L'=');
    if (!eq || eq == argv[i] || eq[1] == L'\0') continue; /* not given: the key stays absent */
    ok = Append(&text, &len, &cap, argv[i]) && Append(&text, &len, &cap, L"\r\n");
  }
  if (!ok) return 1;

  /* P: no entries inherited from the folder (which lets Users read);
   * full control for LocalSystem (the service) and the Administrators. */
  SECURITY_ATTRIBUTES private_file = {sizeof private_file, NULL, FALSE};
  if (HoldsPassword(argc, argv) && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                       L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1,
                                       &private_file.lpSecurityDescriptor, NULL)) {
    free(text);
    return 1;
  }
  /* CREATE_NEW: the check for an existing file and its creation are one step. */
  HANDLE f = CreateFileW(argv[1], GENERIC_WRITE, 0,
                         private_file.lpSecurityDescriptor ? &private_file : NULL, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (private_file.lpSecurityDescriptor) LocalFree(private_file.lpSecurityDescriptor);
  if (f == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    free(text);
    return err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS ? 0 : 1;
  }
  DWORD written = 0;
  ok = WriteFile(f, text, (DWORD)len, &written, NULL) && written == len;
  ok = CloseHandle(f) && ok;
  if (!ok) DeleteFileW(argv[1]);
  free(text);
  return ok ? 0 : 1;
}
