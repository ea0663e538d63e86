/* Test tool for the Wine suite: what Wine's sc.exe cannot do. Sends a
 * control code to a service and prints the status reports it sees.
 *
 *   svcctl query NAME                 one status line
 *   svcctl control NAME pause|continue|interrogate|stop
 *   svcctl watch NAME SECONDS         each status change until stopped
 *
 * Status line: "state=S accepted=A checkpoint=C waithint=W exit=E specific=X".
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>

static void Print(const SERVICE_STATUS* s) {
  printf("state=%lu accepted=%lu checkpoint=%lu waithint=%lu exit=%lu specific=%lu\n",
         s->dwCurrentState, s->dwControlsAccepted, s->dwCheckPoint, s->dwWaitHint,
         s->dwWin32ExitCode, s->dwServiceSpecificExitCode);
  fflush(stdout);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: svcctl query|control|watch NAME [ARG]\n");
    return 2;
  }
  SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
  if (!scm) {
    fprintf(stderr, "OpenSCManager: %lu\n", GetLastError());
    return 1;
  }
  SC_HANDLE svc = OpenServiceA(
      scm, argv[2],
      SERVICE_QUERY_STATUS | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE | SERVICE_STOP);
  if (!svc) {
    fprintf(stderr, "OpenService: %lu\n", GetLastError());
    return 1;
  }
  SERVICE_STATUS s;
  memset(&s, 0, sizeof s);
  if (strcmp(argv[1], "query") == 0) {
    if (!QueryServiceStatus(svc, &s)) return fprintf(stderr, "query: %lu\n", GetLastError()), 1;
    Print(&s);
    return 0;
  }
  if (strcmp(argv[1], "control") == 0 && argc > 3) {
    DWORD code = 0;
    if (strcmp(argv[3], "pause") == 0)
      code = SERVICE_CONTROL_PAUSE;
    else if (strcmp(argv[3], "continue") == 0)
      code = SERVICE_CONTROL_CONTINUE;
    else if (strcmp(argv[3], "interrogate") == 0)
      code = SERVICE_CONTROL_INTERROGATE;
    else if (strcmp(argv[3], "stop") == 0)
      code = SERVICE_CONTROL_STOP;
    else
      return 2;
    if (!ControlService(svc, code, &s)) return fprintf(stderr, "control: %lu\n", GetLastError()), 1;
    Print(&s);
    return 0;
  }
  if (strcmp(argv[1], "watch") == 0 && argc > 3) {
    const DWORD end = GetTickCount() + (DWORD)atoi(argv[3]) * 1000u;
    SERVICE_STATUS last;
    memset(&last, 0xff, sizeof last);
    while ((LONG)(end - GetTickCount()) > 0) {
      if (!QueryServiceStatus(svc, &s)) return fprintf(stderr, "query: %lu\n", GetLastError()), 1;
      if (memcmp(&s, &last, sizeof s) != 0) Print(&s);
      last = s;
      if (s.dwCurrentState == SERVICE_STOPPED) return 0;
      Sleep(100);
    }
    return 3; /* still not stopped */
  }
  return 2;
}
