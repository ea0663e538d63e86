// The service host on Windows: installation and removal through the service
// manager, the dispatcher, service entry and service threads, and the main
// thread's message loop in which Timer1 fires and the cycle runs.
#include <windows.h>

#include "platform/wide_windows.h"  // first: it undefines clashing macros

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/main_loop.h"
#include "platform/main_loop_windows.h"
#include "service/console.h"
#include "service/host.h"
#include "sync/module.h"
#include "sync/site_operations.h"

namespace quilvane::service {

const char kDisplayName[] = "Quilvane - Sincronizador de Preço de Produtos";
const char kServiceName[] = "SrvQuilvane";

namespace {

using platform::Narrow;
using platform::Widen;

constexpr wchar_t kServiceNameW[] = L"SrvQuilvane";
// Control codes travel to the service thread as this thread message.
constexpr UINT kControlMessage = WM_USER + 1;
constexpr DWORD kWaitHint = 5000;
constexpr DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
// How often stop pending is reported again while the running cycle ends.
constexpr DWORD kStopPendingEvery = kWaitHint / 2;

std::wstring ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  while (true) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0)
      throw platform::MakeSystemError("GetModuleFileName", static_cast<int>(GetLastError()));
    if (n < buf.size()) return buf.substr(0, n);
    buf.resize(buf.size() * 2);
  }
}

std::wstring ExecutableFileName() {
  try {
    const std::wstring path = ExecutablePath();
    return path.substr(path.find_last_of(L"\\/") + 1);
  } catch (const std::exception&) {
    return L"quilvane.exe";
  }
}

// One error entry in the system event log: type error, category 0, id 0.
void ReportToEventLog(const std::wstring& source, const std::string& text) {
  const HANDLE log = RegisterEventSourceW(nullptr, source.c_str());
  if (log == nullptr) return;
  const std::wstring wide = Widen(text);
  const wchar_t* strings[] = {wide.c_str()};
  ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(log);
}

// Failures of the service itself carry the service's name as their source;
// those of the main loop and the dispatcher the executable's file name.
void ServiceEvent(const std::string& text) { ReportToEventLog(kServiceNameW, text); }
void ProcessEvent(const std::string& text) { ReportToEventLog(ExecutableFileName(), text); }

std::string SystemErrorText(DWORD code) {
  return "System Error.  Code: " + std::to_string(code) + ".\r\n" +
         platform::SystemMessage(static_cast<int>(code));
}

// The process has no window of its own: results go to a message box, and to
// the console too when the operator started it from one.
void ShowMessage(const std::string& text, bool error) {
  WriteToConsole(text, error);
  std::wstring title = ExecutableFileName();
  const size_t dot = title.rfind(L'.');
  if (dot != std::wstring::npos) title.resize(dot);
  MessageBoxW(nullptr, Widen(text).c_str(), title.c_str(),
              MB_OK | MB_SETFOREGROUND | (error ? MB_ICONERROR : MB_ICONINFORMATION));
}

std::string FailureText(const char* verb, DWORD code) {
  return std::string("Service \"") + kDisplayName + "\" failed to " + verb + " with error: \"" +
         SystemErrorText(code) + "\"";
}

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE h) : h_(h) {}
  ~ScHandle() {
    if (h_ != nullptr) CloseServiceHandle(h_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return h_; }

 private:
  SC_HANDLE h_;
};

// Opening the service manager fails without administrator rights; that
// failure is reported as it stands, not as a failed installation.
SC_HANDLE OpenManager() {
  const SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) {
    const DWORD err = GetLastError();
    ShowMessage(SystemErrorText(err), true);
  }
  return scm;
}

// Running as the service.

struct ServiceHost {
  sync::SrvQuilvane* module = nullptr;
  SERVICE_STATUS_HANDLE status_handle = nullptr;
  std::mutex status_mutex;
  DWORD state = SERVICE_STOPPED;
  DWORD checkpoint = 0;
  std::atomic<DWORD> service_thread_id{0};
};

ServiceHost g_host;

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
}

// Reports `state`; the checkpoint advances when the same pending state is
// reported again. A failed report goes to the event log.
void ReportStatus(DWORD state) {
  std::lock_guard<std::mutex> lock(g_host.status_mutex);
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kControlsAccepted;
  status.dwWin32ExitCode = NO_ERROR;
  status.dwServiceSpecificExitCode = 0;
  g_host.checkpoint = IsPending(state) && state == g_host.state ? g_host.checkpoint + 1 : 0;
  status.dwCheckPoint = g_host.checkpoint;
  status.dwWaitHint = kWaitHint;
  g_host.state = state;
  if (!SetServiceStatus(g_host.status_handle, &status)) {
    ServiceEvent(platform::SystemMessage(static_cast<int>(GetLastError())));
  }
}

DWORD CurrentState() {
  std::lock_guard<std::mutex> lock(g_host.status_mutex);
  return g_host.state;
}

// Enables or disables Timer1 on the main thread, which owns it, and waits
// until that thread has done so: after the cycle it may be running. While
// waiting, `pending` (if any) is reported again so the service manager sees
// the stop progressing. Throws the timer's error.
void SetTimer1OnMainThread(bool enabled, DWORD pending) {
  struct Outcome {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string error;
    ~Outcome() {
      if (done != nullptr) CloseHandle(done);
    }
  };
  auto outcome = std::make_shared<Outcome>();
  if (outcome->done == nullptr) {
    throw platform::MakeSystemError("CreateEvent", static_cast<int>(GetLastError()));
  }
  sync::SrvQuilvane* module = g_host.module;
  const bool posted = platform::PostToMainLoop([outcome, module, enabled] {
    try {
      module->Timer1().set_enabled(enabled);
    } catch (const std::exception& e) {
      outcome->error = e.what();
    }
    SetEvent(outcome->done);
  });
  if (!posted) return;  // the main loop has ended: no timer fires any more
  while (WaitForSingleObject(outcome->done, kStopPendingEvery) == WAIT_TIMEOUT) {
    if (pending != 0) ReportStatus(pending);
  }
  if (!outcome->error.empty()) throw platform::Error(outcome->error);
}

const char* ControlName(DWORD code) {
  switch (code) {
    case SERVICE_CONTROL_STOP:
      return "stop";
    case SERVICE_CONTROL_PAUSE:
      return "pause";
    case SERVICE_CONTROL_CONTINUE:
      return "continue";
    case SERVICE_CONTROL_INTERROGATE:
      return "interrogate";
    case SERVICE_CONTROL_SHUTDOWN:
      return "shutdown";
    default:
      return "custom";
  }
}

// Handles one control request on the service thread; returns whether the
// service thread is to end.
bool HandleControl(DWORD code) {
  const DWORD previous = CurrentState();
  bool terminate = false;
  try {
    switch (code) {
      case SERVICE_CONTROL_STOP:
      case SERVICE_CONTROL_SHUTDOWN:
        ReportStatus(SERVICE_STOP_PENDING);
        terminate = true;
        break;
      case SERVICE_CONTROL_PAUSE:
        // The service thread only waits for requests, so pausing it is
        // waiting for the next one; Timer1 is the main thread's and cycles
        // go on.
        ReportStatus(SERVICE_PAUSE_PENDING);
        ReportStatus(SERVICE_PAUSED);
        break;
      case SERVICE_CONTROL_CONTINUE:
        ReportStatus(SERVICE_CONTINUE_PENDING);
        ReportStatus(SERVICE_RUNNING);
        break;
      case SERVICE_CONTROL_INTERROGATE:
        ReportStatus(previous);
        break;
      default:
        break;  // custom codes are accepted and ignored
    }
  } catch (const std::exception& e) {
    if (code != SERVICE_CONTROL_SHUTDOWN) ReportStatus(previous);
    if (code > SERVICE_CONTROL_SHUTDOWN) {
      ServiceEvent("Service failed in custom message(" + std::to_string(code) + "): " + e.what());
    } else {
      ServiceEvent(std::string("Service failed on ") + ControlName(code) + ": " + e.what());
    }
  }
  return terminate;
}

// The service's body: start Timer1, serve control requests until told to
// stop, stop Timer1 once the running cycle (if any) has ended.
void ServiceExecute() {
  SetTimer1OnMainThread(true, 0);
  bool terminated = false;
  MSG msg;
  while (!terminated) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) throw platform::MakeSystemError("GetMessage", static_cast<int>(GetLastError()));
    if (msg.hwnd == nullptr && msg.message == kControlMessage) {
      terminated = HandleControl(static_cast<DWORD>(msg.wParam));
    }
  }
  // The service manager must not see stopped while a cycle still works on
  // the site's files: stop pending is reported until it has ended.
  SetTimer1OnMainThread(false, SERVICE_STOP_PENDING);
}

void ServiceThread() {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
  g_host.service_thread_id = GetCurrentThreadId();
  bool started = false;
  try {
    ReportStatus(SERVICE_START_PENDING);
    ReportStatus(SERVICE_RUNNING);
    started = true;
    ServiceExecute();
  } catch (const std::exception& e) {
    ServiceEvent(std::string("Service failed on ") + (started ? "execute" : "start") + ": " +
                 e.what());
  }
  // Requests that arrived meanwhile are answered, without waiting for more.
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.hwnd == nullptr && msg.message == kControlMessage) {
      HandleControl(static_cast<DWORD>(msg.wParam));
    }
  }
  g_host.service_thread_id = 0;
}

// Called by the service manager on the dispatcher thread.
void WINAPI ServiceController(DWORD code) {
  const DWORD thread = g_host.service_thread_id;
  if (thread != 0) PostThreadMessageW(thread, kControlMessage, code, 0);
}

// The service entry point, on a thread the service manager provides.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  (void)argc;
  (void)argv;  // the start arguments carry nothing this service uses
  g_host.status_handle = RegisterServiceCtrlHandlerW(kServiceNameW, ServiceController);
  if (g_host.status_handle == nullptr) {
    ServiceEvent(platform::SystemMessage(static_cast<int>(GetLastError())));
    return;
  }
  ReportStatus(SERVICE_START_PENDING);
  try {
    std::thread service(ServiceThread);
    service.join();
  } catch (const std::exception& e) {
    ServiceEvent(std::string("Service failed on execute: ") + e.what());
  }
  ReportStatus(SERVICE_STOPPED);
}

}  // namespace

int InstallService(bool silent) {
  const ScHandle scm(OpenManager());
  if (scm.get() == nullptr) return 1;
  std::wstring command = ExecutablePath();
  if (command.find(L' ') != std::wstring::npos) command = L"\"" + command + L"\"";
  const ScHandle service(CreateServiceW(scm.get(), kServiceNameW, Widen(kDisplayName).c_str(),
                                        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service.get() == nullptr) {
    const DWORD err = GetLastError();
    ShowMessage(FailureText("install", err), true);
    return 1;
  }
  if (!silent) ShowMessage("Service installed successfully", false);
  return 0;
}

int UninstallService(bool silent) {
  const ScHandle scm(OpenManager());
  if (scm.get() == nullptr) return 1;
  const ScHandle service(OpenServiceW(scm.get(), kServiceNameW, SERVICE_ALL_ACCESS));
  if (service.get() == nullptr || !DeleteService(service.get())) {
    const DWORD err = GetLastError();
    ShowMessage(FailureText("uninstall", err), true);
    return 1;
  }
  if (!silent) ShowMessage("Service uninstalled successfully", false);
  return 0;
}

int RunService(platform::Env& env) {
  // Built first: it creates the main thread's message queue, which the
  // dispatcher thread's quit request and the timer requests go to.
  platform::MainLoop loop;
  const std::string dir = platform::ExecutableDir();
  // The service manager starts services in the system folder; the one file
  // named without a folder (the downloaded archive) belongs beside the
  // program, as the Linux unit's working directory puts it.
  SetCurrentDirectoryW(Widen(dir).c_str());
  sync::SrvQuilvane module(dir, sync::MakeSiteOperations, env);
  module.ServiceCreate();
  g_host.module = &module;

  DWORD dispatcher_error = 0;
  std::thread dispatcher([&] {
    wchar_t name[] = L"SrvQuilvane";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) dispatcher_error = GetLastError();
    loop.RequestStop();
  });
  loop.Run(
      module.Timer1(), [&] { module.Timer1Timer(); }, [](const char* what) { ProcessEvent(what); });
  dispatcher.join();
  if (dispatcher_error != 0) {
    ProcessEvent(platform::SystemMessage(static_cast<int>(dispatcher_error)));
  }
  try {
    module.Timer1().set_enabled(false);
  } catch (const std::exception&) {
  }
  g_host.module = nullptr;
  return dispatcher_error != 0 ? 1 : 0;
}

}  // namespace quilvane::service
