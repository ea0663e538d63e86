// The operator's console for a program without one of its own (a GUI
// subsystem program, as a service must be).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/wide_windows.h"
#include "service/console.h"

namespace quilvane::service {
namespace {

bool HasHandle(DWORD which) {
  const HANDLE h = GetStdHandle(which);
  return h != nullptr && h != INVALID_HANDLE_VALUE;
}

bool g_console = false;

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  (void)argc;
  (void)argv;  // in the ANSI code page: the wide command line is read instead
  // Output already redirected (a file, a pipe) is kept; otherwise the
  // console of the command prompt that started the program, if any.
  if (HasHandle(STD_ERROR_HANDLE) || HasHandle(STD_OUTPUT_HANDLE)) {
    g_console = true;
  } else if (AttachConsole(ATTACH_PARENT_PROCESS)) {
    std::FILE* ignored = nullptr;
    freopen_s(&ignored, "CONOUT$", "w", stdout);
    freopen_s(&ignored, "CONOUT$", "w", stderr);
    g_console = true;
  }
  if (GetConsoleWindow() != nullptr) SetConsoleOutputCP(CP_UTF8);

  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(platform::Narrow(wide[i]));
  LocalFree(wide);
  return args;
}

const char* HostUsage() {
  return "  quilvane                   run as the service SrvQuilvane (the service manager\n"
         "                             starts it so); net stop stops it after the running cycle\n"
         "  quilvane /INSTALL [/SILENT]    register the service (as administrator)\n"
         "  quilvane /UNINSTALL [/SILENT]  remove it\n";
}

void WriteToConsole(const std::string& text, bool error) {
  if (!g_console) return;
  std::FILE* out = error ? stderr : stdout;
  std::fprintf(out, "%s\n", text.c_str());
  std::fflush(out);
}

}  // namespace quilvane::service
